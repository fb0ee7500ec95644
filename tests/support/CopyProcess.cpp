#include "support/CopyProcess.h"

#include "support/EventLoopWait.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <cstdio>

namespace {
// A line longer than this is not an event of ours; it is kept as noise, cut.
constexpr qsizetype kMaxLine = 1 << 20;
} // namespace

CopyProcess::CopyProcess(QProcess *process, const QString &label) : process_(process), label_(label) {
    if (!process_) return;
    outConnection_ = QObject::connect(process_, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
    errConnection_ = QObject::connect(process_, &QProcess::readyReadStandardError,
                                      [this] { stderr_ += process_->readAllStandardError(); });
}

CopyProcess::~CopyProcess() {
    QObject::disconnect(outConnection_);
    QObject::disconnect(errConnection_);
    if (process_ && ::testing::Test::HasFailure()) std::fprintf(stderr, "%s\n", qPrintable(diagnostics()));
}

bool CopyProcess::running() const { return process_ && process_->state() == QProcess::Running; }

bool CopyProcess::send(const QString &line) {
    if (!running()) return false;
    QByteArray bytes = line.toUtf8();
    if (!bytes.endsWith('\n')) bytes += '\n';
    return process_->write(bytes) == bytes.size();
}

void CopyProcess::closeInput() {
    if (process_) process_->closeWriteChannel();
}

void CopyProcess::readOutput() {
    if (!process_) return;
    pending_ += process_->readAllStandardOutput();
    qsizetype end;
    while ((end = pending_.indexOf('\n')) >= 0) {
        const QByteArray line = pending_.left(end).trimmed();
        pending_.remove(0, end + 1);
        if (line.isEmpty()) continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error == QJsonParseError::NoError && doc.isObject())
            events_.push_back(doc.object());
        else
            noise_ += line + '\n';
    }
    if (pending_.size() > kMaxLine) {
        noise_ += pending_.left(256) + "...\n";
        pending_.clear();
    }
}

std::optional<QJsonObject> CopyProcess::waitForEvent(const Predicate &matches, int timeoutMs) {
    std::optional<QJsonObject> found;
    auto scan = [&] {
        if (process_) {
            // Output that arrived without the loop having run yet.
            stderr_ += process_->readAllStandardError();
            readOutput();
        }
        for (size_t i = cursor_; i < events_.size(); ++i)
            if (matches(events_[i])) {
                cursor_ = i + 1;
                found = events_[i];
                return true;
            }
        return false;
    };
    waitUntil([&] { return scan() || !running(); }, timeoutMs);
    if (!found) scan(); // the copy may have printed its last lines as it ended
    return found;
}

std::optional<QJsonObject> CopyProcess::waitForEvent(const QString &name, int timeoutMs) {
    return waitForEvent(
        [name](const QJsonObject &event) { return event.value(QStringLiteral("event")).toString() == name; },
        timeoutMs);
}

QString CopyProcess::diagnostics() const {
    QString text = QStringLiteral("--- copy %1").arg(label_);
    if (process_)
        text += process_->state() == QProcess::NotRunning
                    ? QStringLiteral(" (ended, exit %1)").arg(process_->exitCode())
                    : QStringLiteral(" (running, pid %1)").arg(process_->processId());
    text += QStringLiteral(", %1 events\n").arg(events_.size());
    if (!stderr_.isEmpty()) text += QStringLiteral("stderr:\n") + QString::fromUtf8(stderr_);
    if (!noise_.isEmpty()) text += QStringLiteral("other output:\n") + QString::fromUtf8(noise_);
    return text;
}

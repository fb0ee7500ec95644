#include "support/E2eCopies.h"

#include "support/EventLoopWait.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

// Set by the build for the end-to-end tests; missing where the driver is not built.
#ifndef MURNAVELL_DRIVER
#define MURNAVELL_DRIVER ""
#endif

QString E2eCopies::driver() { return QString::fromUtf8(MURNAVELL_DRIVER); }

bool E2eCopies::labAvailable(QString *why, bool needDriver) {
    if (!NetnsLab::available(why)) return false;
    if (needDriver && driver().isEmpty()) {
        if (why) *why = QStringLiteral("the test driver was not built");
        return false;
    }
    return true;
}

QString E2eCopies::userIdIn(int series, int i) {
    // Built by parts: "%10" would be taken for an eleventh placeholder.
    return QStringLiteral("A") + QString::number(series) + QStringLiteral("0000000") + QString::number(i + 1);
}

qint64 E2eCopies::procKiB(qint64 pid, const char *field) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

CopyProcess::Predicate E2eCopies::event(const QString &name, const QString &key, const QString &value) {
    return [=](const QJsonObject &e) { return e.value("event") == name && e.value(key).toString() == value; };
}

CopyProcess::Predicate E2eCopies::status(const QString &user, const QString &code) {
    return [=](const QJsonObject &e) {
        return e.value("event") == "status" && e.value("user") == user && e.value("status") == code;
    };
}

CopyProcess *E2eCopies::startIntroduced(int i, const QString &id) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("MURNAVELL_USER_ID"), id);
    env.insert(QStringLiteral("MURNAVELL_USER_NAME"), QStringLiteral("User%1").arg(i + 1));
    env.insert(QStringLiteral("MURNAVELL_NO_PRESENCE"), QStringLiteral("1"));
    return startDriver(i, env, true);
}

CopyProcess *E2eCopies::startWithPresence(int i, const QString &id, const QProcessEnvironment &extra) {
    QProcessEnvironment env = extra;
    env.insert(QStringLiteral("MURNAVELL_USER_ID"), id);
    env.insert(QStringLiteral("MURNAVELL_USER_NAME"), QStringLiteral("Person %1").arg(i + 1));
    env.insert(QStringLiteral("MURNAVELL_NO_SYSTEM"), QStringLiteral("1"));
    return startDriver(i, env, false);
}

CopyProcess *E2eCopies::startDriver(int i, const QProcessEnvironment &env, bool mustListen) {
    QProcess *p = lab->run(i, driver(), {}, env);
    if (!p) return nullptr;
    copies.push_back(std::make_unique<CopyProcess>(p, lab->ns(i)));
    CopyProcess *copy = copies.back().get();
    const auto ready = copy->waitForEvent(QStringLiteral("ready"), 15000);
    if (!ready || (mustListen && !ready->value("listening").toBool())) return nullptr;
    return copy;
}

bool E2eCopies::introduce(CopyProcess *of, const QString &id, int who) {
    of->send(QStringLiteral("add-user %1 %2 User%3").arg(id, lab->address(who)).arg(who + 1));
    return bool(of->waitForEvent(
        [](const QJsonObject &e) { return e.value("event") == "ok" && e.value("command") == "add-user"; }));
}

bool E2eCopies::sees(CopyProcess *of, const QString &id, bool online, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    do {
        of->send(QStringLiteral("users"));
        if (const auto answer = of->waitForEvent(QStringLiteral("users"), 3000))
            for (const QJsonValue &v : answer->value("users").toArray()) {
                const QJsonObject u = v.toObject();
                if (u.value("id") != id) continue;
                const bool on = !u.value("offline").toBool() && u.value("status") == "0";
                if (on == online) return true;
            }
        spinFor(200);
    } while (!deadline.hasExpired() && of->running());
    return false;
}

std::optional<QJsonArray> E2eCopies::heldCopies(CopyProcess *copy) {
    copy->send(QStringLiteral("held"));
    const auto answer = copy->waitForEvent(QStringLiteral("held-list"), 15000);
    if (!answer) return std::nullopt;
    return answer->value("copies").toArray();
}

void E2eCopies::TearDown() {
    for (auto &c : copies)
        if (c->running()) c->send(QStringLiteral("quit"));
    for (auto &c : copies) c->process()->waitForFinished(3000);
    copies.clear();
    lab.reset();
}

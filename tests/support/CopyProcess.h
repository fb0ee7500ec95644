#pragma once

// Drives one copy started by NetnsLab: command lines on its standard input, events as JSON
// objects, one a line, on its standard output. Every event seen is kept, so a test can wait for
// the next one that matches and also look back at all of them. Standard error is collected and
// printed when the test has failed, so a failure shows what the copy said.
#include <QByteArray>
#include <QJsonObject>
#include <QMetaObject>
#include <QProcess>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class CopyProcess {
public:
    using Predicate = std::function<bool(const QJsonObject &)>;

    // Does not own the process (the lab does); the label names the copy in messages.
    explicit CopyProcess(QProcess *process, const QString &label = {});
    ~CopyProcess();
    CopyProcess(const CopyProcess &) = delete;
    CopyProcess &operator=(const CopyProcess &) = delete;

    QProcess *process() const { return process_; }
    bool running() const;

    // Writes one command line (the line end is added).
    bool send(const QString &line);
    void closeInput();

    // The first event after the last one returned that matches, waiting up to timeoutMs;
    // empty on time-out or when the copy ended without one.
    std::optional<QJsonObject> waitForEvent(const Predicate &matches, int timeoutMs = 10000);
    // The same for {"event": name}.
    std::optional<QJsonObject> waitForEvent(const QString &name, int timeoutMs = 10000);

    const std::vector<QJsonObject> &events() const { return events_; }
    QByteArray standardError() const { return stderr_; }
    // Lines on standard output that were not JSON objects.
    QByteArray noise() const { return noise_; }
    // A summary for failure messages: label, state, stderr, noise.
    QString diagnostics() const;

private:
    void readOutput();

    QProcess *process_;
    QString label_;
    QByteArray pending_;
    QByteArray stderr_;
    QByteArray noise_;
    std::vector<QJsonObject> events_;
    size_t cursor_ = 0;
    QMetaObject::Connection outConnection_;
    QMetaObject::Connection errConnection_;
};

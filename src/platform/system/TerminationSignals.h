#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the main thread. The handler only writes
// the signal's number into a pipe (all a signal handler may safely do); a socket notifier
// reads it on the main loop, where the orderly shut-down can run. One per process.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isActive() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier *m_notifier = nullptr;
};

#pragma once

// Waits in tests: runs the Qt main loop (and so the main queue) until a condition holds or a
// bound passes. Every wait in a test is bounded.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
    return true;
}

// Runs the main loop for a fixed time, to let anything that should not happen show itself.
inline void spinFor(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
}

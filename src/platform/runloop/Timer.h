#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

// A main-thread timer in the manner the messaging code expects: a fire date that can be read
// and moved, validity, and invalidation. The fire date is wall-clock time, so a caller can tell
// that a timer is firing late (after a suspend, when the monotonic QTimer stood still).
class Timer : public QObject {
    Q_OBJECT
public:
    using Callback = std::function<void(Timer *)>;

    // Starts at once on the calling (main) thread. A one-shot timer is invalid after it fired.
    static Timer *scheduled(double intervalSeconds, bool repeats, Callback callback,
                            QObject *parent = nullptr);

    bool isValid() const { return valid_; }
    void invalidate();
    QDateTime fireDate() const { return fireDate_; }
    void setFireDate(const QDateTime &date);
    double interval() const { return interval_; }

    // Fires now (as if the date had come), for tests and for callers that force it.
    void fire();

    // Wall clock used for fire dates; tests inject their own.
    static void setNowFunction(std::function<QDateTime()> now);
    static QDateTime now();

private:
    Timer(double intervalSeconds, bool repeats, Callback callback, QObject *parent);
    void arm();

    QTimer timer_;
    Callback callback_;
    QDateTime fireDate_;
    double interval_;
    bool repeats_;
    bool valid_ = true;
};

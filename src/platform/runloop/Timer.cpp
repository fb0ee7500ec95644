#include "platform/runloop/Timer.h"

#include <algorithm>
#include <limits>

namespace {
std::function<QDateTime()> gNow;
}

Timer *Timer::scheduled(double intervalSeconds, bool repeats, Callback callback, QObject *parent) {
    return new Timer(intervalSeconds, repeats, std::move(callback), parent);
}

Timer::Timer(double intervalSeconds, bool repeats, Callback callback, QObject *parent)
    : QObject(parent), callback_(std::move(callback)), interval_(std::max(0.0, intervalSeconds)),
      repeats_(repeats) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Timer::fire);
    fireDate_ = now().addMSecs(qint64(interval_ * 1000));
    arm();
}

void Timer::setNowFunction(std::function<QDateTime()> now) { gNow = std::move(now); }

QDateTime Timer::now() { return gNow ? gNow() : QDateTime::currentDateTimeUtc(); }

void Timer::invalidate() {
    valid_ = false;
    timer_.stop();
}

void Timer::setFireDate(const QDateTime &date) {
    if (!valid_) return;
    fireDate_ = date;
    arm();
}

void Timer::arm() {
    const qint64 ms = std::max<qint64>(0, now().msecsTo(fireDate_));
    timer_.start(int(std::min<qint64>(ms, std::numeric_limits<int>::max())));
}

void Timer::fire() {
    if (!valid_) return;
    if (repeats_) {
        fireDate_ = now().addMSecs(qint64(interval_ * 1000));
        arm();
    } else {
        valid_ = false;
        timer_.stop();
    }
    if (callback_) callback_(this); // may invalidate or delete this timer: nothing touches it afterwards
}

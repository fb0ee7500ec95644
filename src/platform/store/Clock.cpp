#include "platform/store/Clock.h"

namespace {
std::function<QDateTime()> &nowFunction() {
    static std::function<QDateTime()> function;
    return function;
}
} // namespace

QDateTime Clock::now() {
    const auto &f = nowFunction();
    return f ? f() : QDateTime::currentDateTimeUtc();
}

void Clock::setNowFunction(std::function<QDateTime()> now) { nowFunction() = std::move(now); }

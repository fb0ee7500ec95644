#pragma once

#include <QDateTime>

#include <functional>

// The model's notion of "now". Tests replace it to check time rules (such as the 0.5 s rule
// of users read back from the store) without waiting.
class Clock {
public:
    // In UTC: local-time conversions cost a time-zone lookup each, and histories hold millions.
    static QDateTime now();
    // An empty function restores the system clock.
    static void setNowFunction(std::function<QDateTime()> now);
};

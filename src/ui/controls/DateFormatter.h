#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

// Dates of history lines for people, in the user's locale: the time alone for today's lines,
// date and time for older ones, or date and time always (`forceDay`).
class DateFormatter {
public:
    // An invalid date means now.
    static QString format(const QDateTime &date, bool forceDay);
    // The two forms.
    static QString timeText(const QDateTime &date);
    static QString dateAndTimeText(const QDateTime &date);
    // "Now" for `format` (tests); an empty function restores the clock.
    static void setNowFunction(std::function<QDateTime()> now);
};

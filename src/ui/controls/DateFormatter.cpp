#include "ui/controls/DateFormatter.h"

#include <QLocale>

#include <functional>

namespace {

std::function<QDateTime()> &nowSource() {
    static std::function<QDateTime()> source;
    return source;
}

QDateTime now() { return nowSource() ? nowSource()() : QDateTime::currentDateTime(); }

} // namespace

void DateFormatter::setNowFunction(std::function<QDateTime()> now) { nowSource() = std::move(now); }

QString DateFormatter::timeText(const QDateTime &date) {
    return QLocale().toString(date.toLocalTime().time(), QLocale::ShortFormat);
}

QString DateFormatter::dateAndTimeText(const QDateTime &date) {
    // A medium date: the month by its short name, so no reader mistakes day for month.
    const QDateTime local = date.toLocalTime();
    return QLocale().toString(local.date(), QStringLiteral("d MMM yyyy")) + u' ' + timeText(local);
}

QString DateFormatter::format(const QDateTime &date, bool forceDay) {
    const QDateTime current = now().toLocalTime();
    const QDateTime when = date.isValid() ? date.toLocalTime() : current;
    if (!forceDay && when.date() == current.date()) return timeText(when);
    return dateAndTimeText(when);
}

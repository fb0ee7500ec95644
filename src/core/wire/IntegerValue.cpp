#include "core/wire/IntegerValue.h"

#include <limits>

std::optional<qint64> leadingInteger(QStringView text) {
    qsizetype i = 0;
    const qsizetype size = text.size();
    while (i < size && text[i].isSpace()) ++i;
    bool negative = false;
    if (i < size && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    // Counted towards the negative end, which holds one more value than the positive one.
    constexpr qint64 kMin = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    bool digits = false;
    bool overflow = false;
    for (; i < size && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        digits = true;
        const int digit = text[i].unicode() - u'0';
        if (overflow || value < (kMin + digit) / 10) {
            overflow = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (!digits) return std::nullopt;
    if (overflow) return negative ? kMin : std::numeric_limits<qint64>::max();
    if (negative) return value;
    return value == kMin ? std::numeric_limits<qint64>::max() : -value;
}

qint64 integerValue(QStringView text) { return leadingInteger(text).value_or(0); }

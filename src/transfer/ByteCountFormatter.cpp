#include "transfer/ByteCountFormatter.h"

#include "platform/strings/Strings.h"

#include <QLocale>
#include <QStringList>

namespace {

const QStringList &unitNames() {
    static const QStringList names = {
        Strings::localized(QStringLiteral("Localizable"), QStringLiteral("bytes")),
        Strings::localized(QStringLiteral("Localizable"), QStringLiteral("KB")),
        Strings::localized(QStringLiteral("Localizable"), QStringLiteral("MB")),
        Strings::localized(QStringLiteral("Localizable"), QStringLiteral("GB")),
        QStringLiteral("TB"),
        QStringLiteral("PB"),
        QStringLiteral("EB"),
        QStringLiteral("ZB"),
        QStringLiteral("YB"),
    };
    return names;
}

} // namespace

QString ByteCountFormatter::stringFromByteCount(std::int64_t count) const {
    const QLocale locale;
    if (count <= 1000) return locale.toString(qlonglong(count)) + QLatin1Char(' ') + unitNames().at(0);
    double value = double(count) / 1000.0;
    int unit = 1;
    while (value > 1000.0 && unit + 1 < unitNames().size()) {
        value /= 1000.0;
        ++unit;
    }
    return locale.toString(value, 'f', 2) + QLatin1Char(' ') + unitNames().at(unit);
}

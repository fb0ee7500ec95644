#include "platform/system/PreferredLanguages.h"

#include <QRegularExpression>

QString PreferredLanguages::tagFromLocale(const QString &locale) {
    // language[_territory][.codeset][@modifier]
    QString rest = locale.trimmed();
    QString modifier;
    if (const qsizetype at = rest.indexOf(QLatin1Char('@')); at >= 0) {
        modifier = rest.mid(at + 1).toLower();
        rest.truncate(at);
    }
    if (const qsizetype dot = rest.indexOf(QLatin1Char('.')); dot >= 0) rest.truncate(dot);
    if (rest.isEmpty() || rest == QLatin1String("C") || rest == QLatin1String("POSIX")) return {};
    static const QRegularExpression shape(QStringLiteral("^([A-Za-z]{2,8})(?:[_-]([A-Za-z0-9]{2,8}))?$"));
    const QRegularExpressionMatch m = shape.match(rest);
    if (!m.hasMatch()) return {};
    QStringList parts{m.captured(1).toLower()};
    // The script modifiers glibc knows; every other modifier (euro, ...) names no script.
    if (modifier == QLatin1String("latin"))
        parts << QStringLiteral("Latn");
    else if (modifier == QLatin1String("cyrillic"))
        parts << QStringLiteral("Cyrl");
    else if (modifier == QLatin1String("devanagari"))
        parts << QStringLiteral("Deva");
    if (!m.captured(2).isEmpty()) parts << m.captured(2).toUpper();
    return parts.join(QLatin1Char('-'));
}

QStringList PreferredLanguages::fromValues(const QString &language, const QString &lcAll,
                                           const QString &lcMessages, const QString &lang) {
    QStringList tags;
    auto add = [&tags](const QString &locale) {
        const QString tag = tagFromLocale(locale);
        if (!tag.isEmpty() && !tags.contains(tag)) tags << tag;
    };
    for (const QString &entry : language.split(QLatin1Char(':'), Qt::SkipEmptyParts)) add(entry);
    // The first of these that is set is the locale in effect for messages.
    for (const QString *value : {&lcAll, &lcMessages, &lang}) {
        if (value->isEmpty()) continue;
        add(*value);
        break;
    }
    return tags;
}

QStringList PreferredLanguages::fromEnvironment() {
    return fromValues(qEnvironmentVariable("LANGUAGE"), qEnvironmentVariable("LC_ALL"),
                      qEnvironmentVariable("LC_MESSAGES"), qEnvironmentVariable("LANG"));
}

#pragma once

#include <QString>
#include <QStringList>

// The user's preferred languages as language tags ("de-DE", "sr-Latn-RS"), most preferred
// first, read from the locale environment: the list in LANGUAGE, then the locale that governs
// messages (LC_ALL, else LC_MESSAGES, else LANG). The C and POSIX locales name no language.
class PreferredLanguages {
public:
    static QStringList fromEnvironment();
    static QStringList fromValues(const QString &language, const QString &lcAll, const QString &lcMessages,
                                  const QString &lang);
    // "de_DE.UTF-8" → "de-DE", "sr_RS@latin" → "sr-Latn-RS"; empty for C, POSIX or nothing.
    static QString tagFromLocale(const QString &locale);
};

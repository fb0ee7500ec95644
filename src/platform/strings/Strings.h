#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

// User-visible texts, looked up by table and key; the key is the English text, which is also
// what shows when a table has no entry for it. Tables are JSON objects (key → translation) in
// the resources, ":/strings/<language>/<table>.json", tried for each preferred language, first
// as given ("de-DE") and then without its region ("de"), and "en" last. The default table is
// "Localizable".
// Safe from any thread: the socket classes look up their error texts on their own queues.
class Strings {
public:
    static QString defaultTable() { return QStringLiteral("Localizable"); }

    // An empty table means the default table.
    static QString localized(const QString &table, const QString &key);
    static QString localized(const QString &key) { return localized(QString(), key); }

    // The languages tried, most preferred first; by default the user's (PreferredLanguages).
    // Clears the tables read so far.
    static void setLanguages(const QStringList &languages);
    static QStringList languages();
    // Another resource or folder root to look in before ":/strings" (tests).
    static void setRoot(const QString &root);

    // printf-style formatting of a localized format: "%@" and "%s" take a text, "%d", "%i",
    // "%ld", "%lld", "%u", "%lu" a whole number, "%f" / "%.2f" a number, "%%" a percent sign;
    // "%1$@" picks an argument by position. A directive with no argument left becomes empty,
    // never a read past the arguments; an unknown directive is kept as written.
    static QString format(const QString &format, const QVariantList &arguments);
};

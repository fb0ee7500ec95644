#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// One header line of the transfer dialogue: pieces of Base64 text, each the string cipher's
// output of "KEY=VALUE" and each followed by 0x1F, the line ended by CR LF.
class HeaderRecord {
public:
    // No header line may grow beyond this before its CR LF; a longer one ends the connection.
    static constexpr qsizetype MaxLength = 1024 * 1024;

    static const QByteArray &separator();  // the byte 0x1F
    static const QString &separatorText(); // the same read as ISO Latin-1
    static const QByteArray &terminator(); // CR LF

    // The record of a flat KEY, VALUE, KEY, VALUE, ... list; an odd last element is dropped.
    // Every piece is encrypted from the legacy code page, except "FROM-USERNAMEDISPLAY", which
    // goes as UTF-8 when `utf8DisplayName` is set.
    static QByteArray prepare(const QStringList &pairs, bool utf8DisplayName);

    // The fields of a record by normalised key ("-" as "_", lower case); later pieces overwrite
    // earlier ones, and the first piece without "=" ends the parse.
    static QHash<QString, QString> fields(const QByteArray &record);

    // The leading decimal value of a text (an optional sign, then digits), 0 when there is none;
    // values beyond the 64-bit range are clamped.
    static qint64 leadingNumber(const QString &text);
};

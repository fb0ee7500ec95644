#include "transfer/HeaderRecord.h"

#include "core/wire/IntegerValue.h"
#include "core/wire/KDTAES.h"

const QByteArray &HeaderRecord::separator() {
    static const QByteArray bytes(1, '\x1f');
    return bytes;
}

const QString &HeaderRecord::separatorText() {
    static const QString text = QString::fromLatin1(separator());
    return text;
}

const QByteArray &HeaderRecord::terminator() {
    static const QByteArray crlf("\r\n");
    return crlf;
}

QByteArray HeaderRecord::prepare(const QStringList &pairs, bool utf8DisplayName) {
    QByteArray record;
    for (qsizetype i = 0; i + 1 < pairs.size(); i += 2) {
        const QString &key = pairs.at(i);
        const bool utf8 = utf8DisplayName && key == QLatin1String("FROM-USERNAMEDISPLAY");
        record += KDTAES::encryptString(key + QLatin1Char('=') + pairs.at(i + 1), utf8).toBase64();
        record += separator();
    }
    record += terminator();
    return record;
}

QHash<QString, QString> HeaderRecord::fields(const QByteArray &record) {
    QHash<QString, QString> out;
    // Neither Base64 text nor the separator holds CR or LF; what trails the pieces decodes to
    // nothing and ends the parse like the empty piece after the last separator.
    for (const QByteArray &piece : record.split('\x1f')) {
        const QString text = KDTAES::decryptString(QByteArray::fromBase64(piece), false);
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        if (equals < 0) break;
        QString key = text.left(equals);
        key.replace(QLatin1Char('-'), QLatin1Char('_'));
        out.insert(key.toLower(), text.mid(equals + 1));
    }
    return out;
}

qint64 HeaderRecord::leadingNumber(const QString &text) { return integerValue(text); }

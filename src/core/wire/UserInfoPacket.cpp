#include "core/wire/UserInfoPacket.h"

#include "core/wire/TextCodec.h"

#include <QByteArrayView>
#include <QSet>
#include <QStringList>

namespace {

constexpr char kSeparator = 0x7C;
constexpr char kEscape = 0x02;

struct Tables {
    // Position -> attribute name or literal.
    QStringList entries{QStringLiteral("21"),
                        QStringLiteral("pc"),
                        QStringLiteral("logonUser"),
                        QStringLiteral("*"),
                        QStringLiteral("0"),
                        QStringLiteral("version"),
                        QStringLiteral("statusString"),
                        QStringLiteral("firstName"),
                        QStringLiteral("lastName"),
                        QStringLiteral("jobTitle"),
                        QStringLiteral("additionalInformation"),
                        QStringLiteral("0"),
                        QStringLiteral("department"),
                        QStringLiteral("status"),
                        QStringLiteral("statusString"),
                        QStringLiteral("idleTime"),
                        QStringLiteral("isOnTS"),
                        QStringLiteral("oSversion"),
                        QStringLiteral("tsClientIP"),
                        QStringLiteral("tsServerIP"),
                        QStringLiteral("tsClientPCname"),
                        QStringLiteral("tsConnectionState"),
                        QStringLiteral("")};
    QSet<QString> literals{QStringLiteral("21"), QStringLiteral("0"), QStringLiteral("*"),
                           QStringLiteral("")};
    QSet<QString> personalKeys{QStringLiteral("firstName"), QStringLiteral("lastName"),
                               QStringLiteral("jobTitle"), QStringLiteral("additionalInformation"),
                               QStringLiteral("department")};
};

const Tables &tables() {
    static const Tables shared;
    return shared;
}

QStringList blockValues(const UserInfoPacket::UserInfoValues &me) {
    const Tables &t = tables();
    QStringList values;
    values.reserve(t.entries.size());
    for (const QString &entry : t.entries) {
        if (t.literals.contains(entry)) {
            values.append(entry);
            continue;
        }
        const QString value = me ? me(entry) : QString();
        if (!value.isNull())
            values.append(value);
        else
            values.append(t.personalKeys.contains(entry) ? QString() : QStringLiteral("*"));
    }
    return values;
}

} // namespace

PacketField UserInfoPacket::_myInfoFieldForUtf(const UserInfoValues &me, bool utf) {
    const QStringList values = blockValues(me);
    if (!utf) {
        QStringList escaped;
        escaped.reserve(values.size());
        for (const QString &value : values) escaped.append(QString(value).replace(u'|', QChar(kEscape)));
        return PacketField(escaped.join(QChar(kSeparator)));
    }

    QByteArray block;
    for (const QString &value : values) {
        // Unescaped, a 0xA6 inside a UTF-8 sequence (as in U+0426 or U+00A6) would split the
        // frame and get the whole packet rejected.
        QByteArray bytes = encodeUtf8DataField(value);
        replaceBytes(bytes, kSeparator, kEscape);
        block.append(bytes);
        block.append(kSeparator);
    }
    block.chop(1);
    return PacketField(block);
}

PacketArray UserInfoPacket::MyUserInfoFor(const UserInfoValues &me, const QString &requesterUserId,
                                          bool requesterUtf8Compatible) {
    const auto local = [&me](const QString &key) { return me ? me(key) : QString(); };
    PacketArray array{PacketField(QStringLiteral("TSI")), PacketField(QStringLiteral("*")),
                      PacketField(local(QStringLiteral("pc"))), PacketField(local(QStringLiteral("userId"))),
                      PacketField(QStringLiteral("*"))};
    // Without a requester the array stops here, too short for any frame.
    if (requesterUserId.isEmpty()) return array;
    array.append(PacketField(requesterUserId));
    array.append(_myInfoFieldForUtf(me, requesterUtf8Compatible));
    array.append(PacketField(QStringLiteral("*")));
    return array;
}

QMap<QString, QString> UserInfoPacket::ParceUserInfo(const QByteArray &block) {
    const Tables &t = tables();
    const qsizetype positions = t.entries.size();
    if (block.isEmpty()) return {};

    // Pieces past the last position are dropped anyway, so splitting stops there: the work
    // stays bounded by the table, not by what the peer sent.
    QStringList values;
    const QByteArrayView bytes(block);
    qsizetype pos = 0;
    while (pos < bytes.size() && values.size() < positions) {
        const qsizetype separator = bytes.indexOf(kSeparator, pos);
        QByteArray piece;
        if (separator < 0) {
            // The last piece without a separator behind it loses its final byte.
            piece = bytes.sliced(pos, bytes.size() - 1 - pos).toByteArray();
            pos = bytes.size();
        } else {
            piece = bytes.sliced(pos, separator - pos).toByteArray();
            pos = separator + 1;
        }
        replaceBytes(piece, kEscape, kSeparator);
        values.append(decodeLegacyText(piece));
    }
    if (values.size() < positions) values.append(QString());
    if (values.size() != positions) return {};

    QMap<QString, QString> info;
    for (qsizetype i = 0; i < positions; ++i) {
        const QString &entry = t.entries.at(i);
        if (!t.literals.contains(entry)) info.insert(entry, values.at(i));
    }
    return info;
}

#include "calls/CallPacket.h"

#include "core/model/Me.h"

#include <QRandomGenerator>

namespace {

const QString kStar = QStringLiteral("*");
const QString kLineEnd = QStringLiteral("\r\n");

std::function<quint32(quint32)> &randomSource() {
    static std::function<quint32(quint32)> source;
    return source;
}

bool allDigits(const QString &text) {
    if (text.isEmpty()) return false;
    for (const QChar c : text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

// The local user's computer name and id, fields 2 and 3 of everything this copy sends.
std::pair<QString, QString> local() {
    const Me *me = Me::current();
    return {me ? me->pc() : QString(), me ? me->userId() : QString()};
}

} // namespace

QString CallPacket::encodePayload(const QString &text) {
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return QString::fromLatin1(bytes.toBase64());
}

std::optional<QString> CallPacket::decodePayload(const QString &field) {
    // Four Base64 characters make three bytes: anything longer cannot be a text we would take.
    if (field.size() > (MaxPayloadLength * 2 / 3 + 4) * 4) return std::nullopt;
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(field.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    // Latin-1 turns characters it cannot hold into "?", which Base64 refuses too.
    if (!decoded || decoded.decoded.size() % 2 != 0) return std::nullopt;
    const QByteArray &bytes = decoded.decoded;
    if (bytes.size() / 2 > MaxPayloadLength) return std::nullopt;
    QString text(bytes.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(quint8(bytes[2 * i]) | (quint8(bytes[2 * i + 1]) << 8)));
    return text;
}

QString CallPacket::callField(const QString &callId, const QString &roomId) {
    return callId + kLineEnd + roomId;
}

std::optional<CallPacket::CallField> CallPacket::parseCallField(const QString &field) {
    const QStringList parts = field.split(kLineEnd);
    if (parts.size() < 2) return std::nullopt;
    CallField out{parts.first(), parts.last()};
    if (!validCallId(out.callId)) return std::nullopt;
    // A room number has at most six digits; "0" is no room.
    if (!allDigits(out.roomId) || out.roomId.size() > 6) return std::nullopt;
    out.roomId = QString::number(out.roomId.toInt());
    return out;
}

bool CallPacket::validCallId(const QString &callId) {
    if (!allDigits(callId) || callId.size() > 10 || callId.startsWith(u'0')) return false;
    return callId.toLongLong() <= MaxCallId;
}

QString CallPacket::newCallId() {
    const auto &source = randomSource();
    const quint32 bound = quint32(MaxCallId);
    const quint32 drawn = source ? source(bound) % bound : QRandomGenerator::global()->bounded(bound);
    return QString::number(qint64(drawn) + 1);
}

void CallPacket::setRandomSource(std::function<quint32(quint32)> source) {
    randomSource() = std::move(source);
}

PacketArray CallPacket::dataPacket(const QString &recipientId, const QString &text, const QString &callId,
                                   const QString &roomId) {
    const auto [pc, id] = local();
    return {dataWord(), kStar, pc, id, kStar, recipientId, encodePayload(text), callField(callId, roomId)};
}

PacketArray CallPacket::dataReply(const PacketArray &request, const QString &answer) {
    const auto [pc, id] = local();
    return {dataReplyWord(), kStar, pc, id, kStar, field(request, 3), answer, field(request, 7)};
}

PacketArray CallPacket::closedPacket(const QString &recipientId, const QString &callId) {
    const auto [pc, id] = local();
    return {closedWord(), kStar, pc, id, kStar, recipientId, callId, kStar};
}

PacketArray CallPacket::closedReply(const PacketArray &request) {
    const auto [pc, id] = local();
    return {closedReplyWord(), kStar, pc, id, kStar, field(request, 3), kStar, kStar};
}

QString CallPacket::field(const PacketArray &fields, int i) {
    return i < fields.size() ? fields.at(i).toString() : QString();
}

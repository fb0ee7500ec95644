#pragma once

#include "core/wire/PacketField.h"

#include <QString>

#include <functional>
#include <optional>

class User;

// The four call words of the messaging port and their fields. A page's text travels in field 6
// as Base64 of its UTF-16 little-endian bytes; field 7 holds the call id, CR LF and the chat
// room id ("0" for a one-to-one call).
class CallPacket {
public:
    static QString dataWord() { return QStringLiteral("TRTCACTION"); }
    static QString dataReplyWord() { return QStringLiteral("TRTCACTIONRECV"); }
    static QString closedWord() { return QStringLiteral("TRTCACTIONCALLCLOSED"); }
    static QString closedReplyWord() { return QStringLiteral("TRTCACTIONCALLCLOSEDRECV"); }

    // Call ids are drawn from 1 to this.
    static constexpr qint64 MaxCallId = 2147483646;
    // A text from a peer longer than this (in UTF-16 units) is dropped: no page message comes
    // near it, and the page would have to parse it.
    static constexpr qsizetype MaxPayloadLength = 1024 * 1024;

    // Base64 (no line breaks) of the text's UTF-16 little-endian bytes.
    static QString encodePayload(const QString &text);
    // The text of a field 6; none for text that is not Base64, has an odd number of bytes or is
    // longer than MaxPayloadLength.
    static std::optional<QString> decodePayload(const QString &field);

    // Field 7: the call id, CR LF, the room id.
    static QString callField(const QString &callId, const QString &roomId);
    struct CallField {
        QString callId;
        QString roomId; // "0" for no chat room
    };
    // The call id (the first part) and the room id (the last part) of a field 7; none without
    // CR LF, with a call id that is not one this system could have drawn, or with a room id that
    // is neither "0" nor a room number.
    static std::optional<CallField> parseCallField(const QString &field);
    // A decimal call id from 1 to MaxCallId (leading zeros not allowed).
    static bool validCallId(const QString &callId);
    // A new call id ("%i" of a random number below MaxCallId, plus 1).
    static QString newCallId();
    // Tests: the random source (bound given; an empty function restores the system's).
    static void setRandomSource(std::function<quint32(quint32 bound)> source);

    // "TRTCACTION" from the local user to the recipient with the page's text.
    static PacketArray dataPacket(const QString &recipientId, const QString &text, const QString &callId,
                                  const QString &roomId);
    // "TRTCACTIONRECV" to the sender of a "TRTCACTION": "0" taken, any other value refused.
    static PacketArray dataReply(const PacketArray &request, const QString &answer = QStringLiteral("0"));
    // "TRTCACTIONCALLCLOSED" from the local user to the recipient for the call.
    static PacketArray closedPacket(const QString &recipientId, const QString &callId);
    // "TRTCACTIONCALLCLOSEDRECV" to the sender of a "TRTCACTIONCALLCLOSED".
    static PacketArray closedReply(const PacketArray &request);

    // A field of a packet that may be shorter than the handler expects ("" then).
    static QString field(const PacketArray &fields, int i);
};

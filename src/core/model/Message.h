#pragma once

#include "core/model/LogEntry.h"
#include "core/wire/PacketField.h"

#include <functional>

class ManagedObjectContext;
class QObject;

class Message : public LogEntry {
public:
    static constexpr const char *EntityName = "Message";

    // A stored (or inserted, not yet saved) message with the id, or null.
    static Message *findByMessageId(ManagedObjectContext *context, qint64 messageId);

    bool mass() const { return boolValue(QStringLiteral("mass")); }
    void setMass(bool v) { setValue(QStringLiteral("mass"), v); }
    QString message() const { return stringValue(QStringLiteral("message")); }
    void setMessage(const QString &v) { setValue(QStringLiteral("message"), v); }
    qint64 messageId() const { return integerValue(QStringLiteral("messageId")); }
    void setMessageId(qint64 v) { setValue(QStringLiteral("messageId"), v); }
    bool offline() const { return boolValue(QStringLiteral("offline")); }
    void setOffline(bool v) { setValue(QStringLiteral("offline"), v); }

    // The message words this class receives: "TSM", "TMM", "TSOM", "TSFM", "TSOMM", "TSFMM".
    static const QStringList &messageWords();
    // A received message packet (field 6 already decoded to text) from the peer's address:
    // stores it as a history line or a held copy, or nothing (a known id, another recipient,
    // unknown users), and returns the "TMR" to write back. A forwarded delivery from an author
    // this copy does not know makes the author known and is stored. A packet of fewer than 8
    // fields, or one arriving before the store and the roster are set up, stores nothing and gets
    // an empty array (no receipt): a holder keeps its copy.
    static PacketArray gotMessage(const PacketArray &fields, const QString &fromIP);
    // The acknowledgement of a message packet whose sender id (field 3) is given.
    static PacketArray receiptPacket(const QString &senderUserId);

    // The sound and window rules of a new line.
    void playSoundAndPopupWindow();
    // Shows the line's window by the settings; no window given: that of any of its users.
    static void popupWindow(LogEntry *entry, QObject *window);

    // This system's offset from GMT in seconds, computed at each call so that it follows
    // daylight-saving changes. Forwarded times travel as seconds since 1970 plus the sender's
    // offset. Tests replace the source; an empty function restores the system's.
    static double localOffsetFromGMT();
    static void setLocalOffsetFunction(std::function<double()> offset);

    // A stored forwarded delivery tells the other holders that the id arrived: "UOMFR" through
    // the published UDP server, or through the sender set here (tests) instead.
    static void setReceivedNoticeSender(std::function<void(qint64 messageId)> sender);
};

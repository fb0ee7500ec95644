#pragma once

#include "core/model/LogEntry.h"
#include "core/wire/PacketField.h"

#include <QPointer>

#include <functional>

class ManagedObjectContext;
class QObject;
class User;

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
    // The fewest fields a packet of the word is read with: "TSM" and "TMM" never read field 7.
    // 0 for a word that is no message word.
    static int fieldsNeeded(const QString &word);

    // What became of a received message packet.
    struct Receipt {
        // The "TMR" to write back, or empty for none (a packet too short to be read).
        PacketArray reply;
        // Nothing could be kept now (the save failed, or the run has no store to keep it in):
        // there must be no receipt, and the sender must see the exchange fail, so that it keeps
        // its copy or hands the message to other copies.
        bool refused = false;
    };
    // A received message packet (field 6 already decoded to text) from the peer's address:
    // stores it as a history line or a held copy, or nothing (a known id, the same message under
    // another id, another recipient, unknown users). The receipt is only given once the store
    // holds the packet: the context is saved first, and a forwarded copy that was stored is
    // announced ("UOMFR") only after that save. A forwarded delivery from an author this copy
    // does not know makes the author known and is stored; a hand-over naming the local user as
    // its recipient is a message for us, not a copy to hold.
    static Receipt receive(const PacketArray &fields, const QString &fromIP);
    // The same, told through `done` on the main loop once the save that holds the packet is
    // over: packets that arrive together share one save (GroupCommit), and each receipt still
    // waits for the save that holds its own packet. `done` may run before this returns.
    static void receiveThen(const PacketArray &fields, const QString &fromIP,
                            std::function<void(const Receipt &)> done);
    // The reply of receive(): the "TMR", or empty for none.
    static PacketArray gotMessage(const PacketArray &fields, const QString &fromIP);
    // The acknowledgement of a message packet whose sender id (field 3) is given.
    static PacketArray receiptPacket(const QString &senderUserId);

    // A stored incoming line from the author that is the message a forwarded copy brings under
    // another id: same text and kind, and a line that came forwarded carries the same sending
    // time to the second, while one that came directly was stamped on arrival, which is at most
    // the delivery's time-outs after the sending time. Null when there is none.
    static Message *findSameMessage(ManagedObjectContext *context, const User *author, const QString &text,
                                    bool mass, qint64 sentSeconds);

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

private:
    // A new line is in the store: it is shown, and a forwarded one (`delivery`) is announced to
    // the other holders.
    static void lineStored(const QPointer<User> &sender, const QPointer<Message> &message, bool delivery,
                           qint64 messageId, const QString &myId, const QString &myPc, qint64 mySession);
};

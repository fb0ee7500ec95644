#pragma once

#include "core/wire/PacketField.h"
#include "platform/store/ManagedObject.h"

#include <QPointer>

#include <functional>
#include <optional>

class LogEntry;
class ManagedObjectContext;
class Message;
class TCPserver;
class User;

// A chat room. It has no owner: every member's copy keeps a row with the same room number,
// its own list of the members it knows to be present and its own history. Members tell each
// other about joins, leaves and lines with one packet per member ("CRJR", "CRLR", "CRSM",
// "CRGRI" and their replies "CRRR", "CRLRR", "CRSMR", "CRGRR").
class Chat : public ManagedObject {
public:
    static constexpr const char *EntityName = "Chat";

    // Room numbers are drawn below this.
    static constexpr qint64 RoomIdLimit = 999999;
    // A member list from the network is read up to this many ids, each of at most
    // MaxUserIdLength characters; the rest is ignored.
    static constexpr int MaxMemberIds = 1024;
    static constexpr int MaxUserIdLength = 64;

    static Chat *findByChatRoomId(ManagedObjectContext *context, qint64 roomId);
    // The first stored room with the number of the text, in the program's context; null for
    // an unknown room or a text that is no room number.
    static Chat *findByChatRoomId(const QString &roomIdText);
    // The room number of a text: its integer value, as every copy reads it (other copies draw
    // their numbers from other ranges); nothing when the text holds no number at all.
    static std::optional<qint64> roomIdFromText(const QString &text);

    // A new room with the users (the local user is left out). Without a room number one is
    // drawn and the users are told ("CRJR"); with one, a room of a single user asks that user
    // for the other members ("CRGRI"). A number already stored names that room: it takes the
    // users in instead of a second room of the number being made. The room is live afterwards.
    static Chat *createWithUsers(const QList<User *> &users, const QString &roomIdText = QString());

    // Rooms that packets from the network may make: a burst, then a steady rate, so that a host
    // sending join packets for ever new numbers cannot fill the store. Above it a packet is
    // answered and makes no room.
    static constexpr int RoomsFromNetworkBurst = 32;
    static constexpr double RoomsFromNetworkPerSecond = 1.0;
    // Whether a packet may make one more room now; takes its place when so.
    static bool admitRoomFromNetwork();
    // Tests: the burst is whole again.
    static void resetRoomAdmission();

    qint64 roomId() const { return integerValue(QStringLiteral("roomId")); }
    void setRoomId(qint64 v) { setValue(QStringLiteral("roomId"), v); }

    // `log` is never loaded as a whole: read it with the queries below.
    void addLogObject(LogEntry *entry);
    void removeLogObject(LogEntry *entry);
    qint64 logEntriesNumber() const;
    QList<LogEntry *> lastLogEnties(int n) const;
    QList<LogEntry *> logEntriesBefore(const QDateTime &timeReceived, qint64 rowId, int n) const;
    // `time` of the room's oldest Message; invalid when it has none.
    QDateTime firstMessageDate() const;

    // Not in the model: the members present (never the local user) and the room's window.
    // The local user and repeated users are left out; a real change of the members posts
    // "chatMembersChanged" with the room as object.
    QList<User *> currentUsers() const { return m_currentUsers; }
    void setCurrentUsers(const QList<User *> &users);
    QObject *conversationWindow() const { return m_conversationWindow; }
    void setConversationWindow(QObject *window) { m_conversationWindow = window; }

    // The local user's id, then every member's, joined by ",".
    QString userIDsString() const;
    // "CRJR" with the member list to every member, online or not.
    void informJoin();
    // "CRLR" to every member; the room is no longer live.
    void leaveChat();
    // Stores the line for every member, sends "CRSM" to the online ones (offline members get
    // nothing, and nothing is held for them), saves and posts "logUpdated" with the room.
    Message *sendMessage(const QString &text);
    // "CRGRI" to one member (an online one when there is any).
    void requestRoomInfo();

    // The packet of the word to a recipient, in the common layout; the payload goes in field 6.
    PacketArray packet(const QString &word, const QString &recipientId,
                       const PacketField &payload = PacketField(QStringLiteral("*"))) const;
    // A reply of the word to the sender (field 3) of a request.
    static PacketArray replyPacket(const QString &word, const PacketArray &request,
                                   const PacketField &payload = PacketField(QStringLiteral("*")));

    // The handlers of the chat-room words: the packet (field 6 already decoded) and the peer's
    // address; each returns the reply, or an empty array for none. "CRGRR" is read by
    // receivedJoinInfo, whose reply the server then drops.
    static PacketArray receivedJoinInfo(const PacketArray &fields, const QString &fromIP = QString());
    static PacketArray receivedLeaveInfo(const PacketArray &fields, const QString &fromIP = QString());
    static PacketArray receivedMessage(const PacketArray &fields, const QString &fromIP = QString());
    static PacketArray receivedRoomInfoRequest(const PacketArray &fields, const QString &fromIP = QString());
    // Plugs the handlers into the server's dispatch.
    static void registerHandlers(TCPserver &server);

    // The rooms in use in this run: created, joined or written to, and not left.
    static QList<Chat *> liveChats();
    bool isLive() const;

    // Tests: the source of room numbers (bound given; an empty function restores the random one).
    static void setRandomSource(std::function<quint32(quint32 bound)> source);

private:
    void enterLiveSet();
    void leaveLiveSet();
    void send(const PacketArray &packet, User *to) const;
    static qint64 drawRoomId(ManagedObjectContext *context);

    QList<User *> m_currentUsers;
    QPointer<QObject> m_conversationWindow;
};

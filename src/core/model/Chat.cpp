#include "core/model/Chat.h"

#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/model/LogEntry.h"
#include "core/model/LogQuery.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "core/wire/IntegerValue.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/dispatch/Queue.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

#include <QHash>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSet>

namespace {

Q_LOGGING_CATEGORY(lcChat, "murnavell.core.chat")

const QString kStar = QStringLiteral("*");

QList<QPointer<Chat>> &liveSet() {
    static QList<QPointer<Chat>> set;
    return set;
}

std::function<quint32(quint32)> &randomSource() {
    static std::function<quint32(quint32)> source;
    return source;
}

// A field of a packet that may be shorter than the handler expects.
QString fieldText(const PacketArray &fields, int i) {
    return i < fields.size() ? fields.at(i).toString() : QString();
}

// A user already known, looked up by id alone.
User *knownUser(const QString &userId) {
    if (userId.isEmpty()) return nullptr;
    if (UserList *roster = UserList::shared()) return roster->getUserById(userId, QString());
    return User::findByUserId(appManagedObjectContext(), userId);
}

bool usable(const User *u) { return u && !u->isDeleted(); }

// The known users of a member list from the network, without the local user. The list is
// read up to a bound, and ids that cannot be user ids are skipped unread.
QList<User *> knownMembersOf(const QString &list, const Me *me) {
    QStringList ids;
    QSet<QString> seen;
    qsizetype from = 0;
    int pieces = 0;
    while (from <= list.size() && pieces < Chat::MaxMemberIds) {
        qsizetype comma = list.indexOf(u',', from);
        if (comma < 0) comma = list.size();
        const QStringView id = QStringView(list).sliced(from, comma - from).trimmed();
        from = comma + 1;
        ++pieces;
        if (id.isEmpty() || id.size() > Chat::MaxUserIdLength || id == kStar) continue;
        const QString text = id.toString();
        if ((me && text == me->userId()) || seen.contains(text)) continue;
        seen.insert(text);
        ids.append(text);
    }

    QList<User *> out;
    const auto add = [&](User *u) {
        if (usable(u) && u != me && !out.contains(u)) out.append(u);
    };
    if (ids.size() <= 4) {
        for (const QString &id : ids) add(knownUser(id));
        return out;
    }
    // A long list is matched in one pass over the users, not with one fetch per id.
    UserList *roster = UserList::shared();
    ManagedObjectContext *context = roster ? roster->context() : appManagedObjectContext();
    if (!context) return out;
    QHash<QString, User *> byId;
    for (User *u : context->fetch<User>())
        if (!byId.contains(u->userId())) byId.insert(u->userId(), u);
    for (const QString &id : ids) {
        User *u = byId.value(id);
        // A former local-user row becomes a plain user through the roster.
        if (u && dynamic_cast<Me *>(u)) u = knownUser(id);
        add(u);
    }
    return out;
}

} // namespace

// --- Lookup and creation ---

Chat *Chat::findByChatRoomId(ManagedObjectContext *context, qint64 roomId) {
    if (!context) return nullptr;
    const QList<Chat *> chats =
        context->fetch<Chat>([roomId](const Chat *c) { return c->roomId() == roomId; });
    return chats.isEmpty() ? nullptr : chats.first();
}

Chat *Chat::findByChatRoomId(const QString &roomIdText) {
    const std::optional<qint64> id = roomIdFromText(roomIdText);
    return id ? findByChatRoomId(appManagedObjectContext(), *id) : nullptr;
}

std::optional<qint64> Chat::roomIdFromText(const QString &text) {
    const std::optional<qint64> id = leadingInteger(text);
    if (!id) qCInfo(lcChat).noquote() << "room number without a number:" << text.left(32);
    return id;
}

qint64 Chat::drawRoomId(ManagedObjectContext *context) {
    const auto draw = []() -> qint64 {
        const auto &source = randomSource();
        return source ? qint64(source(quint32(RoomIdLimit)) % quint32(RoomIdLimit))
                      : qint64(QRandomGenerator::global()->bounded(quint32(RoomIdLimit)));
    };
    // 0 stands for "no room" in call packets, and a number in use would merge two rooms.
    qint64 id = draw();
    for (int attempt = 0; attempt < 64 && (id == 0 || findByChatRoomId(context, id)); ++attempt) id = draw();
    return id;
}

void Chat::setRandomSource(std::function<quint32(quint32)> source) { randomSource() = std::move(source); }

namespace {

struct RoomAdmission {
    double places = Chat::RoomsFromNetworkBurst;
    QDateTime countedAt;
};

RoomAdmission &roomAdmission() {
    static RoomAdmission admission;
    return admission;
}

} // namespace

bool Chat::admitRoomFromNetwork() {
    RoomAdmission &a = roomAdmission();
    const QDateTime now = Clock::now();
    if (a.countedAt.isValid() && a.countedAt < now) {
        const double seconds = double(a.countedAt.msecsTo(now)) / 1000.0;
        a.places = std::min(double(RoomsFromNetworkBurst), a.places + seconds * RoomsFromNetworkPerSecond);
    }
    // A clock set back only restarts the count from here.
    a.countedAt = now;
    if (a.places < 1) {
        qCInfo(lcChat) << "a room from the network refused: too many new rooms at once";
        return false;
    }
    a.places -= 1;
    return true;
}

void Chat::resetRoomAdmission() { roomAdmission() = RoomAdmission{}; }

Chat *Chat::createWithUsers(const QList<User *> &users, const QString &roomIdText) {
    ManagedObjectContext *context = appManagedObjectContext();
    if (!context) return nullptr;
    const Me *me = Me::current();
    QList<User *> members;
    for (User *u : users)
        if (usable(u) && u != me && !members.contains(u)) members.append(u);

    // Two rows of one number would split the room: lines would go to the first, the window to
    // the second.
    const std::optional<qint64> storedId = roomIdText.isNull() ? std::nullopt : roomIdFromText(roomIdText);
    if (Chat *stored = storedId ? findByChatRoomId(context, *storedId) : nullptr) {
        QList<User *> merged = stored->currentUsers();
        for (User *u : members)
            if (!merged.contains(u)) merged.append(u);
        if (merged != stored->currentUsers()) stored->setCurrentUsers(merged);
        if (merged.size() == 1) stored->requestRoomInfo();
        stored->enterLiveSet();
        return stored;
    }

    auto *chat = context->insert<Chat>();
    chat->setCurrentUsers(members);

    if (!roomIdText.isNull()) {
        chat->setRoomId(storedId ? *storedId : drawRoomId(context));
        // The other members are learned from the one we know.
        if (members.size() == 1) chat->requestRoomInfo();
    } else {
        chat->setRoomId(drawRoomId(context));
        chat->informJoin();
    }
    chat->enterLiveSet();
    return chat;
}

// --- Log ---

void Chat::addLogObject(LogEntry *entry) { addToMany(QStringLiteral("log"), entry); }

void Chat::removeLogObject(LogEntry *entry) { removeToMany(QStringLiteral("log"), entry); }

qint64 Chat::logEntriesNumber() const { return LogQuery::count(this); }

QList<LogEntry *> Chat::lastLogEnties(int n) const { return LogQuery::newest(this, n); }

QList<LogEntry *> Chat::logEntriesBefore(const QDateTime &timeReceived, qint64 rowId, int n) const {
    return LogQuery::before(this, timeReceived, rowId, n);
}

QDateTime Chat::firstMessageDate() const {
    ManagedObjectContext *context = managedObjectContext();
    if (!context) return {};
    FetchRequest r;
    r.entityName = QString::fromLatin1(Message::EntityName);
    r.where = QStringLiteral("t.\"chat\" = ?");
    r.bindings = {rowId()};
    r.orderBy = QStringLiteral("t.\"time\" IS NULL, t.\"time\" ASC, t.id ASC");
    r.predicate = [this](const ManagedObject *o) { return static_cast<const Message *>(o)->chat() == this; };
    r.lessThan = [](const ManagedObject *a, const ManagedObject *b) {
        const QDateTime ta = static_cast<const Message *>(a)->time(),
                        tb = static_cast<const Message *>(b)->time();
        if (ta.isValid() != tb.isValid()) return ta.isValid();
        if (ta != tb) return ta < tb;
        return a->rowId() < b->rowId();
    };
    r.limit = 1;
    const QList<ManagedObject *> found = context->executeFetch(r);
    return found.isEmpty() ? QDateTime() : static_cast<const Message *>(found.first())->time();
}

// --- Members and the live set ---

void Chat::setCurrentUsers(const QList<User *> &users) {
    // The local user is never a member of its own rooms, and nobody is a member twice.
    const Me *me = Me::current();
    QList<User *> members;
    for (User *u : users)
        if (u && u != me && !members.contains(u)) members.append(u);
    if (members == m_currentUsers) return;
    m_currentUsers = members;
    NotificationCenter::defaultCenter().post(QStringLiteral("chatMembersChanged"), this);
}

QString Chat::userIDsString() const {
    QStringList ids;
    if (const Me *me = Me::current()) ids.append(me->userId());
    for (const User *u : m_currentUsers)
        if (usable(u)) ids.append(u->userId());
    return ids.join(u',');
}

QList<Chat *> Chat::liveChats() {
    QList<Chat *> out;
    liveSet().removeIf([](const QPointer<Chat> &c) { return !c || c->isDeleted(); });
    for (const QPointer<Chat> &c : liveSet()) out.append(c.data());
    return out;
}

bool Chat::isLive() const { return liveChats().contains(const_cast<Chat *>(this)); }

void Chat::enterLiveSet() {
    if (!isLive()) liveSet().append(QPointer<Chat>(this));
}

void Chat::leaveLiveSet() {
    liveSet().removeIf([this](const QPointer<Chat> &c) { return !c || c.data() == this; });
}

// --- Sending ---

PacketArray Chat::packet(const QString &word, const QString &recipientId, const PacketField &payload) const {
    const Me *me = Me::current();
    return {word,
            QString::number(roomId()),
            me ? me->pc() : QString(),
            me ? me->userId() : QString(),
            kStar,
            recipientId,
            payload,
            kStar};
}

PacketArray Chat::replyPacket(const QString &word, const PacketArray &request, const PacketField &payload) {
    const Me *me = Me::current();
    return {word,
            fieldText(request, 1),
            me ? me->pc() : QString(),
            me ? me->userId() : QString(),
            kStar,
            fieldText(request, 3),
            payload,
            kStar};
}

void Chat::send(const PacketArray &packet, User *to) const {
    if (TCPserver *server = TCPserver::shared())
        server->SendTCPpacket(KDTPacket::PlainPackeFromArray(packet), to, nullptr);
}

void Chat::informJoin() {
    const QString members = userIDsString();
    for (User *u : m_currentUsers)
        if (usable(u)) send(packet(QStringLiteral("CRJR"), u->userId(), members), u);
}

void Chat::leaveChat() {
    for (User *u : m_currentUsers)
        if (usable(u)) send(packet(QStringLiteral("CRLR"), u->userId()), u);
    leaveLiveSet();
}

Message *Chat::sendMessage(const QString &text) {
    ManagedObjectContext *context = managedObjectContext();
    if (!context) return nullptr;
    const Me *me = Me::current();
    auto *message = context->insert<Message>();
    for (User *u : m_currentUsers)
        if (usable(u)) message->addUserObject(u);
    message->setMessage(text);
    message->setIncoming(false);
    message->setOriginalSenderName(me ? me->name() : QString());
    addLogObject(message);
    // Stored before anything goes out, so the line survives whatever the sends meet.
    saveContextIfChanged();

    const QByteArray encoded = encodeTextField(text);
    for (User *u : m_currentUsers)
        if (usable(u) && !u->userOffline()) send(packet(QStringLiteral("CRSM"), u->userId(), encoded), u);
    NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), this);
    return message;
}

void Chat::requestRoomInfo() {
    User *member = nullptr;
    for (User *u : m_currentUsers) {
        if (!usable(u)) continue;
        if (!member) member = u;
        // An online member answers; an offline one would only cost the time-out.
        if (!u->userOffline()) {
            member = u;
            break;
        }
    }
    if (member) send(packet(QStringLiteral("CRGRI"), member->userId()), member);
}

// --- Receiving ---

PacketArray Chat::receivedJoinInfo(const PacketArray &fields, const QString &) {
    const QString senderId = fieldText(fields, 3);
    if (fields.size() < 7 || senderId.isEmpty()) return {};
    const PacketArray reply = replyPacket(QStringLiteral("CRRR"), fields);
    const QString roomText = fieldText(fields, 1);
    if (!roomIdFromText(roomText)) return reply;
    Me *me = Me::current();
    // 1-3. Only users this copy knows can be members; the local user is one already.
    User *sender = knownUser(senderId);
    if (!usable(sender) || sender == me) sender = nullptr;
    QList<User *> joined = knownMembersOf(fieldText(fields, 6), me);
    if (joined.isEmpty()) return reply;

    // 4. A call with the room, or with the sender when there is no room, learns of the join.
    Chat *room = findByChatRoomId(roomText);
    Chat *const callChat = room;
    User *const callUser = room ? nullptr : sender;
    AppInterface *ui = AppInterface::current();

    if (room && room->conversationWindow()) {
        // 5. The window adds the members it does not have yet.
        QList<User *> added;
        for (User *u : joined)
            if (!room->currentUsers().contains(u)) added.append(u);
        if (!added.isEmpty()) ui->usersJoinedToRoom(room->conversationWindow(), added, QString());
    } else if (room) {
        room->setCurrentUsers(joined);
        room->enterLiveSet();
    } else {
        // 6. An open conversation with the sender becomes the room's window.
        if (sender && sender->conversationWindow())
            room = ui->usersJoinedToRoom(sender->conversationWindow(), joined, roomText);
        // 7. Otherwise a room of its own, with a single member asking that member for the rest.
        if (!room && admitRoomFromNetwork()) {
            if (sender && !joined.contains(sender)) joined.append(sender);
            room = createWithUsers(joined, roomText);
        }
    }
    // 8.
    if (room) ui->conversationAddedUsers(callChat, callUser, joined, room);
    return reply;
}

PacketArray Chat::receivedLeaveInfo(const PacketArray &fields, const QString &) {
    User *sender = knownUser(fieldText(fields, 3));
    if (!usable(sender) || sender == Me::current()) return {};
    const PacketArray reply = replyPacket(QStringLiteral("CRLRR"), fields);
    Chat *room = findByChatRoomId(fieldText(fields, 1));
    // A leave from someone who is no member changes nothing.
    if (!room || !room->currentUsers().contains(sender)) return reply;
    if (QObject *window = room->conversationWindow()) {
        AppInterface::current()->userLeftRoom(window, sender);
        return reply;
    }
    QList<User *> members = room->currentUsers();
    members.removeAll(sender);
    room->setCurrentUsers(members);
    if (members.isEmpty()) room->leaveLiveSet();
    return reply;
}

PacketArray Chat::receivedMessage(const PacketArray &fields, const QString &) {
    const QString senderId = fieldText(fields, 3);
    if (fields.size() < 7 || senderId.isEmpty()) return {};
    const PacketArray reply = replyPacket(QStringLiteral("CRSMR"), fields);
    // 1. A room this copy does not keep: acknowledged, nothing stored.
    Chat *room = findByChatRoomId(fieldText(fields, 1));
    if (!room) return reply;
    // 2. Nothing from an unknown sender, nor from one posing as the local user.
    User *sender = knownUser(senderId);
    Me *me = Me::current();
    if (!usable(sender) || sender == me) return {};
    ManagedObjectContext *context = room->managedObjectContext();
    if (!context) return reply;

    // 3.
    auto *message = context->insert<Message>();
    message->addUserObject(sender);
    message->setMessage(fieldText(fields, 6));
    message->setIncoming(true);
    message->setOriginalSenderName(sender->name());
    message->setChat(room);
    QList<User *> members = room->currentUsers();
    const bool membersUnknown = members.isEmpty();
    if (!members.contains(sender)) {
        members.append(sender);
        room->setCurrentUsers(members);
    }
    // A room read back from the store (or emptied by leaves) learns its members from the writer.
    if (membersUnknown) room->requestRoomInfo();
    room->enterLiveSet();

    // 4. Shown once the server has saved and queued the reply.
    QPointer<Chat> roomGuard(room);
    QPointer<Message> messageGuard(message);
    dispatch::Queue::main()->async([roomGuard, messageGuard] {
        if (!roomGuard || roomGuard->isDeleted() || !messageGuard || messageGuard->isDeleted()) return;
        AppInterface *ui = AppInterface::current();
        if (!roomGuard->conversationWindow())
            roomGuard->setConversationWindow(ui->openChatWindow(roomGuard, true));
        // Also without a window: a history viewer of the room may be open.
        NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), roomGuard.data());
        ui->showHistoryLine(messageGuard);
        messageGuard->playSoundAndPopupWindow();
    });
    // 5.
    return reply;
}

PacketArray Chat::receivedRoomInfoRequest(const PacketArray &fields, const QString &) {
    if (fieldText(fields, 3).isEmpty()) return {};
    Chat *room = findByChatRoomId(fieldText(fields, 1));
    if (!room) return {};
    return replyPacket(QStringLiteral("CRGRR"), fields, room->userIDsString());
}

void Chat::registerHandlers(TCPserver &server) {
    server.setHandler(QStringLiteral("CRJR"), &Chat::receivedJoinInfo);
    server.setHandler(QStringLiteral("CRGRR"), &Chat::receivedJoinInfo);
    server.setHandler(QStringLiteral("CRGRI"), &Chat::receivedRoomInfoRequest);
    server.setHandler(QStringLiteral("CRSM"), &Chat::receivedMessage);
    server.setHandler(QStringLiteral("CRLR"), &Chat::receivedLeaveInfo);
}

// Chat-room commands of the driver, and the events of stored room lines and member changes.
//
//   chat-create <userId,userId,...>   a new room with these known users ("chat-created")
//   chat-send <room> <text>           a line to the room ("chat-sent")
//   chat-leave <room>                 leave the room ("ok")
//   chats                             every stored room with its members ("chats")
//   chat-history <room>               the room's lines, oldest first ("chat-history")
//
// Events: "chat-message" when a line from a peer is stored in a room, "chat-members" when a
// room's members change.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/model/Chat.h"
#include "core/model/LogEntry.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "platform/dispatch/Queue.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/ManagedObjectContext.h"

#include <QJsonArray>
#include <QPointer>

namespace {

using Json = QJsonObject;

User *knownUser(const QString &id) {
    return UserList::shared() ? UserList::shared()->getUserById(id, {}) : nullptr;
}

QJsonArray idsOf(const QList<User *> &users) {
    QJsonArray ids;
    for (const User *u : users) ids.append(u->userId());
    return ids;
}

Json chatJson(Chat *chat) {
    return {{"room", QString::number(chat->roomId())},
            {"members", idsOf(chat->currentUsers())},
            {"live", chat->isLive()},
            {"lines", double(chat->logEntriesNumber())}};
}

Chat *roomOf(const QString &command, const QString &text) {
    Chat *chat = Chat::findByChatRoomId(text.trimmed());
    if (!chat) DriverCommands::error(command, "unknown room " + text.trimmed());
    return chat;
}

void create(const QString &rest) {
    QList<User *> users;
    for (const QString &id : rest.trimmed().split(u',', Qt::SkipEmptyParts)) {
        User *u = knownUser(id.trimmed());
        if (!u) return DriverCommands::error("chat-create", "unknown user " + id);
        users.append(u);
    }
    if (users.isEmpty())
        return DriverCommands::error("chat-create", "usage: chat-create <userId,userId,...>");
    Chat *chat = Chat::createWithUsers(users);
    saveContextIfChanged();
    Json event = chatJson(chat);
    event.insert("event", "chat-created");
    DriverCommands::emitEvent(event);
}

void send(const QString &rest) {
    QString text;
    Chat *chat = roomOf("chat-send", DriverCommands::firstWord(rest, &text));
    if (!chat) return;
    Message *m = chat->sendMessage(text);
    if (!m) return DriverCommands::error("chat-send", "nothing stored");
    DriverCommands::emitEvent(
        {{"event", "chat-sent"}, {"room", QString::number(chat->roomId())}, {"to", idsOf(m->user())}});
}

void leave(const QString &rest) {
    Chat *chat = roomOf("chat-leave", rest);
    if (!chat) return;
    chat->leaveChat();
    saveContextIfChanged();
    DriverCommands::emitEvent(
        {{"event", "ok"}, {"command", "chat-leave"}, {"room", QString::number(chat->roomId())}});
}

void chats(const QString &) {
    QJsonArray list;
    for (Chat *chat : appManagedObjectContext()->fetch<Chat>()) list.append(chatJson(chat));
    DriverCommands::emitEvent({{"event", "chats"}, {"chats", list}});
}

void history(const QString &rest) {
    Chat *chat = roomOf("chat-history", rest);
    if (!chat) return;
    QJsonArray entries;
    const QList<LogEntry *> lines = chat->lastLogEnties(int(qMin<qint64>(chat->logEntriesNumber(), 100000)));
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        auto *m = dynamic_cast<Message *>(*it);
        if (!m) continue;
        const QList<User *> users = m->user();
        entries.append(Json{{"direction", m->incoming() ? "in" : "out"},
                            {"from", m->incoming() && !users.isEmpty() ? users.first()->userId() : QString()},
                            {"sender", m->originalSenderName()},
                            {"users", idsOf(users)},
                            {"text", m->message()}});
    }
    DriverCommands::emitEvent(
        {{"event", "chat-history"}, {"room", QString::number(chat->roomId())}, {"entries", entries}});
}

// The handler fills the row after inserting it; report it once the read is over.
void reportInserted(ManagedObject *object) {
    if (!dynamic_cast<Message *>(object)) return;
    QPointer<ManagedObject> guard(object);
    dispatch::Queue::main()->async([guard] {
        auto *m = dynamic_cast<Message *>(guard.data());
        if (!m || m->isDeleted() || !m->incoming() || !m->chat()) return;
        const QList<User *> users = m->user();
        DriverCommands::emitEvent({{"event", "chat-message"},
                                   {"room", QString::number(m->chat()->roomId())},
                                   {"from", users.isEmpty() ? QString() : users.first()->userId()},
                                   {"text", m->message()}});
    });
}

DriverCommands::Registrar chatRooms([] {
    DriverCommands::add(QStringLiteral("chat-create"), create);
    DriverCommands::add(QStringLiteral("chat-send"), send);
    DriverCommands::add(QStringLiteral("chat-leave"), leave);
    DriverCommands::add(QStringLiteral("chats"), chats);
    DriverCommands::add(QStringLiteral("chat-history"), history);
    DriverCommands::addStartup([] {
        if (TCPserver *server = TCPserver::shared()) Chat::registerHandlers(*server);
        ManagedObjectContext *ctx = appManagedObjectContext();
        QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, reportInserted);
        // Reported in a later turn, when a new room has its number.
        NotificationCenter::defaultCenter().addObserver(
            QStringLiteral("chatMembersChanged"), nullptr, [](const Notification &n) {
                QPointer<Chat> chat(static_cast<Chat *>(const_cast<void *>(n.object)));
                dispatch::Queue::main()->async([chat] {
                    if (!chat || chat->isDeleted()) return;
                    Json event = chatJson(chat);
                    event.insert("event", "chat-members");
                    DriverCommands::emitEvent(event);
                });
            });
    });
});

} // namespace

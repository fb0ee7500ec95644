#include "core/model/UserListModel.h"

#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/LogEntry.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "transfer/FileTransfer.h"

namespace {

using T = AttributeType;

AttributeDescription attr(const char *name, AttributeType type) { return {QString::fromLatin1(name), type}; }

RelationshipDescription toOne(const char *name, const char *destination, const char *inverse) {
    RelationshipDescription r;
    r.name = QString::fromLatin1(name);
    r.destination = QString::fromLatin1(destination);
    r.inverse = QString::fromLatin1(inverse);
    return r;
}

RelationshipDescription toMany(const char *name, const char *destination, const char *inverse) {
    RelationshipDescription r = toOne(name, destination, inverse);
    r.toMany = true;
    return r;
}

RelationshipDescription manyToMany(const char *name, const char *destination, const char *inverse,
                                   const char *joinTable, bool owner) {
    RelationshipDescription r = toMany(name, destination, inverse);
    r.joinTable = QString::fromLatin1(joinTable);
    r.joinOwner = owner;
    return r;
}

RelationshipDescription byQuery(RelationshipDescription r) {
    r.inMemory = false;
    return r;
}

template <class C> std::function<ManagedObject *()> factory() {
    return [] { return new C; };
}

ManagedObjectModel build() {
    ManagedObjectModel m(2);

    EntityDescription treeItem;
    treeItem.name = QStringLiteral("TreeItem");
    treeItem.table = QStringLiteral("tree_items");
    treeItem.abstract = true;
    treeItem.resident = true;
    treeItem.attributes = {attr("name", T::String), attr("isUser", T::Boolean)};
    m.addEntity(treeItem);

    EntityDescription user;
    user.name = QStringLiteral("User");
    user.parent = treeItem.name;
    for (const char *s :
         {"userId", "pc", "ip", "logonUser", "oSversion", "version", "firstName", "lastName", "department",
          "jobTitle", "additionalInformation", "status", "statusString", "idleTime", "isOnTS", "tsClientIP",
          "tsServerIP", "tsClientPCname", "tsConnectionState"})
        user.attributes.append(attr(s, T::String));
    user.attributes.append(attr("userOffline", T::Boolean));
    user.attributes.append(attr("removed", T::Boolean));
    user.attributes.append(attr("seenLastTime", T::Date));
    user.attributes.append(attr("sessionId", T::Integer));
    user.relationships = {
        toOne("group", "Group", "users"),
        byQuery(manyToMany("log", "LogEntry", "user", "log_entry_users", false)),
        manyToMany("offlineMessages", "MessageForForwarding", "recipients", "held_message_recipients", false),
        // To-many: every held message keeps its author until it is deleted.
        toMany("offlineMessagesSent", "MessageForForwarding", "sender"),
    };
    user.factory = factory<User>();
    m.addEntity(user);

    EntityDescription me;
    me.name = QStringLiteral("Me");
    me.parent = user.name;
    me.attributes = {attr("inIdleAway", T::Boolean), attr("statusBeforeIdle", T::String)};
    me.factory = factory<Me>();
    m.addEntity(me);

    EntityDescription group;
    group.name = QStringLiteral("Group");
    group.parent = treeItem.name;
    group.attributes = {attr("expanded", T::Boolean)};
    group.relationships = {toMany("users", "User", "group")};
    group.factory = factory<Group>();
    m.addEntity(group);

    EntityDescription logEntry;
    logEntry.name = QStringLiteral("LogEntry");
    logEntry.table = QStringLiteral("log_entries");
    logEntry.attributes = {attr("incoming", T::Boolean), attr("time", T::Date), attr("timeReceived", T::Date),
                           attr("originalSenderName", T::String)};
    RelationshipDescription logUsers = manyToMany("user", "User", "log", "log_entry_users", true);
    // A user's history is read newest first straight from the join rows.
    logUsers.joinSortAttribute = QStringLiteral("timeReceived");
    logEntry.relationships = {logUsers, toOne("chat", "Chat", "log")};
    logEntry.factory = factory<LogEntry>();
    m.addEntity(logEntry);

    EntityDescription message;
    message.name = QStringLiteral("Message");
    message.parent = logEntry.name;
    message.attributes = {attr("mass", T::Boolean), attr("message", T::String), attr("messageId", T::Integer),
                          attr("offline", T::Boolean)};
    message.factory = factory<Message>();
    m.addEntity(message);

    EntityDescription systemMessage;
    systemMessage.name = QStringLiteral("SystemMessage");
    systemMessage.parent = logEntry.name;
    systemMessage.attributes = {attr("text", T::String), attr("error", T::Boolean)};
    systemMessage.factory = factory<SystemMessage>();
    m.addEntity(systemMessage);

    EntityDescription fileTransfer;
    fileTransfer.name = QStringLiteral("FileTransfer");
    fileTransfer.parent = logEntry.name;
    fileTransfer.attributes = {attr("filesNumber", T::Integer), attr("filesTransferred", T::Integer),
                               attr("filesTotalSize", T::Integer), attr("transferState", T::Integer),
                               attr("folderPath", T::Url)};
    fileTransfer.factory = factory<FileTransfer>();
    m.addEntity(fileTransfer);

    EntityDescription held;
    held.name = QStringLiteral("MessageForForwarding");
    held.table = QStringLiteral("held_messages");
    held.resident = true;
    // The text (up to megabytes each) stays in the store until a copy is delivered: opening
    // reads each copy's size, which is all the bounds need.
    AttributeDescription heldText = attr("message", T::Data);
    heldText.deferred = true;
    held.attributes = {attr("mass", T::Boolean), heldText, attr("messageId", T::Integer), attr("time", T::Date)};
    held.relationships = {
        manyToMany("recipients", "User", "offlineMessages", "held_message_recipients", true),
        toOne("sender", "User", "offlineMessagesSent"),
    };
    held.factory = factory<MessageForForwarding>();
    m.addEntity(held);

    EntityDescription chat;
    chat.name = QStringLiteral("Chat");
    chat.table = QStringLiteral("chats");
    chat.resident = true;
    chat.attributes = {attr("roomId", T::Integer)};
    chat.relationships = {byQuery(toMany("log", "LogEntry", "chat"))};
    chat.factory = factory<Chat>();
    m.addEntity(chat);

    // The reads of histories, known message ids and held copies. Every index here is one more
    // page each message's save writes: a private line (no chat) is found through its join rows,
    // so only room lines are indexed by chat, and nothing reads the log by time alone.
    m.addSchemaStatement(QStringLiteral("DROP INDEX IF EXISTS log_entries_by_time"));
    m.addSchemaStatement(QStringLiteral("DROP INDEX IF EXISTS log_entries_by_chat"));
    m.addSchemaStatement(QStringLiteral(
        "CREATE INDEX IF NOT EXISTS log_entries_in_rooms ON log_entries(\"chat\", \"timeReceived\", id) "
        "WHERE \"chat\" IS NOT NULL"));
    m.addSchemaStatement(QStringLiteral(
        "CREATE INDEX IF NOT EXISTS log_entries_by_message_id ON log_entries(\"messageId\") WHERE "
        "\"messageId\" IS NOT NULL"));
    m.addSchemaStatement(
        QStringLiteral("CREATE INDEX IF NOT EXISTS held_messages_by_sender ON held_messages(\"sender\")"));
    m.addSchemaStatement(
        QStringLiteral("CREATE INDEX IF NOT EXISTS tree_items_by_group ON tree_items(\"group\")"));
    return m;
}

} // namespace

const ManagedObjectModel &UserListModel::model() {
    static const ManagedObjectModel model = build();
    return model;
}

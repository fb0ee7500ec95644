#include "core/model/Chat.h"

#include "core/model/LogEntry.h"
#include "core/model/LogQuery.h"
#include "core/model/Message.h"
#include "platform/store/ManagedObjectContext.h"

Chat *Chat::findByChatRoomId(ManagedObjectContext *context, qint64 roomId) {
    if (!context) return nullptr;
    const QList<Chat *> chats =
        context->fetch<Chat>([roomId](const Chat *c) { return c->roomId() == roomId; });
    return chats.isEmpty() ? nullptr : chats.first();
}

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

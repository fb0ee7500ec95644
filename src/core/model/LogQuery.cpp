#include "core/model/LogQuery.h"

#include "core/model/Chat.h"
#include "core/model/LogEntry.h"
#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"

namespace {

// Newest first; an entry without a time sorts last, as NULL does in the store.
bool olderThanKey(const LogEntry *e, const QDateTime &t, qint64 id) {
    const QDateTime et = e->timeReceived();
    if (!et.isValid()) return false; // the store's comparison with NULL is never true
    return et < t || (et == t && e->rowId() < id);
}

QList<LogEntry *> asEntries(const QList<ManagedObject *> &objects) {
    QList<LogEntry *> out;
    out.reserve(objects.size());
    for (ManagedObject *o : objects)
        if (auto *e = dynamic_cast<LogEntry *>(o)) out.append(e);
    return out;
}

} // namespace

FetchRequest LogQuery::request(const ManagedObject *owner) { return request(owner, false, {}, 0); }

FetchRequest LogQuery::request(const ManagedObject *owner, bool paged, const QDateTime &timeReceived,
                               qint64 rowId) {
    FetchRequest r;
    r.entityName = QString::fromLatin1(LogEntry::EntityName);
    r.lessThan = [](const ManagedObject *a, const ManagedObject *b) {
        return LogEntry::newerThan(static_cast<const LogEntry *>(a), static_cast<const LogEntry *>(b));
    };
    const qint64 key = timeReceived.isValid() ? timeReceived.toMSecsSinceEpoch() : 0;
    if (const auto *user = dynamic_cast<const User *>(owner)) {
        // Walks the join rows of the user in (sortKey, owner) order: no sort, no table scan.
        r.from = QStringLiteral("log_entry_users j JOIN log_entries t ON t.id = j.owner");
        r.where = QStringLiteral("j.target = ? AND t.\"chat\" IS NULL");
        r.bindings = {user->rowId()};
        r.orderBy = QStringLiteral("j.sortKey DESC, j.owner DESC");
        if (paged) {
            r.where += QStringLiteral(" AND (j.sortKey < ? OR (j.sortKey = ? AND j.owner < ?))");
            r.bindings << key << key << rowId;
        }
        r.predicate = [user, paged, timeReceived, rowId](const ManagedObject *o) {
            const auto *e = static_cast<const LogEntry *>(o);
            if (e->chat() || !e->user().contains(const_cast<User *>(user))) return false;
            return !paged || olderThanKey(e, timeReceived, rowId);
        };
    } else if (const auto *chat = dynamic_cast<const Chat *>(owner)) {
        r.where = QStringLiteral("t.\"chat\" = ?");
        r.bindings = {chat->rowId()};
        r.orderBy = QStringLiteral("t.\"timeReceived\" DESC, t.id DESC");
        if (paged) {
            r.where +=
                QStringLiteral(" AND (t.\"timeReceived\" < ? OR (t.\"timeReceived\" = ? AND t.id < ?))");
            r.bindings << key << key << rowId;
        }
        r.predicate = [chat, paged, timeReceived, rowId](const ManagedObject *o) {
            const auto *e = static_cast<const LogEntry *>(o);
            if (e->chat() != chat) return false;
            return !paged || olderThanKey(e, timeReceived, rowId);
        };
    } else {
        r.where = QStringLiteral("0");
        r.predicate = [](const ManagedObject *) { return false; };
    }
    return r;
}

qint64 LogQuery::count(const ManagedObject *owner) {
    if (!owner || !owner->managedObjectContext()) return 0;
    return owner->managedObjectContext()->count(request(owner));
}

QList<LogEntry *> LogQuery::newest(const ManagedObject *owner, int n) {
    if (!owner || !owner->managedObjectContext() || n <= 0) return {};
    FetchRequest r = request(owner);
    r.limit = n;
    return asEntries(owner->managedObjectContext()->executeFetch(r));
}

QList<LogEntry *> LogQuery::before(const ManagedObject *owner, const QDateTime &timeReceived, qint64 rowId,
                                   int n) {
    if (!owner || !owner->managedObjectContext() || n <= 0) return {};
    FetchRequest r = request(owner, true, timeReceived, rowId);
    r.limit = n;
    return asEntries(owner->managedObjectContext()->executeFetch(r));
}

#include "core/model/LogEntry.h"

#include "core/model/Chat.h"
#include "core/model/User.h"
#include "platform/store/Clock.h"

QList<User *> LogEntry::user() const { return toManyAs<User>(QStringLiteral("user")); }

void LogEntry::addUserObject(User *user) { addToMany(QStringLiteral("user"), user); }

void LogEntry::removeUserObject(User *user) { removeToMany(QStringLiteral("user"), user); }

Chat *LogEntry::chat() const { return dynamic_cast<Chat *>(toOne(QStringLiteral("chat"))); }

void LogEntry::setChat(Chat *chat) { setToOne(QStringLiteral("chat"), chat); }

bool LogEntry::newerThan(const LogEntry *a, const LogEntry *b) {
    const QDateTime ta = a->timeReceived(), tb = b->timeReceived();
    if (ta.isValid() != tb.isValid()) return ta.isValid();
    if (ta != tb) return ta > tb;
    return a->rowId() > b->rowId();
}

void LogEntry::awakeFromInsert() {
    ManagedObject::awakeFromInsert();
    const QDateTime now = Clock::now();
    setTimeReceived(now);
    setTime(now);
}

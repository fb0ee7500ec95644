#include "core/model/User.h"

#include "core/model/Group.h"
#include "core/model/LogEntry.h"
#include "core/model/LogQuery.h"
#include "core/model/MessageForForwarding.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

User *User::findByUserId(ManagedObjectContext *context, const QString &userId) {
    if (!context || userId.isEmpty()) return nullptr;
    const QList<User *> users = context->fetch<User>([&](const User *u) { return u->userId() == userId; });
    return users.isEmpty() ? nullptr : users.first();
}

Group *User::group() const { return dynamic_cast<Group *>(toOne(QStringLiteral("group"))); }

void User::setGroup(Group *group) { setToOne(QStringLiteral("group"), group); }

void User::addLogObject(LogEntry *entry) { addToMany(QStringLiteral("log"), entry); }

void User::removeLogObject(LogEntry *entry) { removeToMany(QStringLiteral("log"), entry); }

QList<MessageForForwarding *> User::offlineMessages() const {
    return toManyAs<MessageForForwarding>(QStringLiteral("offlineMessages"));
}

void User::addOfflineMessagesObject(MessageForForwarding *message) {
    addToMany(QStringLiteral("offlineMessages"), message);
}

void User::removeOfflineMessagesObject(MessageForForwarding *message) {
    removeToMany(QStringLiteral("offlineMessages"), message);
}

QList<MessageForForwarding *> User::offlineMessagesSent() const {
    return toManyAs<MessageForForwarding>(QStringLiteral("offlineMessagesSent"));
}

qint64 User::logEntriesNumber() const { return LogQuery::count(this); }

QList<LogEntry *> User::lastLogEnties(int n) const { return LogQuery::newest(this, n); }

QList<LogEntry *> User::logEntriesBefore(const QDateTime &timeReceived, qint64 rowId, int n) const {
    return LogQuery::before(this, timeReceived, rowId, n);
}

void User::setName(const QString &name) {
    if (name == this->name()) return;
    TreeItem::setName(name);
    NotificationCenter::defaultCenter().post(QStringLiteral("userChangedHisName"), this);
}

void User::setStatus(const QString &status) {
    // 1. What the new status clears.
    if (status == QLatin1String("0"))
        setStatusString(QString());
    else if (status != QLatin1String("2"))
        setIdleTime(QString());
    // 2. The offline flag follows the status; a hidden user shows again when it flips.
    const bool offline = status == QLatin1String("10");
    if (userOffline() != offline) {
        if (removed()) {
            setRemoved(false);
            if (!group()) setGroup(Group::general(managedObjectContext()));
        }
        setUserOffline(offline);
        NotificationCenter::defaultCenter().post(QStringLiteral("userChangedHisOfflineStatus"), this);
    }
    // 3.
    setValue(QStringLiteral("status"), status);
    updateIcon();
    // 4. Every sign of life, even from a user already online, may release held messages.
    if (!offline) {
        MessageForForwarding::sendOnUserIn(this);
        setSeenLastTime(Clock::now());
    }
}

void User::updateIcon() {
    const QString s = status();
    if (userOffline())
        setIcon(QStringLiteral("Offline"));
    else if (s == QLatin1String("0"))
        setIcon(QStringLiteral("Normal"));
    else if (s == QLatin1String("2"))
        setIcon(QStringLiteral("Away"));
    else
        setIcon(QStringLiteral("Dnd"));
}

void User::awakeFromInsert() {
    TreeItem::awakeFromInsert();
    m_canCall = -1;
    setPrimitiveValue(QStringLiteral("isUser"), true);
    setSeenLastTime(Clock::now());
    updateIcon();
}

void User::awakeFromFetch() {
    TreeItem::awakeFromFetch();
    m_canCall = -1;
    if (!removed() && !group()) setGroup(Group::general(managedObjectContext()));
    // Nobody is online until the network says so, unless heard from just now. A time ahead of
    // the clock (the clock was set back) is no more recent than one far behind it.
    const QDateTime seen = seenLastTime();
    if (!seen.isValid() || qAbs(seen.msecsTo(Clock::now())) > 500) setStatus(QStringLiteral("10"));
    // Also when setStatus was refused (the local user ignores "10"): the icon is transient
    // and must be made on every fetch.
    updateIcon();
}

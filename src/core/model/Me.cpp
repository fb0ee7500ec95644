#include "core/model/Me.h"

#include "core/model/Group.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/runloop/Timer.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/strings/Strings.h"
#include "platform/system/AccountInfo.h"
#include "platform/system/IdleTime.h"
#include "platform/system/ScreenSaverMonitor.h"
#include "platform/system/SystemIdentity.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>

namespace {

Q_LOGGING_CATEGORY(lcMe, "murnavell.core.me")

QPointer<ManagedObject> &currentMe() {
    static QPointer<ManagedObject> me;
    return me;
}

// The one auto-away check timer of the process.
QPointer<Timer> &idleTimerSlot() {
    static QPointer<Timer> timer;
    return timer;
}

void stopIdleTimer() {
    if (Timer *timer = idleTimerSlot()) {
        timer->invalidate();
        timer->deleteLater();
    }
    idleTimerSlot() = nullptr;
}

// A setting the start-up registers; its registered value when nobody has (tests, tools).
bool boolSetting(const char *key, bool registered) {
    const QString name = QString::fromLatin1(key);
    Defaults &defaults = Defaults::standard();
    return defaults.contains(name) ? defaults.boolForKey(name) : registered;
}

// The away or busy text as the settings hold it, also when the user left it empty: peers then
// see no text rather than one the user never chose. The built-in text only where nothing
// registered the setting (tests, tools).
QString statusMessage(const QString &key, const char *english) {
    Defaults &defaults = Defaults::standard();
    if (!defaults.contains(key))
        return Strings::localized(QStringLiteral("Localizable"), QString::fromLatin1(english));
    const QString text = defaults.stringForKey(key);
    return text.isNull() ? QString(QLatin1String("")) : text;
}

} // namespace

QString Me::applicationVersion() { return QStringLiteral("5.0.0"); }

Me *Me::current() { return static_cast<Me *>(currentMe().data()); }

void Me::setCurrent(Me *me) { currentMe() = me; }

bool Me::isLocal() const {
    const Me *roster = current();
    return !roster || roster == this;
}

Me *Me::getMe(ManagedObjectContext *context) {
    if (!context) return nullptr;
    const QList<Me *> rows = context->fetch<Me>();
    Me *me = nullptr;
    if (!rows.isEmpty()) {
        me = rows.first();
        me->fillUserInfo();
    } else {
        me = context->insert<Me>();
        if (!me) return nullptr;
        me->setGroup(Group::general(context));
        me->setUserId(defaultUserId());
        // The first name is stored as it is: nobody has heard of this copy yet.
        me->User::setName(defaultName());
        me->fillUserInfo();
    }
    StoreError error;
    if (context->hasChanges() && !context->save(&error))
        qCWarning(lcMe).noquote() << "saving the local user failed:" << error.message;
    return me;
}

QString Me::userIdFromDirectory(const std::optional<QString> &smbSid, const std::optional<QString> &uniqueId,
                                const std::function<quint32()> &random) {
    std::optional<QString> value;
    if (smbSid) {
        value = *smbSid;
        if (value->isEmpty()) value = uniqueId;
    }
    if (value && !value->isEmpty()) {
        const bool longValue = value->size() >= 10;
        QString id = *value;
        id.remove(QLatin1Char('-'));
        if (longValue) id = id.right(9);
        if (!id.isEmpty()) return QLatin1Char('A') + id;
    }
    return QLatin1Char('A') + QString::number(random());
}

QString Me::defaultUserId() {
    // getpwuid_r gives no directory id (a uid number repeats on every machine, so it cannot
    // tell copies apart): the id is drawn at random.
    return userIdFromDirectory(std::nullopt, std::nullopt,
                               [] { return QRandomGenerator::global()->bounded(100000000u, 999999999u); });
}

QString Me::cleanUserName(const QString &name) {
    static const QString forbidden = QStringLiteral("%<>:\"/\\|?*");
    QString out;
    out.reserve(name.size());
    for (const QChar c : name)
        if (!forbidden.contains(c)) out.append(c);
    return out;
}

QString Me::defaultName() {
    const AccountInfo account = AccountInfo::current();
    const QString full = cleanUserName(account.fullName).trimmed();
    if (!full.isEmpty()) return full;
    return cleanUserName(account.loginName);
}

void Me::fillUserInfo() {
    // 1. A stored offline or missing status starts available; any other is set again so that
    //    its text and icon are made afresh.
    const QString stored = status();
    setStatus(stored.isEmpty() || stored == QLatin1String("10") ? QStringLiteral("0") : stored);
    // 2. The session number survives restarts.
    if (sessionId() == 0) setSessionId(qint64(QRandomGenerator::global()->bounded(1u, 999999999u)));
    // 3.
    setPc(SystemIdentity::shortHostName());
    setVersion(applicationVersion());
    setIsOnTS(QStringLiteral("0"));
    setOSversion(QStringLiteral("Mac OS X ") + SystemIdentity::versionText());
    const AccountInfo account = AccountInfo::current();
    if (!account.loginName.isEmpty()) setLogonUser(account.loginName);
    setUserOffline(false);
    setColor(QStringLiteral("grey"));
    setIp(QStringLiteral("127.0.0.1"));
    // 4. and 5.
    observeSystem();
}

void Me::observeSystem() {
    if (m_observing) return;
    m_observing = true;
    QObject::connect(&ScreenSaverMonitor::shared(), &ScreenSaverMonitor::activeChanged, this,
                     [this](bool active) { screensaverDid(active); });
    Defaults &defaults = Defaults::standard();
    QObject::connect(&defaults, &Defaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String("autoAwayEnabled")) setAutoAwayEnabled(boolSetting("autoAwayEnabled", true));
    });
    // The switch follows the setting at once, as a binding would.
    setAutoAwayEnabled(boolSetting("autoAwayEnabled", true));
}

void Me::setStatus(const QString &status) {
    if (!isLocal()) {
        User::setStatus(status);
        return;
    }
    if (status == QLatin1String("10")) return;
    if (status != QLatin1String("0")) {
        if (status == QLatin1String("2"))
            setStatusString(statusMessage(QStringLiteral("awayMessage"),
                                          "I am away from my computer. Please leave your message and I will "
                                          "reply to you as soon as I am back."));
        else
            setStatusString(
                statusMessage(QStringLiteral("busyMessage"), "I am busy now. Please do not disturb me."));
    }
    User::setStatus(status);
    if (UDPserver::shared()) sendUDPnotification(QStringLiteral("SS"), QString(), QString());
}

void Me::setName(const QString &name) {
    const QString old = this->name();
    if (name == old) return;
    if (isLocal() && UDPserver::shared()) sendUDPnotification(QStringLiteral("UC"), old, name);
    User::setName(name);
}

void Me::setUserId(const QString &userId) {
    if (!isLocal()) {
        User::setUserId(userId);
        return;
    }
    // Under the old id first, so peers take the old user offline (a first id had no peers).
    if (!this->userId().isEmpty()) goOffline();
    User::setUserId(userId);
    if (UDPserver *server = UDPserver::shared()) server->RefreshUserList(false);
    if (ManagedObjectContext *context = managedObjectContext()) {
        StoreError error;
        if (context->hasChanges() && !context->save(&error))
            qCWarning(lcMe).noquote() << "saving the new user id failed:" << error.message;
    }
}

void Me::sendUDPnotification(const QString &word, const QString &oldName, const QString &newName) {
    UDPserver *server = UDPserver::shared();
    if (!server) return;
    if (newName.isEmpty()) {
        server->SendUDPpacketTo(nullptr, word, oldName, newName);
        return;
    }
    UserList *list = UserList::shared();
    if (!list) return;
    for (User *user : list->allUsersWithoutOffline(true, true))
        server->SendUDPpacketTo(user, word, oldName, newName);
}

void Me::goOffline() { sendUDPnotification(QStringLiteral("UO"), QString(), QString()); }

void Me::setAutoAwayEnabled(bool enabled) {
    if (enabled) {
        m_autoAwayEnabled = true;
        stopIdleTimer();
        QPointer<Me> self(this);
        idleTimerSlot() = Timer::scheduled(1.0, true, [self](Timer *) {
            if (self && !self->isDeleted()) self->idleCheckTimer();
        });
    } else {
        m_autoAwayEnabled = false;
        // The status stays as it is: the user switched the rule off, not came back.
        setInIdleAway(false);
        stopIdleTimer();
    }
}

QString Me::measureIdleTime() {
    const std::optional<double> seconds = IdleTime::secondsSinceLastInput();
    QString result;
    Defaults &defaults = Defaults::standard();
    const QString key = QStringLiteral("autoAwayMinutes");
    const qint64 minutes = defaults.contains(key) ? defaults.integerForKey(key) : 10;
    if (seconds && *seconds / 60.0 > double(minutes)) result = QString::number(qint64(*seconds * 1000.0));
    if (result != User::idleTime()) setPrimitiveValue(QStringLiteral("idleTime"), result);
    return result;
}

QString Me::userInfoValue(const QString &key) {
    // Measured now: the auto-away check may be off, or a second old.
    if (key == QLatin1String("idleTime")) return measureIdleTime();
    const QVariant v = value(key);
    return v.isValid() && !v.isNull() ? v.toString() : QString();
}

void Me::idleCheckTimer() {
    if (!m_inScreensaverAway && measureIdleTime().isEmpty()) {
        if (inIdleAway()) {
            setInIdleAway(false);
            const QString before = statusBeforeIdle();
            setStatus(before.isEmpty() ? QStringLiteral("0") : before);
        }
    } else if (!inIdleAway()) {
        setInIdleAway(true);
        setStatusBeforeIdle(status());
        setStatus(QStringLiteral("2"));
    }
}

void Me::screensaverDid(bool started) {
    if (started) {
        if (!boolSetting("sreensaverAwayEnabled", true)) return;
        m_inScreensaverAway = true;
    } else {
        // Cleared whatever the setting says now: it may have been switched off while the
        // screensaver ran, and the user must not stay away for good.
        if (!m_inScreensaverAway) return;
        m_inScreensaverAway = false;
    }
    if (!m_autoAwayEnabled) idleCheckTimer();
}

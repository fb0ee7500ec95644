#include "core/net/UserList.h"

#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/model/Group.h"
#include "core/model/LogEntry.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UDPserver.h"
#include "core/wire/IntegerValue.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

#include <QLoggingCategory>

#include <algorithm>

namespace {

Q_LOGGING_CATEGORY(lcRoster, "murnavell.core.roster")

// Presence fields the roster reads.
constexpr int kType = 0;
constexpr int kStatus = 1;
constexpr int kComputer = 2;
constexpr int kUserId = 3;
constexpr int kAddressee = 5;
constexpr int kName = 7;
constexpr int kSession = 8;
constexpr int kVersion = 14;
// Fields 0 to 8 are read from every packet; field 14 only when it is there.
constexpr qsizetype kFieldsRead = 9;
constexpr qsizetype kFieldsWithVersion = 16; // with the address appended

QPointer<UserList> &sharedList() {
    static QPointer<UserList> list;
    return list;
}

std::function<void(User *)> &infoRequest() {
    static std::function<void(User *)> request;
    return request;
}

std::function<void(bool)> &networkingSwitch() {
    static std::function<void(bool)> change;
    return change;
}

bool soundSetting(const char *key) {
    const QString name = QString::fromLatin1(key);
    Defaults &defaults = Defaults::standard();
    // Both are on in the registered defaults.
    return defaults.contains(name) ? defaults.boolForKey(name) : true;
}

} // namespace

UserList *UserList::shared() { return sharedList(); }

void UserList::setShared(UserList *list) { sharedList() = list; }

UserList::UserList(QObject *parent) : QObject(parent) {}

UserList::~UserList() {
    if (sharedList() == this) sharedList() = nullptr;
}

void UserList::setContext(ManagedObjectContext *context) { context_ = context; }

ManagedObjectContext *UserList::context() const {
    if (context_) return context_;
    return appManagedObjectContext();
}

Me *UserList::me() const { return me_.data(); }

void UserList::setMe(Me *me) {
    me_ = me;
    Me::setCurrent(me);
}

void UserList::updateMe() {
    // The row must be the roster's before it is refreshed, so that it acts as the local user.
    ManagedObjectContext *ctx = context();
    if (ctx) {
        const QList<Me *> rows = ctx->fetch<Me>();
        if (!rows.isEmpty()) setMe(rows.first());
    }
    setMe(Me::getMe(ctx));
}

void UserList::setInfoRequestFunction(std::function<void(User *)> request) {
    infoRequest() = std::move(request);
}

void UserList::requestUserInfo(User *user) {
    if (!user) return;
    // On the main queue's next turn: the answer to the packet being handled ("AL" to a "UI")
    // leaves first, so a newcomer knows this copy when the request reaches it. A request from
    // a copy it does not know yet gets no details, and the user would stay offline here until
    // the next refresh.
    QPointer<User> target(user);
    dispatch::Queue::main()->async([target] {
        if (!target || target->isDeleted()) return;
        if (infoRequest())
            infoRequest()(target);
        else
            target->RequestUserInfo();
    });
}

void UserList::setNetworkingSwitch(std::function<void(bool)> change) {
    networkingSwitch() = std::move(change);
}

User *UserList::adoptFormerMe(Me *former) {
    // A local-user row of an earlier id: it becomes an ordinary user with its history.
    ManagedObjectContext *ctx = former->managedObjectContext();
    User *user = ctx->insert<User>();
    for (const AttributeDescription &attribute : ctx->model().allAttributes(QStringLiteral("User")))
        user->setValue(attribute.name, former->value(attribute.name));
    user->setGroup(former->group());
    const QList<LogEntry *> lines =
        former->lastLogEnties(int(qMin<qint64>(former->logEntriesNumber(), INT_MAX)));
    for (LogEntry *line : lines) {
        line->addUserObject(user);
        line->removeUserObject(former);
    }
    // Its copies waiting for delivery go with it: deleted with the row, they would lose their
    // author (and be dropped as copies that cannot be framed) or their recipient.
    for (MessageForForwarding *held : former->offlineMessagesSent()) held->setSender(user);
    for (MessageForForwarding *held : former->offlineMessages()) {
        held->addRecipientsObject(user);
        held->removeRecipientsObject(former);
    }
    ctx->deleteObject(former);
    user->updateIcon();
    return user;
}

void UserList::setUnknownUserBurst(double burst) {
    unknownUserBurst_ = std::max(1.0, burst);
    unknownUserPlaces_ = unknownUserBurst_;
}

bool UserList::admitUnknownUser() {
    const QDateTime now = Clock::now();
    if (placesCountedAt_.isValid() && placesCountedAt_ < now) {
        const double seconds = double(placesCountedAt_.msecsTo(now)) / 1000.0;
        unknownUserPlaces_ = std::min(unknownUserBurst_, unknownUserPlaces_ + seconds * UnknownUsersPerSecond);
    }
    // A clock set back only restarts the count from here.
    placesCountedAt_ = now;
    if (unknownUserPlaces_ < 1) return false;
    unknownUserPlaces_ -= 1;
    return true;
}

User *UserList::getUserById(const QString &userId, const QString &ip, bool *limited) {
    if (userId.isEmpty()) return nullptr;
    if (me_ && userId == me_->userId()) return me_;
    ManagedObjectContext *ctx = context();
    if (!ctx) return nullptr;
    if (User *found = User::findByUserId(ctx, userId)) {
        if (Me *former = dynamic_cast<Me *>(found); former && former != me_) return adoptFormerMe(former);
        return found;
    }
    if (ip.isEmpty()) return nullptr;
    if (!admitUnknownUser()) {
        if (limited) *limited = true;
        return nullptr;
    }
    User *user = ctx->insert<User>();
    user->setUserId(userId);
    user->setIp(ip);
    user->setStatus(QStringLiteral("10"));
    user->setGroup(Group::general(ctx));
    requestUserInfo(user);
    someUsersExceptMeEverSeen_ = true;
    return user;
}

QList<User *> UserList::allUsersWithoutOffline(bool withoutOffline, bool andMe) {
    ManagedObjectContext *ctx = context();
    if (!ctx) return {};
    const Me *local = me_;
    if (!withoutOffline && !andMe) return ctx->fetch<User>();
    return ctx->fetch<User>([&](const User *u) {
        if (u->removed()) return false;
        if (withoutOffline && u->userOffline()) return false;
        if (andMe && u == local) return false;
        return true;
    });
}

User *UserList::UpdateUserDataWithUDP(const QStringList &packet) {
    // A short array cannot be read field by field: fields 0 to 8 and the address are needed.
    if (packet.size() < kFieldsRead + 1) return nullptr;
    Me *local = me_;
    if (!local) return nullptr;
    const QString &address = packet.last();
    const QString &type = packet.at(kType);
    const QString &status = packet.at(kStatus);
    const QString &senderId = packet.at(kUserId);
    const QString &session = packet.at(kSession);
    const bool hasSession = session != QLatin1String("*") && session != QLatin1String("0");

    // 1. The local user's own id.
    if (senderId == local->userId()) {
        if (hasSession && integerValue(session) != local->sessionId()) {
            qCWarning(lcRoster).noquote() << "another copy uses this user id from" << address;
            stopEverything(address);
            return nullptr;
        }
        local->setIp(address);
        return local;
    }
    // 2. A "UO" under this copy's own session number comes from an earlier id of this copy.
    if (type == QLatin1String("UO") && integerValue(session) == local->sessionId()) return nullptr;
    // 3. Meant for another user.
    const QString &addressee = packet.at(kAddressee);
    if (addressee != QLatin1String("*") && addressee != local->userId()) return nullptr;
    // 4. "*" is the mark of a field that carries nothing, never an id.
    if (senderId == QLatin1String("*")) return nullptr;
    User *user = getUserById(senderId, address);
    if (!user) return nullptr;
    // 5.
    if (user->ip() != address) user->setIp(address);
    // 6.
    if (packet.size() >= kFieldsWithVersion) user->setVersion(packet.at(kVersion));
    // 7. Only an answer may rename a known user.
    const QString &name = packet.at(kName);
    if (name != QLatin1String("*") && (user->name().isEmpty() || type == QLatin1String("AL")))
        user->setName(name);
    // 8. The new name comes with the answer to a personal refresh.
    if (type == QLatin1String("UC")) {
        if (UDPserver *server = UDPserver::shared()) server->SendPersonalizedRefreshPacketTo(user);
    }
    // 9.
    if (type != QLatin1String("TP") && type != QLatin1String("UOMFR")) {
        if (type == QLatin1String("UO")) {
            if (!user->userOffline()) user->setStatus(QStringLiteral("10"));
        } else if (user->status() != status) {
            // Any status but available comes with the user's details (the "TSI" answer).
            if (status != QLatin1String("0") || type == QLatin1String("UI"))
                requestUserInfo(user);
            else
                user->setStatus(QStringLiteral("0"));
        }
    }
    // 10.
    if (type == QLatin1String("UI") && soundSetting("sounds.enabled") && soundSetting("sounds.onUserOnline"))
        dispatch::Queue::main()->async([] { AppInterface::current()->playSound(QStringLiteral("Online")); });
    // 11.
    const QString &computer = packet.at(kComputer);
    if (user->pc() != computer) user->setPc(computer);
    user->setSeenLastTime(Clock::now());
    return user;
}

void UserList::goOffline() {
    if (me_) me_->goOffline();
    for (User *user : allUsersWithoutOffline(true, true)) user->setStatus(QStringLiteral("10"));
}

void UserList::stopEverything(const QString &otherCopyAddress) {
    const bool wasStopped = stopped_;
    const bool newAddress = otherCopyAddress != otherCopyAddress_;
    stopped_ = true;
    otherCopyAddress_ = otherCopyAddress;
    // Switched off on every duplicate, not only the first: whatever turned the servers on again,
    // two copies must never run under one id.
    if (networkingSwitch())
        networkingSwitch()(false);
    else if (TCPserver *tcp = TCPserver::shared())
        tcp->turnOffserver();
    else if (UDPserver *server = UDPserver::shared())
        server->endWork();
    if (!wasStopped || newAddress) emit networkingChanged(false);
}

void UserList::startEverything() {
    // Cleared first: the servers refuse to start while the stop holds.
    stopped_ = false;
    if (networkingSwitch())
        networkingSwitch()(true);
    else if (TCPserver *tcp = TCPserver::shared())
        tcp->adaptersChanged();
    else if (UDPserver *server = UDPserver::shared())
        server->beginWork();
    emit networkingChanged(true);
}

void UserList::signInButtonClicked() { startEverything(); }

bool UserList::networkingHeldStopped() {
    const UserList *list = shared();
    return list && list->stopped_;
}

Group *UserList::AddNewGroup() {
    ManagedObjectContext *ctx = context();
    if (!ctx) return nullptr;
    Group *group = ctx->insert<Group>();
    group->setName(QStringLiteral("New Group"));
    return group;
}

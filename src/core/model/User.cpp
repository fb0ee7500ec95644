#include "core/model/User.h"

#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/model/Group.h"
#include "core/model/LogEntry.h"
#include "core/model/LogQuery.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

std::function<void(User *, Message *)> &offlineHandOver() {
    static std::function<void(User *, Message *)> handler;
    return handler;
}

std::function<void(User *)> &typingNoticeSender() {
    static std::function<void(User *)> sender;
    return sender;
}

std::function<quint32(quint32)> &randomSource() {
    static std::function<quint32(quint32)> source;
    return source;
}

// The leading integer of a text (blanks, sign, digits), 0 when there is none.
qint64 leadingInteger(const QString &text) {
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) negative = text.at(i++) == u'-';
    qint64 value = 0;
    for (; i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 128; ++i) {
        if (value > (qint64(1) << 50)) break; // only ever compared with small numbers
        value = value * 10 + (text.at(i).unicode() - u'0');
    }
    return negative ? -value : value;
}

// The major version: the integer value of the text before the first ".".
qint64 majorVersion(const QString &version) { return leadingInteger(version.section(u'.', 0, 0)); }

const QString kStar = QStringLiteral("*");

} // namespace

User *User::findByUserId(ManagedObjectContext *context, const QString &userId) {
    if (!context || userId.isEmpty()) return nullptr;
    // From the store's index: a roster of thousands answers as fast as one of ten.
    static const QString entity = QString::fromLatin1(User::EntityName);
    return dynamic_cast<User *>(context->firstWithValue(entity, QStringLiteral("userId"), userId));
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

Message *User::SendMessage(const QString &text, const std::optional<QList<User *>> &toMass) {
    ManagedObjectContext *context = managedObjectContext();
    if (!context) return nullptr;
    Me *me = Me::current();
    auto *message = context->insert<Message>();
    message->setMessage(text);
    message->setIncoming(false);
    message->setMass(toMass.has_value());
    message->setMessageId(genInt64random());
    message->setOriginalSenderName(me ? me->name() : QString());
    const QList<User *> recipients = toMass ? *toMass : QList<User *>{this};
    for (User *recipient : recipients) message->addUserObject(recipient);

    // Online recipients are held for until each confirms, so that neither a crash of this copy
    // nor an exchange that ends without a receipt can lose the message. They are taken before any
    // packet leaves: a hand-over whose connect fails within the call marks its holder offline at
    // once, and a recipient it marked must still get its copy (its own send then fails the same
    // way and hands that copy over).
    TCPserver *server = TCPserver::shared();
    QList<User *> online;
    for (User *recipient : recipients)
        if (!recipient->userOffline()) online.append(recipient);
    MessageForForwarding::holdUntilConfirmed(message, online, server != nullptr);
    // Recipients already known to be offline are handed over at once. All of it is stored
    // before the first packet leaves.
    SendOfflineMessageIfNeeded(message);
    // The line shows as sent either way; the user is told when it lives only in memory.
    reportSentMessageStored(saveContextIfChanged());

    bool toMyself = false;
    for (User *recipient : recipients) {
        NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), recipient);
        if (recipient == me) toMyself = true;
        if (!online.contains(recipient)) continue;
        if (server)
            server->SendTCPpacket(KDTPacket::PlainPackeFromArray(messagePacket(message, recipient)),
                                  recipient, message);
    }
    // A packet also goes to the local user's own address; it arrives as a known id and is only
    // acknowledged, so the line is shown from here.
    if (toMyself && me) {
        me->MessageReceived();
        AppInterface::current()->showHistoryLine(message);
        message->playSoundAndPopupWindow();
    }
    return message;
}

PacketArray User::messagePacket(const Message *message, const User *recipient) {
    const Me *me = Me::current();
    return {message->mass() ? QStringLiteral("TMM") : QStringLiteral("TSM"),
            QString::number(message->messageId()),
            me ? me->pc() : QString(),
            me ? me->userId() : QString(),
            kStar,
            recipient ? recipient->userId() : QString(),
            encodeTextField(message->message()),
            kStar};
}

PacketArray User::infoRequestPacket(const User *target) {
    const Me *me = Me::current();
    return {QStringLiteral("TRI"),
            kStar,
            me ? me->pc() : QString(),
            me ? me->userId() : QString(),
            kStar,
            target ? target->userId() : QString(),
            kStar,
            kStar};
}

namespace {

// The local user already holds this message for the recipient (an earlier hand-over of the same
// message: a mass message whose deliveries fail one after another). Only a message of several
// users is held under a new id, so only for it can the same time and text tell the earlier copy;
// a message of one user keeps its id, and another with the same text and time is another message.
bool alreadyHeldFor(const Message *message, User *recipient, const User *me) {
    const bool underNewIds = message->user().size() > 1;
    for (const MessageForForwarding *held : recipient->offlineMessages()) {
        if (held->isDeleted() || held->sender() != me || held->mass() != message->mass()) continue;
        if (held->messageId() == message->messageId()) return true;
        if (underNewIds && held->time() == message->time() &&
            KDTAES::decryptString(held->message(), true) == message->message())
            return true;
    }
    return false;
}

// A fresh id that nothing stored carries yet (ids are random; a clash would make a recipient
// take the copy for one it has).
qint64 freshMessageId(ManagedObjectContext *context) {
    qint64 id = User::genInt64random();
    for (int tries = 0; tries < 8 && User::messageIdExists(context, id); ++tries) id = User::genInt64random();
    return id;
}

} // namespace

void User::SendOfflineMessageIfNeeded(Message *message) {
    if (const auto &handler = offlineHandOver()) {
        handler(this, message);
        return;
    }
    if (!message || message->isDeleted()) return;
    ManagedObjectContext *context = message->managedObjectContext();
    Me *me = Me::current();
    if (!context || !me) return;
    const QList<User *> users = message->user();
    QList<User *> offline;
    for (User *u : users) {
        if (u == me || !u->userOffline()) continue;
        // The copy that waited for its receipt makes way for the hand-over.
        MessageForForwarding::releaseForHandOver(message, u);
        if (!alreadyHeldFor(message, u, me)) offline.append(u);
    }
    if (offline.isEmpty()) return;

    // A message of one user keeps its id everywhere. A message of several users has a new id
    // per offline recipient, because the holders may have stored the message itself (they were
    // among its online recipients); the local user holds each recipient's copy under that same
    // id, so whichever holder delivers first, the recipient stores it once and the others' copies
    // go by the recipient's "UOMFR" or its "TMR" to a copy it already has.
    const bool several = users.size() > 1;
    const QByteArray cipher = KDTAES::encryptString(message->message(), true);
    const auto hold = [&](const QList<User *> &waiting, qint64 id) {
        auto *held = context->insert<MessageForForwarding>();
        held->setMass(message->mass());
        held->setMessageId(id);
        held->setTime(message->time());
        held->setMessage(cipher);
        held->setSender(me);
        for (User *u : waiting) held->addRecipientsObject(u);
    };
    QList<std::pair<User *, qint64>> copies;
    for (User *u : offline) {
        const qint64 id = several ? freshMessageId(context) : message->messageId();
        copies.append({u, id});
        hold({u}, id);
    }

    UserList *roster = UserList::shared();
    const QList<User *> holders = roster ? roster->allUsersWithoutOffline(true, true) : QList<User *>();
    for (const auto &[recipient, id] : copies)
        for (User *holder : holders)
            MessageForForwarding::sendPacket(
                KDTPacket::PlainPackeFromArray(handOverPacket(message, recipient, id, holder)), holder,
                nullptr);
    MessageForForwarding::ensureRetryTimer();
}

PacketArray User::handOverPacket(const Message *message, const User *recipient, qint64 id,
                                 const User *holder) {
    const Me *me = Me::current();
    QString name = me ? me->name() : QString();
    if (name.isEmpty()) name = kStar;
    return {message->mass() ? QStringLiteral("TSOMM") : QStringLiteral("TSOM"),
            recipient ? recipient->userId() : QString(),
            QString::number(id),
            me ? me->userId() : QString(),
            MessageForForwarding::wallClockSecondsText(message->time()),
            holder ? holder->userId() : QString(),
            encodeTextField(message->message()),
            name};
}

void User::setOfflineHandOverHandler(std::function<void(User *, Message *)> handler) {
    offlineHandOver() = std::move(handler);
}

void User::RequestUserInfo() {
    if (TCPserver *server = TCPserver::shared()) server->requestUserInfo(this);
}

void User::sendIsTyping() {
    const QDateTime now = Clock::now();
    if (m_typingSent.isValid() && m_typingSent.msecsTo(now) <= 2000 && m_typingSent <= now) return;
    if (const auto &sender = typingNoticeSender()) sender(this);
    m_typingSent = now;
}

void User::setTypingNoticeSender(std::function<void(User *)> sender) {
    typingNoticeSender() = std::move(sender);
}

bool User::isWindows() const { return oSversion().contains(QLatin1String("Windows")); }

bool User::UTF8compatible() const {
    const QString v = version(), os = oSversion();
    if (v.isEmpty() && os.isEmpty()) return false;
    const qint64 major = majorVersion(v);
    if (major >= 10 && isWindows()) return true;
    return major >= 4 && os.contains(QLatin1String("Mac OS"));
}

bool User::canCall() {
    if (m_canCall == 0 || m_canCall == 1) return m_canCall == 1;
    const QString v = version(), os = oSversion();
    if (v.isEmpty() && os.isEmpty()) return false;
    const qint64 major = majorVersion(v);
    static const QRegularExpression system(
        QStringLiteral("(Windows|Mac OS X .+)(?: Server)? ([0-9.]+) (R2)?"));
    bool can = false;
    const QRegularExpressionMatch match = system.match(os);
    if (match.hasMatch()) {
        const QStringList numbers = match.captured(2).split(u'.');
        const qint64 first = leadingInteger(numbers.value(0));
        const qint64 second = leadingInteger(numbers.value(1));
        if (match.captured(1) == QLatin1String("Windows"))
            can = major >= 10 && ((first >= 7 && first <= 999) || first >= 2008);
        else
            can = major >= 4 && (first >= 11 || (first == 10 && second >= 15));
    }
    m_canCall = can ? 1 : 0;
    return can;
}

void User::StartConversation(bool incoming) { AppInterface::current()->startConversation(this, incoming); }

void User::MessageReceived() {
    StartConversation(true);
    m_typingReceived = QDateTime();
    NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), this);
}

QString User::getUserNamesFromSet(const QList<User *> &users) {
    QStringList names;
    for (const User *u : users) names.append(u->name());
    return names.join(QStringLiteral(", "));
}

qint64 User::genInt64random() {
    constexpr quint32 kBound = 9999999;
    const auto draw = [] {
        const auto &source = randomSource();
        return source ? source(kBound) % kBound : QRandomGenerator::global()->bounded(kBound);
    };
    const quint32 first = draw();
    const quint32 second = draw();
    return (QString::number(first) + QString::number(second)).toLongLong();
}

void User::setRandomSource(std::function<quint32(quint32)> source) { randomSource() = std::move(source); }

bool User::messageIdExists(ManagedObjectContext *context, qint64 messageId) {
    if (Message::findByMessageId(context, messageId)) return true;
    return !MessageForForwarding::findByMessageId(context, messageId).isEmpty();
}

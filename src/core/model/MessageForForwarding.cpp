#include "core/model/MessageForForwarding.h"

#include "core/app/AppContext.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/dispatch/Queue.h"
#include "platform/runloop/Timer.h"
#include "platform/store/ManagedObjectContext.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

namespace {

Q_LOGGING_CATEGORY(lcForwarding, "murnavell.model.forwarding")

std::function<void(User *)> &onUserIn() {
    static std::function<void(User *)> handler;
    return handler;
}

MessageForForwarding::PacketSender &packetSender() {
    static MessageForForwarding::PacketSender sender;
    return sender;
}

MessageForForwarding::Scheduler &scheduler() {
    static MessageForForwarding::Scheduler s;
    return s;
}

std::function<quint32(quint32)> &randomSource() {
    static std::function<quint32(quint32)> source;
    return source;
}

QPointer<Timer> &timerSlot() {
    static QPointer<Timer> timer;
    return timer;
}

// (held copy, recipient) pairs whose delivery waits for its turn: a second run meanwhile (a
// user coming online during a timer run) must not queue the same delivery again. Objects of a
// context live as long as the context, so the addresses stay unique for the run.
std::set<std::pair<const void *, const void *>> &pending() {
    static std::set<std::pair<const void *, const void *>> set;
    return set;
}

// (author's copy, recipient) pairs whose direct delivery (the message itself, not a held copy)
// is under way: the runs leave them to it.
std::set<std::pair<const void *, const void *>> &directlyUnderWay() {
    static std::set<std::pair<const void *, const void *>> set;
    return set;
}

// The author's copy of the message under its own id that holds the recipient, if any.
MessageForForwarding *authorsCopyFor(const Message *message, User *recipient) {
    const Me *me = Me::current();
    if (!message || !recipient || !me) return nullptr;
    for (MessageForForwarding *held : recipient->offlineMessages())
        if (!held->isDeleted() && held->sender() == me && held->messageId() == message->messageId() &&
            held->mass() == message->mass())
            return held;
    return nullptr;
}

void letGo(MessageForForwarding *copy, User *recipient) {
    directlyUnderWay().erase({copy, recipient});
    copy->removeRecipientsObject(recipient);
    if (copy->recipients().isEmpty()) copy->managedObjectContext()->deleteObject(copy);
}

// Where the next run starts after a run that reached its bound (time and id of its last copy).
std::optional<std::pair<QDateTime, qint64>> &resumeAfter() {
    static std::optional<std::pair<QDateTime, qint64>> cursor;
    return cursor;
}

void schedule(int delayMs, std::function<void()> block) {
    if (const auto &s = scheduler()) {
        s(delayMs, std::move(block));
        return;
    }
    dispatch::Queue::main()->after(delayMs / 1000.0, std::move(block));
}

quint32 randomBelow(quint32 bound) {
    if (bound == 0) return 0;
    if (const auto &source = randomSource()) return source(bound) % bound;
    return QRandomGenerator::global()->bounded(bound);
}

const QString kStar = QStringLiteral("*");

} // namespace

QList<MessageForForwarding *> MessageForForwarding::findByMessageId(ManagedObjectContext *context,
                                                                    qint64 messageId) {
    if (!context) return {};
    return context->fetch<MessageForForwarding>([messageId](const MessageForForwarding *m) {
        return m->value(QStringLiteral("messageId")) == QVariant(messageId);
    });
}

// --- Delivery runs ---

void MessageForForwarding::sendOnUserIn(User *user) {
    if (const auto &handler = onUserIn()) {
        handler(user);
        return;
    }
    ensureRetryTimer();
    if (!user || !canSendPackets()) return;
    ManagedObjectContext *context = appManagedObjectContext();
    if (!context) return;
    FetchRequest any;
    any.entityName = QString::fromLatin1(EntityName);
    if (context->count(any) == 0) return; // nothing held: no run, no roster fetch
    int others = 0;
    if (UserList *roster = UserList::shared())
        others = int(roster->allUsersWithoutOffline(true, true).size());
    // Every holder hears the same announcement; the spread keeps them from all calling at once.
    const int delayMs = others > 0 ? int(randomBelow(quint32(others) * 1000u)) : 0;
    const QString name = user->name();
    schedule(delayMs, [name] {
        sendWithPredicate([&name](const MessageForForwarding *held) {
            const QList<User *> waiting = held->recipients();
            return std::any_of(waiting.begin(), waiting.end(),
                               [&](const User *u) { return u->name() == name; });
        });
    });
}

void MessageForForwarding::setSendOnUserInHandler(std::function<void(User *)> handler) {
    onUserIn() = std::move(handler);
}

bool MessageForForwarding::roomForHandOver(ManagedObjectContext *context, const User *author, qint64 bytes) {
    if (!context) return false;
    if (bytes > MaxHeldBytesPerAuthor) return false;
    int byAuthor = 0, total = 0;
    qint64 authorBytes = bytes, totalBytes = bytes;
    for (const MessageForForwarding *held : context->fetch<MessageForForwarding>()) {
        if (held->isDeleted()) continue;
        const qint64 size = held->messageSize();
        ++total;
        totalBytes += size;
        if (held->sender() == author) {
            ++byAuthor;
            authorBytes += size;
        }
    }
    return byAuthor < MaxHeldPerAuthor && authorBytes <= MaxHeldBytesPerAuthor && total < MaxHeldInTotal &&
           totalBytes <= MaxHeldBytesInTotal;
}

int MessageForForwarding::expireHeldForOthers(ManagedObjectContext *context, const QDateTime &now) {
    if (!context) return 0;
    const User *me = Me::current();
    const QDateTime limit = now.addSecs(-HeldLifetimeSeconds);
    int expired = 0;
    for (MessageForForwarding *held : context->fetch<MessageForForwarding>()) {
        if (held->isDeleted() || !held->time().isValid() || held->time() >= limit) continue;
        // The local user's own messages wait for their recipients as long as it takes.
        if (!held->sender() || held->sender() == me) continue;
        qCInfo(lcForwarding).noquote()
            << "held copy" << held->messageId() << "of" << held->sender()->userId() << "expired unsent";
        context->deleteObject(held);
        ++expired;
    }
    return expired;
}

void MessageForForwarding::sendOnTimer() {
    sendWithPredicate([](const MessageForForwarding *held) {
        const QList<User *> waiting = held->recipients();
        return std::any_of(waiting.begin(), waiting.end(), [](const User *u) { return !u->userOffline(); });
    });
}

void MessageForForwarding::sendWithPredicate(const Predicate &matches) {
    ensureRetryTimer();
    if (!canSendPackets()) return;
    ManagedObjectContext *context = appManagedObjectContext();
    const Me *me = Me::current();
    if (!context || !me || me->userId().isEmpty()) return;
    QList<MessageForForwarding *> held = context->fetch<MessageForForwarding>(
        [&matches](const MessageForForwarding *m) { return !m->isDeleted() && (!matches || matches(m)); });
    std::stable_sort(held.begin(), held.end(),
                     [](const MessageForForwarding *a, const MessageForForwarding *b) {
                         if (a->time() != b->time()) return a->time() < b->time();
                         return a->messageId() < b->messageId();
                     });

    // A run that stopped at its bound goes on after its last copy next time, so copies that keep
    // failing at the front cannot starve the ones behind them.
    std::optional<std::pair<QDateTime, qint64>> &cursor = resumeAfter();
    if (cursor) {
        const auto firstAfter = std::find_if(held.begin(), held.end(), [&](const MessageForForwarding *m) {
            return std::make_pair(m->time(), m->messageId()) > *cursor;
        });
        std::rotate(held.begin(), firstAfter, held.end());
        cursor.reset();
    }

    int n = 0;
    bool deleted = false;
    for (MessageForForwarding *copy : held) {
        if (n >= MaxDeliveriesPerRun) break;
        bool textRead = false;
        QString text;
        for (User *recipient : copy->recipients()) {
            if (n >= MaxDeliveriesPerRun) break;
            if (recipient->userOffline() || recipient == me) continue;
            const auto key =
                std::make_pair(static_cast<const void *>(copy), static_cast<const void *>(recipient));
            if (pending().count(key) || directlyUnderWay().count(key)) continue;
            if (!textRead) {
                // The text is read from the store only for a copy that goes out now.
                bool readOk = false;
                const QByteArray cipher = copy->message(&readOk);
                if (!readOk) {
                    // A store that cannot be read now may be readable at the next run.
                    qCWarning(lcForwarding) << "held message" << copy->messageId() << "could not be read";
                    break;
                }
                text = KDTAES::decryptString(cipher, true);
                textRead = true;
            }
            ++n;
            if (KDTPacket::PlainPackeFromArray(copy->deliveryPacket(recipient, text)).isEmpty()) {
                // Nothing a recipient could store (no author, unreadable text): it can never go.
                qCWarning(lcForwarding) << "held message" << copy->messageId() << "cannot be framed; dropped";
                context->deleteObject(copy);
                deleted = true;
                break;
            }
            pending().insert(key);
            if (n == MaxDeliveriesPerRun) cursor = std::make_pair(copy->time(), copy->messageId());
            QPointer<MessageForForwarding> copyGuard(copy);
            QPointer<User> recipientGuard(recipient);
            // The frame is made again when its turn comes: a run of many copies keeps none of
            // their texts in memory while it waits.
            schedule((n - 1) * DeliverySpacingMs, [key, copyGuard, recipientGuard] {
                pending().erase(key);
                // Confirmed or announced meanwhile, or gone offline: nothing to send.
                if (!copyGuard || copyGuard->isDeleted() || !recipientGuard || recipientGuard->isDeleted() ||
                    recipientGuard->userOffline() || !copyGuard->recipients().contains(recipientGuard.data()))
                    return;
                bool readOk = false;
                const QByteArray cipher = copyGuard->message(&readOk);
                if (!readOk) return; // left for the next run
                const QByteArray frame = KDTPacket::PlainPackeFromArray(
                    copyGuard->deliveryPacket(recipientGuard, KDTAES::decryptString(cipher, true)));
                sendPacket(frame, recipientGuard, copyGuard);
            });
        }
    }
    if (deleted) saveContextIfChanged();
}

MessageForForwarding *MessageForForwarding::holdUntilConfirmed(Message *message,
                                                               const QList<User *> &recipients,
                                                               bool deliveryUnderWay) {
    Me *me = Me::current();
    if (!message || message->isDeleted() || !me) return nullptr;
    ManagedObjectContext *context = message->managedObjectContext();
    QList<User *> waiting;
    for (User *u : recipients)
        if (u && u != me && !waiting.contains(u)) waiting.append(u);
    if (!context || waiting.isEmpty()) return nullptr;
    // Under the message's own id: whichever way it reaches a recipient first, the other finds
    // the id stored and is only answered.
    auto *copy = context->insert<MessageForForwarding>();
    copy->setMass(message->mass());
    copy->setMessageId(message->messageId());
    copy->setTime(message->time());
    copy->setMessage(KDTAES::encryptString(message->message(), true));
    copy->setSender(me);
    for (User *u : waiting) {
        copy->addRecipientsObject(u);
        if (deliveryUnderWay) directlyUnderWay().insert({copy, u});
    }
    ensureRetryTimer();
    return copy;
}

void MessageForForwarding::directDeliveryEnded(const Message *message, User *recipient,
                                               DirectOutcome outcome) {
    MessageForForwarding *copy = authorsCopyFor(message, recipient);
    if (!copy) return;
    if (outcome == DirectOutcome::Unanswered)
        directlyUnderWay().erase({copy, recipient});
    else
        letGo(copy, recipient);
}

void MessageForForwarding::releaseForHandOver(const Message *message, User *recipient) {
    MessageForForwarding *copy = authorsCopyFor(message, recipient);
    if (!copy) return;
    // A message of several users is handed over under new ids, so its own id marks the copy
    // that waits for receipts.
    if (message->user().size() > 1 || directlyUnderWay().count({copy, recipient})) letGo(copy, recipient);
}

Timer *MessageForForwarding::retryTimer() { return timerSlot(); }

void MessageForForwarding::ensureRetryTimer() {
    if (timerSlot()) return;
    timerSlot() = Timer::scheduled(RetryInterval, true, [](Timer *) { sendOnTimer(); });
}

PacketArray MessageForForwarding::deliveryPacket(const User *recipient, const QString &text) const {
    const Me *me = Me::current();
    const User *author = sender();
    const QDateTime sent = time();
    QString seconds;
    if (sent.isValid())
        seconds = QString::number(sent.toSecsSinceEpoch() + qint64(Message::localOffsetFromGMT()));
    // An author whose name this copy never learned is still an author: "*" is the empty field
    // receivers know, and the text must not be lost for want of a name.
    QString authorName;
    if (author) authorName = author->name().isEmpty() ? kStar : author->name();
    return {mass() ? QStringLiteral("TSFMM") : QStringLiteral("TSFM"),
            QString::number(messageId()),
            seconds,
            me ? me->userId() : QString(),
            authorName,
            recipient ? recipient->userId() : QString(),
            text.isNull() ? PacketField(QString()) : PacketField(encodeTextField(text)),
            author ? author->userId() : QString()};
}

QString MessageForForwarding::wallClockSecondsText(const QDateTime &time) {
    const double seconds = time.toMSecsSinceEpoch() / 1000.0 + Message::localOffsetFromGMT();
    QString text = QString::number(seconds, 'f', 3);
    while (text.endsWith(u'0')) text.chop(1);
    if (text.endsWith(u'.')) text.chop(1);
    return text;
}

void MessageForForwarding::setPacketSender(PacketSender sender) { packetSender() = std::move(sender); }

void MessageForForwarding::sendPacket(const QByteArray &frame, User *to, ManagedObject *attached) {
    if (frame.isEmpty() || !to) return;
    if (const auto &sender = packetSender()) {
        sender(frame, to, attached);
        return;
    }
    if (TCPserver *server = TCPserver::shared()) server->SendTCPpacket(frame, to, attached);
}

bool MessageForForwarding::canSendPackets() { return packetSender() || TCPserver::shared(); }

void MessageForForwarding::setScheduler(Scheduler s) { scheduler() = std::move(s); }

void MessageForForwarding::setRandomSource(std::function<quint32(quint32)> source) {
    randomSource() = std::move(source);
}

int MessageForForwarding::pendingDeliveries() { return int(pending().size()); }

void MessageForForwarding::resetPendingDeliveries() {
    pending().clear();
    directlyUnderWay().clear();
    resumeAfter().reset();
}

// --- Relationships ---

QList<User *> MessageForForwarding::recipients() const {
    return toManyAs<User>(QStringLiteral("recipients"));
}

void MessageForForwarding::addRecipientsObject(User *user) { addToMany(QStringLiteral("recipients"), user); }

void MessageForForwarding::removeRecipientsObject(User *user) {
    removeToMany(QStringLiteral("recipients"), user);
}

User *MessageForForwarding::sender() const { return dynamic_cast<User *>(toOne(QStringLiteral("sender"))); }

void MessageForForwarding::setSender(User *user) { setToOne(QStringLiteral("sender"), user); }

#include "core/model/Message.h"

#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/app/GroupCommit.h"
#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTAES.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"

#include <QDateTime>
#include <QPointer>
#include <QTimeZone>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

std::function<double()> &offsetSource() {
    static std::function<double()> source;
    return source;
}

std::function<void(qint64)> &receivedNoticeSender() {
    static std::function<void(qint64)> sender;
    return sender;
}

// How each message word is read.
struct Kind {
    bool mass;
    bool handOver;  // a copy to hold for an offline user
    bool forwarded; // a held copy delivered to its recipient
};

std::optional<Kind> kindOf(const QString &word) {
    if (word == QLatin1String("TSM")) return Kind{false, false, false};
    if (word == QLatin1String("TMM")) return Kind{true, false, false};
    if (word == QLatin1String("TSOM")) return Kind{false, true, false};
    if (word == QLatin1String("TSOMM")) return Kind{true, true, false};
    if (word == QLatin1String("TSFM")) return Kind{false, false, true};
    if (word == QLatin1String("TSFMM")) return Kind{true, false, true};
    return std::nullopt;
}

// The leading integer of a text; 0 when there is none. Values beyond 64 bits saturate.
qint64 leadingInteger(const QString &text) {
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) negative = text.at(i++) == u'-';
    qint64 value = 0;
    for (; i < text.size() && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        const int digit = text.at(i).unicode() - u'0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return negative ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

const QString kStar = QStringLiteral("*");

// How far the arrival stamp of a message that came directly may lie from its sending time: a
// little before (clocks a second apart), and after by as much as its connect and write may take.
constexpr qint64 kEarlyArrivalMs = 2000;
constexpr qint64 kLateArrivalMs = qint64(2 * TCPserver::Timeout * 1000) + 2000;

// The author named by a forwarded delivery, inserted when unknown; null for no usable id.
User *knownAuthor(ManagedObjectContext *context, const QString &userId, const QString &name) {
    if (userId.isEmpty() || userId == kStar || userId.size() > 64) return nullptr;
    auto *author = context->insert<User>();
    author->setUserId(userId);
    if (name != kStar) author->setName(name);
    author->setGroup(Group::general(context));
    author->setStatus(QStringLiteral("10"));
    return author;
}

} // namespace

Message *Message::findByMessageId(ManagedObjectContext *context, qint64 messageId) {
    if (!context) return nullptr;
    FetchRequest r;
    r.entityName = QString::fromLatin1(EntityName);
    r.where = QStringLiteral("t.\"messageId\" = ?");
    r.bindings = {messageId};
    r.predicate = [messageId](const ManagedObject *o) {
        return static_cast<const Message *>(o)->value(QStringLiteral("messageId")) == QVariant(messageId);
    };
    r.limit = 1;
    const QList<ManagedObject *> found = context->executeFetch(r);
    return found.isEmpty() ? nullptr : static_cast<Message *>(found.first());
}

const QStringList &Message::messageWords() {
    static const QStringList words = {QStringLiteral("TSM"),   QStringLiteral("TMM"),
                                      QStringLiteral("TSOM"),  QStringLiteral("TSFM"),
                                      QStringLiteral("TSOMM"), QStringLiteral("TSFMM")};
    return words;
}

PacketArray Message::receiptPacket(const QString &senderUserId) {
    const Me *me = Me::current();
    return {QStringLiteral("TMR"),
            kStar,
            me ? me->pc() : QString(),
            me ? me->userId() : QString(),
            kStar,
            senderUserId,
            kStar,
            kStar};
}

int Message::fieldsNeeded(const QString &word) {
    const std::optional<Kind> kind = kindOf(word);
    if (!kind) return 0;
    return kind->handOver || kind->forwarded ? 8 : 7;
}

Message *Message::findSameMessage(ManagedObjectContext *context, const User *author, const QString &text,
                                  bool mass, qint64 sentSeconds) {
    if (!context || !author) return nullptr;
    const qint64 sent = sentSeconds * 1000;
    const qint64 earliest = sent - kEarlyArrivalMs;
    const qint64 latest = sent + kLateArrivalMs;
    FetchRequest r;
    r.entityName = QString::fromLatin1(EntityName);
    // The author's lines received since the message was written: a range of the join's index.
    r.from = QStringLiteral("log_entry_users j JOIN log_entries t ON t.id = j.owner");
    r.where = QStringLiteral("j.target = ? AND j.sortKey >= ? AND t.\"chat\" IS NULL AND "
                             "IFNULL(t.\"incoming\", 0) = 1 AND IFNULL(t.\"mass\", 0) = ? AND "
                             "t.\"message\" = ? AND ((IFNULL(t.\"offline\", 0) = 1 AND t.\"time\" = ?) OR "
                             "(IFNULL(t.\"offline\", 0) = 0 AND t.\"time\" BETWEEN ? AND ?))");
    r.bindings = {author->rowId(), earliest, mass ? 1 : 0, text, sent, earliest, latest};
    r.predicate = [author, text, mass, sent, earliest, latest](const ManagedObject *o) {
        const auto *m = static_cast<const Message *>(o);
        if (m->chat() || !m->incoming() || m->mass() != mass || m->message() != text) return false;
        if (!m->user().contains(const_cast<User *>(author))) return false;
        const QDateTime received = m->timeReceived();
        if (!received.isValid() || received.toMSecsSinceEpoch() < earliest) return false;
        const qint64 t =
            m->time().isValid() ? m->time().toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
        return m->offline() ? t == sent : t >= earliest && t <= latest;
    };
    r.limit = 1;
    const QList<ManagedObject *> found = context->executeFetch(r);
    return found.isEmpty() ? nullptr : static_cast<Message *>(found.first());
}

PacketArray Message::gotMessage(const PacketArray &fields, const QString &fromIP) {
    return receive(fields, fromIP).reply;
}

Message::Receipt Message::receive(const PacketArray &fields, const QString &fromIP) {
    Receipt out;
    receiveThen(fields, fromIP, [&out](const Receipt &receipt) { out = receipt; });
    GroupCommit::flush();
    return out;
}

void Message::receiveThen(const PacketArray &fields, const QString &fromIP,
                          std::function<void(const Receipt &)> done) {
    const auto field = [&fields](int i) { return i < fields.size() ? fields.at(i).toString() : QString(); };
    const std::optional<Kind> kind = kindOf(field(0));
    if (!kind || fields.size() < fieldsNeeded(field(0))) return done({});
    const PacketArray reply = receiptPacket(field(3));
    Receipt refused;
    refused.refused = true;

    ManagedObjectContext *context = appManagedObjectContext();
    Me *me = Me::current();
    UserList *roster = UserList::shared();
    // Not set up yet: a receipt now would make the sender drop a copy that was never stored.
    if (!context || !me || !roster) return done(refused);
    // A run without its store would confirm what vanishes at exit.
    if (!storeKeepsChanges()) {
        reportNothingCanBeStored();
        return done(refused);
    }
    // The receipt says the store holds the packet: whatever it found, the context must be saved
    // (a known id may be one whose save failed before, or one still waiting for its save).
    const auto confirmed = [&] {
        GroupCommit::afterSave([done, reply, refused](bool saved) { done(saved ? Receipt{reply, false} : refused); });
    };

    // A hand-over that names us as its recipient is a copy of a message for us.
    const bool forUs = kind->handOver && field(1) == me->userId() && !field(1).isEmpty();
    const bool held = kind->handOver && !forUs;
    // A copy of a message written earlier, reaching its recipient.
    const bool delivery = kind->forwarded || forUs;
    const bool direct = !kind->handOver && !kind->forwarded;

    // 1-2. A known id was stored before (also when only held for someone): acknowledge only.
    const qint64 messageId = leadingInteger(field(kind->handOver ? 2 : 1));
    if (User::messageIdExists(context, messageId)) return confirmed();
    // 3. Meant for another user.
    if (field(5) != me->userId()) return confirmed();
    // 4. The recipient: the offline user a held copy is for, else the local user.
    User *recipient = held ? roster->getUserById(field(1), QString()) : me;
    if (!recipient) return confirmed();
    if (recipient->name().isEmpty()) recipient->setRemoved(true);
    // 5. The sender; only a packet from the author itself can make the author known with its
    // address.
    const QString senderId = field(kind->forwarded ? 7 : 3);
    bool limited = false;
    User *sender = roster->getUserById(senderId, direct || forUs ? fromIP : QString(), &limited);
    // A delivery is answered with "TMR" whatever is stored, and the holder then drops its copy:
    // an author this copy never met (a new installation, a user since deleted) must not cost
    // the message. The author is made known, offline and without an address, as the roster does
    // for unknown senders; its presence fills in the rest.
    if (!sender && kind->forwarded && !limited) {
        if (roster->admitUnknownUser())
            sender = knownAuthor(context, senderId, field(4));
        else
            limited = true;
    }
    // Too many unknown senders at once: no receipt, so the sender keeps the message for later.
    if (!sender && limited) return done(refused);
    if (!sender) return confirmed();
    // 6. An offline sender's name may have changed meanwhile.
    const QString name = field(kind->handOver ? 7 : 4);
    if (sender->userOffline() && !name.isEmpty() && name != kStar && name != sender->name())
        sender->setName(name);
    // 7. Copies of earlier messages carry the author's local wall-clock seconds.
    QDateTime time = Clock::now();
    qint64 sentSeconds = 0;
    if (!direct) {
        // Bounded to years 1 to 9999 before scaling: a wild value must not overflow.
        constexpr double kLimit = 253402300799.0;
        const double seconds =
            std::clamp(double(leadingInteger(field(kind->handOver ? 4 : 2))) - localOffsetFromGMT(),
                       -62135596800.0, kLimit);
        sentSeconds = qint64(seconds);
        time = QDateTime::fromMSecsSinceEpoch(qint64(seconds * 1000.0), QTimeZone::utc());
    }
    const QString text = field(6);

    if (held) {
        // 8. A copy to hold until the recipient is back, while its author's share of what this
        // copy holds for others has room; otherwise refused, and the author keeps it.
        const QByteArray encrypted = KDTAES::encryptString(text, true);
        if (!MessageForForwarding::roomForHandOver(context, sender, encrypted.size())) return done(refused);
        auto *copy = context->insert<MessageForForwarding>();
        copy->setTime(time);
        copy->setMass(kind->mass);
        copy->setMessageId(messageId);
        copy->setMessage(encrypted);
        copy->setSender(sender);
        copy->addRecipientsObject(recipient);
        QPointer<ManagedObject> kept(copy);
        GroupCommit::afterSave([done, reply, refused, kept](bool saved) {
            // Gone before its save (deleted meanwhile): nothing was kept.
            if (saved && kept && !kept->isDeleted()) return done({reply, false});
            if (kept && kept->managedObjectContext()) kept->managedObjectContext()->deleteObject(kept);
            done(refused);
        });
        return;
    }

    // The same message under another id: a mass message is handed over under a new id when
    // the receipt of its first delivery was lost. A message to one user keeps its id on every
    // path, so the id alone tells: a line with the same text is another message written again.
    if (delivery && kind->mass && findSameMessage(context, sender, text, true, sentSeconds))
        return confirmed();

    // 9. A history line.
    auto *message = context->insert<Message>();
    message->setTime(time);
    message->setMass(kind->mass);
    message->setMessageId(messageId);
    message->setIncoming(true);
    message->setOffline(delivery);
    message->setMessage(text);
    message->setOriginalSenderName(sender->name());
    message->addUserObject(sender);
    QPointer<User> senderGuard(sender);
    QPointer<Message> messageGuard(message);
    const QString myId = me->userId(), myPc = me->pc();
    const qint64 mySession = me->sessionId();
    GroupCommit::afterSave([=](bool saved) {
        if (!saved || !messageGuard || messageGuard->isDeleted()) {
            // Not kept: the sender keeps its copy and tries again, and nothing shows a line that
            // a crash would take away.
            if (messageGuard && messageGuard->managedObjectContext())
                messageGuard->managedObjectContext()->deleteObject(messageGuard);
            return done(refused);
        }
        lineStored(senderGuard, messageGuard, delivery, messageId, myId, myPc, mySession);
        done({reply, false});
    });
}

void Message::lineStored(const QPointer<User> &senderGuard, const QPointer<Message> &messageGuard, bool delivery,
                         qint64 messageId, const QString &myId, const QString &myPc, qint64 mySession) {
    // Shown in a later turn, after the reply is on its way.
    dispatch::Queue::main()->async([senderGuard, messageGuard] {
        if (senderGuard && !senderGuard->isDeleted()) senderGuard->MessageReceived();
        if (messageGuard && !messageGuard->isDeleted()) {
            AppInterface::current()->showHistoryLine(messageGuard);
            messageGuard->playSoundAndPopupWindow();
        }
    });
    // 10. Stored for good: the other holders of a forwarded copy may drop theirs.
    if (delivery) {
        if (const auto &announce = receivedNoticeSender()) {
            announce(messageId);
        } else if (UDPserver *udp = UDPserver::shared()) {
            udp->SendPacketToEveryone({QStringLiteral("UOMFR"), QString::number(messageId), myPc, myId, kStar,
                                       kStar, kStar, kStar, QString::number(mySession)});
        }
    }
}

void Message::playSoundAndPopupWindow() {
    QObject *window = nullptr;
    const QList<User *> users = user();
    Me *me = Me::current();
    if (!chat() && me && users.contains(me))
        window = me->conversationWindow();
    else if (chat())
        window = chat()->conversationWindow();
    else
        for (User *u : users)
            if ((window = u->conversationWindow())) break;

    Defaults &settings = Defaults::standard();
    AppInterface *ui = AppInterface::current();
    if (settings.integerForKey(QStringLiteral("sounds.anyTime")) == 0 && window &&
        ui->isMainAndKeyWindow(window))
        return;
    popupWindow(this, window);
    if (!settings.boolForKey(QStringLiteral("sounds.enabled"))) return;
    if (mass()) {
        if (settings.boolForKey(QStringLiteral("sounds.onBroadcast")))
            ui->playSound(QStringLiteral("Broadcast"));
    } else if (settings.boolForKey(QStringLiteral("sounds.onIncoming"))) {
        ui->playSound(QStringLiteral("Message"));
    }
}

void Message::popupWindow(LogEntry *entry, QObject *window) {
    if (!entry) return;
    const QList<User *> users = entry->user();
    if (!window)
        for (User *u : users)
            if ((window = u->conversationWindow())) break;
    AppInterface *ui = AppInterface::current();
    if (ui->isCallLive(users.value(0), entry->chat())) return;
    Defaults &settings = Defaults::standard();
    if (settings.integerForKey(QStringLiteral("minimizeMessages")) == 1) return;
    if (window) ui->bringForward(window, settings.boolForKey(QStringLiteral("keepFocus")));
}

double Message::localOffsetFromGMT() {
    if (const auto &source = offsetSource()) return source();
    return double(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime::currentDateTimeUtc()));
}

void Message::setLocalOffsetFunction(std::function<double()> offset) { offsetSource() = std::move(offset); }

void Message::setReceivedNoticeSender(std::function<void(qint64)> sender) {
    receivedNoticeSender() = std::move(sender);
}

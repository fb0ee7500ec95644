#pragma once

#include "core/wire/PacketField.h"
#include "platform/store/ManagedObject.h"

#include <functional>

class ManagedObjectContext;
class Message;
class Timer;
class User;

// A message held for users who are offline. Every copy that is online when a message is written
// for an offline user holds one (the author too) and delivers it ("TSFM", "TSFMM") when the
// recipient is seen again and on a 70 s retry; the copy goes when the recipient confirms it with
// its own "TMR", or announces by "UOMFR" that another holder's delivery arrived.
class MessageForForwarding : public ManagedObject {
public:
    static constexpr const char *EntityName = "MessageForForwarding";

    static constexpr double RetryInterval = 70.0;
    static constexpr int DeliverySpacingMs = 350;
    // One run never schedules more than fit into one retry interval, so runs never pile up
    // however many copies are held; the rest go in later runs, oldest first.
    static constexpr int MaxDeliveriesPerRun = int(RetryInterval * 1000) / DeliverySpacingMs;

    // Copies held for other authors are bounded, so no one can fill this copy's store and
    // memory with hand-overs: a hand-over beyond a bound is refused (its author keeps the message
    // and hands it to others), never a stored copy dropped for it. The local user's own copies
    // are never bounded nor refused.
    static constexpr int MaxHeldPerAuthor = 500;
    static constexpr qint64 MaxHeldBytesPerAuthor = 8LL << 20;
    static constexpr int MaxHeldInTotal = 5000;
    static constexpr qint64 MaxHeldBytesInTotal = 64LL << 20;
    // Copies held for other authors go after this long, like users unseen for as long.
    static constexpr qint64 HeldLifetimeSeconds = 2592000;

    // Whether a hand-over of this many (encrypted) bytes from the author fits into the bounds.
    static bool roomForHandOver(ManagedObjectContext *context, const User *author, qint64 bytes);
    // Deletes the copies held for other authors whose sending time lies more than the lifetime
    // before `now`; returns how many went. The caller saves.
    static int expireHeldForOthers(ManagedObjectContext *context, const QDateTime &now);

    static QList<MessageForForwarding *> findByMessageId(ManagedObjectContext *context, qint64 messageId);

    using Predicate = std::function<bool(const MessageForForwarding *)>;

    // A user came online (every status but "10"): after a random delay below one second per
    // online user, every held copy waiting for a user of that name is delivered. A handler set
    // with setSendOnUserInHandler replaces this (tests).
    static void sendOnUserIn(User *user);
    static void setSendOnUserInHandler(std::function<void(User *)> handler);
    // The 70 s run: every held copy with a recipient that is online.
    static void sendOnTimer();
    // One delivery run over the held copies matching the predicate, oldest first: each online
    // recipient gets its delivery 350 ms after the previous one of the run.
    static void sendWithPredicate(const Predicate &matches);

    // The author's own copy of a message it is sending, held for its online recipients until
    // each confirms it: a message whose delivery is under way when the author is killed, or that
    // a recipient took without a receipt, is then delivered later like any held copy instead of
    // being lost. While its direct delivery is under way a recipient is left out of the runs.
    // Null when there is nobody to wait for.
    static MessageForForwarding *holdUntilConfirmed(Message *message, const QList<User *> &recipients,
                                                    bool deliveryUnderWay);
    // How the direct delivery of a message to one recipient ended: confirmed by its receipt (the
    // author's copy lets the recipient go), or without a receipt and without a failure (the copy
    // keeps the recipient for a later run). A failure hands the recipient over instead.
    enum class DirectOutcome { Confirmed, Unanswered };
    static void directDeliveryEnded(const Message *message, User *recipient, DirectOutcome outcome);
    // The recipient is about to be handed over: the author's copy that waited for its receipt
    // lets it go. That copy has the message's own id; a message of one user keeps that id when
    // it is handed over, so there only a direct delivery under way marks the copy as waiting.
    static void releaseForHandOver(const Message *message, User *recipient);

    // The repeating 70 s retry timer, made on first use.
    static Timer *retryTimer();
    static void ensureRetryTimer();

    // The delivery of this copy to one recipient, with the decrypted text. An empty field (no
    // author, no id, no text) leaves it empty in the array, which then yields no frame.
    PacketArray deliveryPacket(const User *recipient, const QString &text) const;
    // Local wall-clock seconds as the hand-over carries them: a decimal that may have a fraction.
    static QString wallClockSecondsText(const QDateTime &time);

    // How packets leave: the TCP server by default; tests record them. `attached` is the held
    // copy a delivery is for (null for a hand-over).
    using PacketSender = std::function<void(const QByteArray &frame, User *to, ManagedObject *attached)>;
    static void setPacketSender(PacketSender sender);
    static void sendPacket(const QByteArray &frame, User *to, ManagedObject *attached);
    static bool canSendPackets();
    // How a delivery waits for its turn: the main queue by default; tests record the delays.
    using Scheduler = std::function<void(int delayMs, std::function<void()> block)>;
    static void setScheduler(Scheduler scheduler);
    // The random delay of sendOnUserIn (a number below the bound); tests fix it.
    static void setRandomSource(std::function<quint32(quint32 bound)> source);
    // Deliveries scheduled and not yet handed to the sender.
    static int pendingDeliveries();
    // Forgets scheduled deliveries (tests whose scheduler dropped them).
    static void resetPendingDeliveries();

    bool mass() const { return boolValue(QStringLiteral("mass")); }
    void setMass(bool v) { setValue(QStringLiteral("mass"), v); }
    // The text, encrypted with the string cipher. Once saved it stays in the store and is read
    // from there on every call; `readOk` is false when the store could not be read.
    QByteArray message() const { return dataValue(QStringLiteral("message")); }
    QByteArray message(bool *readOk) const { return value(QStringLiteral("message"), readOk).toByteArray(); }
    // Its size, without reading it.
    qint64 messageSize() const { return dataSize(QStringLiteral("message")); }
    void setMessage(const QByteArray &v) { setValue(QStringLiteral("message"), v); }
    qint64 messageId() const { return integerValue(QStringLiteral("messageId")); }
    void setMessageId(qint64 v) { setValue(QStringLiteral("messageId"), v); }
    QDateTime time() const { return dateValue(QStringLiteral("time")); }
    void setTime(const QDateTime &v) { setValue(QStringLiteral("time"), v); }

    QList<User *> recipients() const;
    void addRecipientsObject(User *user);
    void removeRecipientsObject(User *user);
    User *sender() const;
    void setSender(User *user);
};

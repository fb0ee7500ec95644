#pragma once

// The messaging fixture with the forwarding work switched on and its outlets recorded: the
// packets it sends, the delays it waits, the random draw and the offset from GMT.
#include "core/net/TCPserverTestSupport.h"
#include "core/wire/KDTAES.h"
#include "core/wire/TextCodec.h"
#include "platform/runloop/Timer.h"

#include <QTimeZone>

#include <functional>
#include <vector>

struct SentPacket {
    QStringList fields; // the frame read back
    User *to;
    ManagedObject *attached;
};

struct ScheduledBlock {
    int delayMs;
    std::function<void()> block;
};

class ForwardingFixture : public MessagingFixture {
protected:
    void SetUp() override {
        MessagingFixture::SetUp();
        User::setOfflineHandOverHandler({}); // the real hand-over
        MessageForForwarding::setSendOnUserInHandler({});
        Message::setLocalOffsetFunction([this] { return offset; });
        Message::setReceivedNoticeSender([this](qint64 id) { announced.push_back(id); });
        MessageForForwarding::setPacketSender(
            [this](const QByteArray &frame, User *to, ManagedObject *attached) {
                sent.push_back({readBack(frame), to, attached});
            });
        MessageForForwarding::setScheduler([this](int delayMs, std::function<void()> block) {
            scheduled.push_back({delayMs, std::move(block)});
        });
        MessageForForwarding::setRandomSource({});
        MessageForForwarding::resetPendingDeliveries();
    }
    void TearDown() override {
        scheduled.clear();
        MessageForForwarding::resetPendingDeliveries();
        MessageForForwarding::setPacketSender({});
        MessageForForwarding::setScheduler({});
        MessageForForwarding::setRandomSource({});
        MessagingFixture::TearDown();
    }

    static QStringList readBack(const QByteArray &frame) {
        QStringList out;
        if (const std::optional<PacketArray> fields = KDTPacket::ArrayFromBase64AESdata(frame))
            for (const PacketField &f : *fields) out.append(f.toString());
        return out;
    }
    // Runs what the runs scheduled, in the order scheduled.
    void runScheduled() {
        std::vector<ScheduledBlock> due;
        due.swap(scheduled);
        for (ScheduledBlock &b : due) b.block();
    }
    std::vector<int> delays() const {
        std::vector<int> out;
        for (const ScheduledBlock &b : scheduled) out.push_back(b.delayMs);
        return out;
    }
    QList<MessageForForwarding *> held() {
        QList<MessageForForwarding *> out;
        for (MessageForForwarding *m : all<MessageForForwarding>())
            if (!m->isDeleted()) out.append(m);
        return out;
    }
    // A held copy as a holder keeps it.
    MessageForForwarding *hold(qint64 id, User *author, const QList<User *> &waiting, qint64 seconds,
                               const QString &text = QStringLiteral("held text"), bool mass = false) {
        auto *m = ctx->insert<MessageForForwarding>();
        m->setMessageId(id);
        m->setMass(mass);
        m->setTime(QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()));
        m->setMessage(KDTAES::encryptString(text, true));
        m->setSender(author);
        for (User *u : waiting) m->addRecipientsObject(u);
        return m;
    }

    double offset = 3600.0;
    std::vector<SentPacket> sent;
    std::vector<ScheduledBlock> scheduled;
    std::vector<qint64> announced;
};

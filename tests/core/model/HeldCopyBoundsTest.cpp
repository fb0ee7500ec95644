// What others can make this copy hold for them: hand-overs are bounded per author and in total,
// refused beyond the bounds (the author keeps the message), and copies held for others expire
// after 30 days; the local user's own copies are never refused, dropped nor expired.
#include "core/model/OfflineForwardingSupport.h"
#include "platform/store/Clock.h"

namespace {

const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");
const QString kDave = QStringLiteral("A000000004");

class HeldCopyBoundsTest : public ForwardingFixture {
protected:
    void SetUp() override {
        ForwardingFixture::SetUp();
        bob = peer(kBob, QStringLiteral("Bob"));
        carol = peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
        dave = peer(kDave, QStringLiteral("Dave"), QStringLiteral("127.0.0.4"));
        Clock::setNowFunction([this] { return now; });
    }
    void TearDown() override {
        Clock::setNowFunction({});
        ForwardingFixture::TearDown();
    }
    // A hand-over from the author for Carol, as received: true when it was taken.
    bool handOver(const QString &author, qint64 id, const QString &text = QStringLiteral("for Carol")) {
        const PacketArray fields = {"TSOM",       kCarol,       QString::number(id),   author,
                                    "1700000000", me->userId(), encodeTextField(text), "Author"};
        const Message::Receipt receipt = Message::receive(fields, QStringLiteral("127.0.0.2"));
        EXPECT_NE(receipt.refused, !receipt.reply.isEmpty()) << id;
        return !receipt.refused;
    }
    int heldFrom(const User *author) {
        int n = 0;
        for (MessageForForwarding *m : held())
            if (m->sender() == author) ++n;
        return n;
    }

    QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000, QTimeZone::utc());
    User *bob = nullptr, *carol = nullptr, *dave = nullptr;
};

TEST_F(HeldCopyBoundsTest, HandOversBeyondAnAuthorsShareAreRefusedAndNothingStoredIsDropped) {
    const int share = MessageForForwarding::MaxHeldPerAuthor;
    int taken = 0;
    for (int i = 0; i < share + 20; ++i) taken += handOver(kBob, 100000 + i) ? 1 : 0;
    EXPECT_EQ(taken, share);
    EXPECT_EQ(heldFrom(bob), share);
    // Another author still has its own share.
    EXPECT_TRUE(handOver(kDave, 900001));
    // The local user's own messages are held whatever others hold.
    carol->setStatus(QStringLiteral("10"));
    Message *mine = carol->SendMessage(QStringLiteral("mine"));
    ASSERT_TRUE(mine);
    EXPECT_EQ(heldFrom(me), 1);
    // A copy delivered makes room again.
    MessageForForwarding *first = MessageForForwarding::findByMessageId(ctx, 100000).value(0);
    ASSERT_TRUE(first);
    ctx->deleteObject(first);
    EXPECT_TRUE(handOver(kBob, 200000));
    EXPECT_FALSE(handOver(kBob, 200001));
}

TEST_F(HeldCopyBoundsTest, AllAuthorsTogetherAreBoundedToo) {
    // Many authors, each within its share, fill the total.
    const int perAuthor = MessageForForwarding::MaxHeldPerAuthor / 2;
    const int authors = MessageForForwarding::MaxHeldInTotal / perAuthor;
    for (int a = 0; a < authors; ++a) {
        User *author =
            peer(QStringLiteral("C%1").arg(a, 9, 10, QLatin1Char('0')), QStringLiteral("C%1").arg(a));
        for (int i = 0; i < perAuthor; ++i)
            hold(qint64(a) * 100000 + i, author, {carol}, now.toSecsSinceEpoch());
    }
    ASSERT_TRUE(ctx->save());
    EXPECT_FALSE(handOver(kDave, 990001));
    EXPECT_EQ(heldFrom(dave), 0);
    EXPECT_EQ(held().size(), MessageForForwarding::MaxHeldInTotal);
}

TEST_F(HeldCopyBoundsTest, BytesAreBoundedPerAuthorAsWellAsCopies) {
    // Texts of about a mebibyte each: the author's byte share is used up long before its count.
    const QString big(1 << 20, QLatin1Char('x'));
    int taken = 0;
    for (int i = 0; i < 20; ++i) taken += handOver(kBob, 300000 + i, big) ? 1 : 0;
    EXPECT_GE(taken, 1);
    EXPECT_LT(taken, 20);
    qint64 bytes = 0;
    for (MessageForForwarding *m : held()) bytes += m->message().size();
    EXPECT_LE(bytes, MessageForForwarding::MaxHeldBytesPerAuthor);
    // Small ones from another author still fit.
    EXPECT_TRUE(handOver(kDave, 400000));
}

TEST_F(HeldCopyBoundsTest, CopiesHeldForOthersExpireAfterThirtyDaysTheLocalUsersNever) {
    const qint64 day = 86400;
    const qint64 t = now.toSecsSinceEpoch();
    hold(1, bob, {carol}, t - 31 * day);
    hold(2, bob, {carol}, t - 29 * day);
    hold(3, me, {carol}, t - 400 * day);
    hold(4, dave, {carol}, t - 30 * day - 1);
    ASSERT_TRUE(ctx->save());
    EXPECT_EQ(MessageForForwarding::expireHeldForOthers(ctx, now), 2);
    ASSERT_TRUE(ctx->save());
    QList<qint64> left;
    for (MessageForForwarding *m : held()) left << m->messageId();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (QList<qint64>{2, 3}));
}

} // namespace

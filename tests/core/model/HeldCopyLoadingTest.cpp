// Texts of held copies stay in the store: a store holding many opens with their sizes only,
// the bounds are kept after a restart without reading a text, each text is read when its copy
// goes out and not kept after, and a text that cannot be read leaves its copy for a later run.
#include "core/model/OfflineForwardingSupport.h"

#include <set>

namespace {

const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");
const QString kDave = QStringLiteral("A000000004");

class HeldCopyLoadingTest : public ForwardingFixture {
protected:
    void SetUp() override {
        ForwardingFixture::SetUp();
        peer(kBob, QStringLiteral("Bob"));
        peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
        peer(kDave, QStringLiteral("Dave"), QStringLiteral("127.0.0.4"));
        MessageForForwarding::setRandomSource([](quint32) { return 0u; });
    }
    User *user(const QString &id) { return User::findByUserId(ctx, id); }
    // Ends the run's context and opens the same store anew, as a restart does.
    void reopenStore() {
        MessageForForwarding::resetPendingDeliveries();
        roster->setMe(nullptr);
        KDTAppDelegate::setShared(nullptr);
        delegate.reset();
        delegate = std::make_unique<KDTAppDelegate>();
        KDTAppDelegate::setShared(delegate.get());
        ctx = appManagedObjectContext();
        ASSERT_TRUE(ctx && ctx->isOpen());
        me = ctx->fetch<Me>().value(0);
        ASSERT_TRUE(me);
        roster->setMe(me);
        me->setStatus(QStringLiteral("0"));
    }
    // Texts of a size that tells them apart: copy i has i + 1 KiB of text.
    static QString textOf(int i) {
        return QStringLiteral("copy %1 ").arg(i).leftJustified((i + 1) * 1024, u'.');
    }
    // A hand-over from the author for Carol, as received: true when it was taken.
    bool handOver(const QString &author, qint64 id, const QString &text) {
        const PacketArray fields = {"TSOM",       kCarol,       QString::number(id),   author,
                                    "1700000000", me->userId(), encodeTextField(text), "Author"};
        const Message::Receipt receipt = Message::receive(fields, QStringLiteral("127.0.0.2"));
        return !receipt.refused;
    }
};

TEST_F(HeldCopyLoadingTest, ManyCopiesOpenWithTheirSizesOnlyAndTheBoundsStillHold) {
    constexpr int kCopies = 200;
    qint64 bobsBytes = 0;
    for (int i = 0; i < kCopies; ++i) {
        MessageForForwarding *m = hold(1000 + i, user(kBob), {user(kCarol)}, 1700000000 + i, textOf(i % 40));
        bobsBytes += m->messageSize();
    }
    ASSERT_TRUE(ctx->save());
    // Saved texts leave memory at once, not only after a restart.
    for (MessageForForwarding *m : held()) EXPECT_FALSE(m->holdsValue(QStringLiteral("message")));

    reopenStore();
    EXPECT_EQ(ctx->deferredReads(), 0);
    ASSERT_EQ(held().size(), kCopies);
    qint64 sizes = 0;
    for (MessageForForwarding *m : held()) {
        EXPECT_FALSE(m->holdsValue(QStringLiteral("message")));
        sizes += m->messageSize();
    }
    EXPECT_EQ(sizes, bobsBytes);

    // Bob's share of bytes is near its end: a text that would pass it is refused, a small one
    // and another author's are taken, all without reading a stored text.
    const qint64 room = MessageForForwarding::MaxHeldBytesPerAuthor - bobsBytes;
    ASSERT_GT(room, 200 * 1024);
    EXPECT_FALSE(handOver(kBob, 5001, QString(int(room), u'x')));
    EXPECT_TRUE(handOver(kBob, 5002, QStringLiteral("short")));
    EXPECT_TRUE(handOver(kDave, 5003, QString(int(room), u'y')));
    EXPECT_EQ(ctx->deferredReads(), 0);
}

TEST_F(HeldCopyLoadingTest, AfterARestartEachCopyGoesOnceWithItsTextReadOnlyWhenItGoes) {
    constexpr int kCopies = 12;
    for (int i = 0; i < kCopies; ++i) hold(2000 + i, user(kBob), {user(kCarol)}, 1700000000 + i, textOf(i));
    ASSERT_TRUE(ctx->save());
    reopenStore();

    user(kCarol)->setStatus(QStringLiteral("0")); // Carol is back: one run for her copies
    runScheduled();                               // the run after its random delay
    EXPECT_EQ(int(scheduled.size()), kCopies);    // one delivery each, 350 ms apart
    EXPECT_TRUE(sent.empty());
    runScheduled();
    ASSERT_EQ(int(sent.size()), kCopies);
    std::set<qint64> ids;
    for (const SentPacket &p : sent) {
        ASSERT_EQ(p.fields.size(), 8);
        EXPECT_EQ(p.fields[0], "TSFM");
        const qint64 id = p.fields[1].toLongLong();
        ids.insert(id);
        EXPECT_EQ(p.fields[6], textOf(int(id - 2000))) << id;
        EXPECT_EQ(p.to, user(kCarol));
    }
    EXPECT_EQ(int(ids.size()), kCopies);
    // Read when each was framed, and none kept after.
    EXPECT_GT(ctx->deferredReads(), 0);
    for (MessageForForwarding *m : held()) EXPECT_FALSE(m->holdsValue(QStringLiteral("message")));
    // Sent is not confirmed: every copy stays until its receipt.
    EXPECT_EQ(held().size(), kCopies);
}

TEST_F(HeldCopyLoadingTest, ATextThatCannotBeReadLeavesItsCopyForALaterRun) {
    hold(3000, user(kBob), {user(kCarol)}, 1700000000, QStringLiteral("kept whatever happens"));
    ASSERT_TRUE(ctx->save());
    reopenStore();
    user(kCarol)->setStatus(QStringLiteral("0"));
    ctx->close(); // the store cannot be read any more
    runScheduled();
    runScheduled();
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(held().size(), 1);
    EXPECT_FALSE(held().first()->isDeleted());
    EXPECT_TRUE(ctx->deletedObjects().isEmpty());
}

} // namespace

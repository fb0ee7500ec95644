// Messages between copies of the driver in their own namespaces: delivery and receipt, mass
// messages with a stopped copy, peers that are gone or refuse, unknown senders, and peers that
// send what no copy should accept.
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <gtest/gtest.h>

#include <memory>

namespace {

QString userId(int i) { return E2eCopies::userIdIn(0, i); }

class E2eMessagingTest : public E2eCopies {
protected:
    // Starts the driver in copy i and waits for its "ready".
    CopyProcess *start(int i) { return startIntroduced(i, userId(i)); } // users come by add-user
    // Makes copy `of` know copy `who` as an online user.
    bool introduce(CopyProcess *of, int who) { return E2eCopies::introduce(of, userId(who), who); }
    std::unique_ptr<NetnsLab> makeLab(int n) {
        auto l = std::make_unique<NetnsLab>(n);
        return l;
    }
};

TEST_F(E2eMessagingTest, AMessageArrivesWithItsIdAndTextAndIsConfirmed) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1) && introduce(b, 0));

    const QString text = QStringLiteral("Привет, мир 👋🏽 — hello | done");
    a->send(QStringLiteral("send %1 %2").arg(userId(1), text));
    const auto sent = a->waitForEvent(QStringLiteral("sent"));
    ASSERT_TRUE(sent);
    const QString id = sent->value("id").toString();
    const auto got = b->waitForEvent(event("message", "id", id));
    ASSERT_TRUE(got) << qPrintable(b->diagnostics());
    EXPECT_EQ(got->value("text").toString(), text);
    EXPECT_EQ(got->value("from").toString(), userId(0));
    EXPECT_FALSE(got->value("mass").toBool());
    const auto delivered = a->waitForEvent(event("delivered", "id", id));
    ASSERT_TRUE(delivered) << qPrintable(a->diagnostics());
    EXPECT_EQ(delivered->value("to").toString(), userId(1));

    // Both histories hold the line under the same id.
    b->send(QStringLiteral("history %1").arg(userId(0)));
    const auto history = b->waitForEvent(QStringLiteral("history"));
    ASSERT_TRUE(history);
    const QJsonArray entries = history->value("entries").toArray();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].toObject().value("direction"), "in");
    EXPECT_EQ(entries[0].toObject().value("messageId").toString(), id);
    EXPECT_EQ(entries[0].toObject().value("text").toString(), text);
    a->send(QStringLiteral("history %1").arg(userId(1)));
    const auto mine = a->waitForEvent(QStringLiteral("history"));
    ASSERT_TRUE(mine);
    ASSERT_EQ(mine->value("entries").toArray().size(), 1);
    EXPECT_EQ(mine->value("entries").toArray()[0].toObject().value("status"), "delivered");
}

TEST_F(E2eMessagingTest, AMassMessageReachesTheRunningCopyAndMarksTheStoppedOne) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(3);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b); // C is never started
    ASSERT_TRUE(introduce(a, 1) && introduce(a, 2) && introduce(b, 0));

    a->send(QStringLiteral("send-mass %1,%2 to everyone ✉️").arg(userId(1), userId(2)));
    const auto sent = a->waitForEvent(QStringLiteral("sent"));
    ASSERT_TRUE(sent);
    const QString id = sent->value("id").toString();
    const auto got = b->waitForEvent(event("message", "id", id));
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->value("mass").toBool());
    EXPECT_EQ(got->value("text").toString(), QStringLiteral("to everyone ✉️"));
    ASSERT_TRUE(a->waitForEvent(status(userId(2), QStringLiteral("10")), 25000));
    a->send(QStringLiteral("users"));
    const auto users = a->waitForEvent(QStringLiteral("users"));
    ASSERT_TRUE(users);
    for (const QJsonValue &u : users->value("users").toArray()) {
        const QJsonObject o = u.toObject();
        if (o.value("id") == userId(2)) {
            EXPECT_TRUE(o.value("offline").toBool());
        } else if (o.value("id") == userId(1)) {
            EXPECT_FALSE(o.value("offline").toBool());
        }
    }
    // B's receipt still counted; it may reach A after the stopped copy was marked.
    const auto receipted = [&] {
        return std::any_of(a->events().begin(), a->events().end(), [&](const QJsonObject &e) {
            return e.value("event") == "delivered" && e.value("to") == userId(1) && e.value("id") == id;
        });
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            a->waitForEvent([](const QJsonObject &) { return false; }, 0); // reads what arrived
            return receipted();
        },
        10000));
}

TEST_F(E2eMessagingTest, ARecipientWhoseLinkIsDownIsMarkedOfflineWithinTheTimeOut) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1));
    ASSERT_TRUE(lab->linkDown(1));
    QElapsedTimer clock;
    clock.start();
    a->send(QStringLiteral("send %1 are you there?").arg(userId(1)));
    ASSERT_TRUE(a->waitForEvent(status(userId(1), QStringLiteral("10")), 25000))
        << qPrintable(a->diagnostics());
    EXPECT_LT(clock.elapsed(), 23000);
    EXPECT_TRUE(a->waitForEvent(QStringLiteral("undelivered"), 1000));
}

TEST_F(E2eMessagingTest, ARecipientThatSwallowsEverythingIsMarkedOfflineAfterTheTimeOut) {
    SKIP_WITHOUT_LAB();
    if (!NetnsLab::haveNft()) GTEST_SKIP() << "nft is needed for a black hole";
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1));
    ASSERT_TRUE(lab->blackhole(1));
    QElapsedTimer clock;
    clock.start();
    a->send(QStringLiteral("send %1 anyone?").arg(userId(1)));
    ASSERT_TRUE(a->waitForEvent(status(userId(1), QStringLiteral("10")), 30000))
        << qPrintable(a->diagnostics());
    // The connect time-out, not earlier and not much later.
    EXPECT_GE(clock.elapsed(), 19000);
    EXPECT_LT(clock.elapsed(), 26000);
}

TEST_F(E2eMessagingTest, ARecipientThatRefusesIsMarkedOfflineAtOnce) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0); // nothing listens in B's namespace
    ASSERT_TRUE(a);
    ASSERT_TRUE(introduce(a, 1));
    a->send(QStringLiteral("send %1 hello?").arg(userId(1)));
    ASSERT_TRUE(a->waitForEvent(status(userId(1), QStringLiteral("10")), 5000));
    a->send(QStringLiteral("history %1").arg(userId(1)));
    const auto history = a->waitForEvent(QStringLiteral("history"));
    ASSERT_TRUE(history);
    ASSERT_EQ(history->value("entries").toArray().size(), 1); // kept in the history
    EXPECT_EQ(history->value("entries").toArray()[0].toObject().value("status"), "failed");
}

TEST_F(E2eMessagingTest, AnUnknownSenderIsCreatedWithItsAddressAndAsked) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1)); // B has never heard of A
    a->send(QStringLiteral("send %1 first contact").arg(userId(1)));
    const auto sent = a->waitForEvent(QStringLiteral("sent"));
    ASSERT_TRUE(sent);
    ASSERT_TRUE(b->waitForEvent(event("message", "id", sent->value("id").toString())));
    // Created offline, then online once A answered B's "TRI" with its details.
    ASSERT_TRUE(b->waitForEvent(status(userId(0), QStringLiteral("0")), 10000))
        << qPrintable(b->diagnostics());
    b->send(QStringLiteral("users"));
    const auto users = b->waitForEvent(QStringLiteral("users"));
    ASSERT_TRUE(users);
    bool found = false;
    for (const QJsonValue &u : users->value("users").toArray()) {
        const QJsonObject o = u.toObject();
        if (o.value("id") != userId(0)) continue;
        found = true;
        EXPECT_EQ(o.value("ip").toString(), lab->address(0));
        EXPECT_FALSE(o.value("offline").toBool());
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(std::any_of(b->events().begin(), b->events().end(),
                            [&](const QJsonObject &e) { return status(userId(0), "10")(e); }));
}

TEST_F(E2eMessagingTest, BadInputIsClosedWithNothingStoredAndMemoryBounded) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    const qint64 pid = b->process()->processId();
    const qint64 before = procKiB(pid, "VmRSS:");
    ASSERT_GT(before, 0);

    const auto rawDone = [&](const char *mode) {
        a->send(QStringLiteral("raw %1 %2 %3").arg(lab->address(1), mode, userId(1)));
        return a->waitForEvent(event("raw-done", "mode", mode), 40000);
    };
    const auto garbage = rawDone("garbage");
    ASSERT_TRUE(garbage);
    ASSERT_EQ(garbage->value("results").toArray().size(), 1);
    EXPECT_TRUE(garbage->value("results").toArray()[0].toObject().value("closed").toBool());
    EXPECT_EQ(garbage->value("results").toArray()[0].toObject().value("reply").toString(), "");

    // The same frame twice: the first is a message like any other, the second is dropped.
    const auto repeat = rawDone("repeat");
    ASSERT_TRUE(repeat);
    const QJsonArray twice = repeat->value("results").toArray();
    ASSERT_EQ(twice.size(), 2);
    EXPECT_NE(twice[0].toObject().value("reply").toString(), "");
    EXPECT_TRUE(twice[1].toObject().value("closed").toBool());
    EXPECT_EQ(twice[1].toObject().value("reply").toString(), "");

    const auto huge = rawDone("huge");
    ASSERT_TRUE(huge);
    const QJsonObject hugeResult = huge->value("results").toArray()[0].toObject();
    EXPECT_TRUE(hugeResult.value("closed").toBool() || hugeResult.value("sendFailed").toBool());
    EXPECT_EQ(hugeResult.value("reply").toString(), "");
    const qint64 peak = procKiB(pid, "VmHWM:");
    const qint64 after = procKiB(pid, "VmRSS:");
    RecordProperty("rss_before_kib", int(before));
    RecordProperty("rss_peak_kib", int(peak));
    std::printf("B: VmRSS before %lld KiB, peak %lld KiB, after %lld KiB\n", (long long)before,
                (long long)peak, (long long)after);
    EXPECT_LT(peak - before, 40 * 1024) << "the 64 MiB line was buffered";
    ASSERT_TRUE(b->running());

    // Only the first of the repeated frames was stored.
    b->send(QStringLiteral("users"));
    spinFor(300);
    int stored = 0;
    for (const QJsonObject &e : b->events())
        if (e.value("event") == "message") ++stored;
    EXPECT_EQ(stored, 1);
    b->send(QStringLiteral("history %1").arg(userId(0)));
    const auto history = b->waitForEvent(QStringLiteral("history"));
    ASSERT_TRUE(history);
    EXPECT_EQ(history->value("entries").toArray().size(), 1);
}

// A small disk of its own under a copy's store, mounted for the test and gone after it.
class SmallDisk {
public:
    explicit SmallDisk(const QString &folder) : folder_(folder) {
        QDir().mkpath(folder);
        mounted_ = NetnsLab::host({"mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", folder}).exitCode == 0;
    }
    ~SmallDisk() {
        if (mounted_) NetnsLab::host({"umount", "-l", folder_});
    }
    bool mounted() const { return mounted_; }
    // Fills what is left with a file of its own; false when the disk did not fill.
    bool fill() {
        QFile filler(folder_ + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly)) return false;
        const QByteArray chunk(64 * 1024, 'f');
        for (int i = 0; i < 1024; ++i)
            if (filler.write(chunk) != chunk.size() || !filler.flush()) return true;
        return false;
    }
    bool makeRoom() { return QFile::remove(folder_ + QStringLiteral("/filler")); }

private:
    QString folder_;
    bool mounted_ = false;
};

TEST_F(E2eMessagingTest, AFullDiskGivesNoReceiptAndTheMessageComesOnceThereIsRoom) {
    SKIP_WITHOUT_LAB();
    lab = makeLab(2);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    SmallDisk disk(lab->folder(1) + QStringLiteral("/data/Murnavell"));
    ASSERT_TRUE(disk.mounted());
    CopyProcess *a = start(0);
    CopyProcess *b = start(1);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(introduce(a, 1) && introduce(b, 0));
    ASSERT_TRUE(disk.fill());

    const QString text = QStringLiteral("for a full disk");
    a->send(QStringLiteral("send %1 %2").arg(userId(1), text));
    const auto sent = a->waitForEvent(QStringLiteral("sent"));
    ASSERT_TRUE(sent);
    const QString id = sent->value("id").toString();
    // B could not keep it, so A was not told it arrived: A holds it for B instead.
    ASSERT_TRUE(a->waitForEvent(event("undelivered", "id", id), 10000)) << qPrintable(a->diagnostics());
    ASSERT_TRUE(a->waitForEvent(event("held", "id", id), 5000));
    EXPECT_FALSE(std::any_of(a->events().begin(), a->events().end(), event("delivered", "id", id)));

    // B goes down with its disk still full and comes back once there is room.
    b->process()->kill();
    ASSERT_TRUE(b->process()->waitForFinished(5000));
    ASSERT_TRUE(disk.makeRoom());
    b = start(1);
    ASSERT_TRUE(b);
    ASSERT_TRUE(introduce(a, 1)); // A sees B again and delivers what it holds
    ASSERT_TRUE(b->waitForEvent(event("message", "id", id), 15000)) << qPrintable(b->diagnostics());
    ASSERT_TRUE(a->waitForEvent(event("held-gone", "id", id), 10000));
    spinFor(1500);
    b->send(QStringLiteral("history %1").arg(userId(0)));
    const auto history = b->waitForEvent(QStringLiteral("history"));
    ASSERT_TRUE(history);
    ASSERT_EQ(history->value("entries").toArray().size(), 1);
    EXPECT_EQ(history->value("entries").toArray()[0].toObject().value("text").toString(), text);
}

} // namespace

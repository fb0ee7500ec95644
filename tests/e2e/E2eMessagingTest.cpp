// Messages between copies of the driver in their own namespaces: delivery and receipt, mass
// messages with a stopped copy, peers that are gone or refuse, unknown senders, and peers that
// send what no copy should accept.
#include "support/CopyProcess.h"
#include "support/EventLoopWait.h"
#include "support/NetnsLab.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <gtest/gtest.h>

#include <memory>

namespace {

#ifndef MURNAVELL_DRIVER
#define MURNAVELL_DRIVER ""
#endif

#define SKIP_WITHOUT_LAB()                                                                                   \
    do {                                                                                                     \
        QString why;                                                                                         \
        if (!NetnsLab::available(&why)) GTEST_SKIP() << qPrintable(why);                                     \
        if (QString(MURNAVELL_DRIVER).isEmpty()) GTEST_SKIP() << "the test driver was not built";            \
    } while (0)

QString userId(int i) { return QStringLiteral("A00000000%1").arg(i + 1); }

// Resident memory of a process in KiB from /proc (the lab's copies share the pid namespace).
qint64 procKiB(qint64 pid, const char *field) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

class E2eMessagingTest : public ::testing::Test {
protected:
    // Starts the driver in copy i and waits for its "ready".
    CopyProcess *start(int i) {
        QProcessEnvironment env;
        env.insert(QStringLiteral("MURNAVELL_USER_ID"), userId(i));
        env.insert(QStringLiteral("MURNAVELL_USER_NAME"), QStringLiteral("User%1").arg(i + 1));
        env.insert(QStringLiteral("MURNAVELL_NO_PRESENCE"), QStringLiteral("1")); // users come by add-user
        QProcess *p = lab->run(i, QString::fromUtf8(MURNAVELL_DRIVER), {}, env);
        if (!p) return nullptr;
        copies.push_back(std::make_unique<CopyProcess>(p, lab->ns(i)));
        CopyProcess *copy = copies.back().get();
        const auto ready = copy->waitForEvent(QStringLiteral("ready"), 15000);
        if (!ready || !ready->value("listening").toBool()) return nullptr;
        return copy;
    }
    // Makes copy `of` know copy `who` as an online user.
    bool introduce(CopyProcess *of, int who) {
        of->send(QStringLiteral("add-user %1 %2 User%3").arg(userId(who), lab->address(who)).arg(who + 1));
        return bool(of->waitForEvent([](const QJsonObject &e) {
            return e.value("event") == "ok" && e.value("command") == "add-user";
        }));
    }
    static CopyProcess::Predicate event(const QString &name, const QString &key, const QString &value) {
        return [=](const QJsonObject &e) {
            return e.value("event") == name && e.value(key).toString() == value;
        };
    }
    static CopyProcess::Predicate status(const QString &user, const QString &code) {
        return [=](const QJsonObject &e) {
            return e.value("event") == "status" && e.value("user") == user && e.value("status") == code;
        };
    }
    std::unique_ptr<NetnsLab> makeLab(int n) {
        auto l = std::make_unique<NetnsLab>(n);
        return l;
    }
    void TearDown() override {
        for (auto &c : copies)
            if (c->running()) c->send(QStringLiteral("quit"));
        for (auto &c : copies) c->process()->waitForFinished(3000);
        copies.clear();
        lab.reset();
    }

    std::unique_ptr<NetnsLab> lab;
    std::vector<std::unique_ptr<CopyProcess>> copies;
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
    // B's receipt still counted.
    EXPECT_TRUE(std::any_of(a->events().begin(), a->events().end(), [&](const QJsonObject &e) {
        return e.value("event") == "delivered" && e.value("to") == userId(1) && e.value("id") == id;
    }));
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

} // namespace

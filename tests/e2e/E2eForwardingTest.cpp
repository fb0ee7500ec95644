// Messages for a copy that is stopped, between three copies of the driver in their own
// namespaces: the author and the other copy hold it, the recipient gets it once when it is back,
// and every holder's copy goes; also when the author has quit before the recipient returns.
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

QString userId(int i) { return E2eCopies::userIdIn(2, i); }

constexpr int A = 0, B = 1, C = 2;

// Every wait is bounded generously (15 s unless said otherwise): the copies run beside a full
// suite and builds. The fixed pauses below only give what must not happen room to show itself.
class E2eForwardingTest : public E2eCopies {
protected:
    void SetUp() override {
        SKIP_WITHOUT_LAB();
        lab = std::make_unique<NetnsLab>(3);
        ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    }
    // Starts (or starts again, on its own store) copy i with presence on.
    CopyProcess *start(int i, const QProcessEnvironment &extra = {}) {
        CopyProcess *copy = startWithPresence(i, userId(i), extra);
        if (copy) running[i] = copy;
        return copy;
    }
    bool quit(int i) {
        CopyProcess *copy = running[i];
        running[i] = nullptr;
        return copy && copy->send(QStringLiteral("quit")) && copy->process()->waitForFinished(15000);
    }

    bool sees(int of, int who, bool online, int timeoutMs = 15000) {
        return E2eCopies::sees(running[of], userId(who), online, timeoutMs);
    }
    bool allSeeEachOther() {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (i != j && running[i] && running[j] && !sees(i, j, true)) return false;
        return true;
    }

    // Any event of the copy so far, in whatever order the waits came.
    static int count(CopyProcess *copy, const CopyProcess::Predicate &matches) {
        return int(std::count_if(copy->events().begin(), copy->events().end(), matches));
    }
    static bool eventually(CopyProcess *copy, const CopyProcess::Predicate &matches, int timeoutMs = 15000) {
        return waitUntil([&] { return count(copy, matches) > 0; }, timeoutMs);
    }
    static CopyProcess::Predicate event(const QString &name, const QString &id) {
        return
            [=](const QJsonObject &e) { return e.value("event") == name && e.value("id").toString() == id; };
    }
    // Copy `of`'s history with `with`: the entries of that id.
    static QList<QJsonObject> linesWithId(CopyProcess *of, const QString &with, const QString &id) {
        QList<QJsonObject> out;
        of->send(QStringLiteral("history %1").arg(with));
        const auto answer = of->waitForEvent(QStringLiteral("history"), 15000);
        if (!answer) return out;
        for (const QJsonValue &v : answer->value("entries").toArray())
            if (v.toObject().value("messageId").toString() == id) out.append(v.toObject());
        return out;
    }

    // A, B and C find each other; C stops; A writes to C and both A and B hold the message.
    QString heldByAandB(const QString &text) {
        if (!start(A) || !start(B) || !start(C)) return {};
        if (!allSeeEachOther()) return {};
        if (!quit(C) || !sees(A, C, false) || !sees(B, C, false)) return {};
        running[A]->send(QStringLiteral("send %1 %2").arg(userId(C), text));
        const auto sent = running[A]->waitForEvent(QStringLiteral("sent"));
        if (!sent) return {};
        const QString id = sent->value("id").toString();
        if (!eventually(running[A], event("held", id)) || !eventually(running[B], event("held", id)))
            return {};
        return id;
    }

    CopyProcess *running[3] = {nullptr, nullptr, nullptr};
};

TEST_F(E2eForwardingTest, TheRecipientGetsItOnceWhenBackAndEveryHolderForgetsIt) {
    const QString text = QStringLiteral("while you were out — ✉️ | 2");
    const QString id = heldByAandB(text);
    ASSERT_FALSE(id.isEmpty()) << qPrintable(copies.front()->diagnostics());
    const auto atA = heldCopies(running[A]);
    ASSERT_TRUE(atA);
    ASSERT_EQ(atA->size(), 1);
    EXPECT_EQ(atA->at(0).toObject().value("for").toArray(), QJsonArray{userId(C)});
    EXPECT_EQ(atA->at(0).toObject().value("text").toString(), text);

    CopyProcess *c = start(C);
    ASSERT_TRUE(c);
    ASSERT_TRUE(eventually(c, event("message", id))) << qPrintable(c->diagnostics());
    ASSERT_TRUE(eventually(running[A], event("held-gone", id))) << qPrintable(running[A]->diagnostics());
    ASSERT_TRUE(eventually(running[B], event("held-gone", id))) << qPrintable(running[B]->diagnostics());
    spinFor(3000); // room for a second delivery to show up, were there one
    EXPECT_EQ(count(c, event("message", id)), 1);
    const auto got = std::find_if(c->events().begin(), c->events().end(), event("message", id));
    EXPECT_EQ(got->value("text").toString(), text);
    EXPECT_EQ(got->value("from").toString(), userId(A));
    EXPECT_TRUE(got->value("offline").toBool());
    EXPECT_EQ(linesWithId(c, userId(A), id).size(), 1);
    EXPECT_EQ(heldCopies(running[A]).value_or(QJsonArray{QJsonValue()}).size(), 0);
    EXPECT_EQ(heldCopies(running[B]).value_or(QJsonArray{QJsonValue()}).size(), 0);
}

TEST_F(E2eForwardingTest, WithTheAuthorGoneTheOtherHolderDeliversIt) {
    const QString text = QStringLiteral("A left before you came");
    const QString id = heldByAandB(text);
    ASSERT_FALSE(id.isEmpty()) << qPrintable(copies.front()->diagnostics());
    ASSERT_TRUE(quit(A));
    ASSERT_TRUE(sees(B, A, false));

    CopyProcess *c = start(C);
    ASSERT_TRUE(c);
    ASSERT_TRUE(eventually(c, event("message", id))) << qPrintable(c->diagnostics());
    ASSERT_TRUE(eventually(running[B], event("held-gone", id)));
    const auto got = std::find_if(c->events().begin(), c->events().end(), event("message", id));
    EXPECT_EQ(got->value("text").toString(), text);
    EXPECT_EQ(got->value("from").toString(), userId(A));
    EXPECT_EQ(heldCopies(running[B]).value_or(QJsonArray{QJsonValue()}).size(), 0);

    // The author comes back still holding its copy: it delivers, C takes it for the one it has,
    // and the author's copy goes too.
    CopyProcess *a = start(A);
    ASSERT_TRUE(a);
    ASSERT_TRUE(eventually(a, event("held-gone", id), 20000)) << qPrintable(a->diagnostics());
    EXPECT_EQ(heldCopies(a).value_or(QJsonArray{QJsonValue()}).size(), 0);
    spinFor(1000);
    EXPECT_EQ(count(c, event("message", id)), 1);
    EXPECT_EQ(linesWithId(c, userId(A), id).size(), 1);
}

TEST_F(E2eForwardingTest, ARecipientKilledBetweenTheDeliveryAndItsSaveLosesNothing) {
    const QString text = QStringLiteral("kept until it is safe");
    const QString id = heldByAandB(text);
    ASSERT_FALSE(id.isEmpty()) << qPrintable(copies.front()->diagnostics());

    // C comes back; the first delivery reaches it, and it dies right before its save.
    QProcessEnvironment stall;
    stall.insert(QStringLiteral("MURNAVELL_STALL_BEFORE_SAVE"), QStringLiteral("message"));
    CopyProcess *c = start(C, stall);
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->waitForEvent(QStringLiteral("stalled"), 20000)) << qPrintable(c->diagnostics());
    spinFor(1500); // whatever C sent before the save has reached A and B by now
    c->process()->kill();
    ASSERT_TRUE(c->process()->waitForFinished(5000));
    running[C] = nullptr;
    // Nothing told the holders it arrived: both still hold it.
    for (int holder : {A, B}) {
        SCOPED_TRACE(holder);
        const auto held = heldCopies(running[holder]);
        ASSERT_TRUE(held);
        EXPECT_EQ(held->size(), 1);
    }

    c = start(C);
    ASSERT_TRUE(c);
    ASSERT_TRUE(eventually(c, event("message", id), 20000)) << qPrintable(c->diagnostics());
    ASSERT_TRUE(eventually(running[A], event("held-gone", id)));
    ASSERT_TRUE(eventually(running[B], event("held-gone", id)));
    spinFor(2000);
    EXPECT_EQ(count(c, event("message", id)), 1);
    EXPECT_EQ(linesWithId(c, userId(A), id).size(), 1);
}

} // namespace

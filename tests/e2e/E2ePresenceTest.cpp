// Presence between copies of the driver in their own namespaces: discovery by broadcast with
// the details of the "TSI" answer, status changes, a copy that quits, a copy in another subnet
// found through an added target, a second copy with the same user id, and a message between
// copies that only found each other.
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <tuple>

namespace {

QString userId(int i) { return E2eCopies::userIdIn(1, i); }

class E2ePresenceTest : public E2eCopies {
protected:
    CopyProcess *start(int i, const QString &id) { return startWithPresence(i, id); }
    CopyProcess *start(int i) { return start(i, userId(i)); }

    // The copy's users by id, from one "users" answer.
    static QHash<QString, QJsonObject> users(CopyProcess *copy) {
        QHash<QString, QJsonObject> out;
        if (!copy->send(QStringLiteral("users"))) return out;
        const auto answer = copy->waitForEvent(QStringLiteral("users"), 5000);
        if (!answer) return out;
        for (const QJsonValue &v : answer->value("users").toArray()) {
            const QJsonObject u = v.toObject();
            out.insert(u.value("id").toString(), u);
        }
        return out;
    }
    // Asks until the copy's record of `id` satisfies the condition, or the bound passes; the
    // last record seen goes to `last` for the failure message.
    static bool eventually(CopyProcess *copy, const QString &id,
                           const std::function<bool(const QJsonObject &)> &ok, int timeoutMs = 10000,
                           QJsonObject *last = nullptr) {
        QDeadlineTimer deadline(timeoutMs);
        do {
            const QHash<QString, QJsonObject> known = users(copy);
            if (last) *last = known.value(id);
            if (known.contains(id) && ok(known.value(id))) return true;
            spinFor(200);
        } while (!deadline.hasExpired());
        return false;
    }
    // Whether the copy ever reported a matching event, however many came in between.
    static bool everSaw(CopyProcess *copy, const CopyProcess::Predicate &matches, int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            for (const QJsonObject &e : copy->events())
                if (matches(e)) return true;
            if (deadline.hasExpired()) return false;
            copy->waitForEvent(matches, 100);
        }
    }
    static QString text(const QJsonObject &o) {
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    static bool online(const QJsonObject &u) {
        return !u.value("offline").toBool() && u.value("status") == "0";
    }
};

TEST_F(E2ePresenceTest, ThreeCopiesFindEachOtherFollowStatusAndSeeAQuitter) {
    SKIP_WITHOUT_LAB();
    lab = std::make_unique<NetnsLab>(3);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *c[3] = {start(0), start(1), start(2)};
    ASSERT_TRUE(c[0] && c[1] && c[2]);

    // Everyone sees everyone online, with the name from presence and the details of "TSI".
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            if (i == j) continue;
            QJsonObject last;
            EXPECT_TRUE(eventually(
                c[i], userId(j),
                [&](const QJsonObject &u) {
                    return online(u) && u.value("name") == QStringLiteral("Person %1").arg(j + 1) &&
                           u.value("ip") == lab->address(j) &&
                           u.value("oSversion").toString().startsWith("Mac OS X ") &&
                           !u.value("logonUser").toString().isEmpty() &&
                           u.value("version").toString().section('.', 0, 0).toInt() >= 4;
                },
                10000, &last))
                << "copy " << i << " about " << j << ": " << qPrintable(text(last)) << "\n"
                << qPrintable(c[i]->diagnostics());
        }
    // The copy knows its own address from its broadcast heard back.
    EXPECT_TRUE(
        eventually(c[0], userId(0), [&](const QJsonObject &u) { return u.value("ip") == lab->address(0); }));

    // A status change reaches the others.
    c[1]->send(QStringLiteral("set-status 1"));
    for (int i : {0, 2}) {
        const auto seen = c[i]->waitForEvent(status(userId(1), QStringLiteral("1")), 10000);
        EXPECT_TRUE(seen) << qPrintable(c[i]->diagnostics());
    }

    // A message between two copies that were never introduced by hand.
    c[0]->send(QStringLiteral("send %1 found you").arg(userId(2)));
    const auto sent = c[0]->waitForEvent(QStringLiteral("sent"));
    ASSERT_TRUE(sent);
    const QString id = sent->value("id").toString();
    const auto got = c[2]->waitForEvent([&](const QJsonObject &e) {
        return e.value("event") == "message" && e.value("id").toString() == id;
    });
    ASSERT_TRUE(got) << qPrintable(c[2]->diagnostics());
    EXPECT_EQ(got->value("text").toString(), QStringLiteral("found you"));
    EXPECT_EQ(got->value("from").toString(), userId(0));
    EXPECT_TRUE(c[0]->waitForEvent([&](const QJsonObject &e) {
        return e.value("event") == "delivered" && e.value("id").toString() == id;
    }));

    // A copy that quits says so before it goes.
    c[2]->send(QStringLiteral("quit"));
    ASSERT_TRUE(c[2]->process()->waitForFinished(5000));
    for (int i : {0, 1}) {
        const auto uo = c[i]->waitForEvent(
            [](const QJsonObject &e) {
                return e.value("event") == "presence" && e.value("word") == "UO" &&
                       e.value("from") == userId(2);
            },
            5000);
        EXPECT_TRUE(uo) << qPrintable(c[i]->diagnostics());
        EXPECT_TRUE(
            eventually(c[i], userId(2), [](const QJsonObject &u) { return u.value("offline").toBool(); }));
    }
}

// Names whose UTF-8 holds the frame separator's byte (U+0426 is D0 A6, U+4E26 is E4 B8 A6) go
// the whole way: the rename notice, the refresh it is answered with, the answer that carries the
// new name, typing notices, the answers a copy gets when it comes back, and its information
// request.
TEST_F(E2ePresenceTest, CyrillicAndCjkNamesTravelTheWholeRenameChain) {
    SKIP_WITHOUT_LAB();
    lab = std::make_unique<NetnsLab>(3);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    CopyProcess *a = start(0), *b = start(1), *c = start(2);
    ASSERT_TRUE(a && b && c);
    // Everyone knows everyone's system, so the names go to each other as UTF-8.
    const auto known = [](const QJsonObject &u) {
        return online(u) && u.value("oSversion").toString().startsWith("Mac OS X ");
    };
    CopyProcess *all[3] = {a, b, c};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            if (i == j) continue;
            ASSERT_TRUE(eventually(all[i], userId(j), known)) << qPrintable(all[i]->diagnostics());
        }

    // C goes away before the renames, to come back after them.
    c->send(QStringLiteral("quit"));
    ASSERT_TRUE(c->process()->waitForFinished(5000));
    for (CopyProcess *copy : {a, b})
        ASSERT_TRUE(
            eventually(copy, userId(2), [](const QJsonObject &u) { return u.value("offline").toBool(); }));

    const QString cyrillic = QStringLiteral("Цветана Цанева");
    const QString cjk = QStringLiteral("並木 花子");
    a->send(QStringLiteral("set-details Цветана|Цанева"));
    ASSERT_TRUE(a->waitForEvent(event("ok", "command", "set-details")));
    a->send(QStringLiteral("set-name ") + cyrillic);
    b->send(QStringLiteral("set-name ") + cjk);
    const auto presenceFrom = [](const char *word, const QString &from) {
        return [=](const QJsonObject &e) {
            return e.value("event") == "presence" && e.value("word") == QLatin1String(word) &&
                   e.value("from") == from;
        };
    };
    // The chain, each way: the rename notice, the refresh that answers it, the answer with the name.
    for (auto [renamed, other, who, whom] : {std::tuple{a, b, 0, 1}, std::tuple{b, a, 1, 0}}) {
        EXPECT_TRUE(everSaw(other, presenceFrom("UC", userId(who)), 10000))
            << qPrintable(other->diagnostics());
        EXPECT_TRUE(everSaw(renamed, presenceFrom("RL", userId(whom)), 10000))
            << qPrintable(renamed->diagnostics());
        EXPECT_TRUE(everSaw(other, presenceFrom("AL", userId(who)), 10000))
            << qPrintable(other->diagnostics());
    }
    QJsonObject last;
    EXPECT_TRUE(eventually(
        b, userId(0), [&](const QJsonObject &u) { return u.value("name") == cyrillic; }, 10000, &last))
        << qPrintable(text(last));
    EXPECT_TRUE(eventually(
        a, userId(1), [&](const QJsonObject &u) { return u.value("name") == cjk; }, 10000, &last))
        << qPrintable(text(last));

    // Typing notices carry the name too.
    b->send(QStringLiteral("typing %1").arg(userId(0)));
    EXPECT_TRUE(everSaw(a, presenceFrom("TP", userId(1)), 10000)) << qPrintable(a->diagnostics());

    // C comes back: the answers to its announcement bring both new names at once, not at the
    // next refresh minutes later.
    c = start(2);
    ASSERT_TRUE(c);
    EXPECT_TRUE(eventually(
        c, userId(0), [&](const QJsonObject &u) { return u.value("name") == cyrillic; }, 10000, &last))
        << qPrintable(text(last));
    EXPECT_TRUE(eventually(
        c, userId(1), [&](const QJsonObject &u) { return u.value("name") == cjk; }, 10000, &last))
        << qPrintable(text(last));

    // And its information request brings A's details.
    c->send(QStringLiteral("info %1").arg(userId(0)));
    QDeadlineTimer deadline(10000);
    std::optional<QJsonObject> details;
    do {
        c->send(QStringLiteral("details %1").arg(userId(0)));
        details = c->waitForEvent(QStringLiteral("details"), 2000);
        if (details && details->value("firstName") == QStringLiteral("Цветана")) break;
        spinFor(200);
    } while (!deadline.hasExpired());
    ASSERT_TRUE(details);
    EXPECT_EQ(details->value("firstName").toString(), QStringLiteral("Цветана"));
    EXPECT_EQ(details->value("lastName").toString(), QStringLiteral("Цанева"));
    EXPECT_EQ(details->value("name").toString(), cyrillic);
}

TEST_F(E2ePresenceTest, CopyInAnotherSubnetIsFoundOnceItIsATarget) {
    SKIP_WITHOUT_LAB();
    lab = std::make_unique<NetnsLab>(1);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    const int remote = lab->addRemoteCopy();
    ASSERT_GE(remote, 0) << qPrintable(lab->error());
    CopyProcess *local = start(0);
    CopyProcess *far = start(remote);
    ASSERT_TRUE(local && far);

    // Broadcasts stay in their subnet: neither hears of the other.
    spinFor(2500);
    EXPECT_FALSE(users(local).contains(userId(remote)));
    EXPECT_FALSE(users(far).contains(userId(0)));

    local->send(QStringLiteral("add-target %1").arg(lab->address(remote)));
    ASSERT_TRUE(local->waitForEvent(
        [](const QJsonObject &e) { return e.value("event") == "ok" && e.value("command") == "add-target"; }));
    EXPECT_TRUE(eventually(far, userId(0), online)) << qPrintable(far->diagnostics());
    EXPECT_TRUE(eventually(local, userId(remote), online)) << qPrintable(local->diagnostics());
}

TEST_F(E2ePresenceTest, CopyThatHearsItsIdFromAnotherSessionStopsNetworking) {
    SKIP_WITHOUT_LAB();
    lab = std::make_unique<NetnsLab>(3);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    const QString shared = QStringLiteral("A555000555");
    CopyProcess *first = start(0, shared);
    ASSERT_TRUE(first);
    CopyProcess *second = start(1, shared);
    ASSERT_TRUE(second);
    const auto stopped = first->waitForEvent(
        [](const QJsonObject &e) { return e.value("event") == "networking" && e.value("on") == false; },
        10000);
    ASSERT_TRUE(stopped) << qPrintable(first->diagnostics());

    // The stopped copy answers nobody: a newcomer only ever sees the second copy under that id.
    CopyProcess *third = start(2);
    ASSERT_TRUE(third);
    EXPECT_TRUE(
        eventually(third, shared, [&](const QJsonObject &u) { return u.value("ip") == lab->address(1); }));
    spinFor(1500);
    EXPECT_EQ(users(third).value(shared).value("ip").toString(), lab->address(1));
}

} // namespace

// Chat rooms between three copies of the driver in their own namespaces: a room is opened,
// written to, left, and written to again; every copy keeps the same members and history.
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QJsonArray>
#include <QSet>
#include <gtest/gtest.h>

#include <memory>

namespace {

QString userId(int i) { return E2eCopies::userIdIn(0, i); }

QSet<QString> idSet(const QJsonArray &a) {
    QSet<QString> out;
    for (const QJsonValue &v : a) out.insert(v.toString());
    return out;
}

class E2eChatTest : public E2eCopies {
protected:
    void SetUp() override {
        SKIP_WITHOUT_LAB();
        lab = std::make_unique<NetnsLab>(3);
        ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
        for (int i = 0; i < 3; ++i) {
            CopyProcess *c = start(i);
            ASSERT_TRUE(c) << "copy " << i << " did not start";
        }
        // Everybody knows everybody: rooms only take users a copy knows.
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                if (i != j) {
                    ASSERT_TRUE(introduce(copies[i].get(), j));
                }
            }
    }
    CopyProcess *start(int i) { return startIntroduced(i, userId(i)); }
    bool introduce(CopyProcess *of, int who) { return E2eCopies::introduce(of, userId(who), who); }
    // Waits until the copy reports the room with exactly these members.
    static bool membersBecome(CopyProcess *c, const QString &room, const QSet<QString> &members) {
        return bool(c->waitForEvent([&](const QJsonObject &e) {
            return e.value("event") == "chat-members" && e.value("room") == room &&
                   idSet(e.value("members").toArray()) == members;
        }));
    }
    static std::optional<QJsonObject> lineIn(CopyProcess *c, const QString &room, const QString &text,
                                             int timeoutMs = 10000) {
        return c->waitForEvent(
            [&](const QJsonObject &e) {
                return e.value("event") == "chat-message" && e.value("room") == room &&
                       e.value("text") == text;
            },
            timeoutMs);
    }
    static QJsonArray history(CopyProcess *c, const QString &room) {
        c->send(QStringLiteral("chat-history %1").arg(room));
        const auto h = c->waitForEvent(QStringLiteral("chat-history"));
        return h ? h->value("entries").toArray() : QJsonArray();
    }
    // The room as the copy lists it: the local user and the members.
    static QSet<QString> roomOf(CopyProcess *c, int self, const QString &room) {
        c->send(QStringLiteral("chats"));
        const auto list = c->waitForEvent(QStringLiteral("chats"));
        if (!list) return {};
        for (const QJsonValue &v : list->value("chats").toArray())
            if (v.toObject().value("room") == room) {
                QSet<QString> ids = idSet(v.toObject().value("members").toArray());
                ids.insert(userId(self));
                return ids;
            }
        return {};
    }
};

TEST_F(E2eChatTest, ARoomIsOpenedWrittenToAndLeftOnEveryCopy) {
    CopyProcess *a = copies[0].get(), *b = copies[1].get(), *c = copies[2].get();
    const QSet<QString> everyone = {userId(0), userId(1), userId(2)};

    a->send(QStringLiteral("chat-create %1,%2").arg(userId(1), userId(2)));
    const auto created = a->waitForEvent(QStringLiteral("chat-created"));
    ASSERT_TRUE(created);
    const QString room = created->value("room").toString();
    ASSERT_FALSE(room.isEmpty());
    EXPECT_EQ(idSet(created->value("members").toArray()), (QSet<QString>{userId(1), userId(2)}));
    ASSERT_TRUE(membersBecome(b, room, {userId(0), userId(2)})) << qPrintable(b->diagnostics());
    ASSERT_TRUE(membersBecome(c, room, {userId(0), userId(1)})) << qPrintable(c->diagnostics());

    // A writes: B and C store the line in the room's history, with the same members everywhere.
    const QString first = QStringLiteral("Hallo zusammen 👋 | ¦ done");
    a->send(QStringLiteral("chat-send %1 %2").arg(room, first));
    const auto sent = a->waitForEvent(QStringLiteral("chat-sent"));
    ASSERT_TRUE(sent);
    EXPECT_EQ(idSet(sent->value("to").toArray()), (QSet<QString>{userId(1), userId(2)}));
    for (CopyProcess *peer : {b, c}) {
        const auto line = lineIn(peer, room, first);
        ASSERT_TRUE(line) << qPrintable(peer->diagnostics());
        EXPECT_EQ(line->value("from").toString(), userId(0));
        const QJsonArray lines = history(peer, room);
        ASSERT_EQ(lines.size(), 1);
        EXPECT_EQ(lines[0].toObject().value("direction"), "in");
        EXPECT_EQ(lines[0].toObject().value("from").toString(), userId(0));
        EXPECT_EQ(lines[0].toObject().value("sender").toString(), QStringLiteral("User1"));
        EXPECT_EQ(lines[0].toObject().value("text").toString(), first);
    }
    EXPECT_EQ(roomOf(a, 0, room), everyone);
    EXPECT_EQ(roomOf(b, 1, room), everyone);
    EXPECT_EQ(roomOf(c, 2, room), everyone);

    // C leaves: A and B see C gone.
    c->send(QStringLiteral("chat-leave %1").arg(room));
    ASSERT_TRUE(c->waitForEvent(QStringLiteral("ok")));
    ASSERT_TRUE(membersBecome(a, room, {userId(1)})) << qPrintable(a->diagnostics());
    ASSERT_TRUE(membersBecome(b, room, {userId(0)})) << qPrintable(b->diagnostics());

    // A later line reaches B only.
    const QString second = QStringLiteral("only the two of us now");
    a->send(QStringLiteral("chat-send %1 %2").arg(room, second));
    const auto sentAgain = a->waitForEvent(QStringLiteral("chat-sent"));
    ASSERT_TRUE(sentAgain);
    EXPECT_EQ(idSet(sentAgain->value("to").toArray()), QSet<QString>{userId(1)});
    ASSERT_TRUE(lineIn(b, room, second)) << qPrintable(b->diagnostics());
    EXPECT_FALSE(lineIn(c, room, second, 1500));
    EXPECT_EQ(history(b, room).size(), 2);
    EXPECT_EQ(history(c, room).size(), 1);
    const QJsonArray mine = history(a, room);
    ASSERT_EQ(mine.size(), 2);
    EXPECT_EQ(mine[1].toObject().value("direction"), "out");
    EXPECT_EQ(idSet(mine[1].toObject().value("users").toArray()), QSet<QString>{userId(1)});
}

TEST_F(E2eChatTest, ARestartedCopyLearnsTheMembersFromTheNextWriter) {
    CopyProcess *a = copies[0].get(), *b = copies[1].get(), *c = copies[2].get();
    a->send(QStringLiteral("chat-create %1,%2").arg(userId(1), userId(2)));
    const auto created = a->waitForEvent(QStringLiteral("chat-created"));
    ASSERT_TRUE(created);
    const QString room = created->value("room").toString();
    ASSERT_TRUE(membersBecome(b, room, {userId(0), userId(2)}));
    ASSERT_TRUE(membersBecome(c, room, {userId(0), userId(1)}));

    // B restarts: its room comes back from the store without members, and the next line
    // makes it ask the writer for them.
    b->send(QStringLiteral("quit"));
    ASSERT_TRUE(b->waitForEvent(QStringLiteral("bye")));
    b->process()->waitForFinished(3000);
    CopyProcess *b2 = start(1);
    ASSERT_TRUE(b2);
    const QString text = QStringLiteral("are you back?");
    c->send(QStringLiteral("chat-send %1 %2").arg(room, text));
    ASSERT_TRUE(lineIn(b2, room, text)) << qPrintable(b2->diagnostics());
    ASSERT_TRUE(membersBecome(b2, room, {userId(0), userId(2)})) << qPrintable(b2->diagnostics());
    EXPECT_EQ(history(b2, room).size(), 1);
}

} // namespace

// Conversation windows of the real application under X, typed into with xdotool: two copies of
// the application (A and B) and a driver copy (C) in their own namespaces. A opens B's window for
// a held message, a line typed in it reaches B's window and store, a file chosen through the
// dialog arrives at B, and inviting C turns the window into a room on all three copies.
#include "support/E2eAppCopies.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <gtest/gtest.h>

namespace {

class E2eConversationTest : public E2eAppCopies {
protected:
    E2eConversationTest() { shotPrefix = "conversation-e2e-"; }
    // The window activated as a user would (the window manager gives it the focus), then the
    // text and the keys.
    bool typeInto(XDisplay &x, const QString &window, const QStringList &keys, const QString &text = {}) {
        if (!x.xdotool({"windowactivate", "--sync", window})) return false;
        spinFor(300);
        if (!text.isEmpty() && !x.xdotool({"type", "--delay", "30", text})) return false;
        return keys.isEmpty() || x.xdotool(QStringList{"key", "--delay", "150"} + keys);
    }
};

TEST_F(E2eConversationTest, TypedLinesFilesAndAnInvitedThirdUserUnderX) {
    XDisplay x;
    ASSERT_TRUE(setUpCopies(x, 2, 8)) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1];
    CopyProcess *c = driver;
    const QString aId = ids[0], bId = ids[1];

    // 1. A held message from B, delivered to A by C, opens B's window on A.
    const QString aWindow = conversationWith(
        x, 0, bId, QStringLiteral("held for you, see https://example.org"), "7000000123", 20000);
    ASSERT_FALSE(aWindow.isEmpty()) << a->readAllStandardError().constData();

    // 2. A line typed in A's window reaches B's window and store.
    ASSERT_TRUE(typeInto(x, aWindow, {"Return"}, "typed in A 42"));
    spinFor(500);
    screenshot(x, "typed-in-a");
    const QString bHas = "SELECT count(*) FROM log_entries WHERE kind = 'Message' AND incoming = 1 AND "
                         "message = 'typed in A 42'";
    ASSERT_TRUE(waitUntil([&] { return queryStore(storeOf(1), bHas) == "1"; }, 15000))
        << b->readAllStandardError().constData();
    QStringList bWindows;
    ASSERT_TRUE(waitUntil([&] { return !(bWindows = conversationWindows(x, b)).isEmpty(); }, 10000));
    x.xdotool({"windowmove", bWindows.first(), "400", "240"});
    spinFor(800);
    screenshot(x, "typed");

    // 3. A file chosen through the dialog arrives at B.
    const QString file =
        lab->folder(0) + "/home/report-" + QString::number(QCoreApplication::applicationPid()) + ".txt";
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("quarterly numbers\n");
    }
    ASSERT_TRUE(typeInto(x, aWindow, {"ctrl+o"}));
    spinFor(1000);
    screenshot(x, "send-files-sheet");
    ASSERT_TRUE(x.xdotool({"key", "Return"})); // "Browse files"
    spinFor(1500);
    ASSERT_TRUE(x.xdotool({"type", "--delay", "20", file}));
    spinFor(300);
    screenshot(x, "file-dialog");
    // The first Return may only take the completer's suggestion.
    for (int i = 0; i < 2 && !x.xdotoolLines({"search", "--onlyvisible", "--name", "^Send Files$"}).isEmpty();
         ++i) {
        ASSERT_TRUE(x.xdotool({"key", "Return"}));
        spinFor(700);
    }
    spinFor(1000);
    screenshot(x, "file-sent");
    QString arrived;
    ASSERT_TRUE(waitUntil(
        [&] {
            QDirIterator it(lab->folder(1), {QFileInfo(file).fileName()}, QDir::Files,
                            QDirIterator::Subdirectories);
            if (it.hasNext()) arrived = it.next();
            return !arrived.isEmpty() && QFileInfo(arrived).size() == 18;
        },
        30000))
        << "A: " << a->readAllStandardError().constData() << "\nB: " << b->readAllStandardError().constData()
        << "\nA's transfers: "
        << qPrintable(queryStore(
               storeOf(0), "SELECT group_concat(transferState) FROM log_entries WHERE kind = 'FileTransfer'"))
        << "\nB's transfers: "
        << qPrintable(
               queryStore(storeOf(1),
                          "SELECT group_concat(transferState) FROM log_entries WHERE kind = 'FileTransfer'"));

    // 4. Inviting C makes the window a room on A, B and C.
    ASSERT_TRUE(typeInto(x, aWindow, {"ctrl+shift+i"}));
    spinFor(1000);
    screenshot(x, "invite");
    ASSERT_TRUE(x.xdotool({"key", "--delay", "200", "Down", "space", "Return"}));
    const auto cRoom = c->waitForEvent(
        [&](const QJsonObject &e) {
            if (e.value("event") != "chat-members") return false;
            const QStringList members = e.value("members").toVariant().toStringList();
            return members.contains(aId) && members.contains(bId);
        },
        15000);
    ASSERT_TRUE(cRoom) << qPrintable(c->diagnostics());
    const QString room = cRoom->value("room").toString();
    // Both windows now name two others.
    EXPECT_TRUE(waitUntil([&] { return !conversationWindows(x, a, ", ").isEmpty(); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return !conversationWindows(x, b, ", ").isEmpty(); }, 10000));
    ASSERT_TRUE(typeInto(x, aWindow, {"Return"}, "room line 7"));
    const auto line = c->waitForEvent(
        [&](const QJsonObject &e) {
            return e.value("event") == "chat-message" && e.value("text") == "room line 7";
        },
        15000);
    EXPECT_TRUE(line) << qPrintable(c->diagnostics());
    const QString bRoomLine =
        "SELECT count(*) FROM log_entries WHERE kind = 'Message' AND chat IS NOT NULL AND "
        "message = 'room line 7'";
    EXPECT_TRUE(waitUntil([&] { return queryStore(storeOf(1), bRoomLine) == "1"; }, 15000));
    spinFor(800);
    screenshot(x, "room");
    EXPECT_FALSE(room.isEmpty());

    lab->stop(a, 8000);
    lab->stop(b, 8000);
}

} // namespace

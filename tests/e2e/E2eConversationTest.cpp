// Conversation windows of the real application under X, typed into with xdotool: two copies of
// the application (A and B) and a driver copy (C) in their own namespaces. A opens B's window for
// a held message, a line typed in it reaches B's window and store, a file chosen through the
// dialog arrives at B, and inviting C turns the window into a room on all three copies.
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "support/AppUnderTest.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"
#include "support/XDisplay.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <gtest/gtest.h>

namespace {

class E2eConversationTest : public E2eCopies {
protected:
    QProcess *startApp(int i, XDisplay &x) {
        QProcessEnvironment env;
        env.insert("DISPLAY", x.name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("LANG", "en_US.UTF-8");
        return lab->run(i, QString::fromUtf8(MURNAVELL_APP), {}, env);
    }
    QString storeOf(int i) const { return lab->folder(i) + "/data/Murnavell/Murnavell-v2.storedata"; }
    // The id of the first user announced to the driver that is none of `known`.
    static QString newPeer(CopyProcess *driver, const QStringList &known) {
        const auto heard = driver->waitForEvent(
            [&](const QJsonObject &e) {
                return e.value("event") == "presence" && !known.contains(e.value("from").toString());
            },
            20000);
        return heard ? heard->value("from").toString() : QString();
    }
    // The visible conversation windows of a copy's process ("<names> - Conversation"), those
    // whose title also holds `part` when given.
    static QStringList conversationWindows(XDisplay &x, QProcess *app, const QString &part = {}) {
        QStringList found;
        for (const QString &w :
             x.xdotoolLines({"search", "--all", "--onlyvisible", "--pid", QString::number(app->processId()),
                             "--name", " - Conversation$"})) {
            const QString title = x.xdotoolLines({"getwindowname", w}).join(QString());
            if (title.endsWith(" - Conversation") && title.contains(part)) found.append(w);
        }
        return found;
    }
    void screenshot(XDisplay &x, const QString &state) {
        const QString shot =
            QString::fromUtf8(MURNAVELL_SCREENSHOT_DIR) + "/conversation-e2e-" + state + ".png";
        QDir().mkpath(QFileInfo(shot).path());
        EXPECT_EQ(x.run(QString::fromUtf8(MURNAVELL_SCREENGRAB), {shot}), 0) << qPrintable(shot);
    }
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
    SKIP_WITHOUT_LAB();
    if (QString::fromUtf8(MURNAVELL_APP).isEmpty()) GTEST_SKIP() << "the application was not built";
    if (const QString tool = XDisplay::missingTool(); !tool.isEmpty())
        GTEST_SKIP() << qPrintable(tool) << " is missing";
    XDisplay x;
    ASSERT_TRUE(x.ok) << x.server.readAllStandardError().constData();
    if (!x.startWindowManager()) GTEST_SKIP() << "no window manager (openbox) to run the windows under";
    lab = std::make_unique<NetnsLab>(3);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());

    const QString cId = E2eCopies::userIdIn(8, 3);
    CopyProcess *c = startWithPresence(2, cId);
    ASSERT_NE(c, nullptr);
    QProcess *a = startApp(0, x);
    ASSERT_NE(a, nullptr);
    const QString aId = newPeer(c, {cId});
    ASSERT_FALSE(aId.isEmpty()) << qPrintable(c->diagnostics()) << a->readAllStandardError().constData();
    QProcess *b = startApp(1, x);
    ASSERT_NE(b, nullptr);
    const QString bId = newPeer(c, {cId, aId});
    ASSERT_FALSE(bId.isEmpty()) << qPrintable(c->diagnostics()) << b->readAllStandardError().constData();

    // 1. A held message from B, delivered to A by C, opens B's window on A.
    const PacketArray held{"TSFM",
                           "7000000123",
                           QString::number(QDateTime::currentSecsSinceEpoch()),
                           cId,
                           "*",
                           aId,
                           encodeTextField(QStringLiteral("held for you, see https://example.org")),
                           bId};
    const QByteArray frame = KDTPacket::PlainPackeFromArray(held) + "\r\n";
    QStringList aWindows;
    ASSERT_TRUE(waitUntil(
        [&] {
            lab->exec(2, {"python3", "-c",
                          "import socket,sys; s=socket.create_connection((sys.argv[2],19771),5); "
                          "s.sendall(bytes.fromhex(sys.argv[1])); s.settimeout(5); s.recv(4096)",
                          QString::fromLatin1(frame.toHex()), lab->address(0)});
            spinFor(500);
            aWindows = conversationWindows(x, a);
            return !aWindows.isEmpty();
        },
        20000))
        << a->readAllStandardError().constData();
    const QString aWindow = aWindows.first();

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

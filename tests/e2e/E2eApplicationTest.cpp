// The application itself (offscreen) in network namespaces, against copies of the test driver:
// it finds its peers, stores and answers a message, quits in order on SIGTERM ("UO" on the wire
// before it exits, its listener closed, its store whole), gives way to a newer copy of the same
// folders but never to a copy with folders of its own, and reads a legacy peer's name in the
// code page of the user's language.
#include "core/wire/KDTPacket.h"
#include "support/AppUnderTest.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"
#include "support/XDisplay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

namespace {

QString driverId(int i) { return E2eCopies::userIdIn(7, i); }

class E2eApplicationTest : public E2eCopies {
protected:
    static QString application() { return QString::fromUtf8(MURNAVELL_APP); }

    // Starts the application in copy i (offscreen, English unless `lang` says otherwise) with
    // the copy's folders, or with those under `root` when given.
    QProcess *startApp(int i, const QString &lang = "en_US.UTF-8", const QString &root = {}) {
        QProcessEnvironment env;
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LANG", lang);
        env.insert("LANGUAGE", "");
        env.insert("LC_ALL", "");
        env.insert("LC_MESSAGES", "");
        if (!root.isEmpty()) {
            for (const char *sub : {"home", "config", "data", "run"}) QDir().mkpath(root + "/" + sub);
            env.insert("HOME", root + "/home");
            env.insert("XDG_CONFIG_HOME", root + "/config");
            env.insert("XDG_DATA_HOME", root + "/data");
            env.insert("XDG_RUNTIME_DIR", root + "/run");
        }
        return lab->run(i, application(), {}, env);
    }
    QString storeOf(int i) const { return lab->folder(i) + "/data/Murnavell/Murnavell-v2.storedata"; }

    // The id of the application's user as the driver hears it: the first peer it announces.
    // Bounds are generous: an application starting beside a full suite and builds may take many
    // seconds before it first announces itself or answers.
    static QString peerId(CopyProcess *driver, const QString &ownId, int timeoutMs = 30000) {
        const auto heard = driver->waitForEvent(
            [&](const QJsonObject &e) { return e.value("event") == "presence" && e.value("from") != ownId; },
            timeoutMs);
        return heard ? heard->value("from").toString() : QString();
    }
    static CopyProcess::Predicate presence(const QString &word, const QString &from) {
        return [=](const QJsonObject &e) {
            return e.value("event") == "presence" && e.value("word") == word && e.value("from") == from;
        };
    }
    // A lab of two: the application started by `start` in copy 0, and a driver with presence in
    // copy 1 that has heard it (app, b and appId are set). False, with the reason, otherwise.
    ::testing::AssertionResult appAndPeer(const std::function<QProcess *()> &start) {
        lab = std::make_unique<NetnsLab>(2);
        if (!lab->ok()) return ::testing::AssertionFailure() << qPrintable(lab->error());
        app = start();
        if (!app) return ::testing::AssertionFailure() << "the application did not start";
        b = startWithPresence(1, driverId(1));
        if (!b) return ::testing::AssertionFailure() << "the driver did not start";
        appId = peerId(b, driverId(1));
        if (appId.isEmpty())
            return ::testing::AssertionFailure()
                   << qPrintable(b->diagnostics()) << app->readAllStandardError().constData();
        return ::testing::AssertionSuccess();
    }
    // The application's copy `p` quits in order: "UO" reaches the driver, then it exits with 0.
    void expectQuitInOrder(QProcess *p) {
        ASSERT_TRUE(b->waitForEvent(presence("UO", appId), 30000)) << qPrintable(b->diagnostics());
        ASSERT_TRUE(p->waitForFinished(30000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().constData();
    }

    QProcess *app = nullptr;
    CopyProcess *b = nullptr;
    QString appId;

    // Whether anything in the namespace listens on TCP 19771.
    bool listening(int i) {
        const NetnsLab::Result r = lab->exec(i, {"ss", "-Hltn", "sport = :19771"});
        return r.exitCode == 0 && !r.output.trimmed().isEmpty();
    }
};

#define SKIP_WITHOUT_APP()                                                                                   \
    do {                                                                                                     \
        SKIP_WITHOUT_LAB();                                                                                  \
        if (application().isEmpty()) GTEST_SKIP() << "the application was not built";                        \
    } while (0)

TEST_F(E2eApplicationTest, FindsPeersStoresAndAnswersAndQuitsInOrderOnSigterm) {
    SKIP_WITHOUT_APP();
    ASSERT_TRUE(appAndPeer([&] { return startApp(0); }));
    EXPECT_TRUE(listening(0));

    const QString text = QStringLiteral("Привет from B ✓");
    b->send("send " + appId + " " + text);
    // Within the driver's own time-out for the answer (20 s), however slowly the application starts.
    ASSERT_TRUE(b->waitForEvent(event("delivered", "to", appId), 30000)) << qPrintable(b->diagnostics());

    app->terminate(); // SIGTERM
    expectQuitInOrder(app);
    EXPECT_FALSE(listening(0));
    EXPECT_EQ(queryStore(storeOf(0), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(
        queryStore(storeOf(0), "SELECT count(*) FROM log_entries WHERE kind = 'Message' AND incoming = 1 "
                               "AND message = '" +
                                   text + "'"),
        "1");
}

TEST_F(E2eApplicationTest, ASecondLaunchMakesTheFirstQuitInOrderAndStays) {
    SKIP_WITHOUT_APP();
    ASSERT_TRUE(appAndPeer([&] { return startApp(0); }));
    QProcess *first = app;
    QProcess *second = startApp(0);
    ASSERT_NE(second, nullptr);
    expectQuitInOrder(first);
    // The newer copy takes over the same user and announces it again.
    EXPECT_TRUE(b->waitForEvent(presence("UI", appId), 10000)) << qPrintable(b->diagnostics());
    spinFor(1000);
    EXPECT_EQ(second->state(), QProcess::Running) << second->readAllStandardError().constData();
    EXPECT_TRUE(listening(0));
}

TEST_F(E2eApplicationTest, CopiesWithFoldersOfTheirOwnNeverEndEachOther) {
    SKIP_WITHOUT_APP();
    lab = std::make_unique<NetnsLab>(1);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    QProcess *first = startApp(0);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(storeOf(0)); }, 10000));
    const QString otherRoot = lab->folder(0) + "/other";
    QProcess *second = startApp(0, "en_US.UTF-8", otherRoot);
    ASSERT_NE(second, nullptr);
    // The second copy has made its own store: it is past the point where it would have ended
    // the first.
    ASSERT_TRUE(waitUntil(
        [&] { return QFileInfo::exists(otherRoot + "/data/Murnavell/Murnavell-v2.storedata"); }, 10000));
    spinFor(1500);
    EXPECT_EQ(first->state(), QProcess::Running) << first->readAllStandardError().constData();
    EXPECT_EQ(second->state(), QProcess::Running) << second->readAllStandardError().constData();
}

// An older copy that does not quit when asked: the new one waits (bounded), says so, and ends
// without having opened the store or a port.
TEST_F(E2eApplicationTest, AnOlderCopyThatStaysLeavesTheNewOneUntouched) {
    SKIP_WITHOUT_APP();
    if (QStandardPaths::findExecutable("flock").isEmpty()) GTEST_SKIP() << "flock(1) is missing";
    lab = std::make_unique<NetnsLab>(1);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
    const QString lock = lab->folder(0) + "/run/Murnavell/instance.lock";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(lock).path()));
    QProcess holder;
    holder.start("flock", {"-x", lock, "sh", "-c", "trap '' TERM; echo $$ > '" + lock + "'; exec sleep 60"});
    ASSERT_TRUE(holder.waitForStarted(5000));
    qint64 holderPid = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            QFile f(lock);
            return f.open(QIODevice::ReadOnly) && (holderPid = f.readAll().trimmed().toLongLong()) > 0;
        },
        5000));

    app = startApp(0);
    ASSERT_NE(app, nullptr);
    const bool ended = app->waitForFinished(25000);
    ::kill(pid_t(holderPid), SIGKILL);
    holder.waitForFinished(5000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(app->exitCode(), 1);
    EXPECT_TRUE(app->readAllStandardError().contains("did not quit"));
    EXPECT_FALSE(QFileInfo::exists(storeOf(0)));
    EXPECT_FALSE(QFileInfo::exists(lab->folder(0) + "/data/Murnavell"));
}

// A legacy peer (no UTF-8) announces "Иван" in Windows-1251. The code page follows the user's
// language: a Russian user reads the name, a Western one gets what Windows-1252 makes of it.
TEST_F(E2eApplicationTest, LegacyNamesAreReadInTheCodePageOfTheUsersLanguage) {
    SKIP_WITHOUT_APP();
    const struct {
        const char *lang;
        QString name;
    } cases[] = {{"ru_RU.UTF-8", QStringLiteral("Иван")}, {"en_US.UTF-8", QStringLiteral("Èâàí")}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lang);
        lab = std::make_unique<NetnsLab>(2);
        ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());
        app = startApp(0, QString::fromLatin1(c.lang));
        ASSERT_NE(app, nullptr);
        ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(storeOf(0)); }, 10000));

        const QString legacyId = QStringLiteral("A900000042");
        const PacketArray announce{
            "UI",   "0", "WINPC-7", legacyId, "*", "*", "1",    QByteArray("\xC8\xE2\xE0\xED"),
            "4711", "0", "4",       "0",      "1", "*", "4.9.2"};
        const QByteArray frame = KDTPacket::PlainPackeFromArray(announce);
        ASSERT_FALSE(frame.isEmpty());
        const QString sql = "SELECT name FROM tree_items WHERE userId = '" + legacyId + "'";
        // Sent again until the application has it (it may still be opening its sockets).
        const bool stored = waitUntil(
            [&] {
                lab->exec(1, {"python3", "-c",
                              "import socket,sys; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); "
                              "s.sendto(bytes.fromhex(sys.argv[1]),(sys.argv[2],19771))",
                              QString::fromLatin1(frame.toHex()), lab->address(0)});
                spinFor(300);
                return !queryStore(storeOf(0), sql).isEmpty();
            },
            15000);
        if (!stored) { // perhaps saved only at quit
            app->terminate();
            app->waitForFinished(10000);
        }
        EXPECT_EQ(queryStore(storeOf(0), sql), c.name) << app->readAllStandardError().constData();
        lab->stop(app);
        lab.reset();
    }
}

// A user opens the tray menu and chooses Quit: the screenshot shows the main window with the
// menu open, and the program quits in order.
TEST_F(E2eApplicationTest, QuitFromTheTrayMenuUnderX) {
    SKIP_WITHOUT_APP();
    if (const QString tool = XDisplay::missingTool(); !tool.isEmpty())
        GTEST_SKIP() << qPrintable(tool) << " is missing";
    XDisplay x;
    ASSERT_TRUE(x.ok) << x.server.readAllStandardError().constData();
    QProcessEnvironment env;
    env.insert("DISPLAY", x.name);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("LANG", "en_US.UTF-8");
    ASSERT_TRUE(appAndPeer([&] { return lab->run(0, application(), {}, env); }));
    // The main window is up and the item is docked.
    ASSERT_TRUE(waitUntil(
        [&] {
            return x.xdotool({"search", "--onlyvisible", "--name", "^Murnavell$"});
        },
        10000));
    const QString shot = QString::fromUtf8(MURNAVELL_SCREENSHOT_DIR) + "/main-window-tray-menu.png";
    QDir().mkpath(QFileInfo(shot).path());
    // What the screen shows, written to the screenshot file each time.
    auto screen = [&] {
        return x.run(QString::fromUtf8(MURNAVELL_SCREENGRAB), {shot}) == 0 ? QImage(shot) : QImage();
    };
    // The item is docked once the tray's corner shows colour (the icon), not only the tray's grey.
    ASSERT_TRUE(waitUntil(
        [&] {
            const QImage image = screen();
            for (int y = 2; y < XDisplay::TraySize - 2 && !image.isNull(); ++y)
                for (int px = XDisplay::Width - XDisplay::TraySize + 2; px < XDisplay::Width - 2; ++px)
                    if (image.pixelColor(px, y).saturation() > 100) return true;
            return false;
        },
        10000));

    ASSERT_TRUE(x.xdotool({"mousemove", QString::number(XDisplay::Width - 12), "12", "click", "3"}));
    // The menu hangs below the item: the bare screen there is black until it opens.
    QImage image;
    ASSERT_TRUE(waitUntil(
        [&] {
            image = screen();
            return !image.isNull() && image.pixelColor(XDisplay::Width - 60, 60) != QColor(Qt::black);
        },
        5000));
    ASSERT_EQ(image.size(), QSize(XDisplay::Width, XDisplay::Height));

    // Up from the top of the menu wraps to its last item, "Quit Murnavell".
    ASSERT_TRUE(x.xdotool({"key", "Up", "Return"}));
    expectQuitInOrder(app);
    EXPECT_FALSE(listening(0));
    EXPECT_EQ(queryStore(storeOf(0), "PRAGMA integrity_check"), "ok");
}

} // namespace

// Calls between copies of the real application under X, each in its own namespace, with Qt
// WebEngine's fake camera and microphone (the window's own permission handler grants them; no
// fake permission prompt). A driver copy with presence learns the users' ids and delivers the
// message that opens a conversation; the call is placed from the conversation's menu with the
// keyboard, answered with the keyboard on the ringing page, and each page is read through the
// DevTools port of its copy: connection state, decoded frames, who it holds.
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "support/AppUnderTest.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"
#include "support/XDisplay.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#ifndef MURNAVELL_PAGE_EVAL
#define MURNAVELL_PAGE_EVAL ""
#endif

namespace {

const QString kCallPage = QStringLiteral("https://call.murnavell.localhost/");
const QString kDevTools = QStringLiteral("127.0.0.1:9222");

// Whether the page holds exactly these peers, each connected with decoded frames on its tile.
QString linksUp(const QStringList &uids) {
    return QStringLiteral(R"((async (uids) => {
  if (typeof peers === 'undefined' || peers.size !== uids.length) return false;
  for (const uid of uids) {
    const peer = peers.get(uid);
    if (!peer || peer.pc.connectionState !== 'connected') return false;
    const report = await peer.pc.getStats();
    let frames = 0;
    report.forEach((e) => { if (e.type === 'inbound-rtp' && e.kind === 'video') frames += e.framesDecoded || 0; });
    if (frames === 0 || peer.tile.video.videoWidth === 0) return false;
  }
  return true;
})(%1))")
        .arg(QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(uids)).toJson(QJsonDocument::Compact)));
}

// What the page knows of its peers, for failure messages.
const QString kPeerStates = QStringLiteral(
    "JSON.stringify({phase, me: me.uid, peers: Array.from(peers.values(), (p) => ({uid: p.uid, "
    "connection: p.pc.connectionState, signaling: p.pc.signalingState, channel: p.channel.readyState}))})");

class E2eCallTest : public E2eCopies {
protected:
    void SetUp() override {
        if (QString::fromUtf8(MURNAVELL_APP).isEmpty()) GTEST_SKIP() << "the application was not built";
        if (const QString tool = XDisplay::missingTool(); !tool.isEmpty())
            GTEST_SKIP() << qPrintable(tool) << " is missing";
    }

    QProcess *startApp(int i, XDisplay &x) {
        QProcessEnvironment env;
        env.insert("DISPLAY", x.name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("LANG", "en_US.UTF-8");
        env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--use-fake-device-for-media-stream");
        // Chromium runs no sandbox as root.
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        // Inside the copy's namespace, so only a program in that namespace reaches it.
        env.insert("QTWEBENGINE_REMOTE_DEBUGGING", kDevTools);
        return lab->run(i, QString::fromUtf8(MURNAVELL_APP), {}, env);
    }

    // The id of the first user announced to the driver that is none of `known`.
    static QString newPeer(CopyProcess *driver, const QStringList &known) {
        const auto heard = driver->waitForEvent(
            [&](const QJsonObject &e) {
                return e.value("event") == "presence" && !known.contains(e.value("from").toString());
            },
            30000);
        return heard ? heard->value("from").toString() : QString();
    }

    // The value of an expression in copy i's call page, or nothing (why in `error`).
    std::optional<QJsonValue> pageValue(int i, const QString &expression, QString *error = nullptr) {
        const NetnsLab::Result r = lab->exec(
            i, {"python3", QString::fromUtf8(MURNAVELL_PAGE_EVAL), kDevTools, kCallPage, expression}, 30000);
        for (const QByteArray &line : r.output.split('\n')) {
            const QJsonObject answer = QJsonDocument::fromJson(line).object();
            if (answer.contains("value")) return answer.value("value");
            if (error && answer.contains("error")) *error = answer.value("error").toString();
        }
        if (error && error->isEmpty()) *error = QString::fromUtf8(r.output.left(500));
        return std::nullopt;
    }
    // Asks until the expression is true in copy i's call page.
    bool pageSays(int i, const QString &expression, int timeoutMs) {
        return waitUntil(
            [&] {
                const auto value = pageValue(i, expression);
                if (value && value->toBool()) return true;
                spinFor(300);
                return false;
            },
            timeoutMs);
    }
    // Every call page of copy i, for failure messages.
    QString peerStates(int i) {
        const NetnsLab::Result r = lab->exec(
            i, {"python3", QString::fromUtf8(MURNAVELL_PAGE_EVAL), kDevTools, kCallPage, kPeerStates}, 30000);
        return QString::fromUtf8(r.output);
    }

    // The visible windows of a copy's process whose title ends with `suffix`.
    static QStringList windows(XDisplay &x, QProcess *app, const QString &suffix) {
        QStringList found;
        for (const QString &w : x.xdotoolLines({"search", "--all", "--onlyvisible", "--pid",
                                                QString::number(app->processId()), "--name", suffix + "$"})) {
            const QString title = x.xdotoolLines({"getwindowname", w}).join(QString());
            if (title == suffix || title.endsWith(" - " + suffix)) found.append(w);
        }
        return found;
    }
    static QStringList callWindows(XDisplay &x, QProcess *app) { return windows(x, app, "Call"); }

    void screenshot(XDisplay &x, const QString &state) {
        const QString shot = QString::fromUtf8(MURNAVELL_SCREENSHOT_DIR) + "/call-e2e-" + state + ".png";
        QDir().mkpath(QFileInfo(shot).path());
        EXPECT_EQ(x.run(QString::fromUtf8(MURNAVELL_SCREENGRAB), {shot}), 0) << qPrintable(shot);
    }
    // The window activated as a user would, then the keys.
    static bool keysInto(XDisplay &x, const QString &window, const QStringList &keys) {
        if (!x.xdotool({"windowactivate", "--sync", window})) return false;
        spinFor(400);
        return x.xdotool(QStringList{"key", "--delay", "250"} + keys);
    }

    // Copy `app`'s conversation window with user `with` (a copy the driver knows), opened by a
    // message from that user that the driver hands on; empty when none opened.
    QString conversationWith(XDisplay &x, QProcess *app, int appIndex, const QString &appId,
                             const QString &with, int driverIndex, const QString &driverId) {
        const PacketArray held{"TSFM",
                               "7000000" + QString::number(100 + appIndex),
                               QString::number(QDateTime::currentSecsSinceEpoch()),
                               driverId,
                               "*",
                               appId,
                               encodeTextField(QStringLiteral("shall we talk?")),
                               with};
        const QByteArray frame = KDTPacket::PlainPackeFromArray(held) + "\r\n";
        QStringList found;
        waitUntil(
            [&] {
                lab->exec(driverIndex,
                          {"python3", "-c",
                           "import socket,sys; s=socket.create_connection((sys.argv[2],19771),5); "
                           "s.sendall(bytes.fromhex(sys.argv[1])); s.settimeout(5); s.recv(4096)",
                           QString::fromLatin1(frame.toHex()), lab->address(appIndex)});
                spinFor(500);
                found = windows(x, app, "Conversation");
                return !found.isEmpty();
            },
            30000);
        return found.value(0);
    }

    // Calls from the conversation's menu: Conversation, then its third item.
    static bool callFrom(XDisplay &x, const QString &conversation) {
        return keysInto(x, conversation, {"alt+c", "Down", "Down", "Return"});
    }
    // A click on the middle of the page's element, which the web view filling the window shows
    // at the same place in the window.
    bool clickInPage(XDisplay &x, const QString &window, int i, const QString &selector) {
        const auto rect = pageValue(
            i, QString("(() => { const r = document.querySelector('%1').getBoundingClientRect(); "
                       "return [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)]; })()")
                   .arg(selector));
        if (!rect || !rect->isArray()) return false;
        const QJsonArray at = rect->toArray();
        if (!x.xdotool({"windowactivate", "--sync", window})) return false;
        spinFor(300);
        return x.xdotool({"mousemove", "--window", window, QString::number(at.at(0).toInt()),
                          QString::number(at.at(1).toInt()), "click", "1"});
    }
    // Joins the ringing call with the camera and the microphone.
    ::testing::AssertionResult answer(XDisplay &x, QProcess *app, int i) {
        QStringList ringing;
        if (!waitUntil([&] { return !(ringing = callWindows(x, app)).isEmpty(); }, 60000))
            return ::testing::AssertionFailure()
                   << "no call window on copy " << i << qPrintable(diagnostics());
        if (!pageSays(i, "phase === 'ringing'", 60000))
            return ::testing::AssertionFailure()
                   << "copy " << i << " does not ring: " << qPrintable(peerStates(i));
        if (!clickInPage(x, ringing.first(), i, ".join-option.primary") ||
            !pageSays(i, "phase === 'joined'", 20000)) {
            screenshot(x, "not-joined");
            return ::testing::AssertionFailure()
                   << "copy " << i << " did not join: " << qPrintable(peerStates(i))
                   << qPrintable(diagnostics());
        }
        return ::testing::AssertionSuccess();
    }

    // Xvfb with a window manager, the lab, the driver and `apps` applications with their ids.
    bool setUpCopies(XDisplay &x, int apps) {
        if (!x.ok || !x.startWindowManager()) return false;
        lab = std::make_unique<NetnsLab>(apps + 1);
        if (!lab->ok()) return false;
        driverIndex = apps;
        driverId = E2eCopies::userIdIn(9, apps);
        driver = startWithPresence(driverIndex, driverId);
        if (!driver) return false;
        QStringList known{driverId};
        for (int i = 0; i < apps; ++i) {
            QProcess *app = startApp(i, x);
            if (!app) return false;
            const QString id = newPeer(driver, known);
            if (id.isEmpty()) return false;
            known.append(id);
            procs.append(app);
            ids.append(id);
        }
        return true;
    }
    QString diagnostics() {
        QString out = driver ? driver->diagnostics() : QString();
        for (int i = 0; i < procs.size(); ++i)
            out += QString("\ncopy %1 (%2): %3")
                       .arg(i)
                       .arg(ids.value(i), QString::fromUtf8(procs[i]->readAllStandardError().right(3000)));
        return out;
    }

    CopyProcess *driver = nullptr;
    int driverIndex = -1;
    QString driverId;
    QList<QProcess *> procs;
    QStringList ids;
};

TEST_F(E2eCallTest, OneToOneCallRingsConnectsAndEndsTheRingWhenTheCallerHangsUp) {
    SKIP_WITHOUT_LAB();
    XDisplay x;
    ASSERT_TRUE(setUpCopies(x, 2)) << qPrintable(lab ? lab->error() : QString()) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1];
    const QString aId = ids[0], bId = ids[1];

    const QString conversation = conversationWith(x, a, 0, aId, bId, driverIndex, driverId);
    ASSERT_FALSE(conversation.isEmpty()) << qPrintable(diagnostics());

    // 1. A calls and hangs up before B answers: B's ringing window goes.
    ASSERT_TRUE(callFrom(x, conversation));
    QStringList aCall, bCall;
    ASSERT_TRUE(waitUntil([&] { return !(aCall = callWindows(x, a)).isEmpty(); }, 30000))
        << qPrintable(diagnostics());
    ASSERT_TRUE(waitUntil([&] { return !(bCall = callWindows(x, b)).isEmpty(); }, 60000))
        << qPrintable(diagnostics());
    ASSERT_TRUE(pageSays(1, "phase === 'ringing'", 60000)) << qPrintable(peerStates(1));
    // B's window moved off A's, as far as the screen lets it, so both show in the picture.
    const QRect bFrame = x.geometry(bCall.first());
    x.xdotool({"windowmove", bCall.first(), QString::number(qMax(0, XDisplay::Width - bFrame.width() - 2)),
               QString::number(qMax(0, XDisplay::Height - bFrame.height() - 24))});
    spinFor(1500);
    screenshot(x, "incoming");
    // Closing with a peer asks first; the first button leaves.
    ASSERT_TRUE(keysInto(x, aCall.first(), {"alt+F4"}));
    spinFor(1000);
    screenshot(x, "leave-sheet");
    ASSERT_TRUE(x.xdotool({"key", "Return"}));
    EXPECT_TRUE(waitUntil([&] { return callWindows(x, a).isEmpty(); }, 20000)) << qPrintable(diagnostics());
    EXPECT_TRUE(waitUntil([&] { return callWindows(x, b).isEmpty(); }, 20000)) << qPrintable(diagnostics());

    // 2. A calls again, B answers: both pages hold a connected peer with pictures.
    ASSERT_TRUE(callFrom(x, conversation));
    spinFor(2000);
    screenshot(x, "second-call");
    ASSERT_TRUE(answer(x, b, 1));
    EXPECT_TRUE(pageSays(0, linksUp({bId}), 90000)) << qPrintable(peerStates(0));
    EXPECT_TRUE(pageSays(1, linksUp({aId}), 90000)) << qPrintable(peerStates(1));
    spinFor(1000);
    screenshot(x, "one-to-one");

    lab->stop(a, 8000);
    lab->stop(b, 8000);
}

TEST_F(E2eCallTest, ThreeWayChatCallConnectsEveryPairAndQuittingTellsEveryPeer) {
    SKIP_WITHOUT_LAB();
    XDisplay x;
    ASSERT_TRUE(setUpCopies(x, 3)) << qPrintable(lab ? lab->error() : QString()) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1], *c = procs[2];
    const QString aId = ids[0], bId = ids[1], cId = ids[2];

    // A calls B, B answers.
    const QString conversation = conversationWith(x, a, 0, aId, bId, driverIndex, driverId);
    ASSERT_FALSE(conversation.isEmpty()) << qPrintable(diagnostics());
    ASSERT_TRUE(callFrom(x, conversation));
    ASSERT_TRUE(answer(x, b, 1));
    ASSERT_TRUE(pageSays(0, linksUp({bId}), 90000)) << qPrintable(peerStates(0));

    // A invites C from the conversation: the call becomes a room call, C answers and meets B.
    ASSERT_TRUE(keysInto(x, conversation, {"ctrl+shift+i"}));
    spinFor(1000);
    // The driver is online too: C is found by its name ("root", where the driver is "Person 4").
    ASSERT_TRUE(x.xdotool({"type", "--delay", "80", "root"}));
    spinFor(500);
    ASSERT_TRUE(x.xdotool({"key", "space"}));
    spinFor(500);
    screenshot(x, "invite");
    ASSERT_TRUE(x.xdotool({"key", "Return"}));
    ASSERT_TRUE(answer(x, c, 2));
    EXPECT_TRUE(pageSays(0, linksUp({bId, cId}), 90000)) << qPrintable(peerStates(0));
    EXPECT_TRUE(pageSays(1, linksUp({aId, cId}), 90000)) << qPrintable(peerStates(1));
    EXPECT_TRUE(pageSays(2, linksUp({aId, bId}), 90000)) << qPrintable(peerStates(2));
    const QStringList aCall = callWindows(x, a);
    ASSERT_FALSE(aCall.isEmpty());
    x.xdotool({"windowactivate", "--sync", aCall.first()});
    spinFor(1500);
    screenshot(x, "three-way");

    // A quits: B and C are told and keep each other.
    lab->stop(a, 8000);
    EXPECT_TRUE(pageSays(1, QString("!peers.has('%1') && %2").arg(aId, linksUp({cId})), 30000))
        << qPrintable(peerStates(1));
    EXPECT_TRUE(pageSays(2, QString("!peers.has('%1')").arg(aId), 30000)) << qPrintable(peerStates(2));
    EXPECT_EQ(callWindows(x, b).size(), 1);
    EXPECT_EQ(callWindows(x, c).size(), 1);

    lab->stop(b, 8000);
    lab->stop(c, 8000);
}

} // namespace

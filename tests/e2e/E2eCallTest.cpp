// Calls between copies of the real application under X, each in its own namespace, with Qt
// WebEngine's fake camera and microphone (the window's own permission handler grants them; no
// fake permission prompt). A driver copy with presence learns the users' ids and delivers the
// message that opens a conversation; the call is placed from the conversation's menu with the
// keyboard, answered with the keyboard on the ringing page, and each page is read through the
// DevTools port of its copy: connection state, decoded frames, who it holds.
#include "support/E2eAppCopies.h"

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

class E2eCallTest : public E2eAppCopies {
protected:
    E2eCallTest() { shotPrefix = "call-e2e-"; }

    // What the application's web engine needs here.
    static QProcessEnvironment webEngine(int) {
        QProcessEnvironment env;
        env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--use-fake-device-for-media-stream");
        // Chromium runs no sandbox as root.
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        // Inside the copy's namespace, so only a program in that namespace reaches it.
        env.insert("QTWEBENGINE_REMOTE_DEBUGGING", kDevTools);
        return env;
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

    static QStringList callWindows(XDisplay &x, QProcess *app) { return windows(x, app, "Call"); }

    // The window activated as a user would, then the keys.
    static bool keysInto(XDisplay &x, const QString &window, const QStringList &keys) {
        if (!x.xdotool({"windowactivate", "--sync", window})) return false;
        spinFor(400);
        return x.xdotool(QStringList{"key", "--delay", "250"} + keys);
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
};

TEST_F(E2eCallTest, OneToOneCallRingsConnectsAndEndsTheRingWhenTheCallerHangsUp) {
    XDisplay x;
    ASSERT_TRUE(setUpCopies(x, 2, 9, webEngine)) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1];
    const QString aId = ids[0], bId = ids[1];

    const QString conversation = conversationWith(x, 0, bId, QStringLiteral("shall we talk?"), "7000000100");
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
    XDisplay x;
    ASSERT_TRUE(setUpCopies(x, 3, 9, webEngine)) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1], *c = procs[2];
    const QString aId = ids[0], bId = ids[1], cId = ids[2];

    // A calls B, B answers.
    const QString conversation = conversationWith(x, 0, bId, QStringLiteral("shall we talk?"), "7000000100");
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

// The main window of the real application under X, clicked and typed into with xdotool: two
// copies of the application (A and B) and a driver copy (C) in their own namespaces. Choosing
// "Busy" in A's main window and confirming the sheet with a text of one's own reaches the others
// within seconds: C reports A busy, B's tree shows it (screenshot), and what B's tree held is
// read back from B's store after B quit in order.
#include "support/AppUnderTest.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"
#include "support/XDisplay.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

class E2eMainWindowTest : public E2eCopies {
protected:
    QProcess *startApp(int i, XDisplay &x) {
        QProcessEnvironment env;
        env.insert("DISPLAY", x.name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("LANG", "en_US.UTF-8");
        return lab->run(i, QString::fromUtf8(MURNAVELL_APP), {}, env);
    }
    QString storeOf(int i) const { return lab->folder(i) + "/data/Murnavell/Murnavell-v2.storedata"; }
    // The visible main window of a copy's process.
    static QString mainWindow(XDisplay &x, QProcess *app) {
        for (const QString &w : x.xdotoolLines({"search", "--all", "--onlyvisible", "--pid",
                                                QString::number(app->processId()), "--name", "^Murnavell$"}))
            return w;
        return {};
    }
    QString screenshot(XDisplay &x, const QString &state) {
        const QString shot =
            QString::fromUtf8(MURNAVELL_SCREENSHOT_DIR) + "/main-window-e2e-" + state + ".png";
        QDir().mkpath(QFileInfo(shot).path());
        EXPECT_EQ(x.run(QString::fromUtf8(MURNAVELL_SCREENGRAB), {shot}), 0) << qPrintable(shot);
        return shot;
    }
};

TEST_F(E2eMainWindowTest, BusyChosenInOneCopyShowsWithItsTextInTheOther) {
    SKIP_WITHOUT_LAB();
    if (QString::fromUtf8(MURNAVELL_APP).isEmpty()) GTEST_SKIP() << "the application was not built";
    if (const QString tool = XDisplay::missingTool(); !tool.isEmpty())
        GTEST_SKIP() << qPrintable(tool) << " is missing";
    XDisplay x;
    ASSERT_TRUE(x.ok) << x.server.readAllStandardError().constData();
    if (!x.startWindowManager()) GTEST_SKIP() << "no window manager (openbox) to run the windows under";
    lab = std::make_unique<NetnsLab>(3);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());

    const QString cId = E2eCopies::userIdIn(9, 3);
    CopyProcess *c = startWithPresence(2, cId);
    ASSERT_NE(c, nullptr);
    QProcess *a = startApp(0, x);
    ASSERT_NE(a, nullptr);
    QProcess *b = startApp(1, x);
    ASSERT_NE(b, nullptr);
    QString aId;
    ASSERT_TRUE(waitUntil(
        [&] {
            return !(aId = queryStore(storeOf(0), "SELECT userId FROM tree_items WHERE kind = 'Me'"))
                        .isEmpty();
        },
        20000))
        << a->readAllStandardError().constData();
    const QString aOnB =
        "SELECT status || '|' || coalesce(statusString, '') FROM tree_items WHERE userId = '" + aId +
        "' AND kind = 'User'";
    ASSERT_TRUE(waitUntil([&] { return queryStore(storeOf(1), aOnB).startsWith("0|"); }, 20000))
        << qPrintable(queryStore(storeOf(1), aOnB)) << b->readAllStandardError().constData();

    QString aWindow, bWindow;
    ASSERT_TRUE(waitUntil([&] { return !(aWindow = mainWindow(x, a)).isEmpty(); }, 15000));
    ASSERT_TRUE(waitUntil([&] { return !(bWindow = mainWindow(x, b)).isEmpty(); }, 15000));
    x.xdotool({"windowsize", aWindow, "320", "420"});
    x.xdotool({"windowmove", aWindow, "40", "60"});
    x.xdotool({"windowsize", bWindow, "320", "420"});
    x.xdotool({"windowmove", bWindow, "520", "60"});
    spinFor(800);

    // "Busy" is the middle cell of the status row, under the menu bar.
    ASSERT_TRUE(x.xdotool({"windowactivate", "--sync", aWindow}));
    ASSERT_TRUE(x.xdotool({"mousemove", "--window", aWindow, "160", "38", "click", "1"}));
    // The sheet opens in front.
    QString sheet;
    ASSERT_TRUE(waitUntil(
        [&] {
            sheet = x.xdotoolLines({"getactivewindow"}).join(QString());
            return !sheet.isEmpty() && x.xdotoolLines({"getwindowname", sheet}).join(QString()) == "Status";
        },
        10000))
        << a->readAllStandardError().constData();
    spinFor(1500); // a tick or two of the countdown
    screenshot(x, "status-sheet-counting");
    // A text of one's own typed over the stored one (which stops the countdown). The text fills
    // the middle of the sheet, so a click there puts the focus in it whatever had it before;
    // what the field then holds is read back through the clipboard, and typed again when a key
    // went astray on a loaded machine.
    const QString text = "In the lab until five " + QString::number(QCoreApplication::applicationPid());
    const QRect sheetArea = x.geometry(sheet);
    ASSERT_FALSE(sheetArea.isEmpty());
    const auto clipboard = [&] { return x.output(QString::fromUtf8(MURNAVELL_CLIPBOARD), {}); };
    bool typed = false;
    for (int attempt = 0; attempt < 3 && !typed; ++attempt) {
        ASSERT_TRUE(x.xdotool({"mousemove", "--window", sheet, QString::number(sheetArea.width() / 2),
                               QString::number(sheetArea.height() / 2), "click", "1"}));
        ASSERT_TRUE(x.xdotool({"key", "--delay", "100", "ctrl+a"}));
        ASSERT_TRUE(x.xdotool({"type", "--delay", "20", text}));
        ASSERT_TRUE(x.xdotool({"key", "--delay", "100", "ctrl+a", "ctrl+c"}));
        typed = waitUntil([&] { return clipboard() == text; }, 5000);
    }
    ASSERT_TRUE(typed) << "the field holds: " << qPrintable(clipboard());
    // Set Status, the sheet's default button, in its bottom right corner; the sheet goes and
    // the focus goes back to the main window.
    ASSERT_TRUE(x.xdotool({"mousemove", "--window", sheet, QString::number(sheetArea.width() - 76),
                           QString::number(sheetArea.height() - 24), "click", "1"}));
    ASSERT_TRUE(
        waitUntil([&] { return x.xdotoolLines({"getactivewindow"}).join(QString()) == aWindow; }, 10000))
        << "the sheet stayed open" << qPrintable(screenshot(x, "status-sheet-stayed-open"));

    // C hears A busy within seconds; B's tree shows it with the text.
    ASSERT_TRUE(c->waitForEvent(E2eCopies::status(aId, "1"), 10000))
        << qPrintable(c->diagnostics()) << qPrintable(screenshot(x, "busy-not-heard")) << [&] {
               QString all;
               for (const QJsonObject &e : c->events())
                   all += QJsonDocument(e).toJson(QJsonDocument::Compact) + "\n";
               return all.toStdString();
           }();
    const QString textOnB =
        "SELECT coalesce(statusString, '') FROM tree_items WHERE userId = '" + aId + "' AND kind = 'User'";
    spinFor(1000);
    screenshot(x, "busy-seen-on-b");
    // What B's tree showed is what B's model held: B saves it as it quits.
    b->terminate();
    ASSERT_TRUE(b->waitForFinished(20000));
    EXPECT_EQ(queryStore(storeOf(1), textOnB), text);
    a->terminate();
    ASSERT_TRUE(a->waitForFinished(20000));
    EXPECT_EQ(
        queryStore(storeOf(0), "SELECT status || '|' || statusString FROM tree_items WHERE kind = 'Me'"),
        "1|" + text);
}

} // namespace

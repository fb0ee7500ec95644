// The main window of the real application under X, clicked and typed into with xdotool: two
// copies of the application (A and B) and a driver copy (C) in their own namespaces. Choosing
// "Busy" in A's main window and confirming the sheet with a text of one's own reaches the others
// within seconds: C reports A busy, B's tree shows it (screenshot), and what B's tree held is
// read back from B's store after B quit in order.
#include "support/E2eAppCopies.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSize>
#include <gtest/gtest.h>

namespace {

class E2eMainWindowTest : public E2eAppCopies {
protected:
    E2eMainWindowTest() { shotPrefix = "main-window-e2e-"; }
    // The visible main window of a copy's process.
    static QString mainWindow(XDisplay &x, QProcess *app) { return windows(x, app, "Murnavell").value(0); }
};

TEST_F(E2eMainWindowTest, BusyChosenInOneCopyShowsWithItsTextInTheOther) {
    XDisplay x;
    ASSERT_TRUE(setUpCopies(x, 2, 9)) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1];
    CopyProcess *c = driver;
    const QString aId = ids[0];
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
    // The clicks below are placed for that size: a loaded machine may take a while to apply it.
    ASSERT_TRUE(waitUntil(
        [&] {
            return x.geometry(aWindow).size() == QSize(320, 420) &&
                   x.geometry(bWindow).size() == QSize(320, 420);
        },
        15000))
        << "window sizes " << x.geometry(aWindow).width() << "x" << x.geometry(aWindow).height();

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
    // B saves its whole model after each packet it is sent: C asks B for its information until
    // that save holds the text, so B has surely taken the news in before it is told to quit.
    ASSERT_TRUE(waitUntil(
        [&] {
            c->send("info " + ids[1]);
            spinFor(300);
            return queryStore(storeOf(1), textOnB) == text;
        },
        30000))
        << qPrintable(queryStore(storeOf(1), textOnB));
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

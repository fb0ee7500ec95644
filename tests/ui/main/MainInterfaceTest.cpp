// The main interface as a user drives it: the status selector and its sheet, the tray menu's
// status items and its Quit, with screenshots of the main window and the status panel.
#include "ui/main/MainInterface.h"
#include "core/app/AppInterface.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/runloop/Timer.h"
#include "support/Screenshots.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

// The main interface over a roster with the local user, without servers (no ports in unit tests).
class MainInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
        KDTAppDelegate::setShared(&delegate);
        roster.updateMe();
        UserList::setShared(&roster);
        me = roster.me();
        ASSERT_NE(me, nullptr);
        me->setStatus("0");
        Defaults::standard().removeObject("busyMessage");
        Defaults::standard().removeObject("awayMessage");
        ui = std::make_unique<MainInterface>(&delegate);
        ui->statusMatrixSelectionChanged();
        ui->showMainWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(ui->window()));
    }
    void TearDown() override {
        ui.reset();
        UserList::setShared(nullptr);
        KDTAppDelegate::setShared(nullptr);
    }
    template <class T> T *find(QObject *in, const char *name) {
        return in->findChild<T *>(QString::fromLatin1(name));
    }
    QAction *menuItem(int tag) {
        for (QAction *action : ui->statusMenu()->actions())
            if (action->data().isValid() && action->data().toInt() == tag) return action;
        return nullptr;
    }
    QList<int> checkedMenuTags() {
        QList<int> tags;
        for (QAction *action : ui->statusMenu()->actions())
            if (action->isChecked()) tags << action->data().toInt();
        return tags;
    }
    void tick(int times) {
        for (int i = 0; i < times; ++i) ui->updateSeconds();
    }

    KDTAppDelegate delegate;
    UserList roster;
    Me *me = nullptr;
    std::unique_ptr<MainInterface> ui;
};

TEST_F(MainInterfaceTest, FormsCarryTheOutletNames) {
    QMainWindow *window = ui->window();
    EXPECT_EQ(window->objectName(), "window");
    for (const char *name : {"statusMatrix", "statusAvailable", "statusBusy", "statusAway"})
        EXPECT_NE(find<QWidget>(window, name), nullptr) << name;
    EXPECT_NE(find<QTreeView>(window, "outlineView"), nullptr);
    EXPECT_NE(find<QMenu>(window, "conversationMenu"), nullptr);
    QDialog *panel = ui->statusPanel();
    EXPECT_EQ(panel->objectName(), "statusPanel");
    EXPECT_NE(find<QTextEdit>(panel, "statusText"), nullptr);
    EXPECT_NE(find<QPushButton>(panel, "setStatusButton"), nullptr);
    EXPECT_NE(find<QPushButton>(panel, "statusCancelButton"), nullptr);
    EXPECT_EQ(ui->statusMenu()->objectName(), "statusMenu");
    EXPECT_EQ(AppInterface::current(), ui.get());
    EXPECT_EQ(ui->statusMatrixTag(), 0);
    EXPECT_EQ(checkedMenuTags(), QList<int>{0});
    EXPECT_FALSE(Screenshots::save(window, "main-window", "available").isEmpty());
}

TEST_F(MainInterfaceTest, BusyAsksForTheTextAndConfirmsAfterTheCountdown) {
    auto *busy = find<QToolButton>(ui->window(), "statusBusy");
    QTest::mouseClick(busy, Qt::LeftButton);
    QDialog *panel = ui->statusPanel();
    ASSERT_TRUE(panel->isVisible());
    auto *text = find<QTextEdit>(panel, "statusText");
    auto *confirm = find<QPushButton>(panel, "setStatusButton");
    EXPECT_EQ(text->toPlainText(), "I am busy now. Please do not disturb me.");
    EXPECT_EQ(me->status(), "0"); // not before the sheet is confirmed
    EXPECT_EQ(checkedMenuTags(), QList<int>{1});

    tick(1);
    EXPECT_EQ(confirm->text(), "Set Status [9]");
    EXPECT_FALSE(Screenshots::save(panel, "status-panel", "busy-counting").isEmpty());
    tick(9);
    EXPECT_EQ(confirm->text(), "Set Status [0]");
    EXPECT_EQ(me->status(), "0");
    tick(1); // the eleventh tick confirms
    EXPECT_EQ(me->status(), "1");
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(Defaults::standard().stringForKey("busyMessage"), "I am busy now. Please do not disturb me.");
    EXPECT_EQ(ui->statusMatrixTag(), 1);
    EXPECT_FALSE(Screenshots::save(ui->window(), "main-window", "busy").isEmpty());
}

TEST_F(MainInterfaceTest, TypingStopsTheCountdownAndCancelKeepsEverything) {
    // Chosen from the tray menu: the item selects the cell and opens the same sheet.
    menuItem(2)->trigger();
    QDialog *panel = ui->statusPanel();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(ui->statusMatrixTag(), 2);
    auto *text = find<QTextEdit>(panel, "statusText");
    auto *confirm = find<QPushButton>(panel, "setStatusButton");
    tick(2);
    text->setFocus();
    QTest::keyClicks(text, "!");
    tick(1);
    EXPECT_EQ(confirm->text(), "Set Status");
    tick(20);
    EXPECT_TRUE(panel->isVisible()); // stays open until the user decides
    EXPECT_EQ(me->status(), "0");

    QTest::mouseClick(find<QPushButton>(panel, "statusCancelButton"), Qt::LeftButton);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(me->status(), "0");
    EXPECT_EQ(ui->statusMatrixTag(), 0);
    EXPECT_EQ(checkedMenuTags(), QList<int>{0});
    EXPECT_FALSE(Defaults::standard().stringForKey("awayMessage").endsWith("!"));
}

TEST_F(MainInterfaceTest, ConfirmingStoresTheEditedText) {
    QTest::mouseClick(find<QToolButton>(ui->window(), "statusAway"), Qt::LeftButton);
    auto *text = find<QTextEdit>(ui->statusPanel(), "statusText");
    text->setFocus();
    QTest::keyClick(text, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(text, " Back at 3.");
    QTest::mouseClick(find<QPushButton>(ui->statusPanel(), "setStatusButton"), Qt::LeftButton);
    EXPECT_EQ(me->status(), "2");
    EXPECT_TRUE(Defaults::standard().stringForKey("awayMessage").endsWith(" Back at 3."));
    EXPECT_EQ(me->statusString(), Defaults::standard().stringForKey("awayMessage"));

    // Available never asks.
    QTest::mouseClick(find<QToolButton>(ui->window(), "statusAvailable"), Qt::LeftButton);
    EXPECT_FALSE(ui->statusPanel()->isVisible());
    EXPECT_EQ(me->status(), "0");
}

TEST_F(MainInterfaceTest, QuitFromTheMenuTakesTheOrderlyWay) {
    QAction *quit = menuItem(MainInterface::QuitTag);
    ASSERT_NE(quit, nullptr);
    quit->trigger();
    EXPECT_TRUE(delegate.terminated());
}

TEST_F(MainInterfaceTest, WithoutATrayClosingOnlyMinimizesAndReopeningShowsTheWindow) {
    ASSERT_FALSE(ui->hasTray()); // the offscreen platform has none
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    ui->window()->close();
    EXPECT_TRUE(ui->window()->isVisible());
    EXPECT_TRUE(ui->window()->isMinimized());
    delegate.applicationShouldHandleReopen(false);
    EXPECT_TRUE(ui->window()->isVisible());
    EXPECT_FALSE(ui->window()->isMinimized());
}

TEST_F(MainInterfaceTest, TheKeyWindowFlagFollowsTheMainWindow) {
    QEvent activate(QEvent::WindowActivate), deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(ui->window(), &deactivate); // whatever showing it did
    QSignalSpy changes(&delegate, &KDTAppDelegate::keyWindowChanged);
    QApplication::sendEvent(ui->window(), &activate);
    EXPECT_TRUE(delegate.keyWindow());
    QApplication::sendEvent(ui->window(), &activate);
    QApplication::sendEvent(ui->window(), &deactivate);
    EXPECT_FALSE(delegate.keyWindow());
    ASSERT_EQ(changes.size(), 2);
    EXPECT_EQ(changes.at(0).at(0).toBool(), true);
    EXPECT_EQ(changes.at(1).at(0).toBool(), false);
}


TEST_F(MainInterfaceTest, OneCountdownAtATimeDrivenByItsTimer) {
    ui->setCountdownInterval(3600); // the test ticks the timer itself
    QTest::mouseClick(find<QToolButton>(ui->window(), "statusBusy"), Qt::LeftButton);
    auto *confirm = find<QPushButton>(ui->statusPanel(), "setStatusButton");
    Timer *timer = ui->countdownTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_DOUBLE_EQ(timer->interval(), 3600);
    // Filling the text was not an edit: the countdown runs.
    QStringList titles;
    for (int tick = 1; tick <= 10; ++tick) {
        ui->countdownTimer()->fire();
        titles << confirm->text();
    }
    EXPECT_EQ(titles, (QStringList{"Set Status [9]", "Set Status [8]", "Set Status [7]", "Set Status [6]",
                                   "Set Status [5]", "Set Status [4]", "Set Status [3]", "Set Status [2]",
                                   "Set Status [1]", "Set Status [0]"}));
    EXPECT_EQ(me->status(), "0");
    ui->countdownTimer()->fire();
    EXPECT_EQ(me->status(), "1");
    EXPECT_FALSE(ui->statusPanel()->isVisible());
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(ui->countdownTimer(), nullptr);

    // Opening the sheet again ends a countdown left running: only the new one ticks, from 9.
    ui->statusChosen(MainInterface::Away);
    Timer *first = ui->countdownTimer();
    first->fire();
    first->fire();
    ui->statusChosen(MainInterface::Away);
    Timer *second = ui->countdownTimer();
    EXPECT_NE(second, first);
    EXPECT_FALSE(first->isValid());
    second->fire();
    EXPECT_EQ(confirm->text(), "Set Status [9]");
    ui->statusCancelButton();
    EXPECT_EQ(me->status(), "1");
    EXPECT_EQ(ui->statusMatrixTag(), 1);
    EXPECT_EQ(checkedMenuTags(), QList<int>{1});
}

} // namespace

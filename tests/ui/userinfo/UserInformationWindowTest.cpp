// The user information window: its lines for the user's record, durations, one window per user,
// the card and its closing, pinning, a deleted user, refreshes, and screenshots of both tabs and
// the card.
#include "core/app/AppContext.h"
#include "core/net/TCPserver.h"
#include "core/net/TCPserverTestSupport.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/strings/Strings.h"
#include "support/EventLoopWait.h"
#include "support/Screenshots.h"
#include "ui/userinfo/UserInformationWindow.h"

#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>
#include <gtest/gtest.h>

#include <functional>

namespace {

class UserInformationWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
        Strings::setLanguages({"en-US"});
        KDTAppDelegate::setShared(&delegate);
        now = QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC);
        Clock::setNowFunction([this] { return now; });
        roster.updateMe();
        UserList::setShared(&roster);
    }
    void TearDown() override {
        UserInformationWindow::closeToolTip();
        for (QWidget *w : QApplication::topLevelWidgets()) w->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Strings::setLanguages({"en-US"});
        UserList::setShared(nullptr);
        Clock::setNowFunction({});
        KDTAppDelegate::setShared(nullptr);
    }
    ManagedObjectContext *context() { return appManagedObjectContext(); }
    User *peer(const QString &name = QString()) {
        auto *u = context()->insert<User>();
        u->setUserId(QStringLiteral("A%1").arg(++m_ids, 9, 10, QLatin1Char('0')));
        if (!name.isEmpty()) u->setName(name);
        return u;
    }
    static void settle() { QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    KDTAppDelegate delegate;
    UserList roster;
    QDateTime now;

private:
    int m_ids = 0;
};

// The lines of both texts for the record: missing values and "*" give no line, codes give words.
TEST_F(UserInformationWindowTest, LinesForTheRecord) {
    struct Case {
        const char *name;
        std::function<void(User *, QDateTime)> fill;
        QString personal; // "%id" stands for the user's id
        QString system;
    };
    const Case cases[] = {
        {"only the id known", [](User *, QDateTime) {}, "ID: %id", ""},
        {"busy, with stars and empty values",
         [](User *u, QDateTime) {
             u->setFirstName("Anna");
             u->setLastName("*");
             u->setDepartment("");
             u->setJobTitle("Engineer");
             u->setStatus("1");
             u->setPc("*");
             u->setIp("198.18.0.7");
         },
         "First name: Anna\nJob title: Engineer\nStatus: Busy\nID: %id", "IP address: 198.18.0.7"},
        {"offline for 2 hours",
         [](User *u, QDateTime now) {
             u->setStatus("0");
             u->setSeenLastTime(now.addSecs(-2 * 3600));
             u->setStatus("10");
         },
         "Status: Offline (2 hours)\nID: %id", ""},
        {"away, idle for an hour, with a message",
         [](User *u, QDateTime) {
             u->setStatus("2");
             u->setIdleTime("3600000");
             u->setStatusString("at lunch");
         },
         "Status: Away\nIdle time: 1 hour\nStatus message: at lunch\nID: %id", ""},
        {"available, idle under a minute, unknown code",
         [](User *u, QDateTime) {
             u->setStatus("7");
             u->setIdleTime("45000");
         },
         "Status: 7\nIdle time: less than 1 minute\nID: %id", ""},
        {"terminal client, disconnected",
         [](User *u, QDateTime) {
             u->setPc("WS-12");
             u->setLogonUser("anna");
             u->setOSversion("Debian 12");
             u->setVersion("5.1");
             u->setIsOnTS("1");
             u->setTsClientIP("10.1.0.5");
             u->setTsClientPCname("HOME-PC");
             u->setTsServerIP("10.1.0.1");
             u->setTsConnectionState("4");
         },
         "ID: %id",
         "Computer name: WS-12\nLogon name: anna\nOS: Debian 12\nMessenger version: 5.1\n"
         "Connection type: Terminal client\n"
         "Terminal server client IP address: 10.1.0.5 (HOME-PC) connected via 10.1.0.1\n"
         "Terminal server client status: Disconnected"},
        {"stand-alone, active state gives no line",
         [](User *u, QDateTime) {
             u->setIsOnTS("0");
             u->setTsConnectionState("0");
         },
         "ID: %id", "Connection type: Stand-alone client"},
        {"state out of range, client parts missing",
         [](User *u, QDateTime) {
             u->setIsOnTS("1");
             u->setTsClientIP("10.1.0.5");
             u->setTsServerIP("10.1.0.1");
             u->setTsConnectionState("12");
         },
         "ID: %id",
         "Connection type: Terminal client\nTerminal server client IP address: 10.1.0.5 connected via 10.1.0.1\n"
         "Terminal server client status: 12"},
        {"negative state, client address alone",
         [](User *u, QDateTime) {
             u->setTsClientIP("10.1.0.5");
             u->setTsClientPCname("*");
             u->setTsConnectionState("-3");
         },
         "ID: %id", "Terminal server client IP address: 10.1.0.5\nTerminal server client status: -3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        User *u = peer();
        c.fill(u, now);
        UserInformationWindow *w = UserInformationWindow::showForUser(u);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->text(true), QString(c.personal).replace("%id", u->userId()));
        EXPECT_EQ(w->text(false), c.system);
        EXPECT_FALSE(w->text(true).contains("(null)"));
        EXPECT_FALSE(w->text(false).contains("(null)"));
        // Labels are bold, values are not.
        QTextCursor first(w->personalTextView()->document());
        first.movePosition(QTextCursor::NextCharacter);
        EXPECT_TRUE(first.charFormat().font().bold());
        first.movePosition(QTextCursor::EndOfBlock);
        EXPECT_FALSE(first.charFormat().font().bold());
        w->window()->close();
        settle();
    }
}

TEST_F(UserInformationWindowTest, Durations) {
    const std::pair<double, QString> english[] = {
        {0, "less than 1 minute"},     {59.9, "less than 1 minute"},         {60, "1 minute"},
        {3600, "1 hour"},              {7260, "2 hours, 1 minute"},          {90061, "1 day, 1 hour, 1 minute"},
        {172800, "2 days"},            {-5, "less than 1 minute"},
    };
    for (const auto &[seconds, text] : english) EXPECT_EQ(UserInformationWindow::ParceInterval(seconds), text) << seconds;
    Strings::setLanguages({"de-DE"});
    EXPECT_EQ(UserInformationWindow::ParceInterval(90061), "1 day(s), 1 hour(s), 1 minute(s)");
    EXPECT_EQ(UserInformationWindow::ParceInterval(7260), "2 hour(s), 1 minute(s)");
    EXPECT_EQ(UserInformationWindow::ParceInterval(300), "5 minutes");
}

// Opening asks the peer for fresh details ("TRI" on the peer's messaging port); the answer
// rewrites the lines and the title.
TEST_F(UserInformationWindowTest, OpeningAsksForDetailsAndAnswersRefreshTheText) {
    std::uint16_t peerPort = 0;
    const int listener = rawnet::listenLoopback(4, &peerPort);
    ASSERT_GE(listener, 0);
    TCPserver server(0, peerPort, false);
    TCPserver::setShared(&server);
    User *u = peer("Anna");
    u->setIp(QStringLiteral("127.0.0.1"));
    std::promise<QByteArray> received;
    std::thread peerSide([&] {
        pollfd p{listener, POLLIN, 0};
        QByteArray bytes;
        if (::poll(&p, 1, 10000) == 1) {
            const int fd = ::accept(listener, nullptr, nullptr);
            bytes = rawnet::readUntilClosed(fd, 3000);
            ::close(fd);
        }
        received.set_value(bytes);
    });
    UserInformationWindow *w = UserInformationWindow::showForUser(u);
    auto answer = received.get_future();
    EXPECT_TRUE(waitUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                          15000));
    peerSide.join();
    ::close(listener);
    TCPserver::setShared(nullptr);
    const QByteArray bytes = answer.get();
    const auto request = KDTPacket::ArrayFromBase64AESdata(bytes.left(bytes.indexOf("\r\n")));
    ASSERT_TRUE(request) << bytes.toStdString();
    EXPECT_EQ(request->value(0).toString(), "TRI");
    EXPECT_EQ(request->value(5).toString(), u->userId());
    EXPECT_EQ(w->window()->windowTitle(), "User Info: Anna");
    const int before = w->window()->height();
    u->setDepartment("Accounts");
    u->setAdditionalInformation("Room 4.12\nsecond floor\nnear the stairs\nask at the desk");
    u->setOSversion("Debian 12");
    u->setName("Anna K.");
    EXPECT_EQ(w->text(true), "Department: Accounts\nAdditional information: Room 4.12\nsecond floor\nnear the "
                             "stairs\nask at the desk\nID: " +
                                 u->userId());
    EXPECT_EQ(w->text(false), "IP address: 127.0.0.1\nOS: Debian 12");
    EXPECT_EQ(w->window()->windowTitle(), "User Info: Anna K.");
    EXPECT_GT(w->window()->height(), before) << "the window grows with its text";
    // Markup from the peer stays text.
    u->setJobTitle("<b>boss</b>");
    EXPECT_TRUE(w->text(true).contains("Job title: <b>boss</b>"));
}

// One window per user: opening again brings the same one, and pinning a card of a user whose
// window is open brings that window instead of making a second.
TEST_F(UserInformationWindowTest, NeverTwoWindowsForOneUser) {
    User *u = peer("Anna");
    QPointer<UserInformationWindow> first = UserInformationWindow::showForUser(u);
    EXPECT_EQ(UserInformationWindow::showForUser(u), first.data());
    EXPECT_EQ(u->userInfoWindow(), first.data());
    QPointer<UserInformationWindow> card = UserInformationWindow::showCardForUser(u, QPoint(300, 300));
    ASSERT_TRUE(card);
    EXPECT_NE(card.data(), first.data());
    QTest::mouseClick(card->pinButton(), Qt::LeftButton);
    settle();
    EXPECT_TRUE(card.isNull());
    EXPECT_EQ(u->userInfoWindow(), first.data());
    EXPECT_EQ(UserInformationWindow::currentCard(), nullptr);
    int shown = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle() == "User Info: Anna") ++shown;
    EXPECT_EQ(shown, 1);
    // Closed, the user forgets it; the next one is new.
    first->window()->close();
    settle();
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(u->userInfoWindow(), nullptr);
}

// Windows and cards never outlive their user.
TEST_F(UserInformationWindowTest, DeletedUserClosesItsWindowAndCard) {
    User *u = peer("Anna");
    User *other = peer("Boris");
    QPointer<UserInformationWindow> full = UserInformationWindow::showForUser(u);
    QPointer<UserInformationWindow> card = UserInformationWindow::showCardForUser(u, QPoint(200, 200));
    QPointer<UserInformationWindow> kept = UserInformationWindow::showForUser(other);
    context()->deleteObject(u);
    settle();
    EXPECT_TRUE(full.isNull());
    EXPECT_TRUE(card.isNull());
    EXPECT_EQ(UserInformationWindow::currentCard(), nullptr);
    ASSERT_FALSE(kept.isNull());
    EXPECT_TRUE(kept->window()->isVisible());
    EXPECT_EQ(UserInformationWindow::showForUser(u), nullptr);
}

// The card: borderless, no tabs, the pin; one at a time; it closes half a second after the
// pointer left it unless the pointer is back; the pin makes it the user's window.
TEST_F(UserInformationWindowTest, CardReplacesClosesAndPins) {
    User *anna = peer("Anna");
    anna->setStatus("1");
    User *boris = peer("Boris");
    QPointer<UserInformationWindow> card = UserInformationWindow::showCardForUser(anna, QPoint(200, 200));
    ASSERT_TRUE(card);
    EXPECT_TRUE(card->isCard());
    EXPECT_EQ(UserInformationWindow::currentCard(), card.data());
    EXPECT_TRUE(card->window()->windowFlags().testFlag(Qt::ToolTip));
    EXPECT_TRUE(card->window()->isVisible());
    EXPECT_FALSE(card->tabView()->tabBar()->isVisible());
    EXPECT_TRUE(card->pinButton()->isVisible());
    EXPECT_EQ(card->window()->y(), 200 - 2 + 3) << "hangs just below the pointer";
    EXPECT_EQ(card->text(true), "Status: Busy\nID: " + anna->userId());

    // Hovering another row: the card is replaced.
    QPointer<UserInformationWindow> second = UserInformationWindow::showCardForUser(boris, QPoint(200, 240));
    settle();
    EXPECT_TRUE(card.isNull());
    EXPECT_EQ(UserInformationWindow::currentCard(), second.data());
    // The same row again keeps the card.
    EXPECT_EQ(UserInformationWindow::showCardForUser(boris, QPoint(200, 240)), second.data());

    // The pointer left but came back within the half second: it stays.
    QCursor::setPos(second->window()->geometry().center());
    second->shouldCloseToolTip();
    spinFor(UserInformationWindow::CloseDelayMs + 300);
    EXPECT_EQ(UserInformationWindow::currentCard(), second.data());
    // The pointer is away: it closes.
    QCursor::setPos(second->window()->geometry().bottomRight() + QPoint(50, 50));
    second->shouldCloseToolTip();
    EXPECT_EQ(UserInformationWindow::currentCard(), second.data()) << "not before half a second";
    EXPECT_TRUE(waitUntil([&] { return second.isNull(); }, 3000));
    EXPECT_EQ(UserInformationWindow::currentCard(), nullptr);

    // Pinned: the user's window, titled, with both tabs, no longer the card.
    card = UserInformationWindow::showCardForUser(anna, QPoint(200, 200));
    const QSize cardSize = card->window()->size();
    QTest::mouseClick(card->pinButton(), Qt::LeftButton);
    settle();
    ASSERT_FALSE(card.isNull());
    EXPECT_FALSE(card->isCard());
    EXPECT_EQ(anna->userInfoWindow(), card.data());
    EXPECT_EQ(UserInformationWindow::currentCard(), nullptr);
    EXPECT_FALSE(card->window()->windowFlags().testFlag(Qt::ToolTip));
    EXPECT_TRUE(card->window()->isVisible());
    EXPECT_TRUE(card->tabView()->tabBar()->isVisible());
    EXPECT_FALSE(card->pinButton()->isVisible());
    // Back to the full window's width (that of the interface file).
    EXPECT_NE(cardSize.width(), 380);
    EXPECT_EQ(card->window()->width(), 380);
    EXPECT_EQ(card->window()->windowTitle(), "User Info: Anna");
    // A later request for the user's window brings this one; closing the card elsewhere no longer touches it.
    EXPECT_EQ(UserInformationWindow::showForUser(anna), card.data());
    UserInformationWindow::closeToolTip();
    settle();
    EXPECT_FALSE(card.isNull());
}

// A window whose bottom-right corner is off its screen comes back before showing.
TEST_F(UserInformationWindowTest, KeptOnItsScreen) {
    User *u = peer("Anna");
    auto *w = new UserInformationWindow(u);
    u->setUserInfoWindow(w);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    w->window()->move(screen.right() - 50, screen.bottom() - 40);
    w->showWindow();
    const QRect frame = w->window()->frameGeometry();
    EXPECT_TRUE(screen.contains(frame.bottomRight())) << frame.x() << "," << frame.y();
    EXPECT_TRUE(screen.contains(frame.topLeft()));
}

TEST_F(UserInformationWindowTest, Screenshots) {
    User *u = peer("Anna Kowalska");
    u->setFirstName("Anna");
    u->setLastName("Kowalska");
    u->setDepartment("Accounts");
    u->setJobTitle("Senior accountant");
    u->setAdditionalInformation("Room 4.12, ext. 4412");
    u->setStatus("2");
    u->setIdleTime("5400000");
    u->setStatusString("back at three");
    u->setPc("ACC-WS-12");
    u->setLogonUser("akowalska");
    u->setIp("198.18.0.12");
    u->setOSversion("Debian GNU/Linux 12");
    u->setVersion("0.1.0");
    u->setIsOnTS("1");
    u->setTsClientIP("198.18.0.40");
    u->setTsClientPCname("HOME-PC");
    u->setTsServerIP("198.18.0.2");
    u->setTsConnectionState("1");
    UserInformationWindow *w = UserInformationWindow::showForUser(u);
    w->window()->move(40, 40);
    spinFor(200);
    EXPECT_FALSE(Screenshots::save(w->window(), "user-information", "personal").isEmpty());
    w->tabView()->setCurrentIndex(1);
    spinFor(200);
    EXPECT_FALSE(Screenshots::save(w->window(), "user-information", "system").isEmpty());
    UserInformationWindow *card = UserInformationWindow::showCardForUser(u, QPoint(500, 100));
    spinFor(200);
    EXPECT_FALSE(Screenshots::save(card->window(), "user-information", "card").isEmpty());
}

} // namespace

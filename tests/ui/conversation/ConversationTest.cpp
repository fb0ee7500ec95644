// The conversation window as a user meets it: what opens, what is appended, status and typing
// lines, rooms made and left, clearing, and what peers' text may and may not do.
#include "ConversationFixture.h"

#include "support/Screenshots.h"
#include "ui/conversation/TextViewForReading.h"
#include "ui/conversation/TextViewForSending.h"
#include "ui/system/MessageBoxSheet.h"

#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QTextBlock>
#include <QUrl>

namespace {

class ConversationTest : public ConversationFixture {};

TEST_F(ConversationTest, OpensOnTheNewestEntries) {
    const struct {
        int entries;
        bool incoming;
        bool displayRecent;
        int shown;
    } cases[] = {{5, false, true, 5},   {30, false, true, 20}, {30, true, true, 21},
                 {30, false, false, 0}, {30, true, false, 1},  {0, false, true, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.entries << " entries, incoming " << c.incoming);
        Defaults::standard().setValue("displayRecent", c.displayRecent);
        User *u = peer(QStringLiteral("Peer %1 %2").arg(c.entries).arg(c.incoming));
        for (int i = 1; i <= c.entries; ++i) message(u, QStringLiteral("line %1.").arg(i));
        Conversation *window = open(u, c.incoming);
        ASSERT_NE(window, nullptr);
        int shown = 0;
        for (int i = 1; i <= c.entries; ++i) shown += shows(window, QStringLiteral("line %1.").arg(i));
        EXPECT_EQ(shown, c.shown);
        // Shown are the newest, oldest first.
        if (c.shown > 0) {
            EXPECT_EQ(shows(window, QStringLiteral("line %1.").arg(c.entries)), 1);
            EXPECT_LE(window->logText().indexOf(QStringLiteral("line %1.").arg(c.entries - c.shown + 1)),
                      window->logText().indexOf(QStringLiteral("line %1.").arg(c.entries)));
        }
        window->windowClose();
    }
}

TEST_F(ConversationTest, AppendsOnlyWhatIsNewAndCountsTheSameSetItFetches) {
    User *u = peer("Olga");
    User *other = peer("Ivan");
    message(u, "one-to-one before");
    Conversation *window = open(u);
    // Lines of a room the user is in belong to the room's history, not to this window.
    Chat *room = Chat::createWithUsers({u, other}, "4711");
    message(u, "said in the room", true, room);
    message(u, "one-to-one after");
    post(u);
    post(u); // a second notice shows nothing twice
    EXPECT_EQ(shows(window, "one-to-one before"), 1);
    EXPECT_EQ(shows(window, "one-to-one after"), 1);
    EXPECT_EQ(shows(window, "said in the room"), 0);
    EXPECT_EQ(window->logText().count("Olga:"), 2);
    room->leaveChat();
}

TEST_F(ConversationTest, LinesCarryTheirKindsHeadersLabelsAndTimes) {
    Defaults::standard().setValue("displayTime", false);
    User *u = peer("Olga");
    Message *offline = message(u, "held for you");
    offline->setOffline(true);
    Message *mass = message(u, "to everyone");
    mass->setMass(true);
    message(u, "mine", false);
    tick();
    SystemMessage::addText("an error", u, true);
    Conversation *window = open(u);
    const QString time = DateFormatter::format(now, false);
    EXPECT_TRUE(window->logText().contains(" - Olga (Offline message):\nheld for you"))
        << qPrintable(window->logText());
    EXPECT_TRUE(window->logText().contains(" - Olga (Broadcast message):\nto everyone"));
    EXPECT_TRUE(window->logText().contains(" - Me Myself:\nmine"));
    EXPECT_TRUE(window->logText().contains(time + " - an error"));
    // Today's lines carry the time alone; with "displayTime" every line has its date.
    EXPECT_FALSE(window->logText().contains("2026"));
    Defaults::standard().setValue("displayTime", true);
    SystemMessage::addText("dated", u, false);
    post(u);
    EXPECT_TRUE(window->logText().contains(DateFormatter::format(now, true) + " - dated"));
    EXPECT_TRUE(window->logText().contains("2026"));
}

TEST_F(ConversationTest, OneStatusLineEndsTheTextUntilALineFollowsIt) {
    User *u = peer("Olga");
    message(u, "hello");
    Conversation *window = open(u);
    EXPECT_TRUE(window->logText().endsWith("Olga is available"));
    u->setStatusString("in a meeting");
    u->setStatus("1");
    u->setStatus("2");
    EXPECT_TRUE(window->logText().endsWith("Olga is away (in a meeting)")) << qPrintable(window->logText());
    EXPECT_EQ(window->logText().count("Olga is"), 1);
    message(u, "back soon");
    post(u);
    u->setStatus("10");
    EXPECT_TRUE(
        window->logText().endsWith("back soon\nOlga is offline. However, you can leave them a message."))
        << qPrintable(window->logText());
    EXPECT_EQ(window->logText().count("Olga is"), 2);
    EXPECT_FALSE(window->canInvite());
}

TEST_F(ConversationTest, TypingLabelHidesBetweenThreeAndSixSecondsAfterTheLastNotice) {
    User *u = peer("Olga");
    Conversation *window = open(u);
    QLabel *label = window->typingLabel();
    EXPECT_EQ(label->text(), "Olga is typing a message.");
    EXPECT_TRUE(label->isHidden());
    u->setTypingReceived(now);
    EXPECT_FALSE(label->isHidden());
    ASSERT_NE(window->typingTimer(), nullptr);
    EXPECT_DOUBLE_EQ(window->typingTimer()->interval(), 3.0);
    // A second notice 2.5 s in: at 3 s the label stays, re-checked after the notice's age.
    tick(2500);
    u->setTypingReceived(now);
    tick(500);
    window->typingTimer()->fire();
    EXPECT_FALSE(label->isHidden());
    double waited = 0.5; // since the last notice
    while (!label->isHidden() && waited < 10) {
        const double delay = window->typingTimer()->interval();
        EXPECT_GE(delay, Conversation::MinimumTypingDelay);
        tick(int(delay * 1000));
        waited += delay;
        window->typingTimer()->fire();
    }
    EXPECT_TRUE(label->isHidden());
    EXPECT_GE(waited, 3.0);
    EXPECT_LE(waited, 6.0);
    EXPECT_EQ(window->typingTimer(), nullptr);

    // A notice of age 0 re-arms no sooner than the floor, never in a loop of zero delays.
    u->setTypingReceived(now);
    window->hideTyping(window->typingTimer());
    ASSERT_NE(window->typingTimer(), nullptr);
    EXPECT_GE(window->typingTimer()->interval(), Conversation::MinimumTypingDelay);
    // A new line hides it at once.
    message(u, "done typing");
    post(u);
    EXPECT_TRUE(label->isHidden());
}

TEST_F(ConversationTest, AddedUsersMakeARoomAndTheLastLeaverGetsTheWindowBackWithoutOldLines) {
    User *olga = peer("Olga");
    User *ivan = peer("Ivan");
    message(olga, "private before");
    Conversation *window = open(olga);
    EXPECT_TRUE(window->rightPaneHidden());
    services.invite = {ivan};
    window->InviteButton();
    Chat *room = window->chat();
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(room->conversationWindow(), window);
    EXPECT_EQ(olga->conversationWindow(), nullptr);
    EXPECT_EQ(window->users(), (QList<User *>{olga, ivan}));
    EXPECT_FALSE(window->rightPaneHidden());
    EXPECT_TRUE(services.excludedAtInvite.contains(me));
    EXPECT_TRUE(window->logText().contains("Ivan has been added to the conversation."));
    EXPECT_EQ(window->window()->windowTitle(), "Olga, Ivan - Conversation");
    EXPECT_EQ(window->window()->findChild<QListWidget *>("membersTable")->count(), 2);
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "chat-with-members").isEmpty());
    message(ivan, "in the room", true, room);
    post(room);
    EXPECT_EQ(shows(window, "in the room"), 1);

    window->userLeft(ivan);
    EXPECT_TRUE(window->logText().contains("Ivan has left the conversation."));
    EXPECT_TRUE(window->rightPaneHidden());
    window->userLeft(olga);
    EXPECT_EQ(window->chat(), nullptr);
    EXPECT_EQ(olga->conversationWindow(), window);
    EXPECT_EQ(window->window()->windowTitle(), "Olga - Conversation");
    const QString before = window->logText();
    message(olga, "private after");
    post(olga);
    EXPECT_EQ(shows(window, "private before"), 1);
    EXPECT_EQ(shows(window, "private after"), 1);
    EXPECT_TRUE(window->logText().startsWith(before));
}

TEST_F(ConversationTest, ClearingDeletesNothingAndReopeningShowsTheLinesAgain) {
    User *u = peer("Olga");
    message(u, "kept");
    Conversation *window = open(u);
    const qint64 stored = LogQuery::count(u);
    window->clearConversation();
    EXPECT_EQ(shows(window, "kept"), 0);
    EXPECT_EQ(LogQuery::count(u), stored);
    message(u, "new");
    post(u);
    EXPECT_EQ(shows(window, "new"), 1);
    window->windowClose();
    EXPECT_EQ(u->conversationWindow(), nullptr);
    Conversation *again = open(u);
    EXPECT_EQ(shows(again, "kept"), 1);
    EXPECT_EQ(shows(again, "new"), 1);
}

TEST_F(ConversationTest, PeerTextAndNamesAreNeverMarkup) {
    User *u = peer("<i>Olga</i>");
    message(u, "<b>bold</b> &amp; <img src=x> ![md](y)");
    Conversation *window = open(u);
    EXPECT_TRUE(window->logText().contains("<b>bold</b> &amp; <img src=x> ![md](y)"));
    EXPECT_TRUE(window->logText().contains("<i>Olga</i>:"));
    EXPECT_EQ(window->typingLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(window->window()->windowTitle(), "<i>Olga</i> - Conversation");
    QTextDocument *doc = window->conversationTextView()->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) EXPECT_FALSE(it.fragment().charFormat().isImageFormat());
}

TEST_F(ConversationTest, OnlyWebAndMailLinksAreLinksAndOpen) {
    User *u = peer("Olga");
    message(u, "see https://example.org/a_b?x=1. or www.example.com, mail olga@example.org, "
               "not file:///etc/passwd nor javascript:alert(1) nor smb://server/share");
    Conversation *window = open(u);
    QStringList hrefs;
    QTextDocument *doc = window->conversationTextView()->document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor()) hrefs << it.fragment().charFormat().anchorHref();
    EXPECT_EQ(hrefs, (QStringList{"https://example.org/a_b?x=1", "http://www.example.com",
                                  "mailto:olga@example.org"}));
    QList<QUrl> opened;
    HyperlinkTextView2::setLinkOpener([&](const QUrl &url) {
        opened << url;
        return true;
    });
    const struct {
        const char *url;
        bool opens;
    } cases[] = {{"https://example.org", true},  {"http://example.org", true},
                 {"mailto:a@b.c", true},         {"file:///etc/passwd", false},
                 {"javascript:alert(1)", false}, {"smb://server/share", false},
                 {"ftp://example.org", false},   {"https://", false}};
    for (const auto &c : cases)
        EXPECT_EQ(window->conversationTextView()->openClickedHyperlink(QUrl(QString::fromLatin1(c.url))),
                  c.opens)
            << c.url;
    EXPECT_EQ(opened.size(), 3);
    // A click on the link's text opens it.
    opened.clear();
    TextViewForReading *view = window->conversationTextView();
    window->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window->window()));
    QTextCursor at = doc->find("example.org/a_b");
    ASSERT_FALSE(at.isNull());
    at.setPosition(at.selectionStart() + 2);
    const QPoint point = view->cursorRect(at).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, point);
    EXPECT_EQ(opened, (QList<QUrl>{QUrl("https://example.org/a_b?x=1")}));
    HyperlinkTextView2::setLinkOpener({});
}

TEST_F(ConversationTest, ANameChangeIsALineOnlyWhenAKnownNameChanges) {
    User *u = peer("");
    Conversation *window = open(u);
    u->setName("Olga");
    EXPECT_FALSE(window->logText().contains("has changed the name"));
    EXPECT_EQ(window->window()->windowTitle(), "Olga - Conversation");
    u->setName("Olga Petrova");
    EXPECT_EQ(shows(window, "Olga has changed the name to Olga Petrova."), 1);
    EXPECT_EQ(LogQuery::count(u), 1);
}

TEST_F(ConversationTest, AWindowWhoseUserOrRoomIsDeletedClosesFirst) {
    User *u = peer("Olga");
    Conversation *window = open(u);
    QPointer<Conversation> guard(window);
    context()->deleteObject(u);
    EXPECT_TRUE(window->closed());
    EXPECT_FALSE(window->window()->isVisible());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());

    User *a = peer("A");
    User *b = peer("B");
    Conversation *chat = ConversationWindows::startGroupConversation({a, b});
    ASSERT_NE(chat->chat(), nullptr);
    context()->deleteObject(a);
    EXPECT_FALSE(chat->closed());
    EXPECT_EQ(chat->users(), QList<User *>{b});
    context()->deleteObject(chat->chat());
    EXPECT_TRUE(chat->closed());
}

TEST_F(ConversationTest, FilesDropOnlyOnAOneToOneWindowWhoseUserIsOnline) {
    User *online = peer("Olga");
    User *offline = peer("Ivan", "10");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/tmp/a.txt"), QUrl::fromLocalFile("/tmp/b")});
    QMimeData text;
    text.setText("just text");
    Conversation *toOnline = open(online);
    Conversation *toOffline = open(offline);
    Conversation *room = ConversationWindows::startGroupConversation({online, peer("Third")});
    EXPECT_TRUE(toOnline->acceptsDrop(&files));
    EXPECT_FALSE(toOnline->acceptsDrop(&text));
    EXPECT_FALSE(toOffline->acceptsDrop(&files));
    EXPECT_FALSE(room->acceptsDrop(&files));
    EXPECT_TRUE(toOnline->messageTextView()->acceptsFiles(&files));
    EXPECT_FALSE(toOffline->messageTextView()->acceptsFiles(&files));
    EXPECT_FALSE(room->messageTextView()->acceptsFiles(&files));
    EXPECT_TRUE(toOnline->dropFiles(&files));
    EXPECT_FALSE(toOffline->dropFiles(&files));
    ASSERT_EQ(services.sent.size(), 1);
    EXPECT_EQ(services.sent[0].paths, (QStringList{"/tmp/a.txt", "/tmp/b"}));
    EXPECT_EQ(services.sent[0].to, online);
}

TEST_F(ConversationTest, ClosingAChatAsksFirstAndLeavesTheRoom) {
    User *a = peer("A");
    User *b = peer("B");
    Conversation *window = ConversationWindows::startGroupConversation({a, b});
    Chat *room = window->chat();
    ASSERT_TRUE(room->isLive());
    window->window()->close();
    EXPECT_FALSE(window->closed()); // the sheet asks
    ASSERT_EQ(MessageBoxSheet::openSheets().size(), 1);
    EXPECT_EQ(MessageBoxSheet::openSheets()[0]->kindNumber(), 1);
    windows.callLive = true;
    window->requestClose();
    EXPECT_EQ(MessageBoxSheet::openSheets()[1]->kindNumber(), 0);
    MessageBoxSheet::openSheets()[1]->alertDidEnd(MessageBoxSheet::FirstButtonReturn + 1);
    EXPECT_FALSE(window->closed());
    MessageBoxSheet::openSheets()[0]->alertDidEnd(MessageBoxSheet::FirstButtonReturn);
    EXPECT_TRUE(window->closed());
    EXPECT_FALSE(room->isLive());
    EXPECT_EQ(room->conversationWindow(), nullptr);
    // A one-to-one window closes at once.
    Conversation *single = open(a);
    single->window()->close();
    EXPECT_TRUE(single->closed());
    EXPECT_EQ(a->conversationWindow(), nullptr);
}

TEST_F(ConversationTest, IncomingLinesOpenAndRaiseByTheSettings) {
    User *u = peer("Olga");
    Defaults::standard().setValue("minimizeMessages", 1);
    u->StartConversation(true);
    auto *window = Conversation::fromWindowObject(u->conversationWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->window()->isMinimized());
    window->windowClose();
    Defaults::standard().setValue("minimizeMessages", 0);
    u->StartConversation(true);
    window = Conversation::fromWindowObject(u->conversationWindow());
    EXPECT_FALSE(window->window()->isVisible()); // the pop-up rule shows it
    ConversationWindows::bringForward(window, true);
    EXPECT_TRUE(window->window()->isVisible());
    // By hand an existing window is raised, not made twice.
    u->StartConversation(false);
    EXPECT_EQ(Conversation::fromWindowObject(u->conversationWindow()), window);
}

TEST_F(ConversationTest, MemberClickAddressesThemInTheComposeField) {
    User *a = peer("Anna");
    User *b = peer("Boris");
    Conversation *window = ConversationWindows::startGroupConversation({a, b});
    window->messageTextView()->setPlainText("hi ");
    window->userClicked(b);
    EXPECT_EQ(window->messageTextView()->toPlainText(), "hi Boris: ");
}

TEST_F(ConversationTest, ScreenshotOfAOneToOneConversation) {
    User *u = peer("Ольга Петрова");
    u->setStatusString("на обеде");
    message(
        u,
        "Привет! Смотри https://example.org/отчёт и пиши на olga@example.org 🙂");
    message(u, "Ещё одна строка, довольно длинная, чтобы показать перенос текста в окне разговора.", false);
    message(u, "👍 Готово", true);
    Conversation *window = open(u);
    u->setStatus("1");
    u->setTypingReceived(now);
    window->window()->resize(640, 480);
    window->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window->window()));
    EXPECT_FALSE(window->typingLabel()->isHidden());
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "one-to-one").isEmpty());
    // The font setting applies to what comes next.
    Defaults::standard().setValue("fontSize", 24);
    message(u, "крупнее");
    post(u);
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "font-24").isEmpty());
    Defaults::standard().removeObject("fontSize");
}

} // namespace

namespace {

class SendFilesTest : public ConversationFixture {};

TEST_F(SendFilesTest, BrowseFilesOpensThePanelAndDragAndDropOpensNothing) {
    User *u = peer("Olga");
    Conversation *window = open(u);
    auto panel = [&] { return window->window()->findChild<QFileDialog *>("fileTransferPanel"); };
    window->sendFiles();
    ASSERT_EQ(MessageBoxSheet::openSheets().size(), 1);
    EXPECT_EQ(MessageBoxSheet::openSheets()[0]->kindNumber(), 4);
    MessageBoxSheet::openSheets()[0]->alertDidEnd(MessageBoxSheet::FirstButtonReturn + 1);
    EXPECT_EQ(panel(), nullptr);
    window->sendFiles();
    MessageBoxSheet::openSheets()[0]->alertDidEnd(MessageBoxSheet::FirstButtonReturn);
    ASSERT_NE(panel(), nullptr);
    EXPECT_TRUE(panel()->isVisible());
    emit panel()->filesSelected({"/tmp/x.txt"});
    ASSERT_EQ(services.sent.size(), 1);
    EXPECT_EQ(services.sent[0].to, u);
    panel()->reject();
    // Not for a user who is offline, nor in a room.
    u->setStatus("10");
    window->sendFiles();
    EXPECT_TRUE(MessageBoxSheet::openSheets().isEmpty());
}

} // namespace

// The call window with its real page in Qt WebEngine: the page comes up and reports through the
// bridge, takes what was queued, shows a caller whose texts try to break out of their literals
// without anything running, refuses navigation, windows and devices of other origins, follows
// the palette and asks before leaving a call with peers. Screenshots of an incoming and an
// outgoing call.
#include "calls/CallWindow.h"
#include "calls/Call.h"
#include "calls/CallPacket.h"
#include "calls/CallPage.h"
#include "calls/CallWebPage.h"
#include "core/net/TCPserverTestSupport.h"
#include "platform/defaults/Defaults.h"
#include "support/Screenshots.h"
#include "ui/conversation/Conversation.h"
#include "ui/conversation/ConversationServices.h"
#include "ui/conversation/ConversationWindows.h"
#include "ui/system/MessageBoxSheet.h"

#include <QAbstractButton>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMainWindow>
#include <QMessageBox>
#include <QScreen>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// Before Qt WebEngine starts: Chromium's fake camera and microphone (never its fake permission
// prompt: the window's own permission handler is under test), and, as root, no sandbox, which
// Chromium refuses to run as root.
const bool chromiumFlagsSet = [] {
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--use-fake-device-for-media-stream");
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();

class CallWindowTest : public MessagingFixture {
protected:
    void SetUp() override {
        MessagingFixture::SetUp();
        CallWindow::install();
        Call::setPacketSender([this](const PacketArray &p, User *to) { sent.push_back({texts(p), to}); });
        Call::setTerminating(false);
        Defaults::standard().setValue("sounds.enabled", false);
        bob = callable("A000000002", "Bob");
        carol = callable("A000000003", "Carol");
    }
    void TearDown() override {
        for (Call *call : Call::liveCalls()) call->windowClose();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Call::setViewFactory({});
        Call::setPacketSender({});
        Call::setCameraDenied(false);
        Call::setMicrophoneDenied(false);
        MessagingFixture::TearDown();
    }
    static QStringList texts(const PacketArray &a) {
        QStringList out;
        for (const PacketField &f : a) out.append(f.toString());
        return out;
    }
    User *callable(const QString &id, const QString &name) {
        User *u = peer(id, name);
        u->setVersion("5.0.0");
        u->setOSversion("Mac OS X Debian GNU/Linux 12 (bookworm)");
        return u;
    }
    static CallWindow *windowOf(Call *call) { return static_cast<CallWindow *>(call->view()); }
    static bool ready(Call *call) {
        return waitUntil([&] { return call->isReady(); }, 60000);
    }

    // The value of an expression in the page (awaited when it is a promise), as JSON text.
    static QString eval(Call *call, const QString &expression) {
        QString result;
        bool done = false;
        windowOf(call)->page()->runJavaScript("JSON.stringify((function(){ try { return " + expression +
                                                  "; } catch (e) { return 'threw ' + e; } })())",
                                              QWebEngineScript::MainWorld, [&](const QVariant &v) {
                                                  result = v.toString();
                                                  done = true;
                                              });
        waitUntil([&] { return done; }, 10000);
        return result;
    }
    // Polls an expression until it gives the JSON text wanted.
    static bool pageReaches(Call *call, const QString &expression, const QString &wanted,
                            int timeoutMs = 20000) {
        return waitUntil([&] { return eval(call, expression) == wanted; }, timeoutMs);
    }

    // To whom packets of the word went.
    std::vector<User *> sentWord(const QString &word) const {
        std::vector<User *> out;
        for (const auto &[packet, to] : sent)
            if (packet.value(0) == word) out.push_back(to);
        return out;
    }

    User *bob = nullptr;
    User *carol = nullptr;
    std::vector<std::pair<QStringList, User *>> sent;
};

TEST_F(CallWindowTest, ThePageComesUpAndTakesWhatWasQueuedInOrder) {
    Call *call = Call::initCallForUser(bob, nullptr);
    CallWindow *window = windowOf(call);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Bob - Call");
    ASSERT_TRUE(ready(call)) << "the page never reported ready";
    EXPECT_TRUE(call->messagesQueue().isEmpty());
    EXPECT_EQ(eval(call, "me.uid"), "\"A000000001\"");
    EXPECT_EQ(eval(call, "me.name"), "\"Alice\"");
    EXPECT_EQ(eval(call, "names.get('A000000002')"), "\"Bob\"");
    // "add" made the page join with the fake camera and send its offer to Bob through the bridge.
    ASSERT_TRUE(waitUntil([&] { return !sent.empty(); }, 20000));
    const QStringList packet = sent.front().first;
    EXPECT_EQ(packet.value(0), "TRTCACTION");
    EXPECT_EQ(sent.front().second, bob);
    const QJsonObject offer =
        QJsonDocument::fromJson(CallPacket::decodePayload(packet.value(6)).value_or("").toUtf8()).object();
    EXPECT_EQ(offer.value("type").toString(), "offer");
    EXPECT_EQ(offer.value("from").toString(), "A000000001");
    EXPECT_TRUE(offer.value("sdp").toString().startsWith("v=0"));
    EXPECT_EQ(packet.value(7), call->callId() + "\r\n0");
    EXPECT_TRUE(pageReaches(call, "document.getElementById('camera-control').dataset.state", "\"on\""));
    // The minimum width the page measured holds the controls.
    EXPECT_GE(window->minimumWidth(), 300);
    EXPECT_TRUE(window->page()->refused().isEmpty()) << qPrintable(window->page()->refused().join('\n'));
    window->resize(900, 600);
    spinFor(1500);
    Screenshots::save(window, "call-window", "outgoing");
}

TEST_F(CallWindowTest, NothingFromAPeerOrANameRunsInThePage) {
    bob->setName("Bob \"</script><script>window.hit=1</script>\n'});window.hit=2;({'");
    const QString hostile = QStringLiteral(
        R"({"v":1,"type":"offer","from":"A000000002","name":"</script><script>window.hit=3</script>\u2028'\"","session":"abcdef0123","sdp":"v=0\r\n"})");
    Call::aCallReceivedSomeData({"TRTCACTION", "*", "pc", "A000000002", "*", "A000000001",
                                 CallPacket::encodePayload(hostile), "71\r\n0"});
    ASSERT_EQ(Call::liveCalls().size(), 1);
    Call *call = Call::liveCalls().first();
    for (const char *text :
         {"});window.hit=4;({", "{\"a\":1});window.hit=5;({\"b\":2}", "</script><script>window.hit=6"})
        Call::aCallReceivedSomeData({"TRTCACTION", "*", "pc", "A000000002", "*", "A000000001",
                                     CallPacket::encodePayload(QString::fromUtf8(text)), "71\r\n0"});
    call->postToJsMessage("message", "A000000002\bBob\"\n</script>\b'});window.hit=7;({'");
    ASSERT_TRUE(ready(call));
    // The caller's name is shown as the text it is, on the join screen of the incoming call.
    ASSERT_TRUE(pageReaches(call, "document.body.dataset.phase", "\"ringing\""));
    EXPECT_EQ(eval(call, "document.getElementById('join-title').textContent").toStdString(),
              "\"</script><script>window.hit=3</script>\u2028'\\\" is calling.\"");
    EXPECT_EQ(eval(call, "typeof window.hit"), "\"undefined\"");
    EXPECT_EQ(eval(call, "document.querySelectorAll('script').length"), "1");
    EXPECT_TRUE(windowOf(call)->page()->refused().isEmpty())
        << qPrintable(windowOf(call)->page()->refused().join('\n'));
    // The hostile texts that were objects reached the page; the others never did.
    EXPECT_EQ(eval(call, "pendingOffers.size"), "1");
    windowOf(call)->resize(900, 600);
    spinFor(1000);
    Screenshots::save(windowOf(call), "call-window", "incoming");
}

TEST_F(CallWindowTest, ThePageMayNotGoAnywhereElseNorOpenWindows) {
    Call *call = Call::initCallForUser(bob, nullptr);
    ASSERT_TRUE(ready(call));
    CallWebPage *page = windowOf(call)->page();
    const QUrl before = page->url();
    page->runJavaScript("location.href = 'https://198.18.0.9/x';");
    ASSERT_TRUE(waitUntil([&] { return !page->refused().isEmpty(); }, 10000));
    EXPECT_TRUE(page->refused().first().contains("https://198.18.0.9/x"))
        << qPrintable(page->refused().first());
    // Windows are not even asked for.
    EXPECT_EQ(eval(call, "window.open('https://198.18.0.9/', '_blank')"), "null");
    spinFor(500);
    EXPECT_EQ(page->url(), before);
    EXPECT_EQ(eval(call, "me.uid"), "\"A000000001\""); // still the same document
    ASSERT_FALSE(call->isClosed());

    // A page replaced all the same ends the call, with a line in the conversation.
    const QPointer<Call> guard(call);
    page->runJavaScript("location.href = 'about:blank';");
    ASSERT_TRUE(waitUntil([&] { return !guard || guard->isClosed(); }, 10000));
    EXPECT_EQ(sentWord("TRTCACTIONCALLCLOSED"), std::vector<User *>{bob});
    EXPECT_FALSE(bob->lastLogEnties(1).isEmpty());
}

TEST_F(CallWindowTest, OnlyThePagesOriginGetsTheDevicesTheSystemAllows) {
    const QUrl own = CallPage::baseUrl();
    const struct {
        QUrl origin;
        QWebEnginePage::Feature feature;
        bool cameraDenied, microphoneDenied, granted;
    } cases[] = {
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::MediaAudioCapture, false, false, true},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::MediaVideoCapture, false, false, true},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::MediaAudioVideoCapture, false, false,
         true},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::MediaVideoCapture, true, false, false},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::MediaAudioCapture, true, false, true},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::MediaAudioVideoCapture, false, true,
         false},
        {QUrl("https://other.localhost"), QWebEnginePage::MediaAudioCapture, false, false, false},
        {QUrl("http://call.murnavell.localhost"), QWebEnginePage::MediaAudioCapture, false, false, false},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::Geolocation, false, false, false},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::Notifications, false, false, false},
        {QUrl("https://call.murnavell.localhost"), QWebEnginePage::DesktopVideoCapture, false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.origin.toString().toStdString() + " " + std::to_string(int(c.feature)));
        Call::setCameraDenied(c.cameraDenied);
        Call::setMicrophoneDenied(c.microphoneDenied);
        EXPECT_EQ(CallWebPage::grants(c.origin, own, c.feature), c.granted);
    }
}

TEST_F(CallWindowTest, ADeniedCameraIsShownByThePage) {
    Call::setCameraDenied(true);
    Call *call = Call::initCallForUser(bob, nullptr);
    ASSERT_TRUE(ready(call));
    EXPECT_TRUE(pageReaches(call, "document.getElementById('camera-control').dataset.state", "\"denied\""));
    EXPECT_TRUE(pageReaches(call, "document.getElementById('microphone-control').dataset.state", "\"on\""));
}

TEST_F(CallWindowTest, APaletteChangeReachesThePage) {
    Call *call = Call::initCallForUser(bob, nullptr);
    ASSERT_TRUE(ready(call));
    QPalette dark = windowOf(call)->palette();
    dark.setColor(QPalette::Highlight, QColor(10, 20, 30));
    dark.setColor(QPalette::Window, QColor(1, 2, 3));
    windowOf(call)->setPalette(dark);
    EXPECT_TRUE(pageReaches(
        call, "getComputedStyle(document.documentElement).getPropertyValue('--accentColor').trim()",
        "\"rgba(10,20,30,1)\""));
    EXPECT_TRUE(pageReaches(
        call, "getComputedStyle(document.documentElement).getPropertyValue('--windowBackground').trim()",
        "\"rgba(1,2,3,1)\""));
}

TEST_F(CallWindowTest, ClosingWithPeersAsksAndLeavingTellsThem) {
    Defaults::standard().removeObject(MessageBoxSheet::suppressionKey(Call::LeaveCallKind));
    Call *call = Call::initCallForUser(bob, nullptr);
    ASSERT_TRUE(ready(call));
    CallWindow *window = windowOf(call);
    const QPointer<Call> guard(call);
    // The button of the open sheet with the text, pressed.
    const auto press = [](const QString &text) {
        if (MessageBoxSheet::openSheets().isEmpty()) return false;
        for (QAbstractButton *b : MessageBoxSheet::openSheets().first()->alert()->buttons())
            if (b->text() == text) {
                b->click();
                return true;
            }
        return false;
    };
    window->close();
    ASSERT_EQ(MessageBoxSheet::openSheets().size(), 1);
    EXPECT_EQ(MessageBoxSheet::openSheets().first()->kindNumber(), Call::LeaveCallKind);
    EXPECT_EQ(MessageBoxSheet::openSheets().first()->alert()->parentWidget(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(eval(call, "document.body.classList.contains('disabled')"), "true");
    ASSERT_TRUE(press("No"));
    EXPECT_TRUE(pageReaches(call, "document.body.classList.contains('disabled')", "false"));
    EXPECT_TRUE(window->isVisible());

    // The page's own Leave button asks the same way.
    EXPECT_TRUE(sentWord("TRTCACTIONCALLCLOSED").empty());
    window->page()->runJavaScript("document.getElementById('leave-button').click()");
    ASSERT_TRUE(waitUntil([&] { return !MessageBoxSheet::openSheets().isEmpty(); }, 10000));
    ASSERT_TRUE(press("Yes"));
    ASSERT_TRUE(waitUntil([&] { return !guard || guard->isClosed(); }, 5000));
    EXPECT_EQ(sentWord("TRTCACTIONCALLCLOSED"), std::vector<User *>{bob});
}

TEST_F(CallWindowTest, TheConversationGoesBesideTheCallWindow) {
    const struct {
        QRect screen, call;
        int width, minimum;
        QRect callAfter, conversation;
    } cases[] = {
        // Room enough: the conversation keeps its width.
        {{0, 0, 1000, 800}, {100, 50, 400, 600}, 400, 300, {100, 50, 400, 600}, {500, 50, 400, 600}},
        // Less room than its width but more than its minimum: it takes the room.
        {{0, 0, 1000, 800}, {100, 50, 550, 600}, 400, 300, {100, 50, 550, 600}, {650, 50, 350, 600}},
        // Less than its minimum: the call window moves left.
        {{0, 0, 1000, 800}, {300, 50, 600, 600}, 400, 300, {100, 50, 600, 600}, {700, 50, 300, 600}},
        // A screen narrower than both: the call window starts at its left edge and narrows.
        {{0, 0, 800, 800}, {100, 50, 700, 600}, 400, 300, {0, 50, 500, 600}, {500, 50, 300, 600}},
        // A second screen to the right.
        {{1000, 0, 1000, 800}, {1300, 50, 600, 600}, 400, 300, {1100, 50, 600, 600}, {1700, 50, 300, 600}},
    };
    for (const auto &c : cases) {
        const CallWindow::Frames frames = CallWindow::besideFrames(c.screen, c.call, c.width, c.minimum);
        EXPECT_EQ(frames.call, c.callAfter);
        EXPECT_EQ(frames.conversation, c.conversation);
    }
}

TEST_F(CallWindowTest, TheWindowStaysOnItsScreen) {
    const QRect screen(0, 0, 1024, 768), second(1024, 0, 800, 600);
    const struct {
        QRect area, frame, kept;
    } cases[] = {
        {screen, {102, 76, 820, 614}, {102, 76, 820, 614}},   // inside already
        {screen, {420, 200, 820, 614}, {204, 154, 820, 614}}, // past the right and bottom edges
        {screen, {-50, -20, 300, 200}, {0, 0, 300, 200}},     // past the left and top edges
        {screen, {300, 100, 1400, 900}, {0, 0, 1024, 768}},   // larger than the screen
        {second, {1700, 500, 400, 300}, {1424, 300, 400, 300}},
    };
    for (const auto &c : cases) EXPECT_EQ(CallWindow::keptInside(c.area, c.frame), c.kept) << c.frame.x();

    // The window of a call placed past the edge comes back when it shows, and a page asking
    // for more width than the screen has gets the screen's width.
    Call *call = Call::initCallForUser(bob, nullptr);
    CallWindow *window = windowOf(call);
    const QRect area = window->screen()->availableGeometry();
    window->hide();
    window->setGeometry(area.right() - 100, area.bottom() - 100, 400, 300);
    window->showWindow();
    EXPECT_TRUE(area.contains(window->frameGeometry())) << window->frameGeometry().x();
    window->setMinimumContentWidth(area.width() + 500);
    EXPECT_LE(window->minimumWidth(), area.width());
    EXPECT_TRUE(area.contains(window->frameGeometry())) << window->frameGeometry().width();
}

// Invitations come from the invite sheet of the conversation windows; this one chooses at once.
class ChoosingServices : public ConversationServices {
public:
    void inviteUsers(QWidget *window, const QList<User *> &excludedUsers, bool,
                     std::function<void(const QList<User *> &)> done) override {
        parent = window;
        excluded = excludedUsers;
        if (done) done(choose);
    }
    QWidget *parent = nullptr;
    QList<User *> excluded;
    QList<User *> choose;
};

TEST_F(CallWindowTest, TheConversationsCallButtonCallsAndShowConversationPutsItBeside) {
    ConversationWindows::startConversation(bob, false);
    Conversation *conversation = Conversation::fromWindowObject(bob->conversationWindow());
    ASSERT_NE(conversation, nullptr);
    ASSERT_TRUE(conversation->canCall());
    conversation->OpenCall();
    ASSERT_EQ(Call::liveCalls().size(), 1);
    Call *call = Call::liveCalls().first();
    EXPECT_EQ(call->user(), bob);
    conversation->OpenCall(); // the same call, brought forward
    EXPECT_EQ(Call::liveCalls().size(), 1);
    ASSERT_TRUE(ready(call));

    // "Show Conversation" in the page: the conversation stands at the call window's right edge.
    windowOf(call)->page()->runJavaScript("document.getElementById('conversation-button').click()");
    QMainWindow *conversationWindow = conversation->window();
    const auto beside = [&] {
        const QRect c = windowOf(call)->frameGeometry(), v = conversationWindow->frameGeometry();
        return v.left() == c.right() + 1 && v.top() == c.top() && v.height() == c.height();
    };
    ASSERT_TRUE(waitUntil(beside, 10000))
        << conversationWindow->frameGeometry().left() << " " << windowOf(call)->frameGeometry().right();
    // Raising the user's conversation during the call does the same.
    conversationWindow->move(0, 0);
    ConversationWindows::startConversation(bob, false);
    EXPECT_TRUE(waitUntil(beside, 10000));
}

TEST_F(CallWindowTest, InvitedUsersAreCalledAndTheCallBecomesARoom) {
    ChoosingServices services;
    services.choose = {carol};
    ConversationServices::install(&services);
    Call *call = Call::initCallForUser(bob, nullptr);
    ASSERT_TRUE(ready(call));
    windowOf(call)->page()->runJavaScript("document.getElementById('invite-button').click()");
    ASSERT_TRUE(waitUntil([&] { return call->chat() != nullptr; }, 10000));
    ConversationServices::install(nullptr);
    EXPECT_EQ(services.parent, windowOf(call));
    EXPECT_TRUE(services.excluded.contains(bob) && services.excluded.contains(me));
    EXPECT_EQ(call->peers(), (QList<User *>{bob, carol}));
    EXPECT_TRUE(pageReaches(call, "names.get('A000000003')", "\"Carol\""));
    EXPECT_TRUE(pageReaches(call, "document.body.classList.contains('disabled')", "false"));
    EXPECT_EQ(windowOf(call)->windowTitle(), "Bob, Carol - Call");
}

} // namespace

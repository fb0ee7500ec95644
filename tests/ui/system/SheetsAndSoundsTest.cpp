// Confirmation sheets of every kind and the sounds, as the user and the callers meet them.
#include "core/app/AppInterface.h"
#include "core/app/KDTAppDelegate.h"
#include "platform/defaults/Defaults.h"
#include "support/Screenshots.h"
#include "ui/system/MessageBoxSheet.h"
#include "ui/system/PlaySound.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class SheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
        for (int kind = 0; kind < MessageBoxSheet::KindCount; ++kind)
            Defaults::standard().removeObject(MessageBoxSheet::suppressionKey(kind));
        window.resize(480, 360);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    // Asks, recording what ran, in order.
    MessageBoxSheet *ask(int kind, bool withCloseAction = true) {
        return MessageBoxSheet::requestConfirmation(
            kind, &window, [this] { ran << "success"; },
            withCloseAction ? std::function<void()>([this] { ran << "close"; }) : std::function<void()>());
    }
    QAbstractButton *button(MessageBoxSheet *sheet, const char *name) {
        return sheet->alert()->findChild<QAbstractButton *>(QString::fromLatin1(name));
    }
    QMainWindow window;
    QStringList ran;
};

TEST_F(SheetTest, EveryKindAsksItsQuestionWithItsButtons) {
    const struct {
        int kind;
        const char *key;
        const char *message;
        const char *first;
        const char *second;
        bool informative;
    } cases[] = {
        {0, "leaveConversationWithCallConfirmation", "Are you sure you want to leave the conversation?",
         "Yes", "No", true},
        {1, "leaveConversationConfirmation", "Are you sure you want to leave the conversation?", "Yes", "No",
         false},
        {2, "deleteUserConfirmation", "Are you sure you want to remove this user from the list?", "Yes", "No",
         false},
        {3, "deteleGroupConfirmation", "Are you sure you want to delete this group?", "Yes", "No", false},
        {4, "showFileTransferPanelRequest", "Try Drag and Drop Option", "Browse files", "Use drag and drop",
         true},
        {5, "leaveCallConfirmation", "Are you sure you want to leave the call?", "Yes", "No", true},
        {6, "macOS13compatibility", "Incompatibility Issue with macOS 13.0 and 13.1", "OK", nullptr, true},
        {9, "leaveConversationWithCallConfirmation", "Are you sure you want to leave the conversation?",
         "Yes", "No", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(MessageBoxSheet::suppressionKey(c.kind), c.key);
        MessageBoxSheet *sheet = ask(c.kind);
        ASSERT_NE(sheet, nullptr);
        QMessageBox *alert = sheet->alert();
        EXPECT_TRUE(alert->isVisible());
        EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
        EXPECT_EQ(alert->text(), c.message);
        EXPECT_EQ(!alert->informativeText().isEmpty(), c.informative);
        EXPECT_NE(sheet->suppressionButton(), nullptr);
        EXPECT_EQ(button(sheet, "firstButton")->text().remove(u'&'), c.first);
        if (c.second)
            EXPECT_EQ(button(sheet, "secondButton")->text(), c.second);
        else
            EXPECT_EQ(button(sheet, "secondButton"), nullptr);
        if (c.kind <= 6) {
            EXPECT_FALSE(Screenshots::save(alert, "sheet", QStringLiteral("kind-%1").arg(c.kind)).isEmpty());
        }
        QTest::mouseClick(button(sheet, "firstButton"), Qt::LeftButton);
        EXPECT_EQ(ran, (QStringList{"success", "close"}));
        ran.clear();
    }
    EXPECT_TRUE(MessageBoxSheet::openSheets().isEmpty());
    EXPECT_EQ(MessageBoxSheet::kind(5).informative,
              std::string("You will be able to return to it from the \"Conversation\" window."));
}

TEST_F(SheetTest, AnswersRunTheirActionsAndSuppressionIsStoredWhateverTheAnswer) {
    const struct {
        bool first;
        bool suppress;
        bool closeAction;
        QStringList ran;
    } cases[] = {{true, false, true, {"success", "close"}},
                 {false, false, true, {"close"}},
                 {false, true, true, {"close"}},
                 {true, true, false, {"success"}},
                 {false, false, false, {}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << c.suppress << c.closeAction);
        Defaults::standard().removeObject(MessageBoxSheet::suppressionKey(1));
        MessageBoxSheet *sheet = ask(1, c.closeAction);
        ASSERT_NE(sheet, nullptr);
        if (c.suppress) QTest::mouseClick(sheet->suppressionButton(), Qt::LeftButton);
        QTest::mouseClick(button(sheet, c.first ? "firstButton" : "secondButton"), Qt::LeftButton);
        EXPECT_EQ(ran, c.ran);
        EXPECT_EQ(Defaults::standard().boolForKey(MessageBoxSheet::suppressionKey(1)), c.suppress);
        ran.clear();
        // Once suppressed: the success action at once, nothing shown, no close action.
        if (c.suppress) {
            EXPECT_EQ(ask(1), nullptr);
            EXPECT_EQ(ran, QStringList{"success"});
            EXPECT_TRUE(MessageBoxSheet::openSheets().isEmpty());
            ran.clear();
        }
    }
}

TEST_F(SheetTest, EscapeAndAClosedWindowAnswerNo) {
    MessageBoxSheet *sheet = ask(4);
    QTest::keyClick(sheet->alert(), Qt::Key_Escape);
    EXPECT_EQ(ran, QStringList{"close"});
    ran.clear();
    auto *parent = new QMainWindow;
    parent->show();
    MessageBoxSheet::requestConfirmation(
        1, parent, [this] { ran << "success"; }, [this] { ran << "close"; });
    delete parent;
    EXPECT_EQ(ran, QStringList{"close"});
    EXPECT_TRUE(MessageBoxSheet::openSheets().isEmpty());
}

// Records what would have been heard.
class RecordingOutput : public SoundOutput {
public:
    struct RecordedLoop : Loop {
        explicit RecordedLoop(RecordingOutput *out) : out(out) {}
        void stop() override { ++out->stops; }
        RecordingOutput *out;
    };
    void play(const QString &resource) override { played << resource; }
    std::unique_ptr<Loop> start(const QString &resource, bool loop) override {
        started << resource + (loop ? "+loop" : "");
        return std::make_unique<RecordedLoop>(this);
    }
    QStringList played, started;
    int stops = 0;
};

class CallState : public AppInterface {
public:
    bool isCallLive(User *, Chat *) override { return live; }
    bool live = false;
};

TEST(PlaySoundTest, ShortSoundsAreSilentDuringACallButTheRingIsNot) {
    RecordingOutput out;
    CallState calls;
    PlaySound::setOutput(&out);
    AppInterface::install(&calls);
    for (const char *name : {"Message", "Broadcast", "Online", "File"})
        PlaySound::Play(QString::fromLatin1(name));
    PlaySound::Play("NoSuchSound");
    PlaySound::Play("../Message");
    EXPECT_EQ(out.played, (QStringList{":/sounds/Message.wav", ":/sounds/Broadcast.wav",
                                       ":/sounds/Online.wav", ":/sounds/File.wav"}));
    calls.live = true;
    PlaySound::Play("Message");
    EXPECT_EQ(out.played.size(), 4);
    std::unique_ptr<PlaySound> ring = PlaySound::PlayMP3("Call", true);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(out.started, QStringList{":/sounds/Call.wav+loop"});
    EXPECT_TRUE(ring->isPlaying());
    ring->Stop();
    ring->Stop(); // nothing the second time
    EXPECT_EQ(out.stops, 1);
    EXPECT_FALSE(ring->isPlaying());
    { auto once = PlaySound::PlayMP3("Call", false); } // dropping it stops it
    EXPECT_EQ(out.started.last(), ":/sounds/Call.wav");
    EXPECT_EQ(out.stops, 2);
    EXPECT_EQ(PlaySound::PlayMP3("Nothing", true), nullptr);
    AppInterface::install(nullptr);
    PlaySound::setOutput(nullptr);
}

} // namespace

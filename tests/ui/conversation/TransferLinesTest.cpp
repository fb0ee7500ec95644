// Transfers in a conversation: each shows as its view in the log, follows its transfer live, steps
// down in size when the window narrows, and goes when the conversation is cleared. Screenshots of
// a transfer waiting for Accept, in progress and completed.
#include "ConversationFixture.h"

#include "support/EventLoopWait.h"
#include "support/Screenshots.h"
#include "transfer/FileTransfer.h"
#include "transfer/FileTransferView.h"
#include "ui/conversation/TextViewForReading.h"

#include <QFrame>
#include <QLabel>

namespace {

class TransferLinesTest : public ConversationFixture {
protected:
    void SetUp() override {
        ConversationFixture::SetUp();
        Defaults::standard().setValue(QStringLiteral("fileTransferAutoAccept"), false);
    }
    void TearDown() override {
        Defaults::standard().removeObject(QStringLiteral("fileTransferAutoAccept"));
        ConversationFixture::TearDown();
    }
    // A stored incoming transfer from the user, in its waiting state, without a connection.
    FileTransfer *incomingTransfer(User *from, qint64 files, qint64 size) {
        tick();
        auto *t = context()->insert<FileTransfer>();
        t->setIncoming(true);
        t->setOriginalSenderName(from->name());
        t->setFilesNumber(files);
        t->setFilesTotalSize(size);
        t->setTransferState(FileTransfer::WaitingForAnswer);
        t->addUserObject(from);
        return t;
    }
    static QList<FileTransferView *> views(Conversation *c) {
        return c->conversationTextView()->document()->findChildren<FileTransferView *>();
    }
};

TEST_F(TransferLinesTest, TransferShowsAsItsViewAndFollowsItLive) {
    User *bob = peer("Bob Marsh");
    message(bob, "Here are the plans for Thursday.");
    FileTransfer *t = incomingTransfer(bob, 3, 4200000);
    Conversation *window = open(bob);
    ASSERT_TRUE(window);
    window->window()->resize(640, 460);
    window->window()->show();
    ASSERT_EQ(views(window).size(), 1);
    FileTransferView *view = views(window).first();
    EXPECT_EQ(view->transfer(), t);
    ASSERT_TRUE(waitUntil([&] { return view->view()->isVisible(); }));
    EXPECT_EQ(view->view()->parentWidget(), window->conversationTextView()->viewport());
    EXPECT_EQ(view->topString(), "3 incoming files");
    EXPECT_EQ(view->allowString(), "Accept");
    EXPECT_FALSE(window->logText().contains("(null)"));
    spinFor(200);
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "transfer-waiting").isEmpty());

    // In progress: the same view follows the transfer.
    t->setTransferState(FileTransfer::Transferring);
    t->setFilesTransferred(1);
    t->setBytesReceived(1700000);
    EXPECT_EQ(view->topString(), "Receiving 3 files; 2 left");
    EXPECT_TRUE(view->leftString().endsWith(" left..."));
    EXPECT_EQ(view->allowString(), QString());
    EXPECT_EQ(view->cancelString(), "Cancel");
    spinFor(200);
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "transfer-in-progress").isEmpty());

    t->setFilesTransferred(3);
    t->setBytesReceived(4200000);
    t->setFolderPath(QUrl::fromLocalFile("/tmp/Bob Marsh - March 2, 2026"));
    t->setTransferState(FileTransfer::Complete);
    EXPECT_EQ(view->topString(), "3 files received");
    EXPECT_EQ(view->leftString(), "Complete");
    EXPECT_EQ(view->cancelString(), "Open folder");
    message(bob, "Got them?");
    post(bob);
    spinFor(200);
    EXPECT_EQ(views(window).size(), 1) << "a new line does not make the view again";
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "transfer-completed").isEmpty());

    // A narrow window steps the view down; clearing the conversation removes it.
    Defaults::standard().setValue(QStringLiteral("fontSize"), 24);
    EXPECT_EQ(view->fontSize(), 21);
    window->window()->resize(330, 460);
    EXPECT_TRUE(waitUntil([&] { return view->fontSize() == 10; })) << view->fontSize();
    spinFor(200);
    EXPECT_FALSE(Screenshots::save(window->window(), "conversation", "transfer-narrow").isEmpty());
    QPointer<FileTransferView> gone = view;
    window->clearConversation();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(gone.isNull());
}

// Shown with auto-accept on, an incoming transfer waiting for its answer is accepted at once (no
// connection here, so it ends as failed rather than waiting for ever).
TEST_F(TransferLinesTest, AutoAcceptActsWhenTheLineIsShown) {
    Defaults::standard().setValue(QStringLiteral("fileTransferAutoAccept"), true);
    User *bob = peer("Bob Marsh");
    FileTransfer *t = incomingTransfer(bob, 1, 10);
    Conversation *window = open(bob);
    ASSERT_TRUE(window);
    ASSERT_EQ(views(window).size(), 1);
    EXPECT_NE(t->transferState(), FileTransfer::WaitingForAnswer);
}

} // namespace

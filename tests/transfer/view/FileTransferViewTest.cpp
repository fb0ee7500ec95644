// The transfer view: its strings in every state, its clicks on real transfers between two file
// servers on loopback ports (both sides shown in text views), its sizes, and its place in the text.
#include "transfer/TransferTestSupport.h"
#include "transfer/ByteCountFormatter.h"
#include "transfer/FileTransferView.h"
#include "ui/conversation/TextViewForReading.h"

#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

// Receives the URLs the desktop would open.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

QString sizeText(qint64 bytes) { return FILEserver::byteCountFormatter().stringFromByteCount(bytes); }

class FileTransferViewTest : public TransferFixture {
protected:
    void SetUp() override {
        TransferFixture::SetUp();
        Defaults::standard().setValue(QStringLiteral("fontSize"), 18);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
        for (auto *log : {&sendLog, &receiveLog}) {
            *log = std::make_unique<TextViewForReading>();
            (*log)->resize(520, 360);
            (*log)->show();
        }
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        sendLog.reset();
        receiveLog.reset();
        for (const char *key : {"fontSize", "fileTransferAutoAccept"})
            Defaults::standard().removeObject(QString::fromLatin1(key));
        TransferFixture::TearDown();
    }
    // The transfer put on a line of its own at the end of the log, laid out at once.
    static FileTransferView *insert(TextViewForReading *log, FileTransfer *t) {
        QTextCursor cursor(log->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock();
        cursor.insertText(QStringLiteral("Alice"));
        cursor.insertBlock();
        FileTransferView *view = FileTransferView::insert(cursor, t, QTextCharFormat());
        (void)log->document()->documentLayout()->documentSize();
        return view;
    }
    // The same, once the view shows over the log.
    static FileTransferView *show(TextViewForReading *log, FileTransfer *t) {
        FileTransferView *view = insert(log, t);
        EXPECT_TRUE(view);
        // The view joins the log when its line is first drawn, so its line is brought into view.
        log->scrollToEnd();
        EXPECT_TRUE(waitUntil([&] { return view->view()->isVisible(); }, 5000)) << "the view never joined the log";
        return view;
    }
    FileTransfer *send(const QStringList &paths) {
        const qsizetype before = ctx->fetch<FileTransfer>().size();
        if (!sender->outgoingFiles(paths, bob)) return nullptr;
        const QList<FileTransfer *> all = ctx->fetch<FileTransfer>();
        return all.size() > before ? all.last() : nullptr;
    }
    // Starts the servers; each incoming transfer is shown in the receiving log as it arrives,
    // and `onShown` sees its view first.
    void startShowing() {
        startServers([this](FileTransfer *t) {
            inView = insert(receiveLog.get(), t);
            if (onShown) onShown(inView);
        });
    }
    static void click(FileTransferView *view, const char *field) {
        // Where the field is, whether or not it shows: the view gets the click when it is hidden.
        auto *label = view->view()->findChild<QLabel *>(QString::fromLatin1(field));
        ASSERT_TRUE(label);
        if (label->isVisible())
            QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
        else
            QTest::mouseClick(view->view(), Qt::LeftButton, {}, label->geometry().center());
    }
    static QString shown(FileTransferView *view, const char *field) {
        auto *label = view->view()->findChild<QLabel *>(QString::fromLatin1(field));
        return label && label->isVisible() ? label->text() : QString();
    }

    OpenedUrls opened;
    std::unique_ptr<TextViewForReading> sendLog, receiveLog;
    QPointer<FileTransferView> inView;
    std::function<void(FileTransferView *)> onShown;
};

// Every state, both directions, on stored transfers without a connection.
TEST_F(FileTransferViewTest, StringsOfEveryState) {
    Defaults::standard().setValue(QStringLiteral("fileTransferAutoAccept"), false);
    const QString size = sizeText(1500), rest = sizeText(1500 - 600);
    struct Row {
        qint64 state;
        bool incoming;
        QString top, left, allow, cancel;
    };
    const Row rows[] = {
        {0, true, "1 file received", "Canceled", {}, {}},
        {0, false, "1 file sent", "Canceled", {}, {}},
        {1, true, "Receiving 2 files; 1 left", rest + " left...", {}, "Cancel"},
        {1, false, "Sending 2 files; 1 left", rest + " left...", {}, "Cancel"},
        {2, true, "Response not given on time", "Timed out", {}, {}},
        {2, false, "Response not received on time", "Timed out", {}, {}},
        {3, true, "Recipient has no rights to accept files", "Failed", {}, {}},
        {3, false, "Recipient has no rights to accept files", "Failed", {}, {}},
        {4, true, "No access to selected folder", "Failed", {}, {}},
        {4, false, "Recipient has no access to selected folder", "Failed", {}, {}},
        {5, true, "2 incoming files", "(" + size + ")", "Accept", "Cancel"},
        {5, false, "Ready to send 2 files (" + size + ")", "Waiting...", {}, "Cancel"},
        {6, true, "1 file received", "Complete", {}, "Open folder"},
        {6, false, "1 file sent", "Complete", {}, {}},
        {7, true, "1 file received", "Failed", {}, {}},
        {7, false, "1 file sent", "Failed", {}, {}},
        {99, true, {}, {}, {}, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "state " << row.state << (row.incoming ? " incoming" : " outgoing"));
        auto *t = ctx->insert<FileTransfer>();
        t->setIncoming(row.incoming);
        t->setFilesNumber(2);
        t->setFilesTransferred(1);
        t->setFilesTotalSize(1500);
        t->setBytesReceived(600);
        t->setTransferState(row.state);
        FileTransferView *view = show(sendLog.get(), t);
        EXPECT_EQ(view->topString(), row.top);
        EXPECT_EQ(view->leftString(), row.left);
        EXPECT_EQ(view->allowString(), row.allow);
        EXPECT_EQ(view->cancelString(), row.cancel);
        EXPECT_EQ(view->allowString().isNull(), row.allow.isNull());
        EXPECT_EQ(view->cancelString().isNull(), row.cancel.isNull());
        EXPECT_EQ(shown(view, "Allow"), row.allow);
        EXPECT_EQ(shown(view, "Cancel"), row.cancel);
        EXPECT_EQ(view->view()->findChild<QProgressBar *>("progress")->isVisible(), row.state == 1);
        for (const QString &s : {view->topString(), view->leftString()}) EXPECT_FALSE(s.contains("(null)"));
    }
}

// Accept by hand: the words on both sides as the transfer waits, runs and ends; hidden words do
// nothing; Open folder opens the transfer's own folder, and only on the receiving side.
TEST_F(FileTransferViewTest, WaitingTransferAcceptedByHandEndsWithOpenFolder) {
    Defaults::standard().setValue(QStringLiteral("fileTransferAutoAccept"), false);
    const QByteArray data = randomBytes(3000, 7);
    ASSERT_TRUE(writeFile(sourceRoot() + "/plan.txt", data));
    startShowing();
    FileTransfer *out = send({sourceRoot() + "/plan.txt"});
    ASSERT_TRUE(out);
    FileTransferView *outView = show(sendLog.get(), out);
    ASSERT_TRUE(waitUntil([&] { return !inView.isNull(); }, 10000));
    spinFor(200);

    EXPECT_EQ(inView->topString(), "1 incoming file");
    EXPECT_EQ(inView->leftString(), "(" + sizeText(3000) + ")");
    EXPECT_EQ(shown(inView, "Allow"), "Accept");
    EXPECT_EQ(shown(inView, "Cancel"), "Cancel");
    EXPECT_EQ(outView->topString(), "Ready to send 1 file (" + sizeText(3000) + ")");
    EXPECT_EQ(outView->leftString(), "Waiting...");
    EXPECT_EQ(shown(outView, "Allow"), QString());
    EXPECT_EQ(inView->transfer()->transferState(), FileTransfer::WaitingForAnswer);

    // The sender has no Accept: a click where it would be does nothing.
    click(outView, "Allow");
    spinFor(200);
    EXPECT_EQ(out->transferState(), FileTransfer::WaitingForAnswer);
    EXPECT_EQ(incoming->transferState(), FileTransfer::WaitingForAnswer);

    // Accepted from the keyboard: the word takes the focus and Return acts on it.
    auto *accept = inView->view()->findChild<QLabel *>("Allow");
    EXPECT_EQ(accept->focusPolicy(), Qt::TabFocus);
    accept->setFocus();
    QTest::keyClick(accept, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return ended(out) && ended(incoming); }, 20000));
    EXPECT_EQ(incoming->transferState(), FileTransfer::Complete);
    EXPECT_EQ(out->transferState(), FileTransfer::Complete);
    EXPECT_EQ(inView->topString(), "1 file received");
    EXPECT_EQ(inView->leftString(), "Complete");
    EXPECT_EQ(shown(inView, "Allow"), QString());
    EXPECT_EQ(shown(inView, "Cancel"), "Open folder");
    EXPECT_EQ(outView->topString(), "1 file sent");
    EXPECT_EQ(outView->leftString(), "Complete");
    EXPECT_EQ(shown(outView, "Cancel"), QString());

    // Clicks on the hidden words of a finished transfer change nothing and open nothing.
    click(inView, "Allow");
    click(outView, "Cancel");
    spinFor(100);
    EXPECT_TRUE(opened.urls.isEmpty());
    EXPECT_EQ(incoming->transferState(), FileTransfer::Complete);
    EXPECT_EQ(out->transferState(), FileTransfer::Complete);

    click(inView, "Cancel");
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls.first(), incoming->folderPath());
    EXPECT_EQ(readFile(opened.urls.first().toLocalFile() + "/plan.txt"), data);
    EXPECT_EQ(incoming->transferState(), FileTransfer::Complete);
}

// With "fileTransferAutoAccept" on the receiving view starts the transfer as it is first shown:
// one file and a folder of several; progress reaches the views without laying out the text again.
TEST_F(FileTransferViewTest, AutoAcceptStartsOnFirstShowForOneFileAndSeveral) {
    struct Case {
        const char *name;
        QStringList files; // below the source folder
        QString sent;      // what is dropped, below the source folder
        QString top;
    };
    const Case cases[] = {
        {"one file", {"one.bin"}, "one.bin", "1 file received"},
        {"a folder of three", {"Docs/a.bin", "Docs/b.bin", "Docs/sub/c.bin"}, "Docs", "3 files received"},
    };
    startShowing();
    int seed = 20;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        incoming.clear();
        inView.clear();
        qint64 total = 0;
        for (const QString &f : c.files) {
            const QByteArray data = randomBytes(1500000, quint32(++seed));
            total += data.size();
            ASSERT_TRUE(writeFile(sourceRoot() + "/" + f, data));
        }
        FileTransfer *out = send({sourceRoot() + "/" + c.sent});
        ASSERT_TRUE(out);
        // What the receiving side says along the way from its first showing, and how often its
        // text is laid out again after that.
        QStringList tops, lefts;
        std::unique_ptr<QSignalSpy> relaid;
        onShown = [&](FileTransferView *view) {
            relaid = std::make_unique<QSignalSpy>(receiveLog->document()->documentLayout(),
                                                  &QAbstractTextDocumentLayout::update);
            auto record = [&tops, &lefts, view] {
                if (!tops.contains(view->topString())) tops.append(view->topString());
                if (!lefts.contains(view->leftString())) lefts.append(view->leftString());
            };
            record();
            QObject::connect(view->transfer(), &ManagedObject::attributeChanged, view,
                             [record](const QString &, const QVariant &) { record(); });
        };
        FileTransferView *outView = show(sendLog.get(), out);
        ASSERT_TRUE(waitUntil([&] { return ended(out) && ended(incoming); }, 30000));
        spinFor(100);
        EXPECT_EQ(incoming->transferState(), FileTransfer::Complete);
        EXPECT_EQ(incoming->filesTransferred(), c.files.size());
        EXPECT_EQ(incoming->filesTotalSize(), total);
        EXPECT_EQ(inView->topString(), c.top);
        EXPECT_EQ(shown(inView, "Cancel"), "Open folder");
        EXPECT_EQ(outView->topString(), QString(c.top).replace("received", "sent"));
        const qint64 n = c.files.size();
        EXPECT_TRUE(tops.contains(QStringLiteral("Receiving %1 %2; %1 left").arg(n).arg(n < 2 ? "file" : "files")))
            << tops.join(" | ").toStdString();
        bool progressShown = false;
        for (const QString &l : lefts) progressShown |= l.endsWith(" left...");
        EXPECT_TRUE(progressShown) << lefts.join(" | ").toStdString();
        ASSERT_TRUE(relaid);
        EXPECT_EQ(relaid->count(), 0) << "progress laid the text out again";
    }
}

// Cancel on either side, while waiting and mid-way: the side that cancels shows "Canceled", the
// other the state its dialogue ends in.
TEST_F(FileTransferViewTest, CancelOnEitherSideWhileWaitingAndMidway) {
    struct Case {
        const char *name;
        bool bySender;
        bool midway;
        qint64 senderEnd, receiverEnd;
        const char *senderLeft, *receiverLeft;
    };
    const Case cases[] = {
        {"receiver while waiting", false, false, FileTransfer::Canceled, FileTransfer::Canceled, "Canceled", "Canceled"},
        {"sender while waiting", true, false, FileTransfer::Canceled, FileTransfer::Canceled, "Canceled", "Canceled"},
        {"receiver mid-way", false, true, FileTransfer::Failed, FileTransfer::Canceled, "Failed", "Canceled"},
        {"sender mid-way", true, true, FileTransfer::Canceled, FileTransfer::Failed, "Canceled", "Failed"},
    };
    Defaults::standard().setValue(QStringLiteral("fileTransferAutoAccept"), false);
    // Larger than the kernel's buffers on loopback can hold (up to 32 MB for receiving), so a
    // sender's cancel at the first progress always leaves part of the file unsent.
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", randomBytes(64 * 1024 * 1024, 3)));
    startShowing();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        incoming.clear();
        inView.clear();
        FileTransfer *out = send({sourceRoot() + "/big.bin"});
        ASSERT_TRUE(out);
        QPointer<FileTransferView> outView = show(sendLog.get(), out);
        ASSERT_TRUE(waitUntil([&] { return inView && inView->view()->isVisible(); }, 10000));
        spinFor(100);
        ASSERT_EQ(out->transferState(), FileTransfer::WaitingForAnswer);
        FileTransferView *canceller = c.bySender ? outView.data() : inView.data();
        if (c.midway) {
            // At the first progress of the receiving side (the sender may have handed much of the
            // file to the kernel by then, but not all of it), the user clicks Cancel.
            bool armed = true;
            QObject::connect(incoming.data(), &ManagedObject::attributeChanged, canceller,
                             [&armed, canceller](const QString &key, const QVariant &) {
                                 if (key != QLatin1String("bytesReceived") || !armed) return;
                                 armed = false;
                                 // Posted behind what the transfer has queued so far, ahead of
                                 // its next chunk: the click comes while the transfer runs.
                                 QMetaObject::invokeMethod(
                                     canceller, [canceller] { click(canceller, "Cancel"); }, Qt::QueuedConnection);
                             });
            click(inView, "Allow");
        } else {
            click(canceller, "Cancel");
        }
        ASSERT_TRUE(waitUntil([&] { return ended(out) && ended(incoming); }, 30000));
        EXPECT_EQ(out->transferState(), c.senderEnd);
        EXPECT_EQ(incoming->transferState(), c.receiverEnd);
        EXPECT_EQ(outView->leftString(), c.senderLeft);
        EXPECT_EQ(inView->leftString(), c.receiverLeft);
        EXPECT_EQ(shown(outView, "Cancel"), QString());
        EXPECT_EQ(shown(inView, "Cancel"), QString());
        EXPECT_EQ(shown(inView, "Allow"), QString());
        if (c.midway) {
            EXPECT_LT(incoming->filesTransferred(), 1);
        }
    }
}

// The size steps with the text size and the text's width, and the view sits on its character.
TEST_F(FileTransferViewTest, SizeFollowsTextSizeAndWidth) {
    struct Case {
        int fontSize, textWidth;
        qint64 level;
        QSize size;
    };
    const Case cases[] = {
        {24, 600, 21, {400, 80}}, {24, 430, 15, {300, 55}}, {24, 330, 10, {250, 45}}, {24, 270, 10, {210, 45}},
        {18, 600, 15, {300, 55}}, {18, 330, 10, {250, 45}}, {13, 600, 10, {250, 45}}, {13, 270, 10, {210, 45}},
    };
    auto *t = ctx->insert<FileTransfer>();
    t->setFilesNumber(1);
    t->setTransferState(FileTransfer::Complete);
    FileTransferView *view = show(sendLog.get(), t);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "text size " << c.fontSize << ", width " << c.textWidth);
        Defaults::standard().setValue(QStringLiteral("fontSize"), c.fontSize);
        sendLog->resize(c.textWidth + sendLog->width() - sendLog->viewport()->width(), 360);
        ASSERT_TRUE(waitUntil([&] { return sendLog->document()->textWidth() == c.textWidth; }, 3000));
        EXPECT_EQ(view->fontSize(), c.level);
        EXPECT_EQ(view->viewSize(), c.size);
        // Laid out at the new size, the view sits where the text has its character.
        EXPECT_TRUE(waitUntil([&] { return view->view()->size() == c.size; }, 3000));
        QTextCursor at(sendLog->document());
        at.movePosition(QTextCursor::End);
        at.movePosition(QTextCursor::PreviousCharacter);
        const QRect place = sendLog->cursorRect(at);
        EXPECT_TRUE(waitUntil([&] { return view->view()->pos().x() == place.x(); }, 3000))
            << view->view()->pos().x() << " vs " << place.x();
        EXPECT_NEAR(view->view()->geometry().bottom(), place.bottom(), 6);
    }
}

// The view leaves with its character.
TEST_F(FileTransferViewTest, ClearingTheTextRemovesTheView) {
    auto *t = ctx->insert<FileTransfer>();
    t->setTransferState(FileTransfer::Complete);
    QPointer<FileTransferView> view = show(sendLog.get(), t);
    QPointer<QFrame> frame = view->view();
    ASSERT_EQ(FileTransferView::at(sendLog->document(), sendLog->document()->characterCount() - 2), view.data());
    sendLog->clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(view.isNull());
    EXPECT_TRUE(frame.isNull());
}

} // namespace

#include "FileTransferViewTest.moc"

// The history window as a user works it: the list of users and rooms, a history read newest
// first a page at a time, new lines at the top, transfers once finished, finding, saving the
// text form and printing to PDF.
#include "conversation/ConversationFixture.h"
#include "support/Screenshots.h"

#include "transfer/FileTransfer.h"
#include "ui/history/DockIcon.h"
#include "ui/history/HistoryViewer.h"
#include "ui/history/PrintingTextView.h"
#include "ui/main/MainInterface.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <ctime>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace {

class HistoryViewerTest : public ConversationFixture {
protected:
    void SetUp() override {
        qputenv("TZ", "UTC");
        tzset();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
        ConversationFixture::SetUp();
        ann = peer("Ann Lee");
        bob = peer("bob");
        cyd = peer("Cyd");
    }
    void TearDown() override {
        for (HistoryViewer *v : HistoryViewer::all()) delete v;
        ConversationFixture::TearDown();
        QLocale::setDefault(QLocale::system());
    }
    HistoryViewer *open(ManagedObject *item = nullptr) {
        HistoryViewer *viewer = HistoryViewer::initAndShow(item);
        viewer->window()->resize(760, 520);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(viewer->window()));
        settle();
        return viewer;
    }
    // Runs what was queued (pages, list rebuilds) until nothing more is.
    static void settle() {
        for (int i = 0; i < 50; ++i) QCoreApplication::processEvents();
    }
    static QStringList rows(HistoryViewer *viewer) {
        QStringList out;
        for (const ListItem &row : viewer->leftList()) out << row.displayName();
        return out;
    }
    static void choose(HistoryViewer *viewer, const QString &name) {
        QListWidget *list = viewer->userListTableView();
        const QList<QListWidgetItem *> found = list->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.first()).center());
    }
    // Chosen from the keyboard: nothing queued runs in between.
    static void chooseRow(HistoryViewer *viewer, const QString &name) {
        QListWidget *list = viewer->userListTableView();
        const QList<QListWidgetItem *> found = list->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        list->setCurrentItem(found.first());
    }
    static QString shown(HistoryViewer *viewer) { return viewer->textView()->toPlainText(); }
    // The entries as shown, top to bottom, their lines joined by "|": runs of paragraphs of one
    // shade (neighbouring entries never share one).
    static QStringList blocks(HistoryViewer *viewer) {
        QStringList out;
        QColor previous;
        for (QTextBlock b = viewer->textView()->document()->begin(); b.isValid(); b = b.next()) {
            const QColor shade = b.blockFormat().background().color();
            if (out.isEmpty() || shade != previous)
                out << b.text();
            else
                out.last() += u'|' + b.text();
            previous = shade;
        }
        return out;
    }
    FileTransfer *transfer(User *u, qint64 files, qint64 size, FileTransfer::State state,
                           bool incoming = true) {
        tick();
        auto *t = context()->insert<FileTransfer>();
        t->setIncoming(incoming);
        t->addUserObject(u);
        t->setFilesNumber(files);
        t->setFilesTotalSize(size);
        t->setTransferState(state);
        if (incoming) t->setFolderPath(QUrl::fromLocalFile("/home/me/Downloads/Ann Lee 2026-03-02"));
        return t;
    }
    // A history of each kind of entry.
    void annHistory() {
        message(ann, "Hello, are you there?");
        message(ann, "Yes.\nTwo lines.", false);
        message(ann, "Everyone: cake in the kitchen")->setMass(true);
        tick();
        SystemMessage::addText("Ann Lee is now offline.", ann, false);
        transfer(ann, 2, 2048, FileTransfer::Complete);
        transfer(ann, 1, 10, FileTransfer::Failed);
        transfer(ann, 1, 300, FileTransfer::Complete, false);
        message(ann, "Thanks!");
    }

    User *ann = nullptr, *bob = nullptr, *cyd = nullptr;
};

TEST_F(HistoryViewerTest, ListsUsersThenRoomsWithMessagesAndKeepsTheChosenRowAcrossRebuilds) {
    Chat *old = context()->insert<Chat>();
    old->setRoomId(11);
    message(ann, "in the old room", true, old)->setTime(now.addDays(-3));
    Chat *today = context()->insert<Chat>();
    today->setRoomId(12);
    message(bob, "in today's room", true, today);
    Chat *silent = context()->insert<Chat>();
    silent->setRoomId(13);
    message(ann, "to Ann");

    HistoryViewer *plain = open();
    // Users by name whatever the case, then rooms oldest first: today's under its time only.
    EXPECT_EQ(rows(plain), QStringList({"Ann Lee", "bob", "Cyd", "Me Myself", "27 Feb 2026 10:00", "10:00"}));
    EXPECT_EQ(plain->selectedItem(), nullptr);
    EXPECT_TRUE(shown(plain).isEmpty());
    EXPECT_FALSE(plain->window()->findChild<QAction *>("actionSave")->isEnabled());

    HistoryViewer *fromRoom = open(today);
    EXPECT_EQ(fromRoom->selectedItem(), today);
    EXPECT_EQ(fromRoom->userListTableView()->currentRow(), 5);
    EXPECT_TRUE(shown(fromRoom).contains("in today's room"));

    // The user chooses Ann; a new user, a renamed one and a room's first line rebuild the list,
    // and Ann stays chosen without her history being read again.
    choose(fromRoom, "Ann Lee");
    settle();
    EXPECT_EQ(fromRoom->selectedItem(), ann);
    const QStringList before = blocks(fromRoom);
    peer("Aaron");
    bob->setName("Bobby");
    message(cyd, "first words here", true, silent);
    post(silent);
    settle();
    EXPECT_EQ(rows(fromRoom), QStringList({"Aaron", "Ann Lee", "Bobby", "Cyd", "Me Myself",
                                           "27 Feb 2026 10:00", "10:00", "10:00"}));
    EXPECT_EQ(fromRoom->selectedItem(), ann);
    EXPECT_EQ(fromRoom->userListTableView()->currentItem()->text(), "Ann Lee");
    EXPECT_EQ(blocks(fromRoom), before);
    EXPECT_FALSE(shown(fromRoom).contains(QString::fromUtf8("loading…")));
    EXPECT_EQ(fromRoom->logItemsDisplayed(), 1);
}

TEST_F(HistoryViewerTest, ReadsNewestFirstInPagesAsTheUserScrollsAndPutsNewLinesOnTop) {
    const int total = 2 * HistoryViewer::PageSize + 20;
    for (int i = 1; i <= total; ++i) message(ann, QStringLiteral("line %1").arg(i));
    HistoryViewer *viewer = open(ann);
    EXPECT_EQ(viewer->logItemsDisplayed(), HistoryViewer::PageSize);
    EXPECT_FALSE(viewer->reachedEnd());
    QStringList shownBlocks = blocks(viewer);
    EXPECT_TRUE(shownBlocks.first().endsWith(QStringLiteral("|line %1").arg(total)));
    EXPECT_TRUE(
        shownBlocks.last().endsWith(QStringLiteral("|line %1").arg(total - HistoryViewer::PageSize + 1)));

    // Scrolling down reads the older pages, one at a time.
    QScrollBar *bar = viewer->textView()->verticalScrollBar();
    for (int step = 0; step < 10 && !viewer->reachedEnd(); ++step) {
        bar->setValue(bar->maximum());
        settle();
    }
    EXPECT_TRUE(viewer->reachedEnd());
    EXPECT_EQ(viewer->logItemsDisplayed(), total);
    shownBlocks = blocks(viewer);
    ASSERT_EQ(shownBlocks.size(), total);
    for (int i = 0; i < total; ++i)
        EXPECT_TRUE(shownBlocks[i].endsWith(QStringLiteral("|line %1").arg(total - i)));

    // A new line goes on top, the text below stays as it was.
    const QStringList previous = blocks(viewer);
    bar->setValue(bar->maximum() / 2);
    message(ann, "brand new", false);
    post(ann);
    EXPECT_EQ(viewer->logItemsDisplayed(), total + 1);
    EXPECT_EQ(blocks(viewer).first(), "2 Mar 2026 10:02 (Outgoing) Me Myself:|brand new");
    EXPECT_EQ(blocks(viewer).mid(1), previous);
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(HistoryViewerTest, APageNeverLandsUnderTheWrongRow) {
    for (int i = 0; i < 5; ++i) message(ann, QStringLiteral("from Ann %1").arg(i));
    for (int i = 0; i < 3; ++i) message(bob, QStringLiteral("from bob %1").arg(i));
    HistoryViewer *viewer = open();
    // Ann's first page is asked for; bob is chosen before it arrives.
    chooseRow(viewer, "Ann Lee");
    EXPECT_EQ(shown(viewer), QString::fromUtf8("loading…"));
    chooseRow(viewer, "bob");
    EXPECT_EQ(shown(viewer), QString::fromUtf8("loading…"));
    settle();
    EXPECT_EQ(viewer->selectedItem(), bob);
    EXPECT_EQ(viewer->logItemsDisplayed(), 3);
    EXPECT_FALSE(shown(viewer).contains("from Ann"));
    EXPECT_EQ(shown(viewer).count("from bob"), 3);
    EXPECT_EQ(viewer->textView()->printJobName(), "bob");
}

TEST_F(HistoryViewerTest, TransfersShowOnceCompleteWithAFolderLink) {
    FileTransfer *done = transfer(ann, 1, 512, FileTransfer::Complete);
    FileTransfer *running = transfer(ann, 2, 4096, FileTransfer::Transferring);
    FileTransfer *failing = transfer(ann, 3, 10, FileTransfer::WaitingForAnswer);
    message(ann, "after the transfers");
    HistoryViewer *viewer = open(ann);
    EXPECT_EQ(viewer->logItemsDisplayed(), 2);
    EXPECT_EQ(blocks(viewer).size(), 2);
    EXPECT_TRUE(blocks(viewer).at(1).contains("|1 file ("));

    // The running one, once complete, takes its place between the two; the other fails.
    failing->setTransferState(FileTransfer::Failed);
    running->setTransferState(FileTransfer::Complete);
    EXPECT_EQ(viewer->logItemsDisplayed(), 3);
    const QStringList now = blocks(viewer);
    ASSERT_EQ(now.size(), 3);
    EXPECT_TRUE(now.at(0).endsWith("|after the transfers"));
    EXPECT_TRUE(now.at(1).contains("(Incoming) Ann Lee:|2 files ("));
    EXPECT_TRUE(now.at(1).endsWith("|Open Folder"));
    EXPECT_TRUE(now.at(2).contains("|1 file ("));
    (void)done;

    // The link is the folder's file URL.
    QTextDocument *document = viewer->textView()->document();
    const QTextCursor link = document->find("Open Folder");
    ASSERT_FALSE(link.isNull());
    const QUrl target(link.charFormat().anchorHref());
    EXPECT_TRUE(target.isLocalFile());
    EXPECT_EQ(target.toLocalFile(), "/home/me/Downloads/Ann Lee 2026-03-02");
}

TEST_F(HistoryViewerTest, FindReadsOlderPagesAndStartsOverAtTheTop) {
    message(ann, "the needle is here, oldest");
    for (int i = 0; i < 3 * HistoryViewer::PageSize; ++i) message(ann, QStringLiteral("hay %1").arg(i));
    message(ann, "another NEEDLE on top");
    HistoryViewer *viewer = open(ann);
    ASSERT_EQ(viewer->logItemsDisplayed(), HistoryViewer::PageSize);

    // Typed into the field: found incrementally, case aside, from the top.
    viewer->searchField()->setFocus();
    QTest::keyClicks(viewer->searchField(), "needle");
    EXPECT_EQ(viewer->textView()->textCursor().selectedText(), "NEEDLE");
    EXPECT_LT(viewer->textView()->textCursor().position(), 100);
    // Return: the next one is in a page not read yet.
    QTest::keyClick(viewer->searchField(), Qt::Key_Return);
    EXPECT_EQ(viewer->textView()->textCursor().selectedText(), "needle");
    EXPECT_TRUE(viewer->reachedEnd());
    EXPECT_TRUE(viewer->textView()->textCursor().block().text().contains("oldest"));
    // Once more starts over at the top; Shift+Return goes back.
    QTest::keyClick(viewer->searchField(), Qt::Key_Return);
    EXPECT_EQ(viewer->textView()->textCursor().selectedText(), "NEEDLE");
    QTest::keyClick(viewer->searchField(), Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(viewer->textView()->textCursor().selectedText(), "needle");
    EXPECT_FALSE(viewer->find("no such words"));
    EXPECT_EQ(viewer->textView()->textCursor().selectedText(), "needle");
}

TEST_F(HistoryViewerTest, SavesTheWholeHistoryInItsTextForm) {
    annHistory();
    for (int i = 0; i < HistoryViewer::PageSize; ++i) message(bob, "filler");
    HistoryViewer *viewer = open(ann);
    ASSERT_TRUE(Screenshots::save(viewer->window(), "history-viewer", "user").size());
    EXPECT_EQ(viewer->suggestedFileName(), "Ann Lee.txt");

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    viewer->window()->findChild<QAction *>("actionSave")->trigger();
    auto *panel = viewer->window()->findChild<QFileDialog *>("savePanel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(QFileInfo(panel->selectedFiles().value(0)).fileName(), "Ann Lee.txt");
    const QString path = folder.filePath("Ann Lee.txt");
    panel->selectFile(path);
    QMetaObject::invokeMethod(panel, "accept");
    settle();

    QFile saved(path), expected(QStringLiteral(MURNAVELL_TEST_DATA "/history/ann-lee.txt"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    ASSERT_TRUE(expected.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(saved.readAll()).toStdString(),
              QString::fromUtf8(expected.readAll()).toStdString());

    // A long history is saved whole, not only the pages read.
    choose(viewer, "bob");
    settle();
    const QString bobText = viewer->historyText();
    EXPECT_EQ(bobText.count("filler"), HistoryViewer::PageSize);

    // A file that cannot be written says why and leaves the window as it was.
    QString error;
    EXPECT_FALSE(viewer->saveTo(folder.filePath("missing/ann.txt"), &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(HistoryViewerTest, TheSuggestedNameCarriesNoPathOrControlCharacters) {
    const struct {
        const char *name;
        const char *file;
    } cases[] = {
        {"Ann Lee", "Ann Lee.txt"},  {"../../etc/passwd", "-..-etc-passwd.txt"},
        {"a\\b\tc\nd", "a-bcd.txt"}, {"..", "History.txt"},
        {" \x01 ", "History.txt"},   {"Zoë 10:00", "Zoë 10:00.txt"},
    };
    HistoryViewer *viewer = open();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        viewer->textView()->setPrintJobName(QString::fromUtf8(c.name));
        EXPECT_EQ(viewer->suggestedFileName(), QString::fromUtf8(c.file));
    }
}

TEST_F(HistoryViewerTest, PrintsEveryEntryWithHeaderAndFooterToPdf) {
    annHistory();
    for (int i = 0; i < 2 * HistoryViewer::PageSize; ++i)
        message(ann, QStringLiteral("older line %1").arg(i));
    // The oldest lines go first in time: move the kinds above them.
    HistoryViewer *viewer = open(ann);
    viewer->loadEverything();
    QTemporaryDir folder;
    const QString pdf = folder.filePath("ann.pdf");
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    viewer->textView()->print(&printer);

    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(30000));
    const QString out = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(out.contains("Ann Lee")) << out.toStdString();
    EXPECT_TRUE(out.contains("(Incoming Broadcast) Ann Lee:"));
    EXPECT_TRUE(out.contains("Hello, are you there?"));
    EXPECT_TRUE(out.contains("older line 0"));
    EXPECT_TRUE(out.contains("older line 99"));
    EXPECT_TRUE(out.contains("Page 1 of "));
    const int pages = int(out.count(u'\f'));
    EXPECT_GE(pages, 2);
    EXPECT_TRUE(out.contains(QStringLiteral("Page %1 of %1").arg(pages)));

    // The job is named after the row, also after switching rows.
    QProcess info;
    info.start("pdfinfo", {pdf});
    ASSERT_TRUE(info.waitForFinished(30000));
    EXPECT_TRUE(
        QString::fromUtf8(info.readAllStandardOutput()).contains(QRegularExpression("Title:\\s+Ann Lee")));
    choose(viewer, "Cyd");
    settle();
    viewer->window()->findChild<QAction *>("actionPrint")->trigger();
    auto *dialog = viewer->window()->findChild<QPrintDialog *>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->printer()->docName(), "Cyd");
    dialog->reject();
}

TEST_F(HistoryViewerTest, MinimizedWindowImagesCarryTheStatusInTheLowerRightQuarter) {
    ann->setStatus("1");
    const QImage busy = DockIcon::dockIcon(ann).toImage();
    bob->setStatus("0");
    const QImage available = DockIcon::dockIcon(bob).toImage();
    Chat *room = context()->insert<Chat>();
    const QImage group = DockIcon::dockIcon(room).toImage();
    const QImage plain = MainInterface::image("AppIcon").pixmap(DockIcon::Size, DockIcon::Size).toImage();
    ASSERT_EQ(busy.size(), plain.size());
    const int half = DockIcon::Size / 2;
    auto quarter = [half](const QImage &image, int x, int y) { return image.copy(x, y, half, half); };
    for (const QImage *image : {&busy, &available, &group}) {
        EXPECT_EQ(quarter(*image, 0, 0), quarter(plain, 0, 0));
        EXPECT_EQ(quarter(*image, half, 0), quarter(plain, half, 0));
        EXPECT_NE(quarter(*image, half, half), quarter(plain, half, half));
    }
    EXPECT_NE(quarter(busy, half, half), quarter(available, half, half));
    EXPECT_NE(quarter(group, half, half), quarter(busy, half, half));
}

} // namespace

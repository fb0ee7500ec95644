#pragma once

#include "platform/notify/NotificationCenter.h"
#include "ui/history/ListItem.h"

#include <QColor>
#include <QList>
#include <QMainWindow>
#include <QObject>
#include <QPointer>

#include <memory>

class FileTransfer;
class LogEntry;
class ManagedObject;
class PrintingTextView;
class QLineEdit;
class QListWidget;
class QTextCursor;

namespace Ui {
class HistoryViewer;
} // namespace Ui

// The history window: on the left every user and then every chat room (by the date of its first
// message, oldest first); on the right the chosen one's stored history, newest entry first, each
// entry in a shaded block of alternating colour. The history is read a page at a time as the
// user scrolls towards its end; new entries appear at the top while the window is open. The text
// can be searched, saved as plain text and printed.
//
// Every command that opens the history makes a new window. The controller owns its window and
// deletes itself once the window has closed.
class HistoryViewer : public QObject {
    Q_OBJECT
public:
    // Entries read at a time.
    static constexpr int PageSize = 50;

    // A new window, with the user's or room's row chosen when one is given; shown.
    static HistoryViewer *initAndShow(ManagedObject *userOrChat = nullptr);
    // The open windows, oldest first.
    static QList<HistoryViewer *> all();

    ~HistoryViewer() override;

    QMainWindow *window() const { return m_window; }
    PrintingTextView *textView() const;
    QListWidget *userListTableView() const;
    QLineEdit *searchField() const;
    const QList<ListItem> &leftList() const { return m_leftList; }
    // The row shown, or null.
    ManagedObject *selectedItem() const { return m_selected; }
    // How many entries of the shown row are in the text.
    qint64 logItemsDisplayed() const { return m_logItemsDisplayed; }
    // Whether every older entry of the shown row has been read.
    bool reachedEnd() const { return m_reachedEnd; }

    // The history of the shown row in its text form, newest first: what saving writes. It reads
    // the whole history, not only the pages shown.
    QString historyText() const;
    // The text form of one entry; empty for an entry that is not shown (an unfinished transfer).
    static QString entryText(LogEntry *entry);
    // The file name offered when saving: the row's name without path separators or control
    // characters, followed by ".txt".
    QString suggestedFileName() const;

    // Commands.
    void save();
    void print();
    // Writes the history text to the file (atomically, UTF-8); false with the reason otherwise.
    bool saveTo(const QString &path, QString *error) const;
    // Finds the text after (or before) the current match, reading older pages when needed and
    // starting over at the top; false when the history does not hold it.
    bool find(const QString &text, bool backwards = false);
    // Reads the next older page into the text (queued, as a scroll does); once per pending page.
    void requestOlderPage();
    // Reads every remaining page now (printing takes all of it).
    void loadEverything();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit HistoryViewer(ManagedObject *initialItem);

    struct Shown {
        QPointer<LogEntry> entry;
        int blocks = 0;   // paragraphs in the text
        bool odd = false; // which of the two shades
    };

    void rebuildSoon();
    void rebuildList();
    void selectionChanged();
    void updateLog();
    void loadOlderPage(quint64 generation);
    // Puts an entry into the text as the entry at that index; a transfer still running is
    // watched instead. False when nothing was put in.
    bool insertEntry(LogEntry *entry, int at, QTextCursor &cursor);
    int firstBlockOf(int index) const;
    QColor shade(bool odd) const;
    void watchTransfer(FileTransfer *transfer);
    void transferFinished(FileTransfer *transfer);
    void forgetShownRow();
    void windowWillClose();
    void scrolled();
    bool findInText(const QString &text, bool backwards);

    std::unique_ptr<Ui::HistoryViewer> m_ui;
    QPointer<QMainWindow> m_window;
    QList<ListItem> m_leftList;
    QPointer<ManagedObject> m_initialItem;
    QPointer<ManagedObject> m_selected;
    qint64 m_logItemsDisplayed = 0;
    // Every change of the shown row starts a new generation; a page read for an older one is
    // dropped, so it never lands under the wrong row.
    quint64 m_generation = 0;
    bool m_firstPageRead = false;
    bool m_pageQueued = false;
    bool m_reachedEnd = false;
    bool m_rebuildQueued = false;
    bool m_closed = false;
    // Newest and oldest entry read so far (shown or not); pages go on from the oldest.
    QPointer<LogEntry> m_newestRead;
    QPointer<LogEntry> m_oldestRead;
    // The entries in the text, newest first, with their paragraphs.
    QList<Shown> m_shown;
    QList<QPointer<FileTransfer>> m_running;
    QList<QMetaObject::Connection> m_runningWatches;
    NotificationCenter::Token m_logObserver = 0;
    QList<NotificationCenter::Token> m_listObservers;
};

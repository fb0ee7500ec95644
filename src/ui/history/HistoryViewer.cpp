#include "ui/history/HistoryViewer.h"

#include "core/app/AppContext.h"
#include "core/model/Chat.h"
#include "core/model/LogQuery.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/strings/Strings.h"
#include "transfer/ByteCountFormatter.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"
#include "ui/controls/DateFormatter.h"
#include "ui/history/PrintingTextView.h"
#include "ui_HistoryViewer.h"

#include <QCloseEvent>
#include <QCollator>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMessageBox>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <optional>

namespace {

QList<HistoryViewer *> &registry() {
    static QList<HistoryViewer *> open;
    return open;
}

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

// What one entry shows: a header line, and for messages and transfers a body and a folder link.
struct EntryParts {
    bool system = false;
    QString header;
    QString body;
    QUrl link;
};

// A transfer still running may yet finish and be shown; the other unfinished states are final.
bool mayStillFinish(const FileTransfer *transfer) {
    const qint64 state = transfer->transferState();
    return state == FileTransfer::Transferring || state == FileTransfer::WaitingForAnswer;
}

// The folder of a transfer as a file URL; nothing for a sending side or a stored value that is
// no local path.
QUrl folderUrl(const FileTransfer *transfer) {
    const QUrl stored = transfer->folderPath();
    if (stored.isEmpty()) return {};
    if (stored.isLocalFile()) return QUrl::fromLocalFile(stored.toLocalFile());
    if (stored.scheme().isEmpty() && stored.path().startsWith(u'/'))
        return QUrl::fromLocalFile(stored.path());
    return {};
}

std::optional<EntryParts> partsOf(LogEntry *entry) {
    if (!entry) return std::nullopt;
    auto *transfer = dynamic_cast<FileTransfer *>(entry);
    if (transfer && transfer->transferState() != FileTransfer::Complete) return std::nullopt;
    EntryParts parts;
    const QString date = DateFormatter::format(entry->time(), true);
    auto *message = dynamic_cast<Message *>(entry);
    if (!message && !transfer) {
        parts.system = true;
        const auto *system = dynamic_cast<SystemMessage *>(entry);
        parts.header =
            Strings::format(QStringLiteral("%@ - %@"), {date, system ? system->text() : QString()});
        return parts;
    }
    QString sender;
    if (entry->incoming()) {
        const User *from = entry->user().value(0);
        sender = from ? from->name() : entry->originalSenderName();
    } else if (const Me *me = Me::current()) {
        sender = me->name();
    }
    const bool mass = message && message->mass();
    const QString direction = entry->incoming() ? text(mass ? "Incoming Broadcast" : "Incoming")
                                                : text(mass ? "Outgoing Broadcast" : "Outgoing");
    parts.header = Strings::format(QStringLiteral("%@ (%@) %@:"), {date, direction, sender});
    if (message) {
        parts.body = message->message();
    } else {
        const qint64 files = transfer->filesNumber();
        parts.body = Strings::format(
            QStringLiteral("%@ %@ (%@)"),
            {files, files < 2 ? text("file") : text("files"),
             FILEserver::byteCountFormatter().stringFromByteCount(transfer->filesTotalSize())});
        parts.link = folderUrl(transfer);
    }
    return parts;
}

// A file name from a row's name: path separators and control characters out, never hidden.
QString fileNameFrom(const QString &name) {
    QString out;
    for (const QChar c : name) {
        if (c == u'/' || c == u'\\')
            out += u'-';
        else if (c.category() != QChar::Other_Control && c.category() != QChar::Other_Format)
            out += c;
    }
    out = out.trimmed();
    while (out.startsWith(u'.')) out.remove(0, 1);
    return out.isEmpty() ? text("History") : out;
}

} // namespace

HistoryViewer *HistoryViewer::initAndShow(ManagedObject *userOrChat) {
    auto *viewer = new HistoryViewer(userOrChat);
    // Focus in the list would choose its first row; opening chooses nothing by itself.
    viewer->m_ui->searchField->setFocus();
    viewer->m_window->show();
    viewer->m_window->raise();
    viewer->m_window->activateWindow();
    return viewer;
}

QList<HistoryViewer *> HistoryViewer::all() { return registry(); }

HistoryViewer::HistoryViewer(ManagedObject *initialItem)
    : m_ui(std::make_unique<Ui::HistoryViewer>()), m_initialItem(initialItem) {
    registry().append(this);
    auto *window = new QMainWindow;
    m_ui->setupUi(window);
    m_window = window;
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    m_ui->splitter->setStretchFactor(0, 0);
    m_ui->splitter->setStretchFactor(1, 1);
    m_ui->splitter->setSizes({200, 560});
    m_ui->actionSave->setIcon(QIcon::fromTheme(QStringLiteral("document-save")));
    m_ui->actionPrint->setIcon(QIcon::fromTheme(QStringLiteral("document-print")));
    if (const QIcon find = QIcon::fromTheme(QStringLiteral("edit-find")); !find.isNull())
        m_ui->searchField->addAction(find, QLineEdit::LeadingPosition);
    m_ui->searchField->installEventFilter(this);

    connect(m_ui->userListTableView, &QListWidget::currentRowChanged, this, [this] { selectionChanged(); });
    connect(m_ui->actionSave, &QAction::triggered, this, &HistoryViewer::save);
    connect(m_ui->actionPrint, &QAction::triggered, this, &HistoryViewer::print);
    connect(m_ui->actionFind, &QAction::triggered, this, [this] {
        m_ui->searchField->setFocus();
        m_ui->searchField->selectAll();
    });
    connect(m_ui->actionFindNext, &QAction::triggered, this,
            [this] { find(m_ui->searchField->text(), false); });
    connect(m_ui->actionFindPrevious, &QAction::triggered, this,
            [this] { find(m_ui->searchField->text(), true); });
    connect(m_ui->actionCloseWindow, &QAction::triggered, window, &QWidget::close);
    // Incremental: the match grows from where it starts as the user types.
    connect(m_ui->searchField, &QLineEdit::textEdited, this, [this](const QString &typed) {
        QTextCursor at = m_ui->textView->textCursor();
        at.setPosition(at.selectionStart());
        m_ui->textView->setTextCursor(at);
        if (!typed.isEmpty()) find(typed, false);
    });
    QScrollBar *bar = m_ui->textView->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this] { scrolled(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this] { scrolled(); });

    // The list follows users and rooms coming and going, renamed users, and rooms that get
    // their first message.
    if (ManagedObjectContext *context = appManagedObjectContext()) {
        auto listed = [this](ManagedObject *object) {
            if (dynamic_cast<User *>(object) || dynamic_cast<Chat *>(object)) rebuildSoon();
        };
        connect(context, &ManagedObjectContext::objectInserted, this, listed);
        connect(context, &ManagedObjectContext::objectDeleted, this, listed);
    }
    NotificationCenter &center = NotificationCenter::defaultCenter();
    m_listObservers << center.addObserver(QStringLiteral("userChangedHisName"), nullptr,
                                          [this](const Notification &) { rebuildSoon(); });
    m_listObservers << center.addObserver(QStringLiteral("logUpdated"), nullptr,
                                          [this](const Notification &note) {
                                              for (const ListItem &row : m_leftList)
                                                  if (row.item() == note.object) return;
                                              rebuildSoon();
                                          });
    m_ui->actionSave->setEnabled(false);
    m_ui->actionPrint->setEnabled(false);
    rebuildList();
}

HistoryViewer::~HistoryViewer() {
    registry().removeAll(this);
    forgetShownRow();
    for (NotificationCenter::Token token : m_listObservers)
        NotificationCenter::defaultCenter().removeObserver(token);
    delete m_window.data();
}

PrintingTextView *HistoryViewer::textView() const { return m_ui->textView; }
QListWidget *HistoryViewer::userListTableView() const { return m_ui->userListTableView; }
QLineEdit *HistoryViewer::searchField() const { return m_ui->searchField; }

// --- The list ---

void HistoryViewer::rebuildSoon() {
    if (m_rebuildQueued || m_closed) return;
    m_rebuildQueued = true;
    QMetaObject::invokeMethod(
        this, [this] { rebuildList(); }, Qt::QueuedConnection);
}

void HistoryViewer::rebuildList() {
    m_rebuildQueued = false;
    if (m_closed) return;
    m_leftList.clear();
    if (ManagedObjectContext *context = appManagedObjectContext()) {
        QList<User *> users = context->fetch<User>([](const User *u) { return !u->isDeleted(); });
        QCollator collator;
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        std::stable_sort(users.begin(), users.end(), [&](const User *a, const User *b) {
            return collator.compare(a->name(), b->name()) < 0;
        });
        for (User *u : users) {
            ListItem row;
            row.setUser(u);
            m_leftList.append(row);
        }
        QList<std::pair<QDateTime, Chat *>> chats;
        for (Chat *chat : context->fetch<Chat>([](const Chat *c) { return !c->isDeleted(); }))
            if (const QDateTime first = chat->firstMessageDate(); first.isValid())
                chats.append({first, chat});
        std::stable_sort(chats.begin(), chats.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[first, chat] : chats) {
            ListItem row;
            row.setChat(chat);
            if (!row.displayName().isEmpty()) m_leftList.append(row);
        }
    }

    QListWidget *list = m_ui->userListTableView;
    const QSignalBlocker quiet(list);
    list->clear();
    int keep = -1, initial = -1, initialMatches = 0;
    for (int i = 0; i < m_leftList.size(); ++i) {
        const ListItem &row = m_leftList.at(i);
        list->addItem(new QListWidgetItem(row.icon(), row.displayName()));
        if (m_selected && row.item() == m_selected) keep = i;
        if (m_initialItem && row.item() == m_initialItem) {
            initial = i;
            ++initialMatches;
        }
    }
    // The row shown stays chosen, without reading its history again.
    if (keep >= 0) {
        list->setCurrentRow(keep);
        return;
    }
    if (initialMatches == 1) {
        // Chosen once: later rebuilds keep what the user chose instead.
        m_initialItem = nullptr;
        list->setCurrentRow(initial);
        list->scrollToItem(list->item(initial));
    } else {
        list->setCurrentRow(-1);
    }
    const int row = list->currentRow();
    if ((row >= 0 ? m_leftList.at(row).item() : nullptr) != m_selected.data()) selectionChanged();
}

// --- The shown row ---

void HistoryViewer::forgetShownRow() {
    if (m_logObserver) NotificationCenter::defaultCenter().removeObserver(m_logObserver);
    m_logObserver = 0;
    for (const QMetaObject::Connection &watch : m_runningWatches) disconnect(watch);
    m_runningWatches.clear();
    m_running.clear();
    m_shown.clear();
    m_logItemsDisplayed = 0;
    m_newestRead = nullptr;
    m_oldestRead = nullptr;
    m_firstPageRead = false;
    m_pageQueued = false;
    m_reachedEnd = false;
    ++m_generation;
}

void HistoryViewer::selectionChanged() {
    const int row = m_ui->userListTableView->currentRow();
    ManagedObject *item = row >= 0 && row < m_leftList.size() ? m_leftList.at(row).item() : nullptr;
    if (item && item == m_selected) return;
    forgetShownRow();
    m_selected = item;
    m_ui->actionSave->setEnabled(item != nullptr);
    m_ui->actionPrint->setEnabled(item != nullptr);
    if (!item) {
        m_ui->textView->clear();
        m_ui->textView->setPrintJobName(QString());
        return;
    }
    m_ui->textView->setPlainText(text("loading…"));
    m_ui->textView->setPrintJobName(m_leftList.at(row).displayName());
    m_logObserver = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("logUpdated"), item, [this](const Notification &) { updateLog(); });
    requestOlderPage();
}

void HistoryViewer::requestOlderPage() {
    if (m_pageQueued || m_reachedEnd || !m_selected || m_closed) return;
    m_pageQueued = true;
    QMetaObject::invokeMethod(
        this, [this, generation = m_generation] { loadOlderPage(generation); }, Qt::QueuedConnection);
}

void HistoryViewer::loadOlderPage(quint64 generation) {
    // A page asked for another row (or before a rebuild chose another) is dropped.
    if (generation != m_generation || !m_selected || m_closed) return;
    m_pageQueued = false;
    if (m_reachedEnd) return;
    const QList<LogEntry *> page = m_oldestRead ? LogQuery::before(m_selected, m_oldestRead->timeReceived(),
                                                                   m_oldestRead->rowId(), PageSize)
                                                : LogQuery::newest(m_selected, PageSize);
    QTextDocument *document = m_ui->textView->document();
    const bool firstPage = !m_firstPageRead;
    if (firstPage) {
        // "loading…" goes.
        m_firstPageRead = true;
        document->clear();
    }
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    if (page.size() < PageSize) m_reachedEnd = true;
    if (!page.isEmpty()) {
        if (!m_newestRead) m_newestRead = page.first();
        m_oldestRead = page.last();
    }
    for (LogEntry *entry : page) insertEntry(entry, int(m_shown.size()), cursor);
    cursor.endEditBlock();
    // Reading and finding start at the newest entry.
    if (firstPage) m_ui->textView->moveCursor(QTextCursor::Start);
    // A short text leaves nothing to scroll: the next page is read at once.
    scrolled();
}

void HistoryViewer::scrolled() {
    if (!m_firstPageRead || m_reachedEnd || m_pageQueued) return;
    const QScrollBar *bar = m_ui->textView->verticalScrollBar();
    if (bar->value() >= bar->maximum() - m_ui->textView->viewport()->height()) requestOlderPage();
}

void HistoryViewer::loadEverything() {
    while (m_selected && !m_reachedEnd && !m_closed) loadOlderPage(m_generation);
}

void HistoryViewer::updateLog() {
    // Before the first page, that page brings the new entries along.
    if (!m_selected || !m_firstPageRead || m_closed) return;
    // Only entries newer than the newest read, in pages that grow while each entry is new.
    QList<LogEntry *> fresh;
    for (int page = 8;; page *= 4) {
        const QList<LogEntry *> newest = LogQuery::newest(m_selected, page);
        fresh.clear();
        bool reachedRead = false;
        for (LogEntry *e : newest) {
            if (m_newestRead && !LogEntry::newerThan(e, m_newestRead)) {
                reachedRead = true;
                break;
            }
            fresh.append(e);
        }
        if (reachedRead || newest.size() < page) break;
    }
    if (fresh.isEmpty()) return;
    m_newestRead = fresh.first();
    if (!m_oldestRead) m_oldestRead = fresh.last();
    QTextCursor cursor(m_ui->textView->document());
    cursor.beginEditBlock();
    // Oldest first, each on top of the one before: every new block differs from the one below.
    bool added = false;
    for (auto it = fresh.crbegin(); it != fresh.crend(); ++it) added = insertEntry(*it, 0, cursor) || added;
    cursor.endEditBlock();
    if (added) m_ui->textView->verticalScrollBar()->setValue(0);
}

int HistoryViewer::firstBlockOf(int index) const {
    int block = 0;
    for (int i = 0; i < index && i < m_shown.size(); ++i) block += m_shown.at(i).blocks;
    return block;
}

QColor HistoryViewer::shade(bool odd) const {
    return m_ui->textView->palette().color(odd ? QPalette::AlternateBase : QPalette::Base);
}

bool HistoryViewer::insertEntry(LogEntry *entry, int at, QTextCursor &cursor) {
    if (auto *transfer = dynamic_cast<FileTransfer *>(entry);
        transfer && transfer->transferState() != FileTransfer::Complete) {
        if (mayStillFinish(transfer)) watchTransfer(transfer);
        return false;
    }
    const std::optional<EntryParts> parts = partsOf(entry);
    if (!parts) return false;
    // Each entry is a run of shaded paragraphs, its shade other than its neighbours'.
    at = std::clamp(at, 0, int(m_shown.size()));
    bool odd = true;
    if (at > 0)
        odd = !m_shown.at(at - 1).odd;
    else if (!m_shown.isEmpty())
        odd = !m_shown.first().odd;
    QTextBlockFormat block;
    block.setBackground(shade(odd));
    QTextDocument *document = m_ui->textView->document();
    int blocksBefore = document->blockCount();
    if (at < m_shown.size()) {
        // Before the entry now at that place: its first paragraph moves down with its format.
        const QTextBlock next = document->findBlockByNumber(firstBlockOf(at));
        cursor.setPosition(next.position());
        cursor.insertBlock(next.blockFormat(), next.charFormat());
        cursor.movePosition(QTextCursor::PreviousBlock);
        cursor.setBlockFormat(block);
    } else if (m_shown.isEmpty() && document->isEmpty()) {
        // The empty text's one paragraph becomes the entry's first.
        cursor.movePosition(QTextCursor::Start);
        cursor.setBlockFormat(block);
        --blocksBefore;
    } else {
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock(block);
    }
    const QPalette palette = m_ui->textView->palette();
    QTextCharFormat header;
    header.setForeground(palette.color(QPalette::PlaceholderText));
    cursor.insertText(parts->header, header);
    if (!parts->system) {
        const QTextCharFormat plain;
        cursor.insertBlock(block, plain);
        // What peers write is plain text, never markup.
        cursor.insertText(parts->body, plain);
        if (parts->link.isValid()) {
            QTextCharFormat link;
            link.setAnchor(true);
            link.setAnchorHref(parts->link.toString(QUrl::FullyEncoded));
            link.setForeground(palette.color(QPalette::Link));
            link.setFontUnderline(true);
            cursor.insertBlock(block, plain);
            cursor.insertText(text("Open Folder"), link);
        }
    }
    m_shown.insert(at, {entry, document->blockCount() - blocksBefore, odd});
    ++m_logItemsDisplayed;
    // Put between two entries, the ones below change shade until they alternate again.
    int firstBlock = firstBlockOf(at + 1);
    for (int i = at + 1; i < m_shown.size() && m_shown.at(i).odd == m_shown.at(i - 1).odd; ++i) {
        Shown &below = m_shown[i];
        below.odd = !below.odd;
        QTextBlockFormat shaded;
        shaded.setBackground(shade(below.odd));
        QTextCursor paint(document->findBlockByNumber(firstBlock));
        paint.setPosition(document->findBlockByNumber(firstBlock + below.blocks - 1).position(),
                          QTextCursor::KeepAnchor);
        paint.mergeBlockFormat(shaded);
        firstBlock += below.blocks;
    }
    return true;
}

void HistoryViewer::watchTransfer(FileTransfer *transfer) {
    if (m_running.contains(transfer)) return;
    m_running.append(transfer);
    m_runningWatches << connect(transfer, &ManagedObject::attributeChanged, this,
                                [this, transfer](const QString &key, const QVariant &) {
                                    if (key == QLatin1String("transferState")) transferFinished(transfer);
                                });
}

void HistoryViewer::transferFinished(FileTransfer *transfer) {
    if (mayStillFinish(transfer)) return;
    const int index = m_running.indexOf(transfer);
    if (index < 0) return;
    m_running.removeAt(index);
    disconnect(m_runningWatches.takeAt(index));
    if (transfer->transferState() != FileTransfer::Complete) return;
    // In its place among the entries shown: before the first one older than it.
    int at = 0;
    while (at < m_shown.size() && m_shown.at(at).entry && LogEntry::newerThan(m_shown.at(at).entry, transfer))
        ++at;
    QTextCursor cursor(m_ui->textView->document());
    cursor.beginEditBlock();
    insertEntry(transfer, at, cursor);
    cursor.endEditBlock();
}

// --- Text form, saving, printing, finding ---

QString HistoryViewer::entryText(LogEntry *entry) {
    const std::optional<EntryParts> parts = partsOf(entry);
    if (!parts) return {};
    QString out = parts->header + u'\n';
    if (parts->system) return out;
    out += parts->body + u'\n';
    if (parts->link.isValid()) out += text("Open Folder") + u'\n';
    return out;
}

QString HistoryViewer::historyText() const {
    QString out;
    if (!m_selected) return out;
    constexpr int Batch = 1000;
    QList<LogEntry *> page = LogQuery::newest(m_selected, Batch);
    while (!page.isEmpty()) {
        for (LogEntry *entry : page) out += entryText(entry);
        if (page.size() < Batch) break;
        const LogEntry *last = page.last();
        page = LogQuery::before(m_selected, last->timeReceived(), last->rowId(), Batch);
    }
    return out;
}

QString HistoryViewer::suggestedFileName() const {
    return fileNameFrom(m_ui->textView->printJobName()) + QStringLiteral(".txt");
}

bool HistoryViewer::saveTo(const QString &path, QString *error) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) *error = file.errorString();
        return false;
    }
    file.write(historyText().toUtf8());
    if (!file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

void HistoryViewer::save() {
    if (!m_selected || !m_window) return;
    auto *dialog = new QFileDialog(m_window, text("Save History"));
    dialog->setObjectName(QStringLiteral("savePanel"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(text("Text files (*.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    dialog->selectFile(suggestedFileName());
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &path) {
        QString error;
        if (saveTo(path, &error) || !m_window) return;
        auto *alert = new QMessageBox(QMessageBox::Warning, text("The history could not be saved."), error,
                                      QMessageBox::Ok, m_window);
        alert->setObjectName(QStringLiteral("saveAlert"));
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->setWindowModality(Qt::WindowModal);
        alert->open();
    });
    dialog->open();
}

void HistoryViewer::print() {
    if (!m_selected) return;
    // The whole history is printed, not only the pages read so far.
    m_ui->textView->printDocument([this] { loadEverything(); });
}

bool HistoryViewer::findInText(const QString &needle, bool backwards) {
    QTextDocument *document = m_ui->textView->document();
    const QTextCursor from = m_ui->textView->textCursor();
    const QTextCursor found =
        document->find(needle, from, backwards ? QTextDocument::FindBackward : QTextDocument::FindFlags());
    if (found.isNull()) return false;
    m_ui->textView->setTextCursor(found);
    m_ui->textView->ensureCursorVisible();
    return true;
}

bool HistoryViewer::find(const QString &needle, bool backwards) {
    if (needle.isEmpty() || !m_selected) return false;
    if (findInText(needle, backwards)) return true;
    // Going down, the older pages not read yet come next.
    if (!backwards) {
        while (!m_reachedEnd) {
            loadOlderPage(m_generation);
            if (findInText(needle, false)) return true;
        }
    }
    // Then from the other end.
    QTextCursor restart(m_ui->textView->document());
    if (backwards) {
        loadEverything();
        restart.movePosition(QTextCursor::End);
    }
    const QTextCursor before = m_ui->textView->textCursor();
    m_ui->textView->setTextCursor(restart);
    if (findInText(needle, backwards)) return true;
    m_ui->textView->setTextCursor(before);
    return false;
}

// --- Closing ---

bool HistoryViewer::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_window && event->type() == QEvent::Close) {
        windowWillClose();
    } else if (watched == m_ui->searchField && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            find(m_ui->searchField->text(), key->modifiers().testFlag(Qt::ShiftModifier));
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            m_ui->textView->setFocus();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void HistoryViewer::windowWillClose() {
    if (m_closed) return;
    m_closed = true;
    forgetShownRow();
    for (NotificationCenter::Token token : m_listObservers)
        NotificationCenter::defaultCenter().removeObserver(token);
    m_listObservers.clear();
    deleteLater();
}

#include "transfer/FileTransferView.h"

#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"
#include "transfer/ByteCountFormatter.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"
#include "ui_FileTransferView.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>

namespace {

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

QString noun(qint64 n) { return n < 2 ? text("file") : text("files"); }

QString size(qint64 bytes) { return FILEserver::byteCountFormatter().stringFromByteCount(bytes); }

// Each view is the handler of an object type of its own, so the text asks it alone about its
// character.
int nextObjectType() {
    static int next = QTextFormat::UserObject + 0x100;
    return next++;
}

const char *const ViewProperty = "murnavellFileTransferView";

} // namespace

FileTransferView *FileTransferView::insert(QTextCursor &cursor, FileTransfer *transfer,
                                           const QTextCharFormat &format) {
    QTextDocument *document = cursor.document();
    if (!document || !transfer) return nullptr;
    auto *controller = new FileTransferView(transfer);
    controller->setParent(document);
    controller->m_document = document;
    controller->m_objectType = nextObjectType();
    QAbstractTextDocumentLayout *layout = document->documentLayout();
    layout->registerHandler(controller->m_objectType, controller);

    QTextCharFormat objectFormat(format);
    objectFormat.setObjectType(controller->m_objectType);
    objectFormat.setProperty(QTextFormat::UserProperty, QVariant::fromValue<QObject *>(controller));
    cursor.insertText(QString(QChar::ObjectReplacementCharacter), objectFormat);
    // Text put in front of the character later pushes this cursor along with it.
    controller->m_place = QTextCursor(document);
    controller->m_place.setPosition(cursor.position() - 1);

    connect(document, &QTextDocument::contentsChanged, controller, &FileTransferView::checkStillInText);
    connect(layout, &QAbstractTextDocumentLayout::update, controller, &FileTransferView::scheduleReposition);
    connect(layout, &QAbstractTextDocumentLayout::documentSizeChanged, controller,
            &FileTransferView::scheduleReposition);
    return controller;
}

FileTransferView *FileTransferView::at(QTextDocument *document, int position) {
    if (!document || position < 0 || position >= document->characterCount()) return nullptr;
    QTextCursor cursor(document);
    cursor.setPosition(position);
    cursor.movePosition(QTextCursor::NextCharacter);
    return qobject_cast<FileTransferView *>(
        cursor.charFormat().property(QTextFormat::UserProperty).value<QObject *>());
}

FileTransferView::FileTransferView(FileTransfer *transfer)
    : m_ui(std::make_unique<Ui::FileTransferView>()), m_transfer(transfer) {
    auto *view = new QFrame;
    m_ui->setupUi(view);
    view->setProperty(ViewProperty, QVariant::fromValue<QObject *>(this));
    view->setBackgroundRole(QPalette::AlternateBase);
    QPalette words = view->palette();
    words.setColor(QPalette::WindowText, words.color(QPalette::Link));
    // The words are reached with Tab too, underlined while they have the focus.
    for (QLabel *word : {m_ui->Allow, m_ui->Cancel}) {
        word->setPalette(words);
        word->setFocusPolicy(Qt::TabFocus);
        word->setStyleSheet(QStringLiteral("QLabel:focus { text-decoration: underline; }"));
    }
    for (QWidget *w : {static_cast<QWidget *>(view), static_cast<QWidget *>(m_ui->Allow),
                       static_cast<QWidget *>(m_ui->Cancel)})
        w->installEventFilter(this);
    m_view = view;

    if (m_transfer) {
        connect(m_transfer, &ManagedObject::attributeChanged, this,
                [this](const QString &key, const QVariant &) { transferChanged(key); });
    }
    connect(&Defaults::standard(), &Defaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String("fontSize")) _updateSizes();
    });
    updateTopString();
    updateLeftString();
    updateAllowString();
    updateCancelString();
    updateProgress();
    _updateSizes();

    if (m_transfer && m_transfer->incoming() && m_transfer->transferState() == FileTransfer::WaitingForAnswer &&
        Defaults::standard().boolForKey(QStringLiteral("fileTransferAutoAccept")))
        m_transfer->ContinueTransfer(FileTransfer::Transferring);
}

FileTransferView::~FileTransferView() {
    if (m_resizeToken) NotificationCenter::defaultCenter().removeObserver(m_resizeToken);
    if (m_document) m_document->documentLayout()->unregisterHandler(m_objectType, this);
    delete m_view.data();
}

QSize FileTransferView::viewSize() const { return QSize(int(m_currentWidth), int(m_currentHeight)); }

QTextEdit *FileTransferView::textView() const {
    QWidget *viewport = m_view ? m_view->parentWidget() : nullptr;
    return viewport ? qobject_cast<QTextEdit *>(viewport->parentWidget()) : nullptr;
}

// --- The strings ---

void FileTransferView::updateTopString() {
    QString top;
    if (m_transfer) {
        const bool incoming = m_transfer->incoming();
        const qint64 files = m_transfer->filesNumber();
        const qint64 done = m_transfer->filesTransferred();
        switch (m_transfer->transferState()) {
        case FileTransfer::Canceled:
        case FileTransfer::Complete:
        case FileTransfer::Failed:
            top = Strings::format(incoming ? text("%d %@ received") : text("%d %@ sent"), {done, noun(done)});
            break;
        case FileTransfer::Transferring:
            top = Strings::format(incoming ? text("Receiving %d %@; %d left") : text("Sending %d %@; %d left"),
                                  {files, noun(files), files - done});
            break;
        case FileTransfer::AnswerTimedOut:
            top = incoming ? text("Response not given on time") : text("Response not received on time");
            break;
        case FileTransfer::NotAllowed:
            top = text("Recipient has no rights to accept files");
            break;
        case FileTransfer::NoFolderAccess:
            top = incoming ? text("No access to selected folder") : text("Recipient has no access to selected folder");
            break;
        case FileTransfer::WaitingForAnswer:
            top = incoming ? Strings::format(text("%d incoming %@"), {files, noun(files)})
                           : Strings::format(text("Ready to send %d %@ (%@)"),
                                             {files, noun(files), size(m_transfer->filesTotalSize())});
            break;
        default:
            break;
        }
    }
    m_topString = top;
    m_ui->top->setText(top);
}

void FileTransferView::updateLeftString() {
    QString left;
    if (m_transfer) {
        switch (m_transfer->transferState()) {
        case FileTransfer::Canceled:
            left = text("Canceled");
            break;
        case FileTransfer::Transferring:
            // Partial counts may run ahead of the listed size by a chunk's padding.
            left = Strings::format(text("%@ left..."),
                                   {size(qMax<qint64>(0, m_transfer->filesTotalSize() - m_transfer->bytesReceived()))});
            break;
        case FileTransfer::AnswerTimedOut:
            left = text("Timed out");
            break;
        case FileTransfer::NotAllowed:
        case FileTransfer::NoFolderAccess:
        case FileTransfer::Failed:
            left = text("Failed");
            break;
        case FileTransfer::WaitingForAnswer:
            left = m_transfer->incoming() ? Strings::format(QStringLiteral("(%@)"), {size(m_transfer->filesTotalSize())})
                                          : text("Waiting...");
            break;
        case FileTransfer::Complete:
            left = text("Complete");
            break;
        default:
            break;
        }
    }
    if (left == m_leftString && left.isNull() == m_leftString.isNull()) return;
    m_leftString = left;
    m_ui->left->setText(left);
}

void FileTransferView::updateAllowString() {
    QString allow;
    if (m_transfer && m_transfer->incoming() && m_transfer->transferState() == FileTransfer::WaitingForAnswer)
        allow = text("Accept");
    if (allow == m_allowString && allow.isNull() == m_allowString.isNull()) return;
    m_allowString = allow;
    m_ui->Allow->setText(allow);
    m_ui->Allow->setVisible(!allow.isNull());
}

void FileTransferView::updateCancelString() {
    QString cancel;
    if (m_transfer) {
        const qint64 state = m_transfer->transferState();
        if (state == FileTransfer::Transferring || state == FileTransfer::WaitingForAnswer)
            cancel = text("Cancel");
        else if (state == FileTransfer::Complete && m_transfer->incoming())
            cancel = text("Open folder");
    }
    if (cancel == m_cancelString && cancel.isNull() == m_cancelString.isNull()) return;
    m_cancelString = cancel;
    m_ui->Cancel->setText(cancel);
    m_ui->Cancel->setVisible(!cancel.isNull());
    m_ui->Cancel->setAccessibleName(cancel.isNull() ? text("Cancel") : cancel);
}

void FileTransferView::updateProgress() {
    const bool running = m_transfer && m_transfer->transferState() == FileTransfer::Transferring;
    m_ui->progress->setVisible(running);
    if (!running) return;
    const qint64 total = m_transfer->filesTotalSize();
    const qint64 done = qBound<qint64>(0, m_transfer->bytesReceived(), qMax<qint64>(total, 0));
    m_ui->progress->setValue(total > 0 ? int(done * 1000 / total) : 0);
}

void FileTransferView::transferChanged(const QString &key) {
    if (key == QLatin1String("bytesReceived")) {
        updateLeftString();
        updateProgress();
    } else if (key == QLatin1String("filesTransferred")) {
        updateTopString();
    } else if (key == QLatin1String("transferState")) {
        updateTopString();
        updateLeftString();
        updateAllowString();
        updateCancelString();
        updateProgress();
    }
}

// --- Sizes and place ---

void FileTransferView::_updateSizes(bool relayout) {
    const qint64 textSize = Defaults::standard().integerForKey(QStringLiteral("fontSize"));
    qint64 level = textSize - 3;
    const qint64 startLevel = level;
    const bool containerKnown = m_document && m_document->textWidth() > 0;
    const double containerWidth = containerKnown ? m_document->textWidth() : 0;
    if (containerKnown) {
        if (level == 21 && containerWidth < 440) level = 15;
        if ((startLevel == 21 || textSize >= 14) && containerWidth < 340) level = 10;
    }
    double width = 400, height = 80;
    if (level == 10) {
        width = containerKnown && containerWidth < 280 ? 210 : 250;
        height = 45;
    } else if (level == 15) {
        width = 300;
        height = 55;
    }
    if (level == m_fontSize && width == m_currentWidth) return;
    m_currentWidth = width;
    m_currentHeight = height;
    m_fontSize = level;

    // The words follow the size level: the small view takes a smaller type, the large a larger.
    QFont font = QApplication::font();
    const double base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(level == 10 ? base - 1 : level == 15 ? base : base + 3);
    QFont topFont = font;
    topFont.setBold(true);
    m_ui->top->setFont(topFont);
    for (QWidget *w : {static_cast<QWidget *>(m_ui->left), static_cast<QWidget *>(m_ui->Allow),
                       static_cast<QWidget *>(m_ui->Cancel)})
        w->setFont(font);
    m_view->setFixedSize(viewSize());
    // Only this character's line is laid out again.
    if (relayout && m_document && !m_place.isNull()) m_document->markContentsDirty(m_place.position(), 1);
}

QSizeF FileTransferView::intrinsicSize(QTextDocument *, int, const QTextFormat &) {
    // Asked while the text is being laid out: the size found now is the answer, so no second
    // layout pass is asked for.
    _updateSizes(false);
    return QSizeF(m_currentWidth, m_currentHeight);
}

void FileTransferView::drawObject(QPainter *painter, const QRectF &rect, QTextDocument *doc, int,
                                  const QTextFormat &) {
    if (!m_view || doc != m_document) return;
    auto *device = dynamic_cast<QWidget *>(painter->device());
    if (!m_view->parentWidget()) {
        auto *edit = device ? qobject_cast<QTextEdit *>(device->parentWidget()) : nullptr;
        if (!edit || edit->document() != doc || edit->viewport() != device) return;
        attachTo(edit);
    }
    if (device != m_view->parentWidget()) return;
    const QRect frame = painter->transform().mapRect(rect).toAlignedRect();
    if (m_view->geometry() != frame) m_view->setGeometry(QRect(frame.topLeft(), viewSize()));
    if (!m_view->isVisible()) m_view->show();
}

void FileTransferView::attachTo(QTextEdit *edit) {
    m_view->setParent(edit->viewport());
    m_view->show();
    m_resizeToken = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("conversationResize"), static_cast<const void *>(edit), [this](const Notification &) {
            _updateSizes();
        });
}

void FileTransferView::scheduleReposition() {
    if (m_repositionPending || !textView()) return;
    m_repositionPending = true;
    QTimer::singleShot(0, this, [this] {
        m_repositionPending = false;
        reposition();
    });
}

void FileTransferView::reposition() {
    QTextEdit *edit = textView();
    if (!edit || !m_document || m_place.isNull()) return;
    const int position = m_place.position();
    const QTextBlock block = m_document->findBlock(position);
    QTextLayout *layout = block.isValid() ? block.layout() : nullptr;
    const QTextLine line = layout ? layout->lineForTextPosition(position - block.position()) : QTextLine();
    if (!line.isValid()) {
        m_view->hide();
        return;
    }
    const QRectF blockRect = m_document->documentLayout()->blockBoundingRect(block);
    const QPointF inText = blockRect.topLeft() + QPointF(line.cursorToX(position - block.position()),
                                                         line.y() + line.ascent() - m_currentHeight);
    const QPoint inViewport = (inText - QPointF(edit->horizontalScrollBar()->value(),
                                                edit->verticalScrollBar()->value()))
                                  .toPoint();
    m_view->setGeometry(QRect(inViewport, viewSize()));
    m_view->show();
}

void FileTransferView::checkStillInText() {
    if (!m_document) return;
    const int position = m_place.position();
    if (at(m_document, position) == this) return;
    // Cleared from the text: the view goes with its character.
    if (m_view) m_view->hide();
    deleteLater();
}

// --- Clicks ---

bool FileTransferView::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::KeyPress && m_view && watched != m_view) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
            trackMouse(static_cast<QWidget *>(watched)->geometry().center());
            return true;
        }
    }
    if (event->type() == QEvent::MouseButtonPress && m_view) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            auto *widget = static_cast<QWidget *>(watched);
            const QPointF inView = widget == m_view ? mouse->position()
                                                    : QPointF(widget->mapTo(m_view, mouse->position().toPoint()));
            trackMouse(inView);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void FileTransferView::trackMouse(const QPointF &point) {
    if (!m_transfer) return;
    // A word that is not shown does nothing, wherever its field would be.
    if (!m_cancelString.isNull() && m_ui->Cancel->geometry().contains(point.toPoint())) {
        if (m_transfer->transferState() == FileTransfer::Complete) {
            const QUrl folder = m_transfer->folderPath();
            if (folder.isLocalFile()) QDesktopServices::openUrl(folder);
        } else {
            m_transfer->ContinueTransfer(FileTransfer::Canceled);
        }
    } else if (!m_allowString.isNull() && m_ui->Allow->geometry().contains(point.toPoint())) {
        m_transfer->ContinueTransfer(FileTransfer::Transferring);
    }
}

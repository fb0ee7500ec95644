#pragma once

#include "platform/notify/NotificationCenter.h"
#include "transfer/FileTransfer.h"

#include <QFrame>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTextCursor>
#include <QTextObjectInterface>

#include <memory>

class QTextCharFormat;
class QTextDocument;
class QTextEdit;
class QVariant;

namespace Ui {
class FileTransferView;
} // namespace Ui

// One transfer in a conversation's text: a small view with a state line, a progress line and one
// or two clickable words (Accept, Cancel, Open folder). It is at once the controller of that view
// and the handler of the object character that stands for it in the text, so the text lays it out
// like a character while the real view sits on the text view's viewport at that place. It follows
// the transfer's progress, count of files and state, and turns clicks into the transfer's
// decisions. Progress only touches the view: the text is laid out again only when the view's size
// changes, and then only its own line.
//
// Ownership: the controller belongs to the text document and deletes itself, with its view, once
// its character has left the text (the conversation was cleared) or the document goes.
class FileTransferView : public QObject, public QTextObjectInterface {
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)
public:
    // Puts a new view for the transfer into the text at the cursor (the character takes the
    // format given) and answers it.
    static FileTransferView *insert(QTextCursor &cursor, FileTransfer *transfer, const QTextCharFormat &format);
    // The view whose character is at the position of the document, if any.
    static FileTransferView *at(QTextDocument *document, int position);

    // Watches the transfer; an incoming transfer waiting for an answer starts at once when
    // "fileTransferAutoAccept" is on.
    explicit FileTransferView(FileTransfer *transfer);
    ~FileTransferView() override;

    FileTransfer *transfer() const { return m_transfer; }
    QFrame *view() const { return m_view; }
    // The size level: 10 small, 15 middle, anything else large.
    qint64 fontSize() const { return m_fontSize; }
    double currentWidth() const { return m_currentWidth; }
    QSize viewSize() const;

    // Null shows nothing.
    QString topString() const { return m_topString; }
    QString leftString() const { return m_leftString; }
    QString allowString() const { return m_allowString; }
    QString cancelString() const { return m_cancelString; }

    // The text's questions (QTextObjectInterface): the size of the character, and drawing it,
    // which places the view over the text view.
    QSizeF intrinsicSize(QTextDocument *doc, int posInDocument, const QTextFormat &format) override;
    void drawObject(QPainter *painter, const QRectF &rect, QTextDocument *doc, int posInDocument,
                    const QTextFormat &format) override;

    // A click at a point of the view (its own coordinates): the Cancel word cancels or opens the
    // received files' folder, the Accept word accepts. A word not shown does nothing.
    void trackMouse(const QPointF &pointInView);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateTopString();
    void updateLeftString();
    void updateAllowString();
    void updateCancelString();
    void updateProgress();
    // New sizes from the text size and the container's width; `relayout` asks the text to lay
    // out this character's line again when they changed.
    void _updateSizes(bool relayout = true);
    void transferChanged(const QString &key);
    // The text view's viewport becomes the view's parent (first draw).
    void attachTo(QTextEdit *textView);
    // Puts the view where the layout has its character (or hides it while it is not laid out).
    void reposition();
    void scheduleReposition();
    // The character is still in the text; otherwise the controller goes.
    void checkStillInText();
    QTextEdit *textView() const;

    std::unique_ptr<Ui::FileTransferView> m_ui;
    QPointer<FileTransfer> m_transfer;
    QPointer<QFrame> m_view;
    QPointer<QTextDocument> m_document; // the text container: kept on the first layout
    QTextCursor m_place;                // just before the character, moved along by edits
    int m_objectType = 0;
    double m_currentWidth = 0;
    double m_currentHeight = 0;
    qint64 m_fontSize = 0;
    QString m_topString, m_leftString, m_allowString, m_cancelString;
    NotificationCenter::Token m_resizeToken = 0;
    bool m_repositionPending = false;
};

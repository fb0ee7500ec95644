#include "ui/conversation/TextViewForReading.h"

#include "platform/notify/NotificationCenter.h"

#include <QScrollBar>

TextViewForReading::TextViewForReading(QWidget *parent) : HyperlinkTextView2(parent) {
    document()->setDocumentMargin(8);
    // Files dropped on the log go to the window, not into the text.
    setAcceptDrops(false);
    setUndoRedoEnabled(false);
}

bool TextViewForReading::atEnd() const {
    const QScrollBar *bar = verticalScrollBar();
    return bar->value() >= bar->maximum() - 2;
}

void TextViewForReading::scrollToEnd() { verticalScrollBar()->setValue(verticalScrollBar()->maximum()); }

void TextViewForReading::resizeEvent(QResizeEvent *event) {
    const bool wasAtEnd = atEnd();
    HyperlinkTextView2::resizeEvent(event);
    NotificationCenter::defaultCenter().post(QStringLiteral("conversationResize"), this);
    if (wasAtEnd) scrollToEnd();
}

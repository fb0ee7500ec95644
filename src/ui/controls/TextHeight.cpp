#include "ui/controls/TextHeight.h"

#include <QAbstractTextDocumentLayout>
#include <QTextDocument>
#include <QTextEdit>

#include <memory>

double TextHeight::textHeightForWidth(const QTextEdit *view, double width) {
    if (!view) return 0.0;
    // A copy with the view's own margin, so laying it out does not disturb the view.
    std::unique_ptr<QTextDocument> copy(view->document()->clone());
    copy->setDocumentMargin(view->document()->documentMargin());
    copy->setTextWidth(width);
    return copy->documentLayout()->documentSize().height();
}

#include "ui/controls/CollapsableButton.h"

#include <QResizeEvent>

CollapsableButton::CollapsableButton(QWidget *parent) : QToolButton(parent) {
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setAutoRaise(true);
    // Gives way before the fields do, and comes back first when there is room.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize CollapsableButton::hintFor(Qt::ToolButtonStyle style) const {
    auto *self = const_cast<CollapsableButton *>(this);
    const Qt::ToolButtonStyle kept = toolButtonStyle();
    if (kept == style) return QToolButton::sizeHint();
    const QSignalBlocker quiet(self);
    self->setToolButtonStyle(style);
    const QSize size = QToolButton::sizeHint();
    self->setToolButtonStyle(kept);
    return size;
}

int CollapsableButton::fullWidth() const { return hintFor(Qt::ToolButtonTextBesideIcon).width(); }

QSize CollapsableButton::minimumSizeHint() const { return hintFor(Qt::ToolButtonIconOnly); }

QSize CollapsableButton::sizeHint() const { return hintFor(Qt::ToolButtonTextBesideIcon); }

void CollapsableButton::resizeEvent(QResizeEvent *event) {
    QToolButton::resizeEvent(event);
    const Qt::ToolButtonStyle wanted =
        event->size().width() < fullWidth() ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon;
    if (wanted != toolButtonStyle()) setToolButtonStyle(wanted);
    // The tool tip carries the title while only the icon shows.
    setToolTip(wanted == Qt::ToolButtonIconOnly ? text() : QString());
}

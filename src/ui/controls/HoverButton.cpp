#include "ui/controls/HoverButton.h"

HoverButton::HoverButton(QWidget *parent) : QToolButton(parent) {
    setAutoRaise(true);
    setAttribute(Qt::WA_Hover);
}

void HoverButton::setImages(const QIcon &image, const QIcon &alternateImage) {
    m_originalImage = image;
    m_alternateImage = alternateImage;
    setIcon(m_hovered && !alternateImage.isNull() ? alternateImage : image);
}

void HoverButton::enterEvent(QEnterEvent *event) {
    QToolButton::enterEvent(event);
    m_hovered = true;
    if (!m_alternateImage.isNull()) setIcon(m_alternateImage);
}

void HoverButton::leaveEvent(QEvent *event) {
    QToolButton::leaveEvent(event);
    m_hovered = false;
    setIcon(m_originalImage);
}

#include "ui/main/NSTextFiled_Link.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPalette>

namespace {
std::function<bool(const QUrl &)> &opener() {
    static std::function<bool(const QUrl &)> open = [](const QUrl &url) {
        return QDesktopServices::openUrl(url);
    };
    return open;
}
} // namespace

NSTextFiled_Link::NSTextFiled_Link(QWidget *parent) : QLabel(parent) {
    setMouseTracking(true);
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
}

void NSTextFiled_Link::setOpener(std::function<bool(const QUrl &)> open) {
    opener() = open ? std::move(open) : [](const QUrl &url) { return QDesktopServices::openUrl(url); };
}

bool NSTextFiled_Link::isOpenable(const QUrl &url) {
    if (!url.isValid() || url.isRelative()) return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("mailto")) return !url.path().isEmpty();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

void NSTextFiled_Link::setUrl(const QString &url) {
    m_url = url;
    updateURLandTrackingArea();
}

void NSTextFiled_Link::setStringValue(const QString &text) {
    setText(text);
    updateURLandTrackingArea();
}

bool NSTextFiled_Link::opensOnClick() const {
    const Qt::TextInteractionFlags f = textInteractionFlags();
    return !m_url.isEmpty() &&
           !(f & (Qt::TextEditable | Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard));
}

void NSTextFiled_Link::applyLook(bool hover) {
    QPalette p = palette();
    // The link colour of the desktop's palette; red while the pointer is over the text.
    const QColor usual = QPalette().color(QPalette::Link);
    p.setColor(QPalette::WindowText, hover ? QColor(Qt::red) : (usual.isValid() ? usual : QColor(Qt::blue)));
    setPalette(p);
    QFont f = font();
    f.setUnderline(hover);
    setFont(f);
}

void NSTextFiled_Link::setDefaultAttributes() {
    m_hovered = false;
    applyLook(false);
}

void NSTextFiled_Link::updateURLandTrackingArea() {
    if (!m_url.isEmpty()) {
        setDefaultAttributes();
        setToolTip(m_url);
    }
    const QRect visible = contentsRect();
    if (!m_url.isEmpty()) {
        const QFontMetrics metrics(font());
        const int width = metrics.horizontalAdvance(text()) + 6;
        const int height = metrics.height();
        int x = visible.x();
        if (alignment() & Qt::AlignHCenter && visible.width() > width)
            x += (visible.width() - width) / 2;
        else if (alignment() & Qt::AlignRight && visible.width() > width)
            x += visible.width() - width;
        const int y = visible.y() + qMax(0, (visible.height() - height) / 2);
        m_tracking = QRect(x, y, qMin(width, visible.width()), qMin(height, visible.height()));
    } else {
        m_tracking = visible;
    }
    m_lookBuilt = true;
}

bool NSTextFiled_Link::isMouseIsideTrackingArea() const {
    if (!m_lookBuilt) return false;
    return m_tracking.contains(mapFromGlobal(QCursor::pos()));
}

void NSTextFiled_Link::paintEvent(QPaintEvent *event) {
    QLabel::paintEvent(event);
    if (!m_lookBuilt) updateURLandTrackingArea();
}

void NSTextFiled_Link::resizeEvent(QResizeEvent *event) {
    QLabel::resizeEvent(event);
    if (m_lookBuilt) updateURLandTrackingArea();
}

void NSTextFiled_Link::mouseMoveEvent(QMouseEvent *event) {
    const bool inside = m_tracking.contains(event->position().toPoint());
    if (inside != m_hovered) {
        m_hovered = inside;
        applyLook(inside);
        if (inside)
            setCursor(Qt::PointingHandCursor);
        else
            unsetCursor();
    }
    QLabel::mouseMoveEvent(event);
}

void NSTextFiled_Link::leaveEvent(QEvent *event) {
    if (m_hovered) setDefaultAttributes();
    unsetCursor();
    QLabel::leaveEvent(event);
}

void NSTextFiled_Link::mousePressEvent(QMouseEvent *event) {
    if (opensOnClick() && event->button() == Qt::LeftButton) {
        m_pressedInside = m_tracking.contains(event->position().toPoint());
        event->accept();
        return;
    }
    m_pressedInside = false;
    QLabel::mousePressEvent(event);
}

void NSTextFiled_Link::mouseReleaseEvent(QMouseEvent *event) {
    if (opensOnClick() && m_pressedInside && event->button() == Qt::LeftButton) {
        m_pressedInside = false;
        event->accept();
        const QUrl url(m_url);
        if (m_tracking.contains(event->position().toPoint()) && isOpenable(url)) opener()(url);
        return;
    }
    m_pressedInside = false;
    QLabel::mouseReleaseEvent(event);
}

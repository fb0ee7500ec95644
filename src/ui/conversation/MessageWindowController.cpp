#include "ui/conversation/MessageWindowController.h"

#include "platform/defaults/Defaults.h"

#include <QApplication>
#include <QMainWindow>
#include <QSplitter>

MessageWindowController::MessageWindowController(QObject *parent) : QObject(parent) {}

MessageWindowController::~MessageWindowController() { delete m_window.data(); }

int MessageWindowController::fontSize() {
    return int(std::clamp<qint64>(Defaults::standard().integerForKey(QStringLiteral("fontSize")), 6, 96));
}

void MessageWindowController::windowDidLoad(QMainWindow *window, QSplitter *horisontalSplit) {
    m_window = window;
    m_horisontalSplit = horisontalSplit;
    updateFont();
    connect(&Defaults::standard(), &Defaults::changed, this, [this](const QString &key) {
        if (key != QLatin1String("fontSize")) return;
        updateFont();
        fontSizeChanged();
    });
}

void MessageWindowController::updateFont() {
    m_textFont = QApplication::font();
    m_textFont.setPixelSize(fontSize());
}

bool MessageWindowController::rightPaneHidden() const {
    if (!m_horisontalSplit || m_horisontalSplit->count() < 2) return true;
    return m_horisontalSplit->widget(m_horisontalSplit->count() - 1)->isHidden();
}

void MessageWindowController::toggleRightPane(bool atOnce) {
    if (!m_horisontalSplit || m_horisontalSplit->count() < 2 || !m_window) return;
    QWidget *pane = m_horisontalSplit->widget(m_horisontalSplit->count() - 1);
    const int divider = m_horisontalSplit->handleWidth();
    if (!pane->isHidden()) {
        m_rightWidth = pane->width();
        pane->hide();
        if (!atOnce && !m_window->isMaximized() && !m_window->isFullScreen())
            m_window->resize(
                std::max(m_window->minimumSizeHint().width(), m_window->width() - (divider + m_rightWidth)),
                m_window->height());
    } else {
        const int width = m_rightWidth > 0 ? m_rightWidth : pane->sizeHint().width();
        pane->show();
        if (!m_window->isMaximized() && !m_window->isFullScreen()) {
            m_window->resize(m_window->width() + divider + width, m_window->height());
            QList<int> sizes = m_horisontalSplit->sizes();
            const int total = std::accumulate(sizes.begin(), sizes.end(), 0);
            sizes.last() = width;
            sizes.first() = std::max(0, total - width);
            m_horisontalSplit->setSizes(sizes);
        }
    }
}

void MessageWindowController::resizeToFrame(const QRect &frame) {
    if (!m_window) return;
    if (m_window->isFullScreen()) m_window->showNormal();
    m_window->setGeometry(frame);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

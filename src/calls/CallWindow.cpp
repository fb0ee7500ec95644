#include "calls/CallWindow.h"

#include "calls/Call.h"
#include "calls/CallBridge.h"
#include "calls/CallWebPage.h"
#include "core/model/Chat.h"
#include "core/model/User.h"
#include "platform/strings/Strings.h"
#include "ui/conversation/Conversation.h"
#include "ui/conversation/ConversationServices.h"
#include "ui/conversation/ConversationWindows.h"
#include "ui/system/MessageBoxSheet.h"
#include "ui/system/PlaySound.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMainWindow>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

namespace {

// The decorations around a window's contents (none known before it is shown).
QMargins frameMargins(const QWidget *window) {
    const QRect frame = window->frameGeometry(), inner = window->geometry();
    return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
            frame.bottom() - inner.bottom()};
}

} // namespace

void CallWindow::install() {
    Call::setViewFactory([](Call *call) { return std::make_unique<CallWindow>(call); });
}

CallWindow::CallWindow(Call *call) : QWidget(nullptr, Qt::Window), m_call(call) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setObjectName(QStringLiteral("callWindow"));
    setAccessibleName(Strings::localized(QStringLiteral("Call")));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_webView = new QWebEngineView(this);
    m_webView->setObjectName(QStringLiteral("webView"));
    m_page = new CallWebPage(m_webView);
    m_webView->setPage(m_page);
    m_webView->setContextMenuPolicy(Qt::NoContextMenu);
    layout->addWidget(m_webView);

    // The page's way out: an object under the handler's name, reached through the channel.
    const QPointer<Call> target(call);
    m_bridge = new CallBridge(
        [target](const QVariantList &body) {
            if (target) target->didReceiveScriptMessage(body);
        },
        this);
    m_channel = new QWebChannel(this);
    m_channel->registerObject(CallBridge::handlerName(), m_bridge);
    m_page->setWebChannel(m_channel, QWebEngineScript::MainWorld);
    QWebEngineScript script;
    script.setName(QStringLiteral("murnavell-bridge"));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(CallBridge::pageScript());
    m_page->scripts().insert(script);

    // A page that cannot run ends the call rather than leaving a window that never rings. Only
    // the first load counts: a refused navigation also ends in a failed load, and the page is
    // still there then. A page that was replaced all the same (about:blank is never asked about)
    // is gone.
    connect(m_page, &QWebEnginePage::loadFinished, this, [this, target](bool ok) {
        if (m_loaded) return;
        m_loaded = true;
        if (!ok && target) target->pageFailed();
    });
    connect(m_page, &QWebEnginePage::urlChanged, this, [this, target](const QUrl &url) {
        if (m_loaded && url != m_baseUrl && target) target->pageFailed();
    });
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this,
            [target](QWebEnginePage::RenderProcessTerminationStatus status) {
                if (status != QWebEnginePage::NormalTerminationStatus && target) target->pageFailed();
            });

    auto *closeShortcut = new QShortcut(QKeySequence::Close, this);
    connect(closeShortcut, &QShortcut::activated, this, &QWidget::close);

    // A tenth of the screen free on every side.
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        const int dx = area.width() / 10, dy = area.height() / 10;
        setGeometry(area.adjusted(dx, dy, -dx, -dy));
    }
}

CallWindow::~CallWindow() {
    stopRing();
    // The page goes before the channel and the bridge it talks to.
    m_page->setWebChannel(nullptr);
}

void CallWindow::loadPage(const QString &html, const QUrl &baseUrl) {
    m_baseUrl = baseUrl;
    m_loaded = false;
    m_page->loadDocument(html, baseUrl);
}

void CallWindow::runScript(const QString &script) {
    m_page->runJavaScript(script, QWebEngineScript::MainWorld);
}

void CallWindow::showWindow() {
    keepOnScreen();
    show();
}

void CallWindow::bringToFront() {
    if (isMinimized()) showNormal();
    keepOnScreen();
    show();
    raise();
    activateWindow();
}

void CallWindow::setTitle(const QString &title) { setWindowTitle(title); }

void CallWindow::setMinimumContentWidth(int width) {
    // The page's measure never makes the window wider than its screen.
    const QMargins margins = frameMargins(this);
    const QRect area = screenArea();
    if (area.isValid()) width = qMin(width, area.width() - margins.left() - margins.right());
    setMinimumWidth(qMax(width, 0));
    keepOnScreen();
}

QRect CallWindow::screenArea() const {
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void CallWindow::keepOnScreen() {
    const QRect area = screenArea();
    if (!area.isValid()) return;
    const QRect frame = frameGeometry();
    const QRect inside = keptInside(area, frame);
    if (inside != frame) setGeometry(inside.marginsRemoved(frameMargins(this)));
}

QRect CallWindow::keptInside(const QRect &area, const QRect &frame) {
    QRect out = frame;
    out.setWidth(qMin(frame.width(), area.width()));
    out.setHeight(qMin(frame.height(), area.height()));
    out.moveLeft(qBound(area.left(), out.left(), area.left() + area.width() - out.width()));
    out.moveTop(qBound(area.top(), out.top(), area.top() + area.height() - out.height()));
    return out;
}

void CallWindow::closeWindow() {
    m_closing = true;
    stopRing();
    close();
}

CallPage::Colours CallWindow::colours() const {
    const QPalette p = palette();
    const QPalette::ColorRole roles[] = {QPalette::Highlight,       QPalette::Button, QPalette::ButtonText,
                                         QPalette::HighlightedText, QPalette::Mid,    QPalette::Light,
                                         QPalette::Window};
    CallPage::Colours out;
    for (int i = 0; i < CallPage::colourNames().size(); ++i) {
        const QColor c = p.color(roles[i]).toRgb();
        out.append(
            {CallPage::colourNames().at(i), CallPage::hexColor(c.redF(), c.greenF(), c.blueF(), c.alphaF())});
    }
    return out;
}

void CallWindow::requestConfirmation(int kind, std::function<void()> onSuccess, std::function<void()> onEnd) {
    MessageBoxSheet::requestConfirmation(kind, this, std::move(onSuccess), std::move(onEnd));
}

void CallWindow::chooseUsers(const QList<User *> &excluded, std::function<void()> onClose,
                             std::function<void(const QList<User *> &)> done) {
    ConversationServices::current()->inviteUsers(this, excluded, false,
                                                 [onClose, done](const QList<User *> &chosen) {
                                                     if (onClose) onClose();
                                                     if (done) done(chosen);
                                                 });
}

void CallWindow::showConversation(User *user, Chat *chat) {
    // The conversation of the call, opened when there is none.
    QObject *open = chat ? chat->conversationWindow() : user ? user->conversationWindow() : nullptr;
    if (!Conversation::fromWindowObject(open)) {
        if (chat)
            open = ConversationWindows::openChatWindow(chat, false);
        else if (user) {
            ConversationWindows::startConversation(user, false);
            open = user->conversationWindow();
        }
    }
    Conversation *conversation = Conversation::fromWindowObject(open);
    if (!conversation || conversation->closed() || !conversation->window()) return;
    QMainWindow *window = conversation->window();
    // Beside the call window, on its screen; the call window moves (or narrows) to make room. The
    // frames, decorations included, stand side by side.
    if (isFullScreen()) showNormal();
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QMargins callMargins = frameMargins(this);
    const QMargins margins = frameMargins(window);
    const int decoration = margins.left() + margins.right();
    const int minimum = qMax(window->minimumWidth(), window->minimumSizeHint().width()) + decoration;
    const Frames frames = besideFrames(area, frameGeometry(), window->frameGeometry().width(), minimum);
    setGeometry(frames.call.marginsRemoved(callMargins));
    conversation->resizeToFrame(frames.conversation.marginsRemoved(margins));
}

void CallWindow::detachConversation() {}

void CallWindow::openPrivacySettings(const QString &device) { (void)device; }

void CallWindow::startRing() {
    m_ring = PlaySound::PlayMP3(QStringLiteral("Call"), true);
    m_ringing = true;
}

void CallWindow::stopRing() {
    m_ringing = false;
    if (m_ring) m_ring->Stop();
    m_ring.reset();
}

CallWindow::Frames CallWindow::besideFrames(const QRect &screen, const QRect &call, int conversationWidth,
                                            int conversationMinimumWidth) {
    Frames out{call, QRect()};
    const int screenRight = screen.x() + screen.width();
    const int room = screenRight - (call.x() + call.width());
    int width = conversationWidth;
    if (room < conversationWidth) {
        if (room >= conversationMinimumWidth) {
            width = room;
        } else {
            width = conversationMinimumWidth;
            if (screen.width() < call.width() + conversationMinimumWidth)
                out.call =
                    QRect(screen.x(), call.y(), screen.width() - conversationMinimumWidth, call.height());
            else
                out.call.moveLeft(screenRight - conversationMinimumWidth - call.width());
        }
    }
    out.conversation = QRect(out.call.x() + out.call.width(), call.y(), width, call.height());
    return out;
}

void CallWindow::closeEvent(QCloseEvent *event) {
    if (m_closing || !m_call || m_call->isClosed()) {
        event->accept();
        return;
    }
    // The call decides: it may ask first, and closes the window itself when it ends.
    event->ignore();
    m_call->windowShouldClose();
}

void CallWindow::changeEvent(QEvent *event) {
    QWidget::changeEvent(event);
    if (!m_call) return;
    switch (event->type()) {
    case QEvent::ActivationChange:
        if (!isActiveWindow()) m_call->hideDropdowns();
        break;
    case QEvent::PaletteChange:
    case QEvent::ApplicationPaletteChange:
    case QEvent::ThemeChange:
        m_call->appearanceChanged();
        break;
    default:
        break;
    }
}

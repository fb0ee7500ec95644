#pragma once

#include "calls/Call.h"
#include "calls/CallView.h"

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <memory>

class CallBridge;
class CallWebPage;
class PlaySound;
class QWebChannel;
class QWebEngineView;

// The call window: the call page in a web view that fills it. It hands the page's posts to its
// call and asks the call before it closes; the call decides the rest (CallView).
//
// Ownership: the call owns its window (and deletes it when the call ends); the window owns its
// view, page, channel and bridge.
class CallWindow : public QWidget, public CallView {
    Q_OBJECT
public:
    // Makes the windows of every call from now on.
    static void install();

    explicit CallWindow(Call *call);
    ~CallWindow() override;

    // CallView.
    void loadPage(const QString &html, const QUrl &baseUrl) override;
    void runScript(const QString &script) override;
    void showWindow() override;
    void bringToFront() override;
    void setTitle(const QString &title) override;
    void setMinimumContentWidth(int width) override;
    void closeWindow() override;
    CallPage::Colours colours() const override;
    void requestConfirmation(int kind, std::function<void()> onSuccess, std::function<void()> onEnd) override;
    void chooseUsers(const QList<User *> &excluded, std::function<void()> onClose,
                     std::function<void(const QList<User *> &)> done) override;
    void showConversation(User *user, Chat *chat) override;
    void detachConversation() override;
    void openPrivacySettings(const QString &device) override;
    void startRing() override;
    void stopRing() override;

    QWebEngineView *webView() const { return m_webView; }
    CallWebPage *page() const { return m_page; }
    Call *call() const { return m_call; }
    bool isRinging() const { return m_ringing; }

    // The frames of a call window and its conversation placed beside it on a screen: the call
    // window keeps its place while the conversation fits on its right (at its width, else the
    // room left, but never under its minimum width); otherwise the call window moves left, and
    // on a screen narrower than both it narrows.
    struct Frames {
        QRect call;
        QRect conversation;
    };
    static Frames besideFrames(const QRect &screen, const QRect &call, int conversationWidth,
                               int conversationMinimumWidth);
    // A window's frame moved, and narrowed or shortened where it is larger, so that all of it
    // lies inside `area`.
    static QRect keptInside(const QRect &area, const QRect &frame);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // The available part of the window's screen (the primary screen before it has one).
    QRect screenArea() const;
    // Moves the window back onto its screen where its frame goes past an edge.
    void keepOnScreen();

    QPointer<Call> m_call;
    QWebEngineView *m_webView = nullptr;
    CallWebPage *m_page = nullptr;
    QWebChannel *m_channel = nullptr;
    CallBridge *m_bridge = nullptr;
    QUrl m_baseUrl;
    bool m_loaded = false;
    bool m_closing = false;
    bool m_ringing = false;
    std::unique_ptr<PlaySound> m_ring;
};

#pragma once

#include "calls/CallPage.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

class Chat;
class User;

// What a call asks of its window: the page in a web view, the window itself, its sheets, the
// conversation beside it and the ring. The application installs a factory for the real window
// (Call::setViewFactory); without one (tests, runs without windows) a call gets this view,
// which does nothing, and its page never loads.
class CallView {
public:
    virtual ~CallView() = default;

    // Loads the assembled page; from then on the window hands every message the page posts to
    // Call::didReceiveScriptMessage, and Call::pageFailed when the page cannot run.
    virtual void loadPage(const QString &html, const QUrl &baseUrl) {
        (void)html;
        (void)baseUrl;
    }
    // Runs a script in the page at once.
    virtual void runScript(const QString &script) { (void)script; }

    virtual void showWindow() {}
    // Makes the window key and brings it to the front.
    virtual void bringToFront() {}
    virtual void setTitle(const QString &title) { (void)title; }
    virtual void setMinimumContentWidth(int width) { (void)width; }
    // Closes the window for good (the call has ended); asks nothing.
    virtual void closeWindow() {}

    // The page's colour variables from the current palette (CallPage::colourNames order).
    virtual CallPage::Colours colours() const { return {}; }

    // A confirmation sheet of the kind on the window: onSuccess after the first button, onEnd
    // after every end of the sheet (not when the kind is suppressed and nothing was shown).
    virtual void requestConfirmation(int kind, std::function<void()> onSuccess, std::function<void()> onEnd) {
        (void)kind;
        (void)onSuccess;
        (void)onEnd;
    }
    // The invite sheet on the window: online users but the excluded ones; onClose runs when
    // the sheet is closed by either button, then done with the chosen users (none after Close).
    virtual void chooseUsers(const QList<User *> &excluded, std::function<void()> onClose,
                             std::function<void(const QList<User *> &)> done) {
        (void)excluded;
        (void)onClose;
        (void)done;
    }
    // The conversation of the user or chat beside the call window, opened when missing.
    virtual void showConversation(User *user, Chat *chat) {
        (void)user;
        (void)chat;
    }
    // The conversation attached beside the window is let go.
    virtual void detachConversation() {}
    // The system's settings for the device ("Camera" or "Microphone"), where there are any.
    virtual void openPrivacySettings(const QString &device) { (void)device; }

    // The looping ring of an incoming call.
    virtual void startRing() {}
    virtual void stopRing() {}
};

#pragma once

#include <QString>

class Chat;
class LogEntry;
class QObject;
class User;

// What the core asks of the windows. The application installs one at start-up; without one
// (tests, headless runs) every call does nothing and every question is answered "no".
class AppInterface {
public:
    virtual ~AppInterface() = default;

    // The installed interface (not owned), or null for none.
    static void install(AppInterface *ui);
    // Never null: with nothing installed, an interface whose calls do nothing.
    static AppInterface *current();

    // Opens the user's conversation window, or raises it (an incoming line only opens one
    // that is missing; showing it is up to bringForward).
    virtual void startConversation(User *user, bool incoming) {
        (void)user;
        (void)incoming;
    }
    // A line just stored in a history (after "logUpdated" for its user): an open window may show
    // it at once.
    virtual void showHistoryLine(LogEntry *entry) { (void)entry; }
    // True when the window (a conversation window controller) is both the main and the key window.
    virtual bool isMainAndKeyWindow(QObject *window) {
        (void)window;
        return false;
    }
    // Shows the window (deminiaturised, visible); with keepFocus it takes the focus, otherwise
    // it floats above the others without taking it.
    virtual void bringForward(QObject *window, bool keepFocus) {
        (void)window;
        (void)keepFocus;
    }
    // True while a call with the user or in the chat is live.
    virtual bool isCallLive(User *user, Chat *chat) {
        (void)user;
        (void)chat;
        return false;
    }
    // Plays a named sound of the application ("Message", "Broadcast", "Online", ...).
    virtual void playSound(const QString &name) { (void)name; }
};

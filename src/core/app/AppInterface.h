#pragma once

#include <QList>
#include <QString>

#include <functional>

class Chat;
class LogEntry;
class QObject;
class User;

// What the core asks of the windows. The application installs one at start-up; without one
// (tests, headless runs) every call does nothing and every question is answered "no", except
// those about calls, which the live calls answer.
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
    // True while a call with the user or in the chat is live (with neither: any call). The calls
    // answer unless an interface says otherwise.
    virtual bool isCallLive(User *user, Chat *chat);
    // Plays a named sound of the application ("Message", "Broadcast", "Online", ...).
    virtual void playSound(const QString &name) { (void)name; }

    // Chat rooms. Windows that change a room's members do so through Chat::setCurrentUsers.
    // Opens the room's window for a new line; returns it, or null when there is none.
    virtual QObject *openChatWindow(Chat *chat, bool incoming) {
        (void)chat;
        (void)incoming;
        return nullptr;
    }
    // The window learns of users who joined. With a room number a one-to-one window becomes
    // the window of that room. Returns the window's room, or null when it has none.
    virtual Chat *usersJoinedToRoom(QObject *window, const QList<User *> &users, const QString &roomId) {
        (void)window;
        (void)users;
        (void)roomId;
        return nullptr;
    }
    // A member left the room of the window.
    virtual void userLeftRoom(QObject *window, User *user) {
        (void)window;
        (void)user;
    }
    // The live call of `callChat` (or, without one, of `callUser`), if any, learns that the
    // users were added to the room `toChat`.
    virtual void conversationAddedUsers(Chat *callChat, User *callUser, const QList<User *> &users,
                                        Chat *toChat);

    // The application's own windows and menus, in the order launch asks for them.
    // The status-bar item with the status menu.
    virtual void createStatusItem() {}
    // The status control and the menus' check marks show the local user's current status.
    virtual void statusMatrixSelectionChanged() {}
    // Every image of the status menu gets this size (points).
    virtual void setMenuImageSize(int points) { (void)points; }
    // What the global hot key does.
    virtual void setHotKeyAction(std::function<void()> action) { (void)action; }
    // The product name in menus and the main window.
    virtual void customize() {}
    // The main window made key and brought to the front.
    virtual void showMainWindow() {}
    // The main window shown again (also when it was closed), key and in front.
    virtual void restoreWindow() {}
    // The user card shown as a tool tip, if one is shown, is closed.
    virtual void closeUserCard() {}

    // Shut-down. Pending edits of the windows are committed; false refuses to quit.
    virtual bool commitEditing() { return true; }
    // Every live call is closed, and its peers told.
    virtual void endAllCalls();
};

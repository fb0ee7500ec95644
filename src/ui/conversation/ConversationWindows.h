#pragma once

#include <QList>
#include <QString>

class Chat;
class Conversation;
class QObject;
class User;

// What the core asks of conversation windows, answered for the application's AppInterface:
// opening and raising a user's window, a room's window for a new line, bringing a window
// forward by the settings, and the room changes a window takes part in.
class ConversationWindows {
public:
    // A user's window: raised when it exists (unless for an incoming line), made otherwise.
    static void startConversation(User *user, bool incoming);
    // A window for several users, in a new room (the main window's group conversation).
    static Conversation *startGroupConversation(const QList<User *> &users);
    // A room's window for a new line.
    static QObject *openChatWindow(Chat *chat, bool incoming);
    // Shows a window: deminiaturised, and with keepFocus in front and focused, otherwise floating
    // above the others without the focus.
    static void bringForward(QObject *window, bool keepFocus);
    static bool isMainAndKeyWindow(QObject *window);
    static Chat *usersJoinedToRoom(QObject *window, const QList<User *> &users, const QString &roomId);
    static void userLeftRoom(QObject *window, User *user);
    // Every open conversation window.
    static QList<Conversation *> openWindows();
};

#pragma once

#include <QList>
#include <QStringList>

#include <functional>

class Chat;
class FileTransfer;
class ManagedObject;
class QTextCursor;
class QTextCharFormat;
class QTextBlockFormat;
class QWidget;
class User;

// What a conversation window asks of windows built elsewhere: the settings, the history viewer,
// the user information window, the invite sheet, the call window and the transfer view. The
// defaults are those windows where they exist; a window hides a command whose window is missing.
// Tests install their own to record what the window asks.
class ConversationServices {
public:
    virtual ~ConversationServices() = default;

    // The installed services (not owned); null restores the defaults. Never null.
    static void install(ConversationServices *services);
    static ConversationServices *current();

    // The settings window on its "Messaging" tab.
    virtual bool canShowSettings() const { return true; }
    virtual void showSettings(QWidget *from);
    // A new history window with the user or chat chosen.
    virtual bool canOpenHistory() const { return true; }
    virtual void openHistory(ManagedObject *userOrChat);
    // The user's information window, made when missing.
    virtual bool canShowUserInfo() const;
    virtual void showUserInfo(User *user);

    // The invite sheet on the window: online users other than the excluded ones; `done` gets the
    // chosen users (none after Close).
    virtual void inviteUsers(QWidget *window, const QList<User *> &excluded, bool conversationHasCall,
                             std::function<void(const QList<User *> &)> done);

    // Calls: whether calls exist in this build, opening one (or bringing it forward), and closing
    // the chat's call. The calls themselves by default.
    virtual bool callsAvailable() const { return true; }
    virtual void openCall(User *user, Chat *chat);
    virtual void closeCallWithChat(Chat *chat);

    // Sends files to a user; false when the transfer could not start.
    virtual bool sendFiles(const QStringList &paths, User *to);

    // Puts a transfer's view into a conversation's text at the cursor.
    virtual void insertTransfer(QTextCursor &cursor, FileTransfer *transfer, const QTextCharFormat &format);
};

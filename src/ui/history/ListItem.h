#pragma once

#include <QIcon>
#include <QList>
#include <QPointer>
#include <QString>

class Chat;
class LogEntry;
class ManagedObject;
class User;

// One row of the history window's list: a user, or a chat room listed under the date of its
// first message. A room without messages has no name and is not listed.
class ListItem {
public:
    QString displayName() const { return m_displayName; }
    User *user() const;
    Chat *chat() const;
    QIcon icon() const { return m_icon; }
    // The user or room whose history the row shows.
    ManagedObject *item() const { return m_item; }

    void setUser(User *user);
    void setChat(Chat *chat);

    // The newest n entries of the row's history, newest first.
    QList<LogEntry *> lastLogEnties(int n) const;

private:
    QString m_displayName;
    QPointer<ManagedObject> m_user;
    QPointer<ManagedObject> m_chat;
    QIcon m_icon;
    QPointer<ManagedObject> m_item;
};

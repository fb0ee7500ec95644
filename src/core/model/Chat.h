#pragma once

#include "platform/store/ManagedObject.h"

#include <QPointer>

class LogEntry;
class ManagedObjectContext;
class User;

// A chat room.
class Chat : public ManagedObject {
public:
    static constexpr const char *EntityName = "Chat";

    static Chat *findByChatRoomId(ManagedObjectContext *context, qint64 roomId);

    qint64 roomId() const { return integerValue(QStringLiteral("roomId")); }
    void setRoomId(qint64 v) { setValue(QStringLiteral("roomId"), v); }

    // `log` is never loaded as a whole: read it with the queries below.
    void addLogObject(LogEntry *entry);
    void removeLogObject(LogEntry *entry);
    qint64 logEntriesNumber() const;
    QList<LogEntry *> lastLogEnties(int n) const;
    QList<LogEntry *> logEntriesBefore(const QDateTime &timeReceived, qint64 rowId, int n) const;
    // `time` of the room's oldest Message; invalid when it has none.
    QDateTime firstMessageDate() const;

    // Not in the model: the members present (never the local user) and the room's window.
    QList<User *> currentUsers() const { return m_currentUsers; }
    void setCurrentUsers(const QList<User *> &users) { m_currentUsers = users; }
    QObject *conversationWindow() const { return m_conversationWindow; }
    void setConversationWindow(QObject *window) { m_conversationWindow = window; }

private:
    QList<User *> m_currentUsers;
    QPointer<QObject> m_conversationWindow;
};

#pragma once

#include "platform/store/ManagedObject.h"

class Chat;
class User;

// One line of a history. Kinds: Message, SystemMessage, FileTransfer.
class LogEntry : public ManagedObject {
public:
    static constexpr const char *EntityName = "LogEntry";

    bool incoming() const { return boolValue(QStringLiteral("incoming")); }
    void setIncoming(bool v) { setValue(QStringLiteral("incoming"), v); }
    QDateTime time() const { return dateValue(QStringLiteral("time")); }
    void setTime(const QDateTime &v) { setValue(QStringLiteral("time"), v); }
    QDateTime timeReceived() const { return dateValue(QStringLiteral("timeReceived")); }
    void setTimeReceived(const QDateTime &v) { setValue(QStringLiteral("timeReceived"), v); }
    QString originalSenderName() const { return stringValue(QStringLiteral("originalSenderName")); }
    void setOriginalSenderName(const QString &v) { setValue(QStringLiteral("originalSenderName"), v); }

    // The peer, or every recipient of a mass message.
    QList<User *> user() const;
    void addUserObject(User *user);
    void removeUserObject(User *user);
    Chat *chat() const;
    void setChat(Chat *chat);

    // Newest first, then higher row id first: the order of every history.
    static bool newerThan(const LogEntry *a, const LogEntry *b);

protected:
    void awakeFromInsert() override;
};

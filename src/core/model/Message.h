#pragma once

#include "core/model/LogEntry.h"

class ManagedObjectContext;

class Message : public LogEntry {
public:
    static constexpr const char *EntityName = "Message";

    // A stored (or inserted, not yet saved) message with the id, or null.
    static Message *findByMessageId(ManagedObjectContext *context, qint64 messageId);

    bool mass() const { return boolValue(QStringLiteral("mass")); }
    void setMass(bool v) { setValue(QStringLiteral("mass"), v); }
    QString message() const { return stringValue(QStringLiteral("message")); }
    void setMessage(const QString &v) { setValue(QStringLiteral("message"), v); }
    qint64 messageId() const { return integerValue(QStringLiteral("messageId")); }
    void setMessageId(qint64 v) { setValue(QStringLiteral("messageId"), v); }
    bool offline() const { return boolValue(QStringLiteral("offline")); }
    void setOffline(bool v) { setValue(QStringLiteral("offline"), v); }
};

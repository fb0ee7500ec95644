#pragma once

#include "core/model/LogEntry.h"

class ManagedObject;

// A local notice in a history.
class SystemMessage : public LogEntry {
public:
    static constexpr const char *EntityName = "SystemMessage";

    QString text() const { return stringValue(QStringLiteral("text")); }
    void setText(const QString &v) { setValue(QStringLiteral("text"), v); }
    bool error() const { return boolValue(QStringLiteral("error")); }
    void setError(bool v) { setValue(QStringLiteral("error"), v); }

    // Inserts a system line into the history of a Chat or a User (any other target: none);
    // neither saves nor notifies.
    static SystemMessage *addText(const QString &text, ManagedObject *forChatOrUser, bool withError);
};

#pragma once

#include "core/model/LogEntry.h"

// A local notice in a history.
class SystemMessage : public LogEntry {
public:
    static constexpr const char *EntityName = "SystemMessage";

    QString text() const { return stringValue(QStringLiteral("text")); }
    void setText(const QString &v) { setValue(QStringLiteral("text"), v); }
    bool error() const { return boolValue(QStringLiteral("error")); }
    void setError(bool v) { setValue(QStringLiteral("error"), v); }
};

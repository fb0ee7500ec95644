#pragma once

#include "platform/store/ManagedObject.h"

// Base of every node of the user tree (users and groups). Abstract: never inserted itself.
class TreeItem : public ManagedObject {
public:
    static constexpr const char *EntityName = "TreeItem";

    QString name() const { return stringValue(QStringLiteral("name")); }
    virtual void setName(const QString &name) { setValue(QStringLiteral("name"), name); }
    bool isUser() const { return boolValue(QStringLiteral("isUser")); }
    void setIsUser(bool isUser) { setValue(QStringLiteral("isUser"), isUser); }

    // Transient: the name of the status image ("Offline", "Normal", "Away", "Dnd", "Group").
    QString icon() const { return m_icon; }
    void setIcon(const QString &icon);

    // Not in the model: the colour the name is drawn in (a colour name such as "grey"), empty
    // for the default.
    QString color() const { return m_color; }
    void setColor(const QString &color) { m_color = color; }

private:
    QString m_icon;
    QString m_color;
};

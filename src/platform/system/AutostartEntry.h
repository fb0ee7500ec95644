#pragma once

#include <QString>

// Start at login: an XDG autostart entry ($XDG_CONFIG_HOME/autostart/<id>.desktop).
class AutostartEntry {
public:
    static QString path();
    static bool exists();
    // Writes the entry starting `program`, or removes it. False when the file could not be
    // written or removed.
    static bool setEnabled(bool enable, const QString &program);
};

#pragma once

#include <QString>

// The names the desktop knows the application by.
class ApplicationId {
public:
    // Reverse-DNS id of the desktop entry, the icon and the autostart entry.
    static QString desktopId() { return QStringLiteral("org.murnavell.Murnavell"); }
};

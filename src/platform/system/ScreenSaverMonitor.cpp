#include "platform/system/ScreenSaverMonitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

ScreenSaverMonitor &ScreenSaverMonitor::shared() {
    static ScreenSaverMonitor *monitor = new ScreenSaverMonitor;
    return *monitor;
}

ScreenSaverMonitor::ScreenSaverMonitor() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    // Matched by path and interface whatever service owns them, so a screensaver started later
    // is heard too. Desktops differ in the path; a repeated notice only sets the same flag.
    for (const char *path : {"/org/freedesktop/ScreenSaver", "/ScreenSaver"})
        connected_ |=
            bus.connect(QString(), QString::fromLatin1(path), QStringLiteral("org.freedesktop.ScreenSaver"),
                        QStringLiteral("ActiveChanged"), this, SLOT(onActiveChanged(bool)));
}

void ScreenSaverMonitor::onActiveChanged(bool active) { emit activeChanged(active); }

#pragma once

#include <QObject>

// Screensaver start and stop from org.freedesktop.ScreenSaver's ActiveChanged signal on the
// session bus. Silent where there is no session bus or no such service.
class ScreenSaverMonitor : public QObject {
    Q_OBJECT
public:
    static ScreenSaverMonitor &shared();
    bool isConnected() const { return connected_; }

signals:
    void activeChanged(bool active);

private slots:
    void onActiveChanged(bool active);

private:
    ScreenSaverMonitor();
    bool connected_ = false;
};

#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>

// Keeps the display awake while the object holds it: org.freedesktop.ScreenSaver's Inhibit on
// the session bus, UnInhibit at release() or destruction. Nothing happens where there is no
// session bus or no screensaver service; the desktop also lifts the inhibition if the program
// ends without releasing it, since it is bound to the bus connection.
class ScreenSaverInhibitor : public QObject {
    Q_OBJECT
public:
    // Asks at once (asynchronously); the application's name and the reason are shown by
    // desktops that list inhibitions.
    explicit ScreenSaverInhibitor(const QString &reason, QObject *parent = nullptr);
    // Tests: another bus (a private one with a stand-in service).
    ScreenSaverInhibitor(const QString &reason, const QDBusConnection &bus, QObject *parent = nullptr);
    ~ScreenSaverInhibitor() override;

    // Lifts the inhibition (once the service has answered, if it has not yet).
    void release();
    bool isHeld() const;
    // The service's cookie, 0 until it answered (and after the release).
    uint cookie() const;

signals:
    // The service answered the request: true when the display is now kept awake.
    void answered(bool inhibited);

private:
    // Shared with the pending request, which may outlive the object: a release that comes
    // before the answer is carried out when the answer comes.
    struct State {
        QDBusConnection bus;
        uint cookie = 0;
        bool held = true;
        bool answered = false;
    };
    static void unInhibit(State &state);

    std::shared_ptr<State> state_;
};

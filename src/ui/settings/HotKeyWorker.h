#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <cstdint>
#include <functional>
#include <memory>

class Defaults;
class KeyGrabber;

// The global hot key: keeps the combination of the setting "hotKey" held while "enableHotKey"
// is on, and runs its action when it is pressed. The main interface makes it and names the two
// settings; from then on every change of either arrives through setEnabled/setHotKey.
//
// The key is held through a KeyGrabber: the X server's key grab on X, the desktop's shortcuts
// portal on Wayland where the portal offers it; where there is neither the hot key is
// unavailable and nothing is ever held. It is unavailable too once the desktop refused it. A
// stored value that is not two numbers of a known key means no hot key. What is held is let go
// when the application quits.
class HotKeyWorker : public QObject {
    Q_OBJECT
public:
    // The settings read are those of `defaults` (the standard ones when null).
    explicit HotKeyWorker(QObject *parent = nullptr, Defaults *defaults = nullptr);
    ~HotKeyWorker() override;

    // The worker whose grabber the application uses (the last made; null when none lives).
    static HotKeyWorker *current();
    // Whether a hot key can be held at all on this desktop.
    bool available() const { return m_grabber && !m_refused; }
    // The grabber for a Qt platform: X's key grab on "xcb", the portal on the session bus (or
    // `bus`) on Wayland where it offers global shortcuts; null otherwise.
    static std::unique_ptr<KeyGrabber> grabberFor(const QString &platformName);
    static std::unique_ptr<KeyGrabber> grabberFor(const QString &platformName, const QDBusConnection &bus);
    // What the desktop made the hot key, where it chose another key than the stored one; empty
    // otherwise.
    QString triggerDescription() const;
    // Replaces the grabber (tests); null leaves the worker without one.
    void setGrabber(std::unique_ptr<KeyGrabber> grabber);
    KeyGrabber *grabber() const { return m_grabber.get(); }

    QString enabledDefaultsKeyPath() const { return m_enabledKey; }
    // Follows the setting at that key; its value arrives at once.
    void setEnabledDefaultsKeyPath(const QString &key);
    QString hotKeyDefaultsKeyPath() const { return m_hotKeyKey; }
    void setHotKeyDefaultsKeyPath(const QString &key);

    QVariant enabled() const { return m_enabled; }
    void setEnabled(const QVariant &enabled);
    QVariantList hotKey() const { return m_hotKey; }
    void setHotKey(const QVariant &hotKey);
    bool registered() const { return m_registered; }
    // Whether the last registration failed: the combination is held by another program.
    bool taken() const { return m_taken; }

    void registerHotKey();
    void deregisterHotKey();

    // The stored form read as (flags, key code); false for anything that is not two numbers of
    // a known key.
    static bool parse(const QVariant &value, std::uint32_t *flags, int *keyCode);

    std::function<void()> action() const { return m_action; }
    void setAction(std::function<void()> action) { m_action = std::move(action); }
    bool hasAction() const { return bool(m_action); }
    // The key was pressed: runs the action in a later turn of the main loop.
    void trigger();

signals:
    // Held or let go (after every change of the settings).
    void registeredChanged(bool registered);
    // A registration failed (true), or the key is held or let go again (false).
    void takenChanged(bool taken);
    // The desktop refused the hot key (false), or granted it after all (true).
    void availableChanged(bool available);
    void triggerDescriptionChanged();

private:
    Defaults &defaults() const;
    void setTaken(bool taken);
    void setRefused(bool refused);
    void answered(bool held);

    Defaults *m_defaults;
    QString m_enabledKey;
    QString m_hotKeyKey;
    bool m_enabledValue = false;
    QVariant m_enabled = false;
    QVariantList m_hotKey;
    bool m_registered = false;
    bool m_taken = false;
    bool m_refused = false;
    std::unique_ptr<KeyGrabber> m_grabber;
    std::function<void()> m_action;
    QMetaObject::Connection m_enabledWatch, m_hotKeyWatch;
};

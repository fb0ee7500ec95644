#pragma once

#include "ui/settings/KeyGrabber.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QDBusMessage;

// The global key where the display server lets no program grab keys (Wayland): the desktop's
// GlobalShortcuts portal on the session bus. A grab opens a portal session and binds one
// shortcut to it, with the combination as the preferred trigger; the desktop (or the user, in a
// dialog of its own) decides what finally triggers it, and says so in its answer. Every answer
// comes back later as a Response signal of a request object, so a grab returns true once the
// session was asked for and the outcome arrives through onAnswered. Letting go closes the
// session. Owned by the hot-key worker.
class PortalKeyGrabber : public QObject, public KeyGrabber {
    Q_OBJECT
public:
    // A grabber on `bus`, or null when no portal there offers GlobalShortcuts (none running, or
    // one too old to have it).
    static std::unique_ptr<PortalKeyGrabber> create(const QDBusConnection &bus);
    ~PortalKeyGrabber() override;

    bool grab(std::uint32_t flags, int keyCode) override;
    void ungrab() override;
    QString triggerDescription() const override;
    bool decidesItself() const override { return true; }

    // The combination in the portal's trigger text ("CTRL+SHIFT+s"): modifiers, then the key's
    // keysym name; empty for a key without one.
    static QString triggerText(std::uint32_t flags, int keyCode);
    // Whether two trigger texts name the same keys, whatever their case, spelling of the
    // modifiers ("Ctrl", "Control") and order.
    static bool sameTrigger(const QString &a, const QString &b);

    // Whether a session is open and its shortcut bound.
    bool held() const { return m_state == State::Held; }
    // The portal's session, empty when none is open or asked for.
    QString sessionPath() const { return m_session; }

private slots:
    void onCreateResponse(const QDBusMessage &message);
    void onBindResponse(const QDBusMessage &message);
    void onActivated(const QDBusMessage &message);
    void onShortcutsChanged(const QDBusMessage &message);
    void onSessionClosed(const QDBusMessage &message);

private:
    enum class State { Idle, Creating, Binding, Held };

    explicit PortalKeyGrabber(const QDBusConnection &bus);
    // The path the portal gives the request made with `token` (the caller's unique name without
    // the colon, dots as underscores).
    QString requestPath(const QString &token) const;
    QString sessionPathFor(const QString &token) const;
    bool watchRequest(const QString &path, const char *slot);
    void unwatchRequest();
    void bind();
    // Ends what was asked or held and tells the worker, when it was told of a grab.
    void refuse();
    void closeSession();
    void setDescription(const QString &description);
    // The trigger the portal reported for our shortcut in a list of shortcuts; empty when absent.
    QString reportedTrigger(const QVariant &shortcuts, bool *found) const;

    QDBusConnection m_bus;
    State m_state = State::Idle;
    QString m_request;
    const char *m_requestSlot = nullptr;
    QString m_session;
    QString m_trigger;
    QString m_description;
    bool m_watchingSession = false;
};

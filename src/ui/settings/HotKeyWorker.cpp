#include "ui/settings/HotKeyWorker.h"

#include "platform/defaults/Defaults.h"
#include "ui/settings/HotKeyCodes.h"
#include "ui/settings/KeyGrabber.h"
#include "ui/settings/PortalKeyGrabber.h"
#include "ui/settings/XKeyGrabber.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>

namespace {
QPointer<HotKeyWorker> &currentWorker() {
    static QPointer<HotKeyWorker> worker;
    return worker;
}
} // namespace

HotKeyWorker::HotKeyWorker(QObject *parent, Defaults *defaults) : QObject(parent), m_defaults(defaults) {
    setGrabber(grabberFor(QGuiApplication::platformName()));
    currentWorker() = this;
    // The grab belongs to the running program only; it goes before the display does.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &HotKeyWorker::deregisterHotKey);
}

HotKeyWorker::~HotKeyWorker() {
    deregisterHotKey();
    m_grabber.reset();
}

HotKeyWorker *HotKeyWorker::current() { return currentWorker(); }

std::unique_ptr<KeyGrabber> HotKeyWorker::grabberFor(const QString &platformName) {
    // The session bus is reached only where it is needed.
    if (platformName.startsWith(QLatin1String("wayland")))
        return grabberFor(platformName, QDBusConnection::sessionBus());
    return grabberFor(platformName, QDBusConnection(QString()));
}

std::unique_ptr<KeyGrabber> HotKeyWorker::grabberFor(const QString &platformName,
                                                     const QDBusConnection &bus) {
    if (platformName == QLatin1String("xcb")) return XKeyGrabber::create();
    if (platformName.startsWith(QLatin1String("wayland"))) return PortalKeyGrabber::create(bus);
    return nullptr;
}

QString HotKeyWorker::triggerDescription() const {
    return m_grabber && m_registered ? m_grabber->triggerDescription() : QString();
}

Defaults &HotKeyWorker::defaults() const { return m_defaults ? *m_defaults : Defaults::standard(); }

void HotKeyWorker::setGrabber(std::unique_ptr<KeyGrabber> grabber) {
    const bool wasRegistered = m_registered;
    deregisterHotKey();
    m_grabber = std::move(grabber);
    setRefused(false);
    if (m_grabber) {
        m_grabber->onPressed = [this] { trigger(); };
        m_grabber->onAnswered = [this](bool held) { answered(held); };
        m_grabber->onTriggerChanged = [this] { emit triggerDescriptionChanged(); };
    }
    if (wasRegistered || (m_enabledValue && !m_hotKey.isEmpty())) registerHotKey();
}

void HotKeyWorker::setEnabledDefaultsKeyPath(const QString &key) {
    disconnect(m_enabledWatch);
    m_enabledKey = key;
    m_enabledWatch = connect(&defaults(), &Defaults::changed, this, [this](const QString &changed) {
        if (changed == m_enabledKey) setEnabled(defaults().value(m_enabledKey));
    });
    setEnabled(defaults().value(key));
}

void HotKeyWorker::setHotKeyDefaultsKeyPath(const QString &key) {
    disconnect(m_hotKeyWatch);
    m_hotKeyKey = key;
    m_hotKeyWatch = connect(&defaults(), &Defaults::changed, this, [this](const QString &changed) {
        if (changed == m_hotKeyKey) setHotKey(defaults().value(m_hotKeyKey));
    });
    setHotKey(defaults().value(key));
}

void HotKeyWorker::setEnabled(const QVariant &enabled) {
    const bool on = enabled.toBool();
    if (on == m_enabledValue) return;
    m_enabledValue = on;
    m_enabled = on;
    if (on) {
        if (!m_hotKey.isEmpty()) registerHotKey();
    } else {
        deregisterHotKey();
    }
}

bool HotKeyWorker::parse(const QVariant &value, std::uint32_t *flags, int *keyCode) {
    const QVariantList list = value.toList();
    if (list.size() != 2) return false;
    bool okFlags = false, okCode = false;
    const qlonglong f = list.first().toLongLong(&okFlags);
    const qlonglong k = list.last().toLongLong(&okCode);
    if (!okFlags || !okCode || f < 0 || f > 0xFFFFFFFFLL || k < 0) return false;
    // Key codes are 16 bits; only the four modifier bits count.
    const int code = int(k & 0xFFFF);
    if (!HotKeyCodes::keysymForKeyCode(code)) return false;
    if (flags) *flags = std::uint32_t(f) & HotKeyCodes::ModifierMask;
    if (keyCode) *keyCode = code;
    return true;
}

void HotKeyWorker::setHotKey(const QVariant &hotKey) {
    const QVariantList list = parse(hotKey, nullptr, nullptr) ? hotKey.toList() : QVariantList();
    if (!list.isEmpty() && !m_hotKey.isEmpty() &&
        list.first().toLongLong() == m_hotKey.first().toLongLong() &&
        list.last().toLongLong() == m_hotKey.last().toLongLong())
        return;
    if (list.isEmpty() && m_hotKey.isEmpty()) return;
    deregisterHotKey();
    m_hotKey = list;
    if (m_enabledValue && !m_hotKey.isEmpty()) registerHotKey();
}

void HotKeyWorker::registerHotKey() {
    if (!m_grabber) return;
    std::uint32_t flags = 0;
    int code = 0;
    if (!parse(m_hotKey, &flags, &code)) return;
    // One hot key at a time: a new registration replaces the held one.
    const bool ok = m_grabber->grab(flags, code);
    // A desktop that decides itself refuses for its own reasons, not because another program
    // holds the key.
    if (m_grabber->decidesItself())
        setRefused(!ok);
    else
        setTaken(!ok);
    if (ok != m_registered) {
        m_registered = ok;
        emit registeredChanged(ok);
    }
}

void HotKeyWorker::setTaken(bool taken) {
    if (taken == m_taken) return;
    m_taken = taken;
    emit takenChanged(taken);
}

void HotKeyWorker::setRefused(bool refused) {
    if (refused == m_refused) return;
    m_refused = refused;
    emit availableChanged(available());
}

void HotKeyWorker::answered(bool held) {
    setRefused(!held);
    if (!held && m_registered) {
        m_registered = false;
        emit registeredChanged(false);
    }
}

void HotKeyWorker::deregisterHotKey() {
    setTaken(false);
    if (!m_registered) return;
    if (m_grabber) m_grabber->ungrab();
    m_registered = false;
    emit registeredChanged(false);
}

void HotKeyWorker::trigger() {
    // Never inside the event that carried the key.
    QTimer::singleShot(0, this, [this] {
        if (m_action) m_action();
    });
}

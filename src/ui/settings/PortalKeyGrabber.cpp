#include "ui/settings/PortalKeyGrabber.h"

#include "platform/strings/Strings.h"
#include "ui/settings/HotKeyCodes.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QStringList>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kShortcutId = QStringLiteral("hotKey");
// Calls answered by the portal itself (the dialogs come later, through Response).
constexpr int kCallTimeoutMs = 5000;

// One shortcut as the portal passes them: its id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace {

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        return true;
    }();
    (void)done;
}

// Tokens only need to be unique among this program's requests.
QString nextToken(const char *what) {
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("murnavell_%1_%2").arg(QLatin1String(what)).arg(++counter);
}

// A string-or-path value of a result (portals differ in which they send).
QString pathOf(const QVariant &value) {
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

// A trigger's parts: the modifiers by one spelling each, sorted, then the key in lower case.
QStringList triggerParts(const QString &trigger) {
    QStringList parts = trigger.split(QLatin1Char('+'), Qt::SkipEmptyParts);
    for (QString &p : parts) p = p.trimmed().toUpper();
    if (parts.isEmpty()) return {};
    QString key = parts.takeLast().toLower();
    for (QString &p : parts) {
        if (p == QLatin1String("CONTROL")) p = QStringLiteral("CTRL");
        if (p == QLatin1String("SUPER") || p == QLatin1String("META") || p == QLatin1String("WIN"))
            p = QStringLiteral("LOGO");
        if (p == QLatin1String("OPTION")) p = QStringLiteral("ALT");
    }
    std::sort(parts.begin(), parts.end());
    parts.append(key);
    return parts;
}

} // namespace

std::unique_ptr<PortalKeyGrabber> PortalKeyGrabber::create(const QDBusConnection &bus) {
    if (!bus.isConnected()) return nullptr;
    registerTypes();
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kShortcuts << QStringLiteral("version");
    // No portal, a portal without the interface and a portal of a version before it all fail here.
    const QDBusMessage reply = bus.call(get, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return nullptr;
    const QVariant version = reply.arguments().first().value<QDBusVariant>().variant();
    bool ok = false;
    if (version.toUInt(&ok) < 1 || !ok) return nullptr;
    return std::unique_ptr<PortalKeyGrabber>(new PortalKeyGrabber(bus));
}

PortalKeyGrabber::PortalKeyGrabber(const QDBusConnection &bus) : m_bus(bus) {
    m_bus.connect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this,
                  SLOT(onActivated(QDBusMessage)));
    m_bus.connect(kService, kPath, kShortcuts, QStringLiteral("ShortcutsChanged"), this,
                  SLOT(onShortcutsChanged(QDBusMessage)));
}

PortalKeyGrabber::~PortalKeyGrabber() {
    ungrab();
    m_bus.disconnect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this,
                     SLOT(onActivated(QDBusMessage)));
    m_bus.disconnect(kService, kPath, kShortcuts, QStringLiteral("ShortcutsChanged"), this,
                     SLOT(onShortcutsChanged(QDBusMessage)));
}

QString PortalKeyGrabber::triggerText(std::uint32_t flags, int keyCode) {
    const std::uint32_t keysym = HotKeyCodes::keysymForKeyCode(keyCode);
    const char *name = keysym ? XKeysymToString(KeySym(keysym)) : nullptr;
    if (!name) return {};
    QString text;
    if (flags & HotKeyCodes::Control) text += QLatin1String("CTRL+");
    if (flags & HotKeyCodes::Option) text += QLatin1String("ALT+");
    if (flags & HotKeyCodes::Shift) text += QLatin1String("SHIFT+");
    if (flags & HotKeyCodes::Command) text += QLatin1String("LOGO+");
    return text + QString::fromLatin1(name);
}

bool PortalKeyGrabber::sameTrigger(const QString &a, const QString &b) {
    const QStringList pa = triggerParts(a);
    return !pa.isEmpty() && pa == triggerParts(b);
}

QString PortalKeyGrabber::requestPath(const QString &token) const {
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

QString PortalKeyGrabber::sessionPathFor(const QString &token) const {
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPath + QStringLiteral("/session/") + sender + QLatin1Char('/') + token;
}

bool PortalKeyGrabber::watchRequest(const QString &path, const char *slot) {
    unwatchRequest();
    if (!m_bus.connect(kService, path, kRequest, QStringLiteral("Response"), this, slot)) return false;
    m_request = path;
    m_requestSlot = slot;
    return true;
}

void PortalKeyGrabber::unwatchRequest() {
    if (m_request.isEmpty()) return;
    m_bus.disconnect(kService, m_request, kRequest, QStringLiteral("Response"), this, m_requestSlot);
    m_request.clear();
    m_requestSlot = nullptr;
}

bool PortalKeyGrabber::grab(std::uint32_t flags, int keyCode) {
    ungrab();
    const QString trigger = triggerText(flags & HotKeyCodes::ModifierMask, keyCode);
    if (trigger.isEmpty()) return false;
    const QString token = nextToken("request");
    const QString sessionToken = nextToken("session");
    // Listen before asking: the answer may come before the call returns.
    if (!watchRequest(requestPath(token), SLOT(onCreateResponse(QDBusMessage)))) return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kShortcuts, QStringLiteral("CreateSession"));
    call << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("session_handle_token"), sessionToken}};
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        unwatchRequest();
        return false;
    }
    // Portals before request tokens answer on a path of their own choosing.
    const QString handle = pathOf(reply.arguments().first());
    if (!handle.isEmpty() && handle != m_request) watchRequest(handle, SLOT(onCreateResponse(QDBusMessage)));
    m_state = State::Creating;
    m_trigger = trigger;
    m_session = sessionPathFor(sessionToken);
    setDescription({});
    return true;
}

void PortalKeyGrabber::onCreateResponse(const QDBusMessage &message) {
    if (m_state != State::Creating || message.path() != m_request) return;
    unwatchRequest();
    const QList<QVariant> args = message.arguments();
    const uint response = args.value(0).toUInt();
    const QVariantMap results = qdbus_cast<QVariantMap>(args.value(1));
    if (response != 0) {
        refuse();
        return;
    }
    const QString session = pathOf(results.value(QStringLiteral("session_handle")));
    if (!session.isEmpty()) m_session = session;
    m_watchingSession = m_bus.connect(kService, m_session, kSession, QStringLiteral("Closed"), this,
                                      SLOT(onSessionClosed(QDBusMessage)));
    bind();
}

void PortalKeyGrabber::bind() {
    const QString token = nextToken("request");
    if (!watchRequest(requestPath(token), SLOT(onBindResponse(QDBusMessage)))) {
        refuse();
        return;
    }
    m_state = State::Binding;
    const QList<PortalShortcut> shortcuts{
        {kShortcutId,
         {{QStringLiteral("description"),
           Strings::localized(QStringLiteral("Bring the main window forward"))},
          {QStringLiteral("preferred_trigger"), m_trigger}}}};
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kShortcuts, QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariant::fromValue(shortcuts) << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token}};
    // Not waited for: this runs inside the portal's signal.
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    const QString asked = m_request;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, asked](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        if (m_state != State::Binding || m_request != asked) return;
        const QDBusPendingReply<QDBusObjectPath> reply = *done;
        if (reply.isError()) {
            refuse();
            return;
        }
        const QString handle = reply.value().path();
        if (!handle.isEmpty() && handle != m_request)
            watchRequest(handle, SLOT(onBindResponse(QDBusMessage)));
    });
}

void PortalKeyGrabber::onBindResponse(const QDBusMessage &message) {
    if (m_state != State::Binding || message.path() != m_request) return;
    unwatchRequest();
    const QList<QVariant> args = message.arguments();
    if (args.value(0).toUInt() != 0) {
        refuse();
        return;
    }
    const QVariantMap results = qdbus_cast<QVariantMap>(args.value(1));
    bool found = false;
    const QString reported = reportedTrigger(results.value(QStringLiteral("shortcuts")), &found);
    m_state = State::Held;
    setDescription(reported);
    if (onAnswered) onAnswered(true);
}

QString PortalKeyGrabber::reportedTrigger(const QVariant &shortcuts, bool *found) const {
    *found = false;
    if (!shortcuts.canConvert<QDBusArgument>()) return {};
    const auto list = qdbus_cast<QList<PortalShortcut>>(shortcuts.value<QDBusArgument>());
    for (const PortalShortcut &s : list) {
        if (s.id != kShortcutId) continue;
        *found = true;
        return s.properties.value(QStringLiteral("trigger_description")).toString();
    }
    return {};
}

void PortalKeyGrabber::onShortcutsChanged(const QDBusMessage &message) {
    const QList<QVariant> args = message.arguments();
    if (m_state != State::Held || pathOf(args.value(0)) != m_session) return;
    bool found = false;
    const QString reported = reportedTrigger(args.value(1), &found);
    if (found) setDescription(reported);
}

void PortalKeyGrabber::setDescription(const QString &description) {
    // Only a trigger other than the one asked for is worth telling the user about.
    const QString shown =
        description.isEmpty() || sameTrigger(description, m_trigger) ? QString() : description;
    if (shown == m_description) return;
    m_description = shown;
    if (onTriggerChanged) onTriggerChanged();
}

QString PortalKeyGrabber::triggerDescription() const { return m_description; }

void PortalKeyGrabber::onActivated(const QDBusMessage &message) {
    const QList<QVariant> args = message.arguments();
    if (m_state != State::Held || pathOf(args.value(0)) != m_session ||
        args.value(1).toString() != kShortcutId)
        return;
    if (onPressed) onPressed();
}

void PortalKeyGrabber::onSessionClosed(const QDBusMessage &message) {
    // The desktop ended the session (the user revoked the shortcut): nothing is held any more.
    if (message.path() != m_session || m_state == State::Idle) return;
    m_watchingSession = false;
    m_bus.disconnect(kService, m_session, kSession, QStringLiteral("Closed"), this,
                     SLOT(onSessionClosed(QDBusMessage)));
    m_session.clear();
    refuse();
}

void PortalKeyGrabber::refuse() {
    closeSession();
    if (onAnswered) onAnswered(false);
}

void PortalKeyGrabber::closeSession() {
    // A session still being made: its request is withdrawn, so the portal makes none.
    if (m_state == State::Creating && !m_request.isEmpty())
        m_bus.send(QDBusMessage::createMethodCall(kService, m_request, kRequest, QStringLiteral("Close")));
    unwatchRequest();
    if (m_watchingSession)
        m_bus.disconnect(kService, m_session, kSession, QStringLiteral("Closed"), this,
                         SLOT(onSessionClosed(QDBusMessage)));
    m_watchingSession = false;
    if ((m_state == State::Binding || m_state == State::Held) && !m_session.isEmpty())
        m_bus.send(QDBusMessage::createMethodCall(kService, m_session, kSession, QStringLiteral("Close")));
    m_state = State::Idle;
    m_session.clear();
    m_trigger.clear();
    setDescription({});
}

void PortalKeyGrabber::ungrab() { closeSession(); }

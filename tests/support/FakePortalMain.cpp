// A stand-in for the desktop's GlobalShortcuts portal on the session bus of a test
// ($DBUS_SESSION_BUS_ADDRESS): it answers CreateSession and BindShortcuts through request
// objects as a desktop does, and says what it was asked, one line each on standard output:
//   ready | CreateSession SESSION | BindShortcuts SESSION ID TRIGGER | SessionClose SESSION |
//   RequestClose REQUEST
// Options: --version N (-1: no GlobalShortcuts at all), --refuse create|bind (the request's
// Response says no), --fail create|bind (the call itself fails), --trigger TEXT (the trigger
// it reports instead of the one asked for).
// Commands on standard input: "activate ID" (the Activated signal of the last session),
// "change TEXT" (ShortcutsChanged with that trigger), "close" (the session's Closed signal).
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QSocketNotifier>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

struct Shortcut {
    QString id;
    QVariantMap properties;
};

} // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

QDBusArgument &operator<<(QDBusArgument &a, const Shortcut &s) {
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}

const QDBusArgument &operator>>(const QDBusArgument &a, Shortcut &s) {
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}

void say(const QString &line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class FakePortal : public QDBusVirtualObject {
public:
    int version = 1;
    QString refuse, fail, trigger;
    QString session, boundId, boundTrigger;

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override {
        // Handled in the main thread, in order.
        QMetaObject::invokeMethod(
            this, [this, message] { handle(message); }, Qt::QueuedConnection);
        return true;
    }

    void command(const QString &line) {
        const QString verb = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (verb == QLatin1String("activate")) {
            QDBusMessage s = QDBusMessage::createSignal(kPath, kShortcuts, QStringLiteral("Activated"));
            s << QVariant::fromValue(QDBusObjectPath(session)) << rest
              << quint64(QDateTime::currentMSecsSinceEpoch()) << QVariantMap();
            bus.send(s);
        } else if (verb == QLatin1String("change")) {
            QDBusMessage s =
                QDBusMessage::createSignal(kPath, kShortcuts, QStringLiteral("ShortcutsChanged"));
            s << QVariant::fromValue(QDBusObjectPath(session))
              << QVariant::fromValue(
                     QList<Shortcut>{{boundId, {{QStringLiteral("trigger_description"), rest}}}});
            bus.send(s);
        } else if (verb == QLatin1String("close")) {
            QDBusMessage s = QDBusMessage::createSignal(
                session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Closed"));
            s << QVariantMap();
            bus.send(s);
        }
        say(QStringLiteral("done ") + verb);
    }

private:
    static QString sender(const QDBusMessage &m) {
        QString s = m.service().mid(1);
        return s.replace(QLatin1Char('.'), QLatin1Char('_'));
    }

    void respond(const QString &request, uint code, const QVariantMap &results) {
        QDBusMessage s = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                    QStringLiteral("Response"));
        s << code << results;
        QDBusConnection::sessionBus().send(s);
    }

    void handle(const QDBusMessage &m) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        const QList<QVariant> args = m.arguments();
        if (m.interface() == QLatin1String("org.freedesktop.DBus.Properties") &&
            m.member() == QLatin1String("Get")) {
            if (version < 0 || args.value(0).toString() != kShortcuts)
                bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
                                            "none"));
            else
                bus.send(m.createReply(QVariant::fromValue(QDBusVariant(uint(version)))));
            return;
        }
        if (m.member() == QLatin1String("Close")) {
            const bool isSession = m.interface() == QLatin1String("org.freedesktop.portal.Session");
            say((isSession ? QStringLiteral("SessionClose ") : QStringLiteral("RequestClose ")) + m.path());
            bus.send(m.createReply());
            return;
        }
        if (version < 0 || m.interface() != kShortcuts) {
            bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                        "no such method"));
            return;
        }
        if (m.member() == QLatin1String("CreateSession")) {
            const QVariantMap options = qdbus_cast<QVariantMap>(args.value(0));
            const QString request = kPath + QStringLiteral("/request/") + sender(m) + QLatin1Char('/') +
                                    options.value(QStringLiteral("handle_token")).toString();
            const QString made = kPath + QStringLiteral("/session/") + sender(m) + QLatin1Char('/') +
                                 options.value(QStringLiteral("session_handle_token")).toString();
            say(QStringLiteral("CreateSession ") + made);
            if (fail == QLatin1String("create")) {
                bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"), "no"));
                return;
            }
            bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            if (refuse == QLatin1String("create")) {
                respond(request, 2, {});
                return;
            }
            session = made;
            respond(request, 0, {{QStringLiteral("session_handle"), made}});
            return;
        }
        if (m.member() == QLatin1String("BindShortcuts")) {
            const QString asked = args.value(0).value<QDBusObjectPath>().path();
            const auto shortcuts = qdbus_cast<QList<Shortcut>>(args.value(1).value<QDBusArgument>());
            const QVariantMap options = qdbus_cast<QVariantMap>(args.value(3));
            const QString request = kPath + QStringLiteral("/request/") + sender(m) + QLatin1Char('/') +
                                    options.value(QStringLiteral("handle_token")).toString();
            for (const Shortcut &s : shortcuts)
                say(QStringLiteral("BindShortcuts %1 %2 %3")
                        .arg(asked, s.id,
                             s.properties.value(QStringLiteral("preferred_trigger")).toString()));
            if (fail == QLatin1String("bind")) {
                bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"), "no"));
                return;
            }
            bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            if (refuse == QLatin1String("bind") || shortcuts.isEmpty()) {
                respond(request, 1, {});
                return;
            }
            boundId = shortcuts.first().id;
            boundTrigger =
                trigger.isEmpty()
                    ? shortcuts.first().properties.value(QStringLiteral("preferred_trigger")).toString()
                    : trigger;
            const QList<Shortcut> bound{{boundId,
                                         {{QStringLiteral("description"), QStringLiteral("given")},
                                          {QStringLiteral("trigger_description"), boundTrigger}}}};
            respond(request, 0, {{QStringLiteral("shortcuts"), QVariant::fromValue(bound)}});
            return;
        }
        bus.send(
            m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), "no such method"));
    }
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    FakePortal portal;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--version")) portal.version = args[i + 1].toInt();
        if (args[i] == QLatin1String("--refuse")) portal.refuse = args[i + 1];
        if (args[i] == QLatin1String("--fail")) portal.fail = args[i + 1];
        if (args[i] == QLatin1String("--trigger")) portal.trigger = args[i + 1];
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.registerVirtualObject(kPath, &portal, QDBusConnection::SubPath) ||
        !bus.registerService(kService)) {
        std::fprintf(stderr, "fake portal: no bus\n");
        return 1;
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, int(n));
        for (int end; (end = pending.indexOf('\n')) >= 0;) {
            portal.command(QString::fromUtf8(pending.left(end)));
            pending.remove(0, end + 1);
        }
    });
    say(QStringLiteral("ready"));
    return app.exec();
}

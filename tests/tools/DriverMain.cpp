// One copy of the messaging core for end-to-end tests: its store in XDG_DATA_HOME, its
// settings, the local user and the TCP server on the messaging port. Commands come on standard
// input, one a line; events go to standard output as JSON, one a line.
//
// Environment: MURNAVELL_USER_ID fixes the local user's id (otherwise the stored or a random
// one); MURNAVELL_USER_NAME its name; MURNAVELL_NO_SYSTEM=1 leaves network-change and sleep
// notices alone.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Me.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/DescriptorLimit.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    // Every connection holds a descriptor: room for many peers before any socket opens.
    dispatch::DescriptorLimit::raiseToHardLimit();
    RegisteredDefaults::registerMessaging(Defaults::standard());
    appManagedObjectContext();

    UserList roster;
    UserList::setShared(&roster);
    roster.updateMe();
    Me *me = roster.me();
    if (!me) {
        DriverCommands::error(QStringLiteral("start"), QStringLiteral("no local user"));
        return 1;
    }
    if (const QString id = qEnvironmentVariable("MURNAVELL_USER_ID"); !id.isEmpty()) me->setUserId(id);
    if (const QString name = qEnvironmentVariable("MURNAVELL_USER_NAME"); !name.isEmpty())
        me->User::setName(name);
    me->setStatus(QStringLiteral("0"));
    saveContextIfChanged();

    const bool watchSystem = qEnvironmentVariable("MURNAVELL_NO_SYSTEM") != QLatin1String("1");
    TCPserver server(TCPserver::DefaultPort, TCPserver::DefaultPort, watchSystem);
    TCPserver::setShared(&server);

    DriverCommands::add(QStringLiteral("quit"), [&](const QString &) {
        DriverCommands::shutdown();
        server.turnOffserver();
        saveContextIfChanged();
        DriverCommands::emitEvent({{QStringLiteral("event"), QStringLiteral("bye")}});
        QCoreApplication::exit(0);
    });
    DriverCommands::add(QStringLiteral("commands"), [](const QString &) {
        DriverCommands::emitEvent(
            {{QStringLiteral("event"), QStringLiteral("commands")},
             {QStringLiteral("names"), QJsonArray::fromStringList(DriverCommands::names())}});
    });
    DriverCommands::startup();

    // Standard input, read as it comes; its end is a quit.
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[65536];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            DriverCommands::run(QStringLiteral("quit"));
            return;
        }
        pending.append(buf, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            DriverCommands::run(line);
        }
    });

    DriverCommands::emitEvent({{QStringLiteral("event"), QStringLiteral("ready")},
                               {QStringLiteral("userId"), me->userId()},
                               {QStringLiteral("listening"), server.isListening()}});
    const int code = QCoreApplication::exec();
    TCPserver::setShared(nullptr);
    UserList::setShared(nullptr);
    return code;
}

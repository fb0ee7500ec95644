// Presence commands of the driver: the UDP server started with the copy, the local user's
// status, name and details, extra discovery targets, information requests and typing notices,
// the sign-in after a stop, the events of presence and networking, a main thread held busy and
// the presence socket's counts.
//
// Environment: MURNAVELL_NO_PRESENCE=1 starts no UDP server, for tests that introduce users
// by hand and must not have them found or taken offline by presence.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/BroadcastItem.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <thread>

namespace {

// Lives until the process ends, like the application's own server.
UDPserver *server = nullptr;

void setStatus(const QString &rest) {
    Me *me = Me::current();
    const QString code = rest.trimmed();
    if (!me || code.isEmpty()) return DriverCommands::error("set-status", "usage: set-status <code>");
    me->setStatus(code);
    saveContextIfChanged();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "set-status"}, {"status", me->status()}});
}

void setName(const QString &rest) {
    Me *me = Me::current();
    const QString name = rest.trimmed();
    if (!me || name.isEmpty()) return DriverCommands::error("set-name", "usage: set-name <name>");
    me->setName(name);
    saveContextIfChanged();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "set-name"}, {"name", me->name()}});
}

// "add-target <ip>": a single address, as the settings window adds one, and a fresh "UI".
void addTarget(const QString &rest) {
    BroadcastItem item;
    item.setType(BroadcastItem::kSingle);
    item.setFirstValue(rest.trimmed());
    if (!item.validate()) return DriverCommands::error("add-target", "not an IPv4 address: " + rest);
    Defaults &defaults = Defaults::standard();
    QVariantList targets = defaults.arrayForKey(QStringLiteral("broadcasts"));
    targets.append(item.dictionary());
    defaults.setValue(QStringLiteral("broadcasts"), targets);
    if (server) server->RefreshUserList(false);
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "add-target"}, {"look", item.look()}});
}

User *knownUser(const QString &id) {
    return UserList::shared() ? UserList::shared()->getUserById(id.trimmed(), {}) : nullptr;
}

// "set-details <first name>|<last name>": details that peers fetch with an information request.
void setDetails(const QString &rest) {
    Me *me = Me::current();
    const QStringList parts = rest.split(u'|');
    if (!me || parts.size() != 2)
        return DriverCommands::error("set-details", "usage: set-details <first>|<last>");
    me->setFirstName(parts[0].trimmed());
    me->setLastName(parts[1].trimmed());
    saveContextIfChanged();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "set-details"}});
}

// "info <userId>": asks the user for its details ("TRI"), as the user-information window does.
void info(const QString &rest) {
    User *u = knownUser(rest);
    if (!u) return DriverCommands::error("info", "unknown user " + rest);
    u->RequestUserInfo();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "info"}});
}

// "typing <userId>": a typing notice to the user.
void typing(const QString &rest) {
    User *u = knownUser(rest);
    if (!u) return DriverCommands::error("typing", "unknown user " + rest);
    u->sendIsTyping();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "typing"}});
}

// "details <userId>": the user's name and the details the information answer carries.
void details(const QString &rest) {
    User *u = knownUser(rest);
    if (!u) return DriverCommands::error("details", "unknown user " + rest);
    DriverCommands::emitEvent({{"event", "details"},
                               {"id", u->userId()},
                               {"name", u->name()},
                               {"firstName", u->firstName()},
                               {"lastName", u->lastName()}});
}

// "sign-in": what the main window's sign-in button does after another copy used our id.
void signIn(const QString &) {
    UserList *roster = UserList::shared();
    if (!roster) return DriverCommands::error("sign-in", "no roster");
    roster->signInButtonClicked();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "sign-in"}});
}

// "hold <ms>": the main thread is busy for that long (a modal dialog, a slow disk) and takes
// nothing in meanwhile; says "holding" first and "ok" after.
void hold(const QString &rest) {
    bool ok = false;
    const int ms = rest.trimmed().toInt(&ok);
    if (!ok || ms < 0 || ms > 60000) return DriverCommands::error("hold", "usage: hold <ms up to 60000>");
    DriverCommands::emitEvent({{"event", "holding"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "hold"}});
}

// "presence-stats [prefix]": the presence socket's granted receive buffer, the datagrams it
// handed over so far, and how many users (and online users) have ids starting with the prefix.
void presenceStats(const QString &rest) {
    const QString prefix = rest.trimmed();
    int known = 0, online = 0;
    if (UserList *roster = UserList::shared())
        for (User *u : roster->allUsersWithoutOffline(false, false)) {
            if (!u->userId().startsWith(prefix) || u->removed()) continue;
            ++known;
            if (!u->userOffline()) ++online;
        }
    DriverCommands::emitEvent({{"event", "presence-stats"},
                               {"receiveBuffer", server ? server->receiveBufferSize() : 0},
                               {"received", server ? server->receivedDatagrams() : 0},
                               {"known", known},
                               {"online", online}});
}

DriverCommands::Registrar presence([] {
    DriverCommands::add(QStringLiteral("hold"), hold);
    DriverCommands::add(QStringLiteral("presence-stats"), presenceStats);
    DriverCommands::add(QStringLiteral("sign-in"), signIn);
    DriverCommands::add(QStringLiteral("set-details"), setDetails);
    DriverCommands::add(QStringLiteral("info"), info);
    DriverCommands::add(QStringLiteral("typing"), typing);
    DriverCommands::add(QStringLiteral("details"), details);
    DriverCommands::add(QStringLiteral("set-status"), setStatus);
    DriverCommands::add(QStringLiteral("set-name"), setName);
    DriverCommands::add(QStringLiteral("add-target"), addTarget);
    DriverCommands::addStartup([] {
        if (qEnvironmentVariable("MURNAVELL_NO_PRESENCE") == QLatin1String("1")) return;
        server = new UDPserver();
        QObject::connect(server, &UDPserver::presenceReceived, server,
                         [](const QString &word, const QString &id) {
                             DriverCommands::emitEvent({{"event", "presence"}, {"word", word}, {"from", id}});
                         });
        if (UserList *roster = UserList::shared())
            QObject::connect(roster, &UserList::networkingChanged, roster, [](bool on) {
                DriverCommands::emitEvent({{"event", "networking"}, {"on", on}});
            });
        server->beginWork();
    });
    DriverCommands::addShutdown([] {
        // "UO" must be on the wire before the process goes: wait (bounded) for the socket.
        if (UserList *roster = UserList::shared()) roster->goOffline();
        saveContextIfChanged();
        QDeadlineTimer deadline(1000);
        while (server && server->pendingSends() > 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    });
});

} // namespace

#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

// The driver's commands and events. A command is a line "<name> <arguments...>"; its function
// gets the rest of the line. A source file adds its commands with a static Registrar, so new
// commands need no change anywhere else:
//
//     static DriverCommands::Registrar presence([] {
//         DriverCommands::add("presence", [](const QString &rest) { ... });
//     });
class DriverCommands {
public:
    using Command = std::function<void(const QString &rest)>;
    using Hook = std::function<void()>;

    struct Registrar {
        explicit Registrar(const Hook &registerCommands);
    };

    static void add(const QString &name, Command command);
    // Run once the core is up (store, settings, local user, TCP server), before "ready".
    static void addStartup(Hook hook);
    // Run at "quit" before the store is saved.
    static void addShutdown(Hook hook);

    // Runs one input line; an unknown command gives an "error" event.
    static void run(const QString &line);
    static QStringList names();
    static void startup();
    static void shutdown();

    // One event, one line on standard output, flushed.
    static void emitEvent(const QJsonObject &event);
    static void error(const QString &command, const QString &message);

    // Splits "<first> <rest>" at the first run of blanks.
    static QString firstWord(const QString &text, QString *rest = nullptr);
};

#include "DriverCommands.h"

#include <QHash>
#include <QJsonDocument>

#include <cstdio>
#include <vector>

namespace {

struct Registry {
    QHash<QString, DriverCommands::Command> commands;
    std::vector<DriverCommands::Hook> startup;
    std::vector<DriverCommands::Hook> shutdown;
};

Registry &registry() {
    static Registry r;
    return r;
}

} // namespace

DriverCommands::Registrar::Registrar(const Hook &registerCommands) { registerCommands(); }

void DriverCommands::add(const QString &name, Command command) {
    registry().commands.insert(name, std::move(command));
}

void DriverCommands::addStartup(Hook hook) { registry().startup.push_back(std::move(hook)); }

void DriverCommands::addShutdown(Hook hook) { registry().shutdown.push_back(std::move(hook)); }

QStringList DriverCommands::names() {
    QStringList out = registry().commands.keys();
    out.sort();
    return out;
}

void DriverCommands::startup() {
    for (const Hook &hook : registry().startup) hook();
}

void DriverCommands::shutdown() {
    for (const Hook &hook : registry().shutdown) hook();
}

QString DriverCommands::firstWord(const QString &text, QString *rest) {
    const QString trimmed = text.trimmed();
    const qsizetype blank = trimmed.indexOf(u' ');
    if (rest) *rest = blank < 0 ? QString() : trimmed.mid(blank + 1).trimmed();
    return blank < 0 ? trimmed : trimmed.left(blank);
}

void DriverCommands::run(const QString &line) {
    QString rest;
    const QString name = firstWord(line, &rest);
    if (name.isEmpty()) return;
    const auto it = registry().commands.constFind(name);
    if (it == registry().commands.constEnd()) {
        error(name, QStringLiteral("unknown command"));
        return;
    }
    (*it)(rest);
}

void DriverCommands::emitEvent(const QJsonObject &event) {
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void DriverCommands::error(const QString &command, const QString &message) {
    emitEvent({{QStringLiteral("event"), QStringLiteral("error")},
               {QStringLiteral("command"), command},
               {QStringLiteral("message"), message}});
}

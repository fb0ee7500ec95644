// File-transfer commands of the driver: the file server started with the copy, sending files,
// the list of transfers with their states, and the decision a user takes in the transfer view.
// With "fileTransferAutoAccept" on (the default) the driver accepts as the view does when it
// first shows an incoming transfer; "auto-accept off" leaves the decision to accept/decline.
//
// Environment: MURNAVELL_FILE_PORT listens (and connects) on another port than 19880.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"

#include <QJsonArray>

namespace {

// Lives until the process ends, like the application's own server.
FILEserver *server = nullptr;

QJsonObject transferJson(FileTransfer *t) {
    const QList<User *> users = t->user();
    QJsonArray files;
    for (const QString &f : t->receivedFiles()) files.append(f);
    return {{"transfer", double(t->rowId())},
            {"incoming", t->incoming()},
            {"peer", users.isEmpty() ? QString() : users.first()->userId()},
            {"state", double(t->transferState())},
            {"filesNumber", double(t->filesNumber())},
            {"filesTransferred", double(t->filesTransferred())},
            {"filesTotalSize", double(t->filesTotalSize())},
            {"bytes", double(t->bytesReceived())},
            {"encrypt", t->encrypt()},
            {"folder", t->folderPath().toLocalFile()},
            {"files", files}};
}

void watch(FileTransfer *t) {
    QObject::connect(t, &ManagedObject::attributeChanged, t, [t](const QString &key, const QVariant &) {
        if (key != QLatin1String("transferState") || t->isDeleted()) return;
        QJsonObject event = transferJson(t);
        event.insert("event", "transfer");
        DriverCommands::emitEvent(event);
    });
}

FileTransfer *transferById(const QString &text) {
    bool ok = false;
    const qint64 id = text.trimmed().toLongLong(&ok);
    if (!ok) return nullptr;
    for (FileTransfer *t : appManagedObjectContext()->fetch<FileTransfer>())
        if (t->rowId() == id && !t->isDeleted()) return t;
    return nullptr;
}

void sendFiles(const QString &rest) {
    QString paths;
    const QString id = DriverCommands::firstWord(rest, &paths);
    User *u = UserList::shared() ? UserList::shared()->getUserById(id, {}) : nullptr;
    if (!u) return DriverCommands::error("send-files", "unknown user " + id);
    const QStringList list = paths.split(u' ', Qt::SkipEmptyParts);
    if (list.isEmpty()) return DriverCommands::error("send-files", "usage: send-files <userId> <path...>");
    FileTransfer *made = nullptr;
    const auto c =
        QObject::connect(server, &FILEserver::outgoingTransfer, [&made](FileTransfer *t) { made = t; });
    const bool ok = server->outgoingFiles(list, u);
    QObject::disconnect(c);
    if (!ok || !made) return DriverCommands::error("send-files", "nothing to send");
    QJsonObject event = transferJson(made);
    event.insert("event", "transfer-started");
    DriverCommands::emitEvent(event);
}

void transfers(const QString &) {
    QJsonArray list;
    for (FileTransfer *t : appManagedObjectContext()->fetch<FileTransfer>())
        if (!t->isDeleted()) list.append(transferJson(t));
    DriverCommands::emitEvent({{"event", "transfers"}, {"transfers", list}});
}

void decide(const QString &command, const QString &rest, qint64 state) {
    FileTransfer *t = transferById(rest);
    if (!t) return DriverCommands::error(command, "unknown transfer " + rest);
    t->ContinueTransfer(state);
    DriverCommands::emitEvent({{"event", "ok"}, {"command", command}, {"transfer", double(t->rowId())}});
}

void autoAccept(const QString &rest) {
    const QString v = rest.trimmed();
    if (v != QLatin1String("on") && v != QLatin1String("off"))
        return DriverCommands::error("auto-accept", "usage: auto-accept on|off");
    Defaults::standard().setValue(QStringLiteral("fileTransferAutoAccept"), v == QLatin1String("on"));
    DriverCommands::emitEvent(
        {{"event", "ok"}, {"command", "auto-accept"}, {"on", v == QLatin1String("on")}});
}

DriverCommands::Registrar transfer([] {
    DriverCommands::add(QStringLiteral("send-files"), sendFiles);
    DriverCommands::add(QStringLiteral("transfers"), transfers);
    DriverCommands::add(QStringLiteral("accept"),
                        [](const QString &r) { decide("accept", r, FileTransfer::Transferring); });
    DriverCommands::add(QStringLiteral("decline"),
                        [](const QString &r) { decide("decline", r, FileTransfer::Canceled); });
    DriverCommands::add(QStringLiteral("auto-accept"), autoAccept);
    DriverCommands::addStartup([] {
        FILEserver::registerDefaults(Defaults::standard());
        bool ok = false;
        const uint port = qEnvironmentVariable("MURNAVELL_FILE_PORT").toUInt(&ok);
        const std::uint16_t p =
            ok && port > 0 && port < 65536 ? std::uint16_t(port) : FILEserver::DefaultPort;
        server = new FILEserver(p, p);
        FILEserver::setShared(server);
        if (TCPserver *tcp = TCPserver::shared())
            tcp->setFileServerAdapterChanged([] { server->adapterChanged(); });
        ManagedObjectContext *ctx = appManagedObjectContext();
        QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, [](ManagedObject *o) {
            if (auto *t = dynamic_cast<FileTransfer *>(o)) watch(t);
        });
        QObject::connect(server, &FILEserver::incomingTransfer, server, [](FileTransfer *t) {
            QJsonObject event = transferJson(t);
            event.insert("event", "incoming-transfer");
            DriverCommands::emitEvent(event);
            // As the transfer view does when it first shows a waiting transfer.
            if (t->transferState() == FileTransfer::WaitingForAnswer &&
                Defaults::standard().boolForKey(QStringLiteral("fileTransferAutoAccept")))
                t->ContinueTransfer(FileTransfer::Transferring);
        });
        DriverCommands::emitEvent({{"event", "file-server"},
                                   {"listening", server->isListening()},
                                   {"port", double(server->listeningPort())}});
    });
});

} // namespace

// Messaging commands of the driver, and the events of stored messages, deliveries and status.
#include "DriverCommands.h"

#include "core/app/AppContext.h"
#include "core/model/Group.h"
#include "core/model/LogEntry.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/ManagedObjectContext.h"

#include <QHash>
#include <QJsonArray>
#include <QPointer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using Json = QJsonObject;

// What became of each message this copy sent: "sent", "delivered" or "failed".
QHash<qint64, QString> &outcomes() {
    static QHash<qint64, QString> map;
    return map;
}

QString idText(qint64 id) { return QString::number(id); }

User *knownUser(const QString &id) {
    return UserList::shared() ? UserList::shared()->getUserById(id, {}) : nullptr;
}

void watchStatus(User *user) {
    QObject::connect(user, &ManagedObject::attributeChanged, user,
                     [user](const QString &key, const QVariant &) {
                         if (key != QLatin1String("status")) return;
                         DriverCommands::emitEvent(
                             {{"event", "status"}, {"user", user->userId()}, {"status", user->status()}});
                     });
}

void reportInserted(ManagedObject *object) {
    if (auto *user = dynamic_cast<User *>(object)) {
        watchStatus(user);
        return;
    }
    // The handler fills the row after inserting it; report it once the read is over.
    QPointer<ManagedObject> guard(object);
    dispatch::Queue::main()->async([guard] {
        if (!guard || guard->isDeleted()) return;
        if (auto *m = dynamic_cast<Message *>(guard.data()); m && m->incoming()) {
            const QList<User *> users = m->user();
            DriverCommands::emitEvent({{"event", "message"},
                                       {"from", users.isEmpty() ? QString() : users.first()->userId()},
                                       {"id", idText(m->messageId())},
                                       {"text", m->message()},
                                       {"mass", m->mass()},
                                       {"offline", m->offline()}});
        } else if (auto *held = dynamic_cast<MessageForForwarding *>(guard.data())) {
            QJsonArray recipients;
            for (User *u : held->recipients()) recipients.append(u->userId());
            DriverCommands::emitEvent(
                {{"event", "held"}, {"id", idText(held->messageId())}, {"for", recipients}});
        }
    });
}

QJsonObject userJson(User *u) {
    return {{"id", u->userId()},
            {"ip", u->ip()},
            {"status", u->status()},
            {"offline", u->userOffline()},
            {"name", u->name()},
            {"me", u == Me::current()},
            // Details that only the "TSI" answer carries, and the presence ones.
            {"pc", u->pc()},
            {"logonUser", u->logonUser()},
            {"oSversion", u->oSversion()},
            {"version", u->version()},
            {"removed", u->removed()}};
}

void addUser(const QString &rest) {
    const QStringList args = rest.split(u' ', Qt::SkipEmptyParts);
    if (args.size() < 2) return DriverCommands::error("add-user", "usage: add-user <userId> <ip> [name]");
    ManagedObjectContext *ctx = appManagedObjectContext();
    User *u = knownUser(args[0]);
    if (!u) {
        u = ctx->insert<User>();
        u->setUserId(args[0]);
        u->setGroup(Group::general(ctx));
    }
    u->setIp(args[1]);
    if (args.size() > 2) u->setName(args.mid(2).join(u' '));
    u->setStatus(QStringLiteral("0"));
    saveContextIfChanged();
    DriverCommands::emitEvent({{"event", "ok"}, {"command", "add-user"}, {"user", userJson(u)}});
}

void reportSent(Message *m, const QList<User *> &to) {
    if (!m) return DriverCommands::error("send", "nothing stored");
    outcomes().insert(m->messageId(), QStringLiteral("sent"));
    QJsonArray ids;
    for (User *u : to) ids.append(u->userId());
    DriverCommands::emitEvent(
        {{"event", "sent"}, {"id", idText(m->messageId())}, {"to", ids}, {"text", m->message()}});
}

void send(const QString &rest) {
    QString text;
    const QString id = DriverCommands::firstWord(rest, &text);
    User *u = knownUser(id);
    if (!u) return DriverCommands::error("send", "unknown user " + id);
    reportSent(u->SendMessage(text), {u});
}

void sendMass(const QString &rest) {
    QString text;
    const QStringList ids = DriverCommands::firstWord(rest, &text).split(u',', Qt::SkipEmptyParts);
    QList<User *> users;
    for (const QString &id : ids) {
        User *u = knownUser(id);
        if (!u) return DriverCommands::error("send-mass", "unknown user " + id);
        users.append(u);
    }
    if (users.isEmpty()) return DriverCommands::error("send-mass", "no recipients");
    reportSent(users.first()->SendMessage(text, users), users);
}

void history(const QString &rest) {
    User *u = knownUser(rest.trimmed());
    if (!u) return DriverCommands::error("history", "unknown user " + rest);
    QJsonArray entries;
    const QList<LogEntry *> lines = u->lastLogEnties(int(qMin<qint64>(u->logEntriesNumber(), 100000)));
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        auto *m = dynamic_cast<Message *>(*it);
        if (!m) continue;
        const QString status = m->incoming() ? QStringLiteral("received")
                                             : outcomes().value(m->messageId(), QStringLiteral("stored"));
        entries.append(Json{{"direction", m->incoming() ? "in" : "out"},
                            {"messageId", idText(m->messageId())},
                            {"text", m->message()},
                            {"status", status},
                            {"mass", m->mass()},
                            {"offline", m->offline()}});
    }
    DriverCommands::emitEvent({{"event", "history"}, {"user", u->userId()}, {"entries", entries}});
}

void users(const QString &) {
    QJsonArray list;
    for (User *u : appManagedObjectContext()->fetch<User>()) list.append(userJson(u));
    DriverCommands::emitEvent({{"event", "users"}, {"users", list}});
}

// "raw <ip> garbage|repeat|huge": a misbehaving peer. Sends to the copy at ip and tells whether
// the connection was closed on it and what came back.
void raw(const QString &rest) {
    const QStringList args = rest.split(u' ', Qt::SkipEmptyParts);
    if (args.size() < 2) return DriverCommands::error("raw", "usage: raw <ip> garbage|repeat|huge");
    const QString ip = args[0], mode = args[1];
    QList<QByteArray> sends;
    if (mode == QLatin1String("garbage")) {
        sends = {QByteArray("definitely not a frame \x1f\x1f\r\n")};
    } else if (mode == QLatin1String("repeat")) {
        const Me *me = Me::current();
        const QString target = args.value(2);
        const PacketArray fields = {
            "TSM",  QString::number(User::genInt64random()),     me->pc(), me->userId(), "*",
            target, encodeTextField(QStringLiteral("repeated")), "*"};
        const QByteArray frame = KDTPacket::PlainPackeFromArray(fields) + "\r\n";
        sends = {frame, frame};
    } else if (mode == QLatin1String("huge")) {
        sends = {QByteArray()}; // 64 MiB of Base64 text without a line end, made in the thread
    } else {
        return DriverCommands::error("raw", "unknown mode " + mode);
    }
    const QByteArray address = ip.toLatin1();
    std::thread([address, sends, mode] {
        QJsonArray results;
        for (const QByteArray &payload : sends) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(TCPserver::DefaultPort);
            ::inet_pton(AF_INET, address.constData(), &a.sin_addr);
            Json result;
            if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                result = {{"connected", false}};
            } else {
                qint64 sent = 0;
                bool sendFailed = false;
                if (mode == QLatin1String("huge")) {
                    const QByteArray chunk(1 << 20, 'Q');
                    for (int i = 0; i < 64 && !sendFailed; ++i) {
                        const ssize_t n = ::send(fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
                        if (n <= 0)
                            sendFailed = true;
                        else
                            sent += n;
                    }
                } else {
                    const ssize_t n = ::send(fd, payload.constData(), size_t(payload.size()), MSG_NOSIGNAL);
                    sendFailed = n != payload.size();
                    sent = n > 0 ? n : 0;
                }
                // Wait (bounded) for the other side to close.
                QByteArray reply;
                bool closed = false;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
                while (std::chrono::steady_clock::now() < deadline) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 100) <= 0) continue;
                    char buf[4096];
                    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                    if (n <= 0) {
                        closed = true;
                        break;
                    }
                    reply.append(buf, n);
                }
                result = {{"connected", true},
                          {"sent", double(sent)},
                          {"sendFailed", sendFailed},
                          {"closed", closed},
                          {"reply", QString::fromLatin1(reply.toBase64())}};
            }
            ::close(fd);
            results.append(result);
        }
        dispatch::Queue::main()->async([results, mode] {
            DriverCommands::emitEvent({{"event", "raw-done"}, {"mode", mode}, {"results", results}});
        });
    }).detach();
}

DriverCommands::Registrar messaging([] {
    DriverCommands::add(QStringLiteral("add-user"), addUser);
    DriverCommands::add(QStringLiteral("send"), send);
    DriverCommands::add(QStringLiteral("send-mass"), sendMass);
    DriverCommands::add(QStringLiteral("history"), history);
    DriverCommands::add(QStringLiteral("users"), users);
    DriverCommands::add(QStringLiteral("raw"), raw);
    DriverCommands::addStartup([] {
        ManagedObjectContext *ctx = appManagedObjectContext();
        for (User *u : ctx->fetch<User>()) watchStatus(u);
        QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, reportInserted);
        TCPserver *server = TCPserver::shared();
        QObject::connect(server, &TCPserver::delivered, server, [](User *to, ManagedObject *object) {
            auto *m = dynamic_cast<Message *>(object);
            if (!m || !to) return;
            outcomes().insert(m->messageId(), QStringLiteral("delivered"));
            DriverCommands::emitEvent(
                {{"event", "delivered"}, {"to", to->userId()}, {"id", idText(m->messageId())}});
        });
        QObject::connect(server, &TCPserver::deliveryFailed, server, [](User *to, ManagedObject *object) {
            auto *m = dynamic_cast<Message *>(object);
            if (!to) return;
            if (m && outcomes().value(m->messageId()) != QLatin1String("delivered"))
                outcomes().insert(m->messageId(), QStringLiteral("failed"));
            DriverCommands::emitEvent({{"event", "undelivered"},
                                       {"to", to->userId()},
                                       {"id", m ? idText(m->messageId()) : QString()}});
        });
    });
});

} // namespace

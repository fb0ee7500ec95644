// A hostile host for the end-to-end tests, run inside its own namespace against one copy: every
// kind of bad input a machine on the network can send, bounded in count and time, each attack
// ending by itself. It prints one JSON line with what it did and what it saw, then exits.
//
//   murnavell_attacker <target> random-datagrams <n>
//   murnavell_attacker <target> spoofed-datagrams <n> <source,source,...>
//   murnavell_attacker <target> random-connections <port> <n> [source,source,...]
//   murnavell_attacker <target> idle <port> <n> <seconds>    holds them until its standard input
//                                                              ends or the seconds pass
//   murnavell_attacker <target> file-names <n> <sender id> [source]
//   murnavell_attacker <target> long-line <bytes> [source]
//   murnavell_attacker <target> announce <first> <count> <repeat> <name length>
//
// "announce" is no attack: an office of peers ("P" ids first .. first + count - 1) announcing
// themselves ("RL") from the namespace's own address at once, each peer `repeat` times in a
// row (each datagram a new packet), with names of the given length to make them as large as
// wanted.
// Connections go from the namespace's own address unless sources are given (taken in turn).
// Spoofed datagrams are well-formed presence packets under the shared key, each with an id
// never seen before, sent from the given source addresses in turn (addresses of the attacker's
// own namespace, so every connection back to them stays in the lab).
#include "core/wire/KDTPacket.h"
#include "core/wire/PacketField.h"
#include "transfer/HeaderRecord.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint16_t kMessagingPort = 19771;
constexpr std::uint16_t kFilePort = 19880;

QRandomGenerator rng(0x5eed1234u);

sockaddr_in addressOf(const QString &host, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, host.toLatin1().constData(), &a.sin_addr);
    return a;
}

QByteArray randomBytes(int n) {
    QByteArray out(n, '\0');
    for (char &c : out) c = char(rng.bounded(256));
    return out;
}

// A blocking connection with send and receive time-outs, so no attack can hang; -1 on failure.
int connectTo(const QString &host, std::uint16_t port, int timeoutMs = 5000, const QString &source = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!source.isEmpty()) {
        const sockaddr_in from = addressOf(source, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
            ::close(fd);
            return -1;
        }
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const sockaddr_in a = addressOf(host, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// One line up to CR LF (included), or empty when the peer closed or the time-out passed.
QByteArray readLine(int fd, QByteArray *pending) {
    for (;;) {
        const qsizetype end = pending->indexOf("\r\n");
        if (end >= 0) {
            const QByteArray line = pending->left(end + 2);
            pending->remove(0, end + 2);
            return line;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return {};
        pending->append(buf, n);
    }
}

// Whether the peer closed the connection within the time (reads and drops what it sends).
bool closedByPeer(int fd, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(timeoutMs - clock.elapsed())) <= 0) return false;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

QJsonObject randomDatagrams(const QString &target, int count) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = addressOf(target, kMessagingPort);
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        QByteArray bytes = randomBytes(1 + int(rng.bounded(1400)));
        // Every fourth looks like a frame at first sight: Base64 text and the two end bytes.
        if (i % 4 == 0) bytes = bytes.toBase64() + "\r\n";
        if (::sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to) > 0)
            ++sent;
        // A short pause now and then keeps the flood from only filling this side's own queue.
        if (i % 64 == 63) ::usleep(1000);
    }
    ::close(fd);
    return {{"sent", sent}};
}

QJsonObject spoofedDatagrams(const QString &target, int count, const QStringList &sources) {
    std::vector<int> sockets;
    for (const QString &source : sources) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in from = addressOf(source, 0);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) == 0)
            sockets.push_back(fd);
        else if (fd >= 0)
            ::close(fd);
    }
    if (sockets.empty()) return {{"error", "no source address could be bound"}};
    const sockaddr_in to = addressOf(target, kMessagingPort);
    static const QStringList words = {"UI", "RL", "AL", "SS", "UC", "TP", "UO"};
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        const QString id = QStringLiteral("Z%1").arg(100000000 + i);
        const QString word = words.at(i % words.size());
        const QString status = QString::number(QList<int>{0, 1, 2, 10}.at(i % 4));
        PacketArray fields = {word,
                              status,
                              QStringLiteral("pc-%1").arg(i),
                              id,
                              QStringLiteral("*"),
                              QStringLiteral("*"),
                              QStringLiteral("x"),
                              QStringLiteral("Spoof %1").arg(i),
                              QString::number(1000 + i),
                              QStringLiteral("0"),
                              QStringLiteral("5"),
                              QStringLiteral("0"),
                              QStringLiteral("1"),
                              QStringLiteral("*"),
                              QStringLiteral("5.0.0")};
        if (i % 50 == 49) {
            // Now and then a received-notice for a message nobody holds.
            fields = {QStringLiteral("UOMFR"), QString::number(4000000000LL + i),
                      QStringLiteral("pc"),    id,
                      QStringLiteral("*"),     QStringLiteral("*"),
                      QStringLiteral("*"),     QStringLiteral("*"),
                      QString::number(i)};
        }
        const QByteArray frame = KDTPacket::PlainPackeFromArray(fields);
        const int fd = sockets[size_t(i) % sockets.size()];
        if (::sendto(fd, frame.constData(), size_t(frame.size()), 0, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to) > 0)
            ++sent;
        if (i % 64 == 63) ::usleep(1000);
    }
    for (int fd : sockets) ::close(fd);
    return {{"sent", sent}, {"sources", int(sockets.size())}};
}

QJsonObject announce(const QString &target, int first, int count, int repeat, int nameLength) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {{"error", "no socket"}};
    const sockaddr_in to = addressOf(target, kMessagingPort);
    int sent = 0, failed = 0;
    for (int i = first; i < first + count; ++i) {
        const QString id = QStringLiteral("P%1").arg(i, 9, 10, QLatin1Char('0'));
        const QString name = QStringLiteral("Peer %1 ").arg(i).leftJustified(std::max(nameLength, 1), u'n');
        for (int r = 0; r < repeat; ++r) {
            const PacketArray fields = {QStringLiteral("RL"), QStringLiteral("0"),  QStringLiteral("pc-%1").arg(i),
                                        id,                   QStringLiteral("*"),  QStringLiteral("*"),
                                        QStringLiteral("1"),  name,                 QString::number(1000 + i),
                                        QStringLiteral("0"),  QStringLiteral("5"),  QStringLiteral("0"),
                                        QStringLiteral("1"),  QStringLiteral("*"),  QStringLiteral("5.0.0")};
            const QByteArray frame = KDTPacket::PlainPackeFromArray(fields);
            if (::sendto(fd, frame.constData(), size_t(frame.size()), 0, reinterpret_cast<const sockaddr *>(&to),
                         sizeof to) > 0)
                ++sent;
            else
                ++failed;
        }
    }
    ::close(fd);
    return {{"sent", sent}, {"failed", failed}};
}

// Connections that each send a random header (sometimes ended like a line) and wait briefly
// for the copy to answer or close. A few at a time, as a busy host would.
QJsonObject randomConnections(const QString &target, std::uint16_t port, int count,
                              const QStringList &sources) {
    constexpr int kAtOnce = 6;
    int connected = 0, refused = 0, closed = 0;
    std::vector<int> open;
    const auto settle = [&](int fd) {
        if (closedByPeer(fd, 3000)) ++closed;
        ::close(fd);
    };
    for (int i = 0; i < count; ++i) {
        const int fd =
            connectTo(target, port, 5000, sources.isEmpty() ? QString() : sources.at(i % sources.size()));
        if (fd < 0) {
            ++refused;
            continue;
        }
        ++connected;
        QByteArray header = randomBytes(1 + int(rng.bounded(2048)));
        if (i % 2 == 0) header = header.toBase64() + "\r\n";
        if (i % 3 == 0) header.replace('\n', ' ').append("\r\n");
        writeAll(fd, header);
        ::shutdown(fd, SHUT_WR);
        open.push_back(fd);
        if (int(open.size()) >= kAtOnce) {
            settle(open.front());
            open.erase(open.begin());
        }
    }
    for (int fd : open) settle(fd);
    return {{"connected", connected}, {"refused", refused}, {"closedByPeer", closed}};
}

QJsonObject idleConnections(const QString &target, std::uint16_t port, int count, int seconds) {
    std::vector<int> held;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(target, port, 2000);
        if (fd < 0)
            ++failed;
        else
            held.push_back(fd);
    }
    std::printf("{\"held\":%d}\n", int(held.size()));
    std::fflush(stdout);
    // Held until the test says so (its end of standard input) or the time is up.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000LL) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char c;
            if (::read(STDIN_FILENO, &c, 1) <= 0) break;
        }
    }
    int closed = 0;
    for (int fd : held) {
        char c;
        if (::recv(fd, &c, 1, MSG_DONTWAIT) == 0) ++closed;
        ::close(fd);
    }
    return {{"held", int(held.size())}, {"failed", failed}, {"closedByPeer", closed}};
}

// One transfer announcing n empty files of one name, all sent: the copy names them apart.
QJsonObject fileNames(const QString &target, int count, const QString &senderId, const QString &source) {
    const int fd = connectTo(target, kFilePort, 30000, source);
    if (fd < 0) return {{"error", "no connection"}};
    const QByteArray request = HeaderRecord::prepare(
        {"CONTENT-TYPE", "FILESENDREQUEST", "SESSID", "424242", "SESSAES", "0", "FROM-ID", senderId,
         "FROM-USERNAMEDISPLAY", "Spoof", "TO-USER", "*", "FILES-NUMBER", QString::number(count),
         "FILES-TOTALSIZE", "0", "ISFILESWIDE", "1"},
        false);
    QByteArray pending;
    if (!writeAll(fd, request)) return {{"error", "request not written"}};
    const QHash<QString, QString> answer = HeaderRecord::fields(readLine(fd, &pending));
    if (answer.value("accept_files") != QLatin1String("1")) {
        ::close(fd);
        return {{"accepted", false}, {"answer", answer.value("accept_files")}};
    }
    const QString name = QStringLiteral("same name.txt");
    const QString wide = QString::fromLatin1(name.toUtf8().toBase64());
    int accepted = 0;
    for (int i = 0; i < count; ++i) {
        const QByteArray header = HeaderRecord::prepare(
            {"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", "", "FILE-NAME", name, "FILE-SIZE", "0",
             "FILE-PERMISSIONS", "420", "FILE-WIDEPATH", "", "FILE-WIDENAME", wide},
            false);
        if (!writeAll(fd, header)) break;
        const QHash<QString, QString> reply = HeaderRecord::fields(readLine(fd, &pending));
        if (reply.value("accept") != QLatin1String("1")) break;
        ++accepted;
    }
    const bool closed = closedByPeer(fd, 20000);
    ::close(fd);
    return {{"accepted", true}, {"files", accepted}, {"closedByPeer", closed}};
}

// One line far beyond what the messaging port takes, written until the copy gives up on it.
QJsonObject longLine(const QString &target, qint64 bytes, const QString &source) {
    const int fd = connectTo(target, kMessagingPort, 20000, source);
    if (fd < 0) return {{"error", "no connection"}};
    const QByteArray block = QByteArray(1 << 20, 'A');
    qint64 written = 0;
    while (written < bytes) {
        const qint64 n = qMin<qint64>(block.size(), bytes - written);
        const ssize_t w = ::send(fd, block.constData(), size_t(n), MSG_NOSIGNAL);
        if (w <= 0) break;
        written += w;
    }
    const bool closed = written < bytes || closedByPeer(fd, 20000);
    ::close(fd);
    return {{"written", double(written)}, {"closedByPeer", closed}};
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: %s <target> <attack> ...\n", argv[0]);
        return 2;
    }
    const QString target = args.at(1), attack = args.at(2);
    const auto number = [&](int i) { return args.value(i).toLongLong(); };
    QElapsedTimer clock;
    clock.start();
    QJsonObject result;
    if (attack == QLatin1String("random-datagrams"))
        result = randomDatagrams(target, int(number(3)));
    else if (attack == QLatin1String("spoofed-datagrams"))
        result = spoofedDatagrams(target, int(number(3)), args.value(4).split(u',', Qt::SkipEmptyParts));
    else if (attack == QLatin1String("random-connections"))
        result = randomConnections(target, std::uint16_t(number(3)), int(number(4)),
                                   args.value(5).split(u',', Qt::SkipEmptyParts));
    else if (attack == QLatin1String("idle"))
        result = idleConnections(target, std::uint16_t(number(3)), int(number(4)), int(number(5)));
    else if (attack == QLatin1String("file-names"))
        result = fileNames(target, int(number(3)), args.value(4), args.value(5));
    else if (attack == QLatin1String("long-line"))
        result = longLine(target, number(3), args.value(4));
    else if (attack == QLatin1String("announce"))
        result = announce(target, int(number(3)), int(number(4)), int(number(5)), int(number(6)));
    else {
        std::fprintf(stderr, "unknown attack %s\n", argv[2]);
        return 2;
    }
    result.insert("attack", attack);
    result.insert("ms", double(clock.elapsed()));
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return 0;
}

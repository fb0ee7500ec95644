#pragma once

// Raw POSIX peers and a recording delegate for the TcpSocket tests (loopback only).
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerSource.h"
#include "support/EventLoopWait.h"
#include "transport/TcpSocket.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) {
    *os << "[" << l.join(" | ").toStdString() << "]";
}

namespace tcptest {

// Every callback as one line, in arrival order (on the main queue).
class Recorder : public TcpSocketDelegate {
public:
    static constexpr qsizetype kSpelledOutRead = 64 * 1024;
    QStringList events;
    std::vector<std::shared_ptr<TcpSocket>> children;
    std::vector<QByteArray> reads;
    SocketError lastError;
    int disconnects = 0;
    bool recordPartials = true;
    // Run inside the callback, e.g. to queue reads on an accepted child or to call getters.
    std::function<void(const std::shared_ptr<TcpSocket> &)> onAccept;
    std::function<void(const std::shared_ptr<TcpSocket> &)> onConnect;
    std::function<void(const std::shared_ptr<TcpSocket> &, const QByteArray &, long)> onRead;
    std::function<double(long tag, double elapsed)> readTimeoutAnswer;
    std::function<double(long tag, double elapsed)> writeTimeoutAnswer;

    void socketDidAcceptNewSocket(const std::shared_ptr<TcpSocket> &,
                                  const std::shared_ptr<TcpSocket> &child) override {
        children.push_back(child);
        events << "accept";
        if (onAccept) onAccept(child);
    }
    void socketDidConnectToHost(const std::shared_ptr<TcpSocket> &sock, const QString &host,
                                uint16_t port) override {
        (void)port;
        events << QString("connect:%1").arg(host);
        if (onConnect) onConnect(sock);
    }
    void socketDidReadData(const std::shared_ptr<TcpSocket> &sock, const QByteArray &data,
                           long tag) override {
        reads.push_back(data);
        if (onRead) onRead(sock, data, tag);
        // A large read is checked through `reads`; spelled out it would cost seconds and several
        // times its size in memory, which on a loaded machine outlasted the test's waits.
        events << (data.size() > kSpelledOutRead
                       ? QString("read:%1:(%2 bytes)").arg(tag).arg(data.size())
                       : QString("read:%1:%2").arg(tag).arg(QString::fromLatin1(data.toPercentEncoding())));
    }
    void socketDidReadPartialDataOfLength(const std::shared_ptr<TcpSocket> &, size_t n, long tag) override {
        if (recordPartials) events << QString("partial:%1:%2").arg(tag).arg(n);
    }
    void socketDidWriteData(const std::shared_ptr<TcpSocket> &, long tag) override {
        events << QString("write:%1").arg(tag);
    }
    double socketShouldTimeoutReadWithTag(const std::shared_ptr<TcpSocket> &, long tag, double elapsed,
                                          size_t) override {
        events << QString("readTimeout:%1:%2").arg(tag).arg(elapsed);
        return readTimeoutAnswer ? readTimeoutAnswer(tag, elapsed) : 0;
    }
    double socketShouldTimeoutWriteWithTag(const std::shared_ptr<TcpSocket> &, long tag, double elapsed,
                                           size_t) override {
        events << QString("writeTimeout:%1:%2").arg(tag).arg(elapsed);
        return writeTimeoutAnswer ? writeTimeoutAnswer(tag, elapsed) : 0;
    }
    void socketDidCloseReadStream(const std::shared_ptr<TcpSocket> &) override { events << "readClosed"; }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &, const SocketError &err) override {
        ++disconnects;
        lastError = err;
        events << (err.isNull() ? QString("disconnect")
                                : QString("disconnect:%1:%2").arg(err.domain()).arg(err.code()));
    }
    bool waitDisconnect(int ms = 5000) {
        return waitUntil([this] { return disconnects > 0; }, ms);
    }
};

inline int openDescriptors() {
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

// The count to return to: taken once the io runtime's reactor (made with the first timer or
// watch, holding a few descriptors of its own) exists.
inline int baselineDescriptors() {
    dispatch::TimerSource::create(dispatch::Queue::create("tcp-test-warmup"));
    return openDescriptors();
}

inline uint16_t localPortOf(int fd) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    return ntohs(sin.sin_port);
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

// A blocking listener on 127.0.0.1 at an ephemeral port.
class RawServer {
public:
    RawServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sin = loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
        ::listen(fd_, 64);
        port_ = localPortOf(fd_);
    }
    ~RawServer() {
        if (peer_ >= 0) ::close(peer_);
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    // Accepts one connection, pumping the main loop meanwhile.
    bool accept(int ms = 5000) {
        const bool ok = waitUntil(
            [this] {
                pollfd p{fd_, POLLIN, 0};
                return ::poll(&p, 1, 0) > 0;
            },
            ms);
        if (!ok) return false;
        peer_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        int on = 1;
        ::setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return peer_ >= 0;
    }
    int peer() const { return peer_; }
    void send(const QByteArray &bytes) const {
        (void)::send(peer_, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }
    void closePeer() {
        ::close(peer_);
        peer_ = -1;
    }
    // Closes with a reset instead of an orderly end.
    void resetPeer() {
        linger l{1, 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closePeer();
    }
    // Reads until end of stream (or the bound), pumping the main loop.
    QByteArray readAll(int ms = 5000) const {
        QByteArray all;
        bool eof = false;
        waitUntil(
            [&] {
                char buf[65536];
                for (;;) {
                    const ssize_t n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
                    if (n > 0) {
                        all.append(buf, n);
                        continue;
                    }
                    if (n == 0) eof = true;
                    return eof;
                }
            },
            ms);
        return all;
    }

private:
    int fd_ = -1;
    int peer_ = -1;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (bound briefly, then released).
inline uint16_t refusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    const uint16_t port = localPortOf(fd);
    ::close(fd);
    return port;
}

// A blocking client connected to 127.0.0.1:port, or -1.
inline int rawConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace tcptest

#pragma once

// A private store, a roster with a local user, a recording interface, and raw POSIX peers on
// loopback for the messaging tests.
#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/EventLoopWait.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <memory>
#include <thread>

// Records what the core asks of the windows.
class RecordingInterface : public AppInterface {
public:
    void startConversation(User *user, bool incoming) override { conversations.push_back({user, incoming}); }
    bool isMainAndKeyWindow(QObject *) override { return windowInFront; }
    void bringForward(QObject *window, bool keepFocus) override { raised.push_back({window, keepFocus}); }
    bool isCallLive(User *, Chat *) override { return callLive; }
    void playSound(const QString &name) override { sounds.append(name); }

    std::vector<std::pair<User *, bool>> conversations;
    std::vector<std::pair<QObject *, bool>> raised;
    QStringList sounds;
    bool windowInFront = false;
    bool callLive = false;
};

class MessagingFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
        delegate = std::make_unique<KDTAppDelegate>();
        KDTAppDelegate::setShared(delegate.get());
        ctx = appManagedObjectContext();
        RegisteredDefaults::registerMessaging(Defaults::standard());
        roster = std::make_unique<UserList>();
        UserList::setShared(roster.get());
        UserList::setInfoRequestFunction([this](User *u) { infoRequests.append(u->userId()); });
        me = ctx->insert<Me>();
        me->setUserId(QStringLiteral("A000000001"));
        me->setPc(QStringLiteral("pc-alice"));
        me->setName(QStringLiteral("Alice"));
        me->setIp(QStringLiteral("127.0.0.1"));
        roster->setMe(me);
        me->setStatus(QStringLiteral("0"));
        KDTPacket::resetRecentIds();
        AppInterface::install(&ui);
        User::setOfflineHandOverHandler([this](User *u, Message *m) { handOvers.push_back({u, m}); });
    }
    void TearDown() override {
        User::setOfflineHandOverHandler({});
        Message::setReceivedNoticeSender({});
        Message::setLocalOffsetFunction({});
        AppInterface::install(nullptr);
        UserList::setInfoRequestFunction({});
        roster->setMe(nullptr);
        roster.reset();
        KDTAppDelegate::setShared(nullptr);
        delegate.reset();
    }

    User *peer(const QString &id, const QString &name, const QString &ip = QStringLiteral("127.0.0.1"),
               bool online = true) {
        User *u = ctx->insert<User>();
        u->setUserId(id);
        u->setName(name);
        u->setIp(ip);
        u->setStatus(online ? QStringLiteral("0") : QStringLiteral("10"));
        return u;
    }
    template <class T> QList<T *> all() { return ctx->fetch<T>(); }

    QTemporaryDir dir;
    std::unique_ptr<KDTAppDelegate> delegate;
    ManagedObjectContext *ctx = nullptr;
    std::unique_ptr<UserList> roster;
    Me *me = nullptr;
    RecordingInterface ui;
    QStringList infoRequests;
    std::vector<std::pair<User *, Message *>> handOvers;
};

// A message packet in the common layout.
inline PacketArray messageFields(const QString &word, const QString &f1, const QString &f2, const QString &f3,
                                 const QString &f4, const QString &f5, const QString &text,
                                 const QString &f7) {
    return {word, f1, f2, f3, f4, f5, text, f7};
}

namespace rawnet {

// A listening socket on a free loopback port (written to *port); -1 when there is none.
inline int listenLoopback(int backlog, std::uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

inline int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A connection from another loopback address (127.x.y.z), as a different host would make.
inline int connectLoopbackFrom(std::uint16_t port, const char *source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the peer sends until it closes (or the bound passes).
inline QByteArray readUntilClosed(int fd, int timeoutMs = 5000) {
    QByteArray out;
    char buf[65536];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, n);
    }
    return out;
}

inline bool sendAll(int fd, const QByteArray &data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// One exchange as a client: connect, send, read until the server closes. Runs off the main
// thread; the test pumps the main loop until it is done.
inline QByteArray exchange(std::uint16_t port, const QByteArray &request, bool *closed = nullptr) {
    auto future = std::async(std::launch::async, [port, request] {
        const int fd = connectLoopback(port);
        if (fd < 0) return QByteArray("connect failed");
        sendAll(fd, request);
        QByteArray reply = readUntilClosed(fd);
        ::close(fd);
        return reply;
    });
    waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
    if (closed) *closed = future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    return future.get();
}

// What a client saw of an exchange: the bytes that came back, and whether the server reset the
// connection rather than closing it in order.
struct ExchangeEnd {
    QByteArray reply;
    bool reset = false;
};

inline ExchangeEnd exchangeEnd(int fd, int timeoutMs = 5000) {
    ExchangeEnd end;
    char buf[65536];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0) end.reset = errno == ECONNRESET;
        if (n <= 0) break;
        end.reply.append(buf, n);
    }
    return end;
}

// One exchange as a client that tells a reset from an orderly close.
inline ExchangeEnd exchangeWithEnd(std::uint16_t port, const QByteArray &request) {
    auto future = std::async(std::launch::async, [port, request] {
        const int fd = connectLoopback(port);
        if (fd < 0) return ExchangeEnd{QByteArray("connect failed"), false};
        sendAll(fd, request);
        ExchangeEnd end = exchangeEnd(fd);
        ::close(fd);
        return end;
    });
    waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
    return future.get();
}

// A peer for the server's outgoing packets: for each of `connections` connections it reads the
// request line, answers with `reply` (nothing: closes at once; with `reset`, resets instead)
// and closes.
class OneShotPeer {
public:
    explicit OneShotPeer(QByteArray reply = {}, int connections = 1, bool reset = false)
        : reply_(std::move(reply)), connections_(connections), reset_(reset) {
        fd_ = listenLoopback(8, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~OneShotPeer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    bool done() const { return done_; }
    // Connections served so far.
    int served() const { return served_; }
    // The last request line as read (valid once done()).
    QByteArray request() const { return request_; }
    // Replies built from the request (set before the request arrives).
    std::function<QByteArray(const QByteArray &)> replyFor;

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            QByteArray line;
            char buf[4096];
            while (!line.contains("\r\n") && !stop_) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 50) <= 0) continue;
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                line.append(buf, n);
            }
            request_ = line;
            const QByteArray answer = replyFor ? replyFor(line) : reply_;
            if (!answer.isEmpty()) sendAll(c, answer);
            if (reset_) {
                const linger abortive{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
            ::close(c);
            if (++served_ >= connections_) {
                done_ = true;
                return;
            }
        }
    }
    QByteArray reply_;
    int connections_ = 1;
    bool reset_ = false;
    std::atomic<int> served_{0};
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    QByteArray request_;
};

} // namespace rawnet

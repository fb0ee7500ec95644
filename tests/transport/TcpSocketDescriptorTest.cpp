// Descriptors of the TCP socket: what a connection costs, what happens at the process's limit,
// and sockets released inside their own callbacks on io threads.
#include "TcpTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sys/resource.h>
#include <thread>

using namespace tcptest;

namespace {

std::shared_ptr<TcpSocket> listenOnLoopback(const std::shared_ptr<Recorder> &rec, uint16_t *port) {
    auto listener = TcpSocket::create(rec, dispatch::Queue::main());
    SocketError err;
    if (!listener->acceptOnInterface("127.0.0.1", 0, &err)) return nullptr;
    *port = listener->localPort();
    return listener;
}

int connectNonBlocking(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sin = loopback(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    return fd;
}

} // namespace

TEST(TcpSocketDescriptors, AnAcceptedConnectionHoldsOneDescriptor) {
    const int base = baselineDescriptors();
    auto rec = std::make_shared<Recorder>();
    uint16_t port = 0;
    auto listener = listenOnLoopback(rec, &port);
    ASSERT_TRUE(listener);
    spinFor(20);
    const int listening = openDescriptors();
    constexpr int kClients = 20;
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(connectNonBlocking(port));
    ASSERT_TRUE(waitUntil([&] { return rec->children.size() == size_t(kClients); }));
    spinFor(20);
    // Each connection: the client's descriptor and the accepted child's, nothing more.
    EXPECT_EQ(openDescriptors() - listening, 2 * kClients);
    for (int fd : clients) ::close(fd);
    for (auto &child : rec->children) child->disconnect();
    rec->children.clear();
    listener->disconnect();
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == base; }));
}

TEST(TcpSocketDescriptors, AConnectionAcceptedAtTheLimitStillWritesEverything) {
    auto rec = std::make_shared<Recorder>();
    uint16_t port = 0;
    auto listener = listenOnLoopback(rec, &port);
    ASSERT_TRUE(listener);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    spinFor(20);

    // Room for exactly one more descriptor: the accepted connection's own.
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(lowestFree + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    sockaddr_in sin = loopback(port);
    const int rc = ::connect(client, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    // The whole process is at its limit meanwhile; a generous bound, as a loaded machine may be
    // slow to run the accept, but the limit is lifted as soon as it has run.
    const bool accepted = waitUntil([&] { return rec->children.size() == 1; }, 20000);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(accepted);

    // More than the socket buffers hold, so the write has to wait for room and be woken.
    const QByteArray payload(32 << 20, 'w');
    // With a time-out far above what even a loaded machine needs.
    rec->children.front()->writeData(payload, 60, 1);
    QByteArray received;
    const bool all = waitUntil(
        [&] {
            char buf[1 << 16];
            for (;;) {
                const ssize_t n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT);
                if (n <= 0) break;
                received.append(buf, n);
            }
            return received.size() == payload.size() && rec->events.contains("write:1");
        },
        60000);
    EXPECT_TRUE(all) << "received " << received.size() << " of " << payload.size() << "; events "
                     << rec->events.join(' ').toStdString();
    ::close(client);
    rec->children.front()->disconnect();
    listener->disconnect();
}

namespace {

// Accepts and answers each connection with one line, then closes it.
class LineServer {
public:
    LineServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sin = loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
        ::listen(fd_, 512);
        port_ = localPortOf(fd_);
        thread_ = std::thread([this] {
            for (;;) {
                const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer < 0) return;
                (void)::send(peer, "line\r\n", 6, MSG_NOSIGNAL);
                ::close(peer);
            }
        });
    }
    ~LineServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// Lets go of each socket in its callbacks, on an io queue: the socket is destroyed there.
class Releaser : public TcpSocketDelegate {
public:
    std::mutex mutex;
    std::vector<std::shared_ptr<TcpSocket>> held;
    std::atomic<int> ends{0};
    void release(const std::shared_ptr<TcpSocket> &sock) {
        std::lock_guard lock(mutex);
        std::erase(held, sock);
    }
    void socketDidReadData(const std::shared_ptr<TcpSocket> &sock, const QByteArray &, long) override {
        release(sock);
    }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &) override {
        release(sock);
        ++ends;
    }
};

} // namespace

TEST(TcpSocketLifetime, SocketsReleasedInCallbacksOnAnIoQueueManyTimesOver) {
    LineServer server;
    auto releaser = std::make_shared<Releaser>();
    auto delegateQueue = dispatch::Queue::create("tcp-release");
    constexpr int kSockets = 400;
    for (int i = 0; i < kSockets; ++i) {
        auto sock = TcpSocket::create(releaser, delegateQueue);
        {
            std::lock_guard lock(releaser->mutex);
            releaser->held.push_back(sock);
        }
        SocketError err;
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
        sock->readDataToData(TcpSocket::CRLFData(), 5, 1);
    }
    // Every socket ends once: the peer's close, or its own destruction after the line was read.
    EXPECT_TRUE(waitUntil([&] { return releaser->ends.load() == kSockets; }, 30000))
        << releaser->ends.load() << " of " << kSockets << " ended";
}

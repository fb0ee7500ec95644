// TcpSocket against minimal blocking POSIX peers doing the same work in the same run, over
// 127.0.0.1: bulk writes of 786432 bytes (a file-data chunk), bulk length reads of the same size,
// and a connect-write-read-close round trip. Real time (the work runs on other threads); the
// ratio table at the end is TcpSocket time / POSIX time.
#include "BenchSummary.h"
#include "platform/dispatch/Queue.h"
#include "transport/TcpSocket.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kChunk = 786432;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

int listenLoopback(uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    ::listen(fd, 128);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    *port = ntohs(sin.sin_port);
    return fd;
}

int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char *data, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        data += w;
        n -= size_t(w);
    }
    return true;
}

bool recvAll(int fd, char *data, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, data, n, 0);
        if (r <= 0) return false;
        data += r;
        n -= size_t(r);
    }
    return true;
}

// Threads of this process that blocked and were woken again (voluntary context switches, all
// threads together, those that ended included): the wake-ups a loop cost.
long wakeUps() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

void reportWakeUps(benchmark::State &state, long before) {
    if (state.iterations() > 0)
        state.counters["wakeups"] = double(wakeUps() - before) / double(state.iterations());
}

// Counts events from the socket queue; the benchmark thread waits for a number.
class Waiter : public TcpSocketDelegate {
public:
    explicit Waiter(uint32_t callbacks = AllCallbacks) : callbacks_(callbacks) {}
    uint32_t implementedCallbacks() const override { return callbacks_; }
    // The waiting thread is woken only when what it waits for has come (and after the lock is
    // given back), so the harness adds no wake-ups of its own to what is measured.
    void bump(bool failed = false) {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++count_;
            failed_ = failed_ || failed;
            wake = count_ >= target_ || failed_;
        }
        if (wake) cv_.notify_one();
    }
    bool waitFor(uint64_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        target_ = n;
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= n || failed_; }) &&
               !failed_;
    }
    uint64_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    void socketDidConnectToHost(const std::shared_ptr<TcpSocket> &, const QString &, uint16_t) override {
        bump();
    }
    void socketDidWriteData(const std::shared_ptr<TcpSocket> &, long) override { bump(); }
    void socketDidReadData(const std::shared_ptr<TcpSocket> &, const QByteArray &data, long) override {
        last = data;
        bump();
    }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &, const SocketError &err) override {
        bump(!err.isNull() && err.code() != 7);
    }
    QByteArray last;

private:
    const uint32_t callbacks_;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t count_ = 0;
    uint64_t target_ = 0;
    bool failed_ = false;
};

// A peer thread that reads (sink) or writes (source) chunks until the connection ends.
class BulkPeer {
public:
    enum Mode { Sink, Source };
    explicit BulkPeer(Mode mode) : mode_(mode) {
        listenFD_ = listenLoopback(&port_);
        thread_ = std::thread([this] { run(); });
    }
    ~BulkPeer() {
        stop_ = true;
        if (peerFD_ >= 0) ::shutdown(peerFD_, SHUT_RDWR);
        ::shutdown(listenFD_, SHUT_RDWR);
        thread_.join();
        if (peerFD_ >= 0) ::close(peerFD_);
        ::close(listenFD_);
    }
    uint16_t port() const { return port_; }
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> allowed{0}; // Source: chunks the benchmark asked for

private:
    void run() {
        peerFD_ = ::accept4(listenFD_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peerFD_ < 0) return;
        std::vector<char> buf(kChunk, 's');
        uint64_t sent = 0;
        while (!stop_) {
            if (mode_ == Sink) {
                const ssize_t r = ::recv(peerFD_, buf.data(), buf.size(), 0);
                if (r <= 0) return;
                received += uint64_t(r);
            } else {
                if (sent < allowed.load()) {
                    if (!sendAll(peerFD_, buf.data(), kChunk)) return;
                    ++sent;
                } else {
                    std::this_thread::yield();
                }
            }
        }
    }
    Mode mode_;
    int listenFD_ = -1;
    int peerFD_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void bulkWriteTcpSocket(benchmark::State &state) {
    BulkPeer peer(BulkPeer::Sink);
    auto waiter = std::make_shared<Waiter>();
    auto sock = TcpSocket::create(waiter, dispatch::Queue::create("bench-delegate"));
    SocketError err;
    if (!sock->connectToHost("127.0.0.1", peer.port(), 5, &err) || !waiter->waitFor(1)) {
        state.SkipWithError("connect failed");
        return;
    }
    const QByteArray chunk(kChunk, 'w');
    uint64_t expected = 0, events = 1;
    for (auto _ : state) {
        sock->writeData(chunk, -1, 1);
        expected += kChunk;
        if (!waiter->waitFor(++events)) {
            state.SkipWithError("write failed");
            break;
        }
        while (peer.received.load() < expected) std::this_thread::yield();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
    sock->disconnect();
}

void bulkWritePosix(benchmark::State &state) {
    BulkPeer peer(BulkPeer::Sink);
    const int fd = connectLoopback(peer.port());
    std::vector<char> chunk(kChunk, 'w');
    uint64_t expected = 0;
    for (auto _ : state) {
        if (!sendAll(fd, chunk.data(), kChunk)) {
            state.SkipWithError("send failed");
            break;
        }
        expected += kChunk;
        while (peer.received.load() < expected) std::this_thread::yield();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
    ::close(fd);
}

void bulkReadTcpSocket(benchmark::State &state) {
    BulkPeer peer(BulkPeer::Source);
    auto waiter = std::make_shared<Waiter>();
    auto sock = TcpSocket::create(waiter, dispatch::Queue::create("bench-delegate"));
    SocketError err;
    if (!sock->connectToHost("127.0.0.1", peer.port(), 5, &err) || !waiter->waitFor(1)) {
        state.SkipWithError("connect failed");
        return;
    }
    uint64_t events = 1;
    for (auto _ : state) {
        ++peer.allowed;
        // A fresh caller buffer per chunk, as the file transfer does.
        QByteArray buffer;
        sock->readDataToLength(kChunk, -1, &buffer, 0, 1);
        if (!waiter->waitFor(++events)) {
            std::fprintf(stderr, "read wait failed at event %llu (have %llu)\n", (unsigned long long)events,
                         (unsigned long long)waiter->count());
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
    sock->disconnect();
}

void bulkReadPosix(benchmark::State &state) {
    BulkPeer peer(BulkPeer::Source);
    const int fd = connectLoopback(peer.port());
    for (auto _ : state) {
        ++peer.allowed;
        std::vector<char> buffer(kChunk);
        if (!recvAll(fd, buffer.data(), kChunk)) {
            state.SkipWithError("recv failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
    ::close(fd);
}

// Accepts, reads one line, answers one line, closes; again and again.
class EchoServer {
public:
    EchoServer() {
        listenFD_ = listenLoopback(&port_);
        thread_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(listenFD_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                char buf[64];
                size_t have = 0;
                while (have < 6) {
                    const ssize_t r = ::recv(fd, buf + have, sizeof buf - have, 0);
                    if (r <= 0) break;
                    have += size_t(r);
                }
                sendAll(fd, "pong\r\n", 6);
                ::close(fd);
            }
        });
    }
    ~EchoServer() {
        ::shutdown(listenFD_, SHUT_RDWR);
        thread_.join();
        ::close(listenFD_);
    }
    uint16_t port() const { return port_; }

private:
    int listenFD_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// The delegate hears what the messaging server's does: the write, the read and the close.
void roundTripTcpSocket(benchmark::State &state) {
    EchoServer server;
    auto waiter = std::make_shared<Waiter>(TcpSocketDelegate::DidWriteData | TcpSocketDelegate::DidReadData |
                                           TcpSocketDelegate::DidDisconnect);
    auto delegateQueue = dispatch::Queue::create("bench-delegate");
    uint64_t events = 0;
    const long wakeUpsBefore = wakeUps();
    for (auto _ : state) {
        auto sock = TcpSocket::create(waiter, delegateQueue);
        SocketError err;
        if (!sock->connectToHost("127.0.0.1", server.port(), 5, &err)) {
            state.SkipWithError("connect failed");
            break;
        }
        sock->writeData("ping\r\n", 5, 1);
        sock->readDataToData(TcpSocket::CRLFData(), 5, 2);
        // write, read
        if (!waiter->waitFor(events += 2)) {
            state.SkipWithError("round trip failed");
            break;
        }
        sock->disconnect();
        if (!waiter->waitFor(++events)) break;
    }
    reportWakeUps(state, wakeUpsBefore);
}

void roundTripPosix(benchmark::State &state) {
    EchoServer server;
    const long wakeUpsBefore = wakeUps();
    for (auto _ : state) {
        const int fd = connectLoopback(server.port());
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char buf[6];
        if (fd < 0 || !sendAll(fd, "ping\r\n", 6) || !recvAll(fd, buf, 6)) {
            state.SkipWithError("round trip failed");
            if (fd >= 0) ::close(fd);
            break;
        }
        ::close(fd);
    }
    reportWakeUps(state, wakeUpsBefore);
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.benchmark_name()].push_back(run.GetAdjustedRealTime());
                if (const auto w = run.counters.find("wakeups"); w != run.counters.end())
                    wakeUps_[run.benchmark_name()].push_back(double(w->second));
            }
    }
    double time(const std::string &name) const { return median(times_, name); }
    double wakeUps(const std::string &name) const { return median(wakeUps_, name); }

private:
    static double median(const std::map<std::string, std::vector<double>> &of, const std::string &name) {
        const auto it = of.find(name);
        if (it == of.end() || it->second.empty()) return 0;
        std::vector<double> t = it->second;
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    }
    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, std::vector<double>> wakeUps_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("bulk_write/TcpSocket", bulkWriteTcpSocket)->UseRealTime();
    benchmark::RegisterBenchmark("bulk_write/posix", bulkWritePosix)->UseRealTime();
    benchmark::RegisterBenchmark("bulk_read/TcpSocket", bulkReadTcpSocket)->UseRealTime();
    benchmark::RegisterBenchmark("bulk_read/posix", bulkReadPosix)->UseRealTime();
    benchmark::RegisterBenchmark("round_trip/TcpSocket", roundTripTcpSocket)->UseRealTime();
    benchmark::RegisterBenchmark("round_trip/posix", roundTripPosix)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-12s %16s %16s %8s\n", "", "TcpSocket ns", "posix ns", "ratio");
    for (const char *what : {"bulk_write", "bulk_read", "round_trip"}) {
        const double mine = reporter.time(std::string(what) + "/TcpSocket/real_time");
        const double base = reporter.time(std::string(what) + "/posix/real_time");
        if (mine <= 0 || base <= 0) continue;
        std::printf("%-12s %16.0f %16.0f %8.2f\n", what, mine, base, mine / base);
    }
    for (const char *what : {"bulk_write", "bulk_read"}) {
        const double mine = reporter.time(std::string(what) + "/TcpSocket/real_time");
        const double base = reporter.time(std::string(what) + "/posix/real_time");
        if (mine > 0 && base > 0)
            benchSummary(std::string("TcpSocket ") + what + " 768 KiB", double(kChunk) / mine,
                         double(kChunk) / base, "GB/s", base / mine, ">= 0.8");
    }
    const double mine = reporter.time("round_trip/TcpSocket/real_time");
    const double base = reporter.time("round_trip/posix/real_time");
    if (mine > 0 && base > 0)
        benchSummary("TcpSocket connect-write-read-close", mine / 1e3, base / 1e3, "us", mine / base,
                     "<= 1.5");
    const double myWakeUps = reporter.wakeUps("round_trip/TcpSocket/real_time");
    const double baseWakeUps = reporter.wakeUps("round_trip/posix/real_time");
    if (myWakeUps > 0 && baseWakeUps > 0)
        benchSummary("TcpSocket wake-ups per round trip", myWakeUps, baseWakeUps, "", myWakeUps / baseWakeUps,
                     "<= 6 (ours)");
    return 0;
}

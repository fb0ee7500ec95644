// Datagrams received per second on loopback: UdpSocket (readiness watch, drain, delegate
// callback on a queue) against a bare blocking recvfrom() loop, in two shapes:
// - paced: one sender keeps a bounded window in flight, so that no datagram is lost to a full
//   receive buffer; this is the rate a live stream of datagrams gets through;
// - drain: a burst already waiting in the receive buffer, read out as fast as possible.
// The table at the end gives UdpSocket's rate divided by the bare loop's (1.0: as fast).
#include "BenchSummary.h"
#include "transport/UdpSocket.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBatch = 2000; // datagrams per iteration
constexpr int kWindow = 64;  // sent but not yet received
const int kSizes[] = {100, 1400};

QByteArray loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return QByteArray(reinterpret_cast<const char *>(&sa), sizeof sa);
}

int boundSocket(uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const QByteArray a = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr *>(a.constData()), socklen_t(a.size()));
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

// Sends kBatch datagrams to the port, never more than kWindow ahead of `received`.
bool sendBatch(int fd, uint16_t port, const QByteArray &payload, std::atomic<long> &received, long base) {
    const QByteArray to = loopback(port);
    for (long sent = 0; sent < kBatch; ++sent) {
        while (sent - (received.load(std::memory_order_acquire) - base) >= kWindow) std::this_thread::yield();
        if (::sendto(fd, payload.constData(), size_t(payload.size()), 0,
                     reinterpret_cast<const sockaddr *>(to.constData()), socklen_t(to.size())) < 0)
            return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received.load(std::memory_order_acquire) - base < kBatch) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

class Counter : public UdpSocketDelegate {
public:
    std::atomic<long> received{0};
    void udpSocketDidReceiveData(const std::shared_ptr<UdpSocket> &, QByteArray, QByteArray,
                                 std::shared_ptr<void>) override {
        received.fetch_add(1, std::memory_order_release);
    }
};

void udpSocketReceive(benchmark::State &state, int size) {
    auto counter = std::make_shared<Counter>();
    auto sock = UdpSocket::create(counter, dispatch::Queue::create("bench-delegate"));
    sock->setIPv6Enabled(false);
    SocketError err;
    if (!sock->bindToPort(0, QStringLiteral("127.0.0.1"), &err) || !sock->beginReceiving(&err)) {
        state.SkipWithError(err.localizedDescription().toStdString().c_str());
        return;
    }
    uint16_t senderPort = 0;
    const int sender = boundSocket(&senderPort);
    const QByteArray payload(size, 'u');
    for (auto _ : state) {
        if (!sendBatch(sender, sock->localPort(), payload, counter->received, counter->received.load())) {
            state.SkipWithError("datagrams lost or refused");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    sock->close();
    ::close(sender);
}

void bareRecvfrom(benchmark::State &state, int size) {
    uint16_t port = 0;
    const int receiver = boundSocket(&port);
    std::atomic<long> received{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<char> buffer(65535);
        while (!stop.load()) {
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(receiver, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr *>(&from), &len);
            if (n > 0) received.fetch_add(1, std::memory_order_release);
        }
    });
    uint16_t senderPort = 0;
    const int sender = boundSocket(&senderPort);
    const QByteArray payload(size, 'u');
    for (auto _ : state) {
        if (!sendBatch(sender, port, payload, received, received.load())) {
            state.SkipWithError("datagrams lost or refused");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    stop = true;
    ::sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr *>(loopback(port).constData()),
             sizeof(sockaddr_in));
    reader.join();
    ::close(sender);
    ::close(receiver);
}

// Drain: a burst already waiting in the receive buffer, timed from the start of receiving to the
// last delivery. This is the receive path's own ceiling, without the sender's pace.
// Bursts that fit the system's default receive buffer at each size.
int burst(int size) { return size <= 100 ? 150 : 60; }

void fill(int sender, uint16_t port, const QByteArray &payload) {
    const QByteArray to = loopback(port);
    for (int i = 0; i < burst(int(payload.size())); ++i)
        ::sendto(sender, payload.constData(), size_t(payload.size()), 0,
                 reinterpret_cast<const sockaddr *>(to.constData()), socklen_t(to.size()));
}

void udpSocketDrain(benchmark::State &state, int size) {
    auto counter = std::make_shared<Counter>();
    auto sock = UdpSocket::create(counter, dispatch::Queue::create("bench-delegate"));
    sock->setIPv6Enabled(false);
    SocketError err;
    if (!sock->bindToPort(0, QStringLiteral("127.0.0.1"), &err)) {
        state.SkipWithError(err.localizedDescription().toStdString().c_str());
        return;
    }
    uint16_t senderPort = 0;
    const int sender = boundSocket(&senderPort);
    const QByteArray payload(size, 'u');
    const uint16_t port = sock->localPort();
    for (auto _ : state) {
        sock->pauseReceiving();
        sock->performBlock([] {});
        fill(sender, port, payload);
        const long target = counter->received.load() + burst(size);
        const auto start = std::chrono::steady_clock::now();
        sock->beginReceiving();
        const auto deadline = start + std::chrono::seconds(5);
        while (counter->received.load(std::memory_order_acquire) < target) {
            if (std::chrono::steady_clock::now() > deadline) break;
        }
        if (counter->received.load() < target) {
            state.SkipWithError("burst not delivered");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * burst(size));
    sock->close();
    ::close(sender);
}

void bareDrain(benchmark::State &state, int size) {
    uint16_t port = 0;
    const int receiver = boundSocket(&port);
    uint16_t senderPort = 0;
    const int sender = boundSocket(&senderPort);
    const QByteArray payload(size, 'u');
    std::vector<char> buffer(65535);
    for (auto _ : state) {
        fill(sender, port, payload);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < burst(size); ++i) {
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ::recvfrom(receiver, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * burst(size));
    ::close(sender);
    ::close(receiver);
}

// Console output as usual, and the real time of every run kept for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime(); // ns per iteration
        ConsoleReporter::ReportRuns(runs);
    }
    double time(const std::string &name) const {
        for (const char *suffix : {"/real_time", "/manual_time"}) {
            const auto it = times_.find(name + suffix);
            if (it != times_.end()) return it->second;
        }
        return 0;
    }

private:
    std::map<std::string, double> times_;
};

std::string name(const char *kind, const char *side, int size) {
    return std::string(kind) + '/' + side + '/' + std::to_string(size);
}

} // namespace

int main(int argc, char **argv) {
    for (int size : kSizes) {
        benchmark::RegisterBenchmark(name("paced", "UdpSocket", size).c_str(), udpSocketReceive, size)
            ->UseRealTime();
        benchmark::RegisterBenchmark(name("paced", "bare", size).c_str(), bareRecvfrom, size)->UseRealTime();
        benchmark::RegisterBenchmark(name("drain", "UdpSocket", size).c_str(), udpSocketDrain, size)
            ->UseManualTime();
        benchmark::RegisterBenchmark(name("drain", "bare", size).c_str(), bareDrain, size)->UseManualTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Rates in datagrams per second; the ratio is UdpSocket's rate over the bare loop's.
    std::printf("\n%-6s %8s %16s %16s %8s\n", "", "payload", "UdpSocket dg/s", "bare dg/s", "ratio");
    for (const char *kind : {"paced", "drain"}) {
        for (int size : kSizes) {
            const double perIteration = std::string(kind) == "paced" ? kBatch : burst(size);
            const double ours = reporter.time(name(kind, "UdpSocket", size));
            const double bare = reporter.time(name(kind, "bare", size));
            if (ours <= 0 || bare <= 0) continue;
            std::printf("%-6s %8d %16.0f %16.0f %8.2f\n", kind, size, perIteration * 1e9 / ours,
                        perIteration * 1e9 / bare, bare / ours);
            benchSummary(std::string("UDP ") + kind + " " + std::to_string(size) + " B", perIteration * 1e9 / ours,
                         perIteration * 1e9 / bare, "dg/s", bare / ours,
                         std::string(kind) == "drain" ? ">= 0.5" : "");
        }
    }
    return 0;
}

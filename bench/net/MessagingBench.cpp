// Messages per second that the TCP server receives and stores (one connection each, every
// message saved before its receipt goes back), and the latency of one message from the
// sender's SendMessage to its "TMR", each against a minimal C++ client and server doing the
// same connect-write-read-close on loopback with lines of the same size. The stored baseline
// also commits one row per message to SQLite (WAL, synchronous=FULL) before it answers, which is
// the least a server that confirms only what it saved must do. Sixteen senders at once show
// how far saves are shared. The ratios are printed at the end.
#include "BenchSummary.h"
#include "core/app/AppContext.h"
#include "core/app/GroupCommit.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/net/TCPserverTestSupport.h" // the raw loopback peers of the messaging tests
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/PrivateFolders.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBatch = 200;
const QString kText = QStringLiteral("Добрый день! The quarterly report is in the shared folder 📎");

struct Core {
    std::unique_ptr<UserList> roster;
    std::unique_ptr<TCPserver> server;
    Me *me = nullptr;
    User *sender = nullptr;
    std::uint16_t port = 0;
    qint64 nextId = 1'000'000;
    std::atomic<int> delivered{0};
};
Core *core = nullptr;

// Reads until CR LF or the peer's close.
QByteArray readLine(int fd) {
    QByteArray line;
    char buf[4096];
    while (!line.endsWith("\r\n")) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) std::perror("recv");
        if (n <= 0) break;
        line.append(buf, n);
    }
    return line;
}

// One exchange as every sender makes it: connect, the line, the reply line, close. `source`:
// the loopback address to send from (the server takes only a few connections per address).
bool exchange(std::uint16_t port, const QByteArray &line, const char *source = nullptr) {
    const int fd = source ? rawnet::connectLoopbackFrom(port, source) : rawnet::connectLoopback(port);
    if (fd < 0) {
        std::perror("connect");
        return false;
    }
    rawnet::sendAll(fd, line);
    const QByteArray reply = readLine(fd);
    ::close(fd);
    if (!reply.endsWith("\r\n")) std::fprintf(stderr, "reply of %d bytes\n", int(reply.size()));
    return reply.endsWith("\r\n");
}

// The baseline peer: accept, read the line, (when storing: commit it as one row), answer a
// line of the receipt's size, close.
class MinimalServer {
public:
    explicit MinimalServer(QByteArray reply, bool store = false) : reply_(std::move(reply)) {
        fd_ = rawnet::listenLoopback(128, &port_);
        if (store) openStore();
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) continue;
                const QByteArray line = readLine(c);
                if (insert_) {
                    sqlite3_bind_blob(insert_, 1, line.constData(), int(line.size()), SQLITE_STATIC);
                    if (sqlite3_step(insert_) != SQLITE_DONE)
                        std::fprintf(stderr, "%s\n", sqlite3_errmsg(db_));
                    sqlite3_reset(insert_);
                }
                rawnet::sendAll(c, reply_);
                ::close(c);
            }
        });
    }
    ~MinimalServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }
    std::uint16_t port() const { return port_; }
    sqlite3 *database() const { return db_; }

private:
    QByteArray reply_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    QTemporaryDir dir_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr;

    void openStore() {
        const QByteArray path = dir_.filePath(QStringLiteral("minimal.sqlite")).toUtf8();
        sqlite3_open(path.constData(), &db_);
        sqlite3_exec(db_,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     "CREATE TABLE m (id INTEGER PRIMARY KEY, line BLOB)",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db_, "INSERT INTO m (line) VALUES (?)", -1, &insert_, nullptr);
    }
};

QByteArray messageLine(qint64 id) {
    const PacketArray fields = {
        "TSM", QString::number(id), "pc-bench", "A000000002", "*", core->me->userId(), encodeTextField(kText),
        "*"};
    return KDTPacket::PlainPackeFromArray(fields) + "\r\n";
}

QByteArray receiptLine() {
    return KDTPacket::PlainPackeFromArray(Message::receiptPacket(QStringLiteral("A000000002"))) + "\r\n";
}

// Runs the client off the main thread while the main loop serves the core. The main loop
// sleeps until there is work, as the application's does: a loop that polled would hide the
// cost of waking it and spend a core of its own.
template <class F> void clientWhilePumping(F &&client) {
    QEventLoop loop;
    std::thread t([&] {
        client();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    t.join();
}

// Pages a store connection has written to its log so far.
long pagesWritten(sqlite3 *db) {
    int current = 0, highest = 0;
    if (!db || sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_WRITE, &current, &highest, 0) != SQLITE_OK) return 0;
    return current;
}

// Counts of the whole process (every thread, those that ended included) over a loop, reported
// per message: CPU time, the times a thread blocked and was woken again, the store's saves and
// the pages they wrote. Counts, unlike times, hardly change with the load of the machine.
class PerMessage {
public:
    explicit PerMessage(sqlite3 *db = appManagedObjectContext()->database())
        : db_(db), cpu_(cpuMicros()), wakeUps_(wakeUps()), saves_(GroupCommit::savesMade()), pages_(pagesWritten(db)) {}
    void report(benchmark::State &state, std::int64_t messages, bool saves = true) const {
        if (messages <= 0) return;
        const double n = double(messages);
        state.counters["cpu_us"] = (cpuMicros() - cpu_) / n;
        state.counters["wakeups"] = double(wakeUps() - wakeUps_) / n;
        if (saves) state.counters["saves"] = double(GroupCommit::savesMade() - saves_) / n;
        if (db_) state.counters["pages"] = double(pagesWritten(db_) - pages_) / n;
    }

private:
    static double cpuMicros() {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        return (double(u.ru_utime.tv_sec) + double(u.ru_stime.tv_sec)) * 1e6 + double(u.ru_utime.tv_usec) +
               double(u.ru_stime.tv_usec);
    }
    static long wakeUps() {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        return u.ru_nvcsw;
    }
    sqlite3 *db_;
    double cpu_;
    long wakeUps_;
    long saves_;
    long pages_;
};

void BM_Receive_Murnavell(benchmark::State &state) {
    const qint64 storedBefore = appManagedObjectContext()->fetch<Message>().size();
    const PerMessage counts;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<QByteArray> lines;
        for (int i = 0; i < kBatch; ++i) lines.push_back(messageLine(++core->nextId));
        state.ResumeTiming();
        clientWhilePumping([&] {
            int n = 0;
            for (const QByteArray &line : lines)
                if (++n, !exchange(core->port, line)) {
                    std::fprintf(stderr, "no receipt from the server at %d\n", n);
                    std::abort();
                }
        });
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    counts.report(state, state.iterations() * kBatch);
    state.counters["held_after"] = core->server->acceptedConnectionCount();
    const qint64 stored = appManagedObjectContext()->fetch<Message>().size() - storedBefore;
    if (stored != state.iterations() * kBatch) state.SkipWithError("not every message was stored");
}
BENCHMARK(BM_Receive_Murnavell)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Receive_Minimal(benchmark::State &state) {
    MinimalServer server(receiptLine());
    const QByteArray line = messageLine(1);
    const PerMessage counts(nullptr);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            if (!exchange(server.port(), line)) std::abort();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    counts.report(state, state.iterations() * kBatch, false);
}
BENCHMARK(BM_Receive_Minimal)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Receive_MinimalStored(benchmark::State &state) {
    MinimalServer server(receiptLine(), true);
    const QByteArray line = messageLine(1);
    const PerMessage counts(server.database());
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            if (!exchange(server.port(), line)) std::abort();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    counts.report(state, state.iterations() * kBatch, false);
}
BENCHMARK(BM_Receive_MinimalStored)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sixteen senders at once, each from its own address with its own messages: every one stored
// and confirmed.
constexpr int kSenders = 16;
void BM_Receive16_Murnavell(benchmark::State &state) {
    const qint64 storedBefore = appManagedObjectContext()->fetch<Message>().size();
    const PerMessage counts;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<QByteArray>> lines(kSenders);
        for (int i = 0; i < kBatch; ++i) lines[i % kSenders].push_back(messageLine(++core->nextId));
        state.ResumeTiming();
        clientWhilePumping([&] {
            std::vector<std::thread> senders;
            for (int s = 0; s < kSenders; ++s)
                senders.emplace_back([&, s] {
                    const std::string source = "127.0.0." + std::to_string(2 + s);
                    for (const QByteArray &line : lines[s])
                        if (!exchange(core->port, line, source.c_str())) {
                            std::fprintf(stderr, "no receipt from the server for sender %d\n", s);
                            std::abort();
                        }
                });
            for (std::thread &t : senders) t.join();
        });
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    counts.report(state, state.iterations() * kBatch);
    const qint64 stored = appManagedObjectContext()->fetch<Message>().size() - storedBefore;
    if (stored != state.iterations() * kBatch) state.SkipWithError("not every message was stored");
}
BENCHMARK(BM_Receive16_Murnavell)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Latency_Murnavell(benchmark::State &state) {
    const PerMessage counts;
    QEventLoop loop;
    const QMetaObject::Connection quit =
        QObject::connect(core->server.get(), &TCPserver::delivered, &loop, &QEventLoop::quit);
    for (auto _ : state) {
        const int before = core->delivered;
        // To the local user at its own address: stored, sent, acknowledged by the same server.
        core->me->SendMessage(kText);
        if (core->delivered == before) loop.exec();
    }
    QObject::disconnect(quit);
    counts.report(state, state.iterations());
}
BENCHMARK(BM_Latency_Murnavell)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Latency_Minimal(benchmark::State &state) {
    MinimalServer server(receiptLine());
    const QByteArray line = messageLine(1);
    for (auto _ : state)
        if (!exchange(server.port(), line)) std::abort();
}
BENCHMARK(BM_Latency_Minimal)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Latency_MinimalStored(benchmark::State &state) {
    MinimalServer server(receiptLine(), true);
    const QByteArray line = messageLine(1);
    const PerMessage counts(server.database());
    for (auto _ : state)
        if (!exchange(server.port(), line)) std::abort();
    counts.report(state, state.iterations(), false);
}
BENCHMARK(BM_Latency_MinimalStored)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The store's part: one incoming line inserted and saved, as the server does for each message
// it receives (a transaction with its fsync: synchronous=FULL, kept on purpose).
void BM_Store_SaveMessage(benchmark::State &state) {
    ManagedObjectContext *ctx = appManagedObjectContext();
    const PerMessage counts;
    for (auto _ : state) {
        auto *message = ctx->insert<Message>();
        message->setTime(QDateTime::currentDateTimeUtc());
        message->setMessageId(++core->nextId);
        message->setIncoming(true);
        message->setMessage(kText);
        message->setOriginalSenderName(core->sender->name());
        message->addUserObject(core->sender);
        saveContextIfChanged();
    }
    counts.report(state, state.iterations(), false);
}
BENCHMARK(BM_Store_SaveMessage)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps the numbers of each case for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const auto items = run.counters.find("items_per_second");
            results[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                   items == run.counters.end() ? 0.0 : double(items->second)};
        }
    }
    std::map<std::string, std::pair<double, double>> results; // real time, items per second
};

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    QCoreApplication app(argc, argv);

    Core c;
    core = &c;
    ManagedObjectContext *ctx = appManagedObjectContext();
    c.roster = std::make_unique<UserList>();
    UserList::setShared(c.roster.get());
    c.me = ctx->insert<Me>();
    c.me->setUserId(QStringLiteral("A000000001"));
    c.me->setPc(QStringLiteral("pc-bench"));
    c.me->User::setName(QStringLiteral("Bench"));
    c.me->setIp(QStringLiteral("127.0.0.1"));
    c.roster->setMe(c.me);
    c.me->setStatus(QStringLiteral("0"));
    User *sender = c.sender = ctx->insert<User>();
    sender->setUserId(QStringLiteral("A000000002"));
    sender->User::setName(QStringLiteral("Sender"));
    sender->setIp(QStringLiteral("127.0.0.1"));
    sender->setStatus(QStringLiteral("0"));
    saveContextIfChanged();
    // Frame ids in order, so no frame of the run is taken for a repeat.
    std::uint32_t nextFrameId = 1000000;
    KDTPacket::setIdSource(
        [&nextFrameId] { return nextFrameId < 9999998 ? nextFrameId++ : (nextFrameId = 1000000); });

    c.server = std::make_unique<TCPserver>(0, 0, false);
    TCPserver::setShared(c.server.get());
    c.port = c.server->listeningPort();
    c.server->setConnectPort(c.port);
    QObject::connect(c.server.get(), &TCPserver::delivered, [&c] { ++c.delivered; });
    if (!c.port) {
        std::fprintf(stderr, "the server does not listen\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto &r = reporter.results;
    const auto has = [&r](const char *name) { return r.count(name) != 0; };
    std::printf("\n");
    if (has("BM_Receive_Murnavell") && has("BM_Receive_Minimal")) {
        const double ours = r.at("BM_Receive_Murnavell").second, base = r.at("BM_Receive_Minimal").second;
        std::printf("received and stored: %.0f msg/s; minimal server: %.0f msg/s; ratio %.3f\n", ours, base,
                    ours / base);
    }
    if (has("BM_Latency_Murnavell") && has("BM_Latency_Minimal")) {
        const double ours = r.at("BM_Latency_Murnavell").first, base = r.at("BM_Latency_Minimal").first;
        std::printf("send to receipt: %.1f us; minimal exchange: %.1f us; ratio %.2f\n", ours, base,
                    ours / base);
    }
    if (has("BM_Receive_Murnavell") && has("BM_Receive_MinimalStored")) {
        const double ours = r.at("BM_Receive_Murnavell").second,
                     base = r.at("BM_Receive_MinimalStored").second;
        std::printf(
            "received and stored: %.0f msg/s; minimal server committing each: %.0f msg/s; ratio %.3f\n", ours,
            base, ours / base);
        benchSummary("message received and stored (TSM, saved, TMR)", ours, base, "msg/s", ours / base,
                     ">= 0.7");
    }
    if (has("BM_Receive16_Murnavell") && has("BM_Receive_Murnavell")) {
        const double many = r.at("BM_Receive16_Murnavell").second, one = r.at("BM_Receive_Murnavell").second;
        std::printf("16 senders: %.0f msg/s; one sender: %.0f msg/s; ratio %.2f\n", many, one, many / one);
        benchSummary("16 senders at once against one", many, one, "msg/s", many / one, ">= 4");
    }
    if (has("BM_Latency_Murnavell") && has("BM_Latency_MinimalStored")) {
        const double ours = r.at("BM_Latency_Murnavell").first, base = r.at("BM_Latency_MinimalStored").first;
        std::printf("send to receipt: %.1f us; minimal exchange committing: %.1f us; ratio %.2f\n", ours,
                    base, ours / base);
        benchSummary("send to TMR latency", ours, base, "us", ours / base, "<= 1.5");
    }
    if (has("BM_Store_SaveMessage") && has("BM_Receive_Murnavell") && has("BM_Receive_Minimal")) {
        // Each received message costs one such save; what is left is the transport and the core.
        const double save = r.at("BM_Store_SaveMessage").first; // us
        const double ours = 1e6 / r.at("BM_Receive_Murnavell").second,
                     base = 1e6 / r.at("BM_Receive_Minimal").second;
        std::printf("store: %.1f us per saved message, %.0f%% of the %.1f us a received message costs over "
                    "the minimal server (%.1f us against %.1f us)\n",
                    save, ours > base ? 100.0 * std::min(save, ours - base) / (ours - base) : 0.0,
                    ours - base, ours, base);
    }
    benchmark::Shutdown();
    TCPserver::setShared(nullptr);
    c.server.reset();
    UserList::setShared(nullptr);
    return 0;
}

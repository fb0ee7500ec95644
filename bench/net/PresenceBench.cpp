// One copy taking in the announcements of 1,000 (and 2,000) peers, and its information round
// to 1,000 online users six seconds later, each against the bare work beneath it in the same
// run:
//
//  - intake: a generator thread sends real "RL" frames (one per peer id) on loopback to the
//    copy's UDP server while the copy runs; timed until every peer is an online user of the
//    roster. Baseline: the same frames into a plain datagram socket with the receive buffer the
//    copy asks for, read in a loop, timed to the last datagram read (a datagram the kernel
//    dropped ends the loop, it is not waited for) and scaled to every peer when some were
//    dropped. The kernel's drop counts of both sockets are reported. 2,000 peers against 1,000 shows whether
//    the cost per announcement grows with the roster. The copy's roster makes up to 4,000 users for new ids
//    at once: the product's burst (1,024, then 16 a second) would measure that limit instead.
//  - round: the follow-up of the refresh ("TRI" over TCP to every online user) against a
//    loopback listener that reads the line and closes; timed until every connection is gone,
//    with the connections opened and the descriptors at peak. Baseline: 1,000 plain
//    non-blocking connects that write the same line and wait for the close.
//
// Memory: resident set before and after the intake, and the process's peak. Ratios are the
// counters "ratio" (copy time / baseline time). Run by hand (scripts/bench), not in CTest.
#include "BenchSummary.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "core/net/TCPserver.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <time.h>
#include <vector>

namespace {

constexpr int kPeers = 1000;
constexpr int kBoundMs = 30000;

// Peers -> (intake ms, bare ms) of the last run, for the summary.
std::map<int, std::pair<double, double>> g_intake;
std::pair<double, double> g_round;

qint64 procKiB(const char *field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

int openDescriptors() {
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (readdir(d)) ++n;
    closedir(d);
    return n - 3; // ".", ".." and the directory's own descriptor
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int boundSocket(int type, std::uint16_t *port) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// The calling thread's CPU time in microseconds.
double threadCpuUs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

// How often the calling thread went to sleep and was woken again.
long threadWakeUps() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// The calling thread's minor page faults so far: first touches of fresh heap pages, which
// cost tens of microseconds each on a virtual machine with shadow page tables.
long threadPageFaults() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return u.ru_minflt;
}

// The kernel's record of the UDP socket bound to `port` on loopback or any address: bytes
// waiting in its receive queue and datagrams it dropped for want of room.
struct KernelQueue {
    qint64 waiting = -1;
    qint64 drops = -1;
};
KernelQueue kernelQueue(std::uint16_t port) {
    QFile f(QStringLiteral("/proc/net/udp"));
    KernelQueue out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> columns = line.simplified().split(' ');
        if (columns.size() < 13 || !columns.at(1).endsWith(suffix)) continue;
        out.waiting = columns.at(4).split(':').value(1).toLongLong(nullptr, 16);
        out.drops = columns.at(12).toLongLong();
    }
    return out;
}

QString peerId(int i) { return QStringLiteral("A7%1").arg(i, 8, 10, QLatin1Char('0')); }

// A fresh "RL" frame of peer i (a new packet id each time, so a resend is not a repeat).
QByteArray peerFrame(int i) {
    const PacketArray array = {"RL",
                               "0",
                               "host-" + QString::number(i),
                               peerId(i),
                               "*",
                               "*",
                               "1",
                               "Peer " + QString::number(i),
                               QString::number(100000 + i),
                               "0",
                               "5",
                               "0",
                               "1",
                               "*",
                               "5.0.0"};
    return KDTPacket::PlainPackeFromArray(array);
}

// Sends the frames from a plain socket, as peers on the network would.
void sendFramesNow(const std::vector<QByteArray> &frames, std::uint16_t to) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = loopback(to);
    for (const QByteArray &f : frames)
        ::sendto(fd, f.constData(), size_t(f.size()), 0, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    ::close(fd);
}

// The same from another thread, while the receiver goes on with its work; `done` is set once
// every frame has left.
std::thread sendFrames(std::vector<QByteArray> frames, std::uint16_t to, std::atomic<bool> *done) {
    return std::thread([frames = std::move(frames), to, done] {
        sendFramesNow(frames, to);
        *done = true;
    });
}

void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }

// The copy: store, roster with its local user, UDP server on an ephemeral port.
struct Copy {
    QTemporaryDir dir;
    std::unique_ptr<ManagedObjectContext> ctx;
    std::unique_ptr<UserList> list;
    std::unique_ptr<UDPserver> udp;
    QSet<QString> online;

    explicit Copy(std::uint16_t answerPort) {
        ctx = std::make_unique<ManagedObjectContext>(UserListModel::model());
        ctx->open(dir.filePath(QStringLiteral("bench.storedata")));
        list = std::make_unique<UserList>();
        list->setContext(ctx.get());
        // The product makes at most UnknownUserBurst users at once for ids it never saw; an
        // office of 2,000 starting together would measure that limit instead of the intake.
        list->setUnknownUserBurst(std::max<double>(UserList::UnknownUserBurst, 4 * kPeers));
        UserList::setShared(list.get());
        list->updateMe();
        udp = std::make_unique<UDPserver>(0, answerPort);
        UDPserver::setShared(udp.get());
        QObject::connect(udp.get(), &UDPserver::presenceReceived, udp.get(),
                         [this](const QString &, const QString &id) { online.insert(id); });
    }
    ~Copy() {
        udp.reset();
        UserList::setShared(nullptr);
        list.reset();
        Me::setCurrent(nullptr);
        ctx.reset();
    }
};

// Takes in the 1,000 peers, sent while the copy runs; a peer whose datagram the kernel dropped
// is sent again once nothing has come for 20 ms and nothing waits in the kernel's queue.
// `firstPass`: peers taken in before the first resend; `sent`: datagrams sent in all.
bool intake(Copy &copy, int peers = kPeers, int *firstPass = nullptr, int *sent = nullptr) {
    std::vector<QByteArray> frames;
    for (int i = 0; i < peers; ++i) frames.push_back(peerFrame(i));
    // The copy's main thread takes them in while they arrive, as it would from other hosts.
    std::atomic<bool> allSent{false};
    std::thread sender = sendFrames(std::move(frames), copy.udp->receivePort(), &allSent);
    int total = peers;
    int first = -1;
    QElapsedTimer since;
    since.start();
    QElapsedTimer idle;
    idle.start();
    int seen = 0;
    while (copy.online.size() < peers && since.elapsed() < kBoundMs) {
        pump();
        if (copy.online.size() != seen || !allSent) {
            seen = int(copy.online.size());
            idle.restart();
        } else if (idle.elapsed() > 20 && kernelQueue(copy.udp->receivePort()).waiting == 0) {
            // Nothing came for a while and nothing waits in the kernel: the rest was dropped.
            if (first < 0) first = seen;
            std::vector<QByteArray> again;
            for (int i = 0; i < peers; ++i)
                if (!copy.online.contains(peerId(i))) again.push_back(peerFrame(i));
            sendFramesNow(again, copy.udp->receivePort());
            total += int(again.size());
            idle.restart();
        }
    }
    sender.join();
    if (firstPass) *firstPass = first < 0 ? int(copy.online.size()) : first;
    if (sent) *sent = total;
    return copy.online.size() == peers;
}

// Milliseconds from the start to the last datagram read; `got`: datagrams read. A datagram the
// kernel dropped is not waited for: once the sender is done and the queue stays empty, the time
// of the last read stands.
double bareReceive(int peers, int *got = nullptr, int *drops = nullptr) {
    std::uint16_t port = 0;
    const int fd = boundSocket(SOCK_DGRAM, &port);
    // The receive buffer the copy asks for, so both hold the same burst.
    const int wanted = UDPserver::kReceiveBufferWanted;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    std::vector<QByteArray> frames;
    for (int i = 0; i < peers; ++i) frames.push_back(peerFrame(i));
    std::atomic<bool> sent{false};
    QElapsedTimer t;
    t.start();
    std::thread sender = sendFrames(std::move(frames), port, &sent);
    int n = 0;
    qint64 lastNs = 0;
    char buf[65536];
    while (n < peers) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5) <= 0) {
            if (sent) break; // nothing left in flight: the rest was dropped
            continue;
        }
        if (::recv(fd, buf, sizeof buf, 0) > 0) {
            ++n;
            lastNs = t.nsecsElapsed();
        }
    }
    sender.join();
    if (drops) *drops = int(kernelQueue(port).drops);
    ::close(fd);
    if (got) *got = n;
    // The time per datagram read, for every peer: dropped datagrams cost the loop nothing.
    return n > 0 ? double(lastNs) / 1e6 * peers / n : 0;
}

// Counts the process's descriptors every half millisecond while it lives; the main thread is
// busy in the work measured, so it cannot look itself.
struct FdSampler {
    std::atomic<bool> stop{false};
    std::atomic<int> peak{0};
    std::thread worker;
    FdSampler() {
        worker = std::thread([this] {
            while (!stop) {
                peak = std::max(peak.load(), openDescriptors());
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    int finish() {
        stop = true;
        worker.join();
        return peak;
    }
};

// Reads each connection's line and closes it, one after another.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    std::thread worker;

    Listener() {
        fd = boundSocket(SOCK_STREAM, &port);
        ::listen(fd, 4096);
        worker = std::thread([this] {
            char buf[4096];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                const int c = ::accept(fd, nullptr, nullptr);
                if (c < 0) continue;
                ++accepted;
                QByteArray line;
                while (!line.contains("\r\n")) {
                    pollfd q{c, POLLIN, 0};
                    if (::poll(&q, 1, 2000) <= 0) break;
                    const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    line.append(buf, int(n));
                }
                ::close(c);
            }
        });
    }
    ~Listener() {
        stop = true;
        worker.join();
        ::close(fd);
    }
};

void BM_PresenceIntake(benchmark::State &state) {
    for (auto _ : state) {
        std::uint16_t answers = 0;
        const int sink = boundSocket(SOCK_DGRAM, &answers); // the peers' service port
        Copy copy(answers);
        UserList::setInfoRequestFunction([](User *) {}); // the TCP side is measured below
        const qint64 rssBefore = procKiB("VmRSS:");
        QElapsedTimer t;
        t.start();
        const double cpuBefore = threadCpuUs();
        const long wakeUpsBefore = threadWakeUps();
        const long faultsBefore = threadPageFaults();
        int firstPass = 0;
        int sent = 0;
        const int peers = int(state.range(0));
        const bool all = intake(copy, peers, &firstPass, &sent);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        // The main thread's own share: the rest of the time it waited for datagrams.
        state.counters["main_cpu_ms"] = (threadCpuUs() - cpuBefore) / 1e3;
        state.counters["main_wakeups"] = double(threadWakeUps() - wakeUpsBefore);
        state.counters["main_page_faults"] = double(threadPageFaults() - faultsBefore);
        const qint64 rssAfter = procKiB("VmRSS:");
        const KernelQueue kernel = kernelQueue(copy.udp->receivePort());
        for (int i = 0; i < 20; ++i) pump(); // the requests left for the next turn
        UserList::setInfoRequestFunction({});
        int bareGot = 0;
        int bareDrops = 0;
        const double bare = bareReceive(peers, &bareGot, &bareDrops);
        ::close(sink);
        if (!all) state.SkipWithError("not every peer was taken in");
        state.SetIterationTime(ms / 1000.0);
        state.counters["intake_ms"] = ms;
        state.counters["bare_udp_ms"] = bare;
        state.counters["ratio"] = bare > 0 ? ms / bare : 0;
        state.counters["users"] = double(copy.list->allUsersWithoutOffline(true, true).size());
        state.counters["first_pass_users"] = firstPass;
        state.counters["bare_received"] = bareGot;
        state.counters["kernel_drops"] = double(kernel.drops);
        state.counters["bare_kernel_drops"] = bareDrops;
        g_intake[peers] = {ms, bare};
        state.counters["datagrams_sent"] = sent;
        state.counters["receive_buffer"] = copy.udp->receiveBufferSize();
        state.counters["rss_growth_kib"] = double(rssAfter - rssBefore);
        state.counters["peak_rss_kib"] = double(procKiB("VmHWM:"));
    }
}

// The main thread's work per announcement, without the sockets: `handleDatagram` on frames as
// they arrive, timed in the thread's CPU time (what a loaded machine does not inflate). A
// roster of range(0) users is there first; 1,000 new peers join it, then announce again as
// known users. Both costs must not grow with the roster.
void BM_AnnouncementCost(benchmark::State &state) {
    const int roster = int(state.range(0));
    for (auto _ : state) {
        std::uint16_t answers = 0;
        const int sink = boundSocket(SOCK_DGRAM, &answers);
        Copy copy(answers);
        copy.list->setUnknownUserBurst(roster + 4.0 * kPeers);
        UserList::setInfoRequestFunction([](User *) {});
        const QString from = QStringLiteral("127.0.0.1");
        // Peer ids of the roster first, then the newcomers'.
        for (int i = 0; i < roster; ++i) copy.udp->handleDatagram(peerFrame(kPeers + i), from);
        for (int i = 0; i < 20; ++i) pump();
        std::vector<QByteArray> fresh, again;
        for (int i = 0; i < kPeers; ++i) fresh.push_back(peerFrame(i));
        for (int i = 0; i < kPeers; ++i) again.push_back(peerFrame(i));
        // What the datagrams left for the main queue (answers, requests, the socket's reports)
        // is part of their cost: the turns that run it are counted too.
        double t = threadCpuUs();
        for (const QByteArray &f : fresh) copy.udp->handleDatagram(f, from);
        for (int i = 0; i < 20; ++i) pump();
        const double newUs = (threadCpuUs() - t) / kPeers;
        t = threadCpuUs();
        for (const QByteArray &f : again) copy.udp->handleDatagram(f, from);
        for (int i = 0; i < 20; ++i) pump();
        const double knownUs = (threadCpuUs() - t) / kPeers;
        UserList::setInfoRequestFunction({});
        ::close(sink);
        state.SetIterationTime((newUs + knownUs) * kPeers / 1e6);
        state.counters["new_peer_us"] = newUs;
        state.counters["known_peer_us"] = knownUs;
        if (copy.online.size() != kPeers + roster) state.SkipWithError("not every peer was taken in");
    }
}

double bareConnects(std::uint16_t port, const QByteArray &line, int *peakFds) {
    QElapsedTimer t;
    t.start();
    std::vector<pollfd> fds;
    for (int i = 0; i < kPeers; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const sockaddr_in a = loopback(port);
        ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        fds.push_back({fd, POLLOUT, 0});
    }
    *peakFds = openDescriptors();
    int open = kPeers;
    QElapsedTimer bound;
    bound.start();
    while (open > 0 && bound.elapsed() < kBoundMs) {
        if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (pollfd &p : fds) {
            if (p.fd < 0 || !p.revents) continue;
            if (p.events == POLLOUT && (p.revents & POLLOUT)) {
                ::send(p.fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL);
                p.events = POLLIN;
            } else if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[256];
                if (::recv(p.fd, buf, sizeof buf, 0) <= 0) {
                    ::close(p.fd);
                    p.fd = -1;
                    --open;
                }
            }
        }
    }
    return double(t.nsecsElapsed()) / 1e6;
}

void BM_InformationRound(benchmark::State &state) {
    for (auto _ : state) {
        std::uint16_t answers = 0;
        const int sink = boundSocket(SOCK_DGRAM, &answers);
        Copy copy(answers);
        UserList::setInfoRequestFunction([](User *) {});
        if (!intake(copy)) {
            state.SkipWithError("not every peer was taken in");
            ::close(sink);
            break;
        }
        for (int i = 0; i < 20; ++i) pump(); // the requests left for the next turn
        UserList::setInfoRequestFunction({});
        Listener listener;
        TCPserver tcp(0, listener.port, false);
        TCPserver::setShared(&tcp);
        const int fdsBefore = openDescriptors();
        FdSampler sampler;
        QElapsedTimer t;
        t.start();
        copy.udp->ContinueRefreshUserList(); // what the 6 s timer runs
        while ((tcp.outgoingConnectionCount() > 0 || listener.accepted < kPeers) && t.elapsed() < kBoundMs)
            pump();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        const int peakFds = sampler.finish();
        const int offline = kPeers - int(copy.list->allUsersWithoutOffline(true, true).size());
        TCPserver::setShared(nullptr);

        const QByteArray line =
            KDTPacket::PlainPackeFromArray(User::infoRequestPacket(copy.list->getUserById(peerId(0), {}))) +
            "\r\n";
        const int acceptedBefore = listener.accepted;
        int barePeakFds = 0;
        FdSampler bareSampler;
        const double bare = bareConnects(listener.port, line, &barePeakFds);
        g_round = {ms, bare};
        barePeakFds = std::max(barePeakFds, bareSampler.finish());
        ::close(sink);
        if (listener.accepted - acceptedBefore < kPeers) state.SkipWithError("baseline lost connections");
        state.SetIterationTime(ms / 1000.0);
        state.counters["round_ms"] = ms;
        state.counters["bare_tcp_ms"] = bare;
        state.counters["ratio"] = bare > 0 ? ms / bare : 0;
        state.counters["connections"] = double(acceptedBefore);
        state.counters["fds_before"] = fdsBefore;
        state.counters["peak_fds"] = peakFds;
        state.counters["bare_peak_fds"] = barePeakFds;
        state.counters["marked_offline"] = offline;
    }
}

BENCHMARK(BM_PresenceIntake)
    ->Arg(kPeers)
    ->Arg(2 * kPeers)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnnouncementCost)
    ->Arg(0)
    ->Arg(10 * kPeers)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InformationRound)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // Held copies are not part of this: their delivery run stays out.
    MessageForForwarding::setSendOnUserInHandler([](User *) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_intake.count(kPeers)) {
        const auto [ms, bare] = g_intake.at(kPeers);
        benchSummary("1,000 peers' announcements into the roster", ms, bare, "ms", ms / bare, "<= 2");
        if (g_intake.count(2 * kPeers)) {
            const double ms2 = g_intake.at(2 * kPeers).first;
            benchSummary("2,000 peers' announcements against 1,000", ms2, ms, "ms", ms2 / ms, "<= 2.2");
        }
    }
    if (g_round.second > 0)
        benchSummary("information round to 1,000 users", g_round.first, g_round.second, "ms",
                     g_round.first / g_round.second);
    return 0;
}

// A whole transfer of one 256 MiB file between two file servers over 127.0.0.1, with the data
// cipher and without, against a plain blocking copy of the same file over a loopback socket in
// the same run (read the file, send, receive, write a file). Real time; the ratio table at the
// end is transfer time / plain copy time.
#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace {

constexpr qint64 kFileSize = qint64(256) << 20;
constexpr size_t kChunk = 786432;

struct World {
    QTemporaryDir dir;
    QString source;
    QString received;
    std::unique_ptr<KDTAppDelegate> delegate;
    std::unique_ptr<UserList> roster;
    std::unique_ptr<FILEserver> receiver;
    std::unique_ptr<FILEserver> sender;
    User *peer = nullptr;
    bool encrypt = true;
    QPointer<FileTransfer> incoming;
};

World *world = nullptr;

void makeWorld() {
    world = new World;
    const QString root = world->dir.path();
    qputenv("XDG_DATA_HOME", (root + "/data").toLocal8Bit());
    world->source = root + "/source.bin";
    world->received = root + "/received";
    QFile f(world->source);
    f.open(QIODevice::WriteOnly);
    QRandomGenerator gen(1);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 done = 0; done < kFileSize; done += block.size()) {
        for (qsizetype i = 0; i < block.size(); i += 4) {
            const quint32 v = gen.generate();
            std::memcpy(block.data() + i, &v, 4);
        }
        f.write(block);
    }
    f.close();

    world->delegate = std::make_unique<KDTAppDelegate>();
    KDTAppDelegate::setShared(world->delegate.get());
    ManagedObjectContext *ctx = appManagedObjectContext();
    RegisteredDefaults::registerMessaging(Defaults::standard());
    FILEserver::registerDefaults(Defaults::standard());
    Defaults::standard().setValue("fileTransferPath", world->received);
    Defaults::standard().setValue("sounds.enabled", false);
    world->roster = std::make_unique<UserList>();
    UserList::setShared(world->roster.get());
    UserList::setInfoRequestFunction([](User *) {});
    Me *me = ctx->insert<Me>();
    me->setUserId("A000000001");
    me->setName("Bench");
    world->roster->setMe(me);
    world->peer = ctx->insert<User>();
    world->peer->setUserId("A000000002");
    world->peer->setName("Peer");
    world->peer->setIp("127.0.0.1");
    world->peer->setStatus("0");
    world->receiver = std::make_unique<FILEserver>(0, 0);
    world->sender = std::make_unique<FILEserver>(0, world->receiver->listeningPort());
    QObject::connect(world->receiver.get(), &FILEserver::incomingTransfer, [](FileTransfer *t) {
        world->incoming = t;
        t->setEncrypt(world->encrypt);
        t->ContinueTransfer(FileTransfer::Transferring);
    });
}

bool done(const FileTransfer *t) {
    return t && !t->socket() && t->transferState() != FileTransfer::Transferring &&
           t->transferState() != FileTransfer::WaitingForAnswer;
}

void transfer(benchmark::State &state, bool encrypt) {
    world->encrypt = encrypt;
    for (auto _ : state) {
        world->incoming.clear();
        FileTransfer *out = nullptr;
        QObject::connect(
            world->sender.get(), &FILEserver::outgoingTransfer, world->sender.get(),
            [&out](FileTransfer *t) { out = t; }, Qt::SingleShotConnection);
        if (!world->sender->outgoingFiles({world->source}, world->peer)) {
            state.SkipWithError("no transfer");
            break;
        }
        while (!(done(out) && done(world->incoming)))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        state.PauseTiming();
        if (out->transferState() != FileTransfer::Complete ||
            world->incoming->transferState() != FileTransfer::Complete)
            state.SkipWithError("transfer did not complete");
        QDir(world->received).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}

void transferEncrypted(benchmark::State &state) { transfer(state, true); }
void transferPlain(benchmark::State &state) { transfer(state, false); }

// The same bytes with blocking calls: file -> socket on one thread, socket -> file on another.
void plainCopy(benchmark::State &state) {
    for (auto _ : state) {
        const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(lfd, 1);
        socklen_t len = sizeof a;
        ::getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
        std::thread receiverThread([lfd] {
            const int fd = ::accept(lfd, nullptr, nullptr);
            QDir().mkpath(world->received);
            const int out = ::open(QFile::encodeName(world->received + "/copy.bin").constData(),
                                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            std::vector<char> buf(kChunk);
            ssize_t n;
            while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0)
                if (::write(out, buf.data(), size_t(n)) != n) break;
            ::close(out);
            ::close(fd);
        });
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        const int in = ::open(QFile::encodeName(world->source).constData(), O_RDONLY | O_CLOEXEC);
        std::vector<char> buf(kChunk);
        ssize_t n;
        while ((n = ::read(in, buf.data(), buf.size())) > 0) {
            for (ssize_t off = 0; off < n;) {
                const ssize_t w = ::send(fd, buf.data() + off, size_t(n - off), MSG_NOSIGNAL);
                if (w <= 0) break;
                off += w;
            }
        }
        ::close(in);
        ::close(fd);
        receiverThread.join();
        ::close(lfd);
        state.PauseTiming();
        QDir(world->received).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.benchmark_name()].push_back(run.GetAdjustedRealTime());
    }
    double time(const std::string &name) const {
        const auto it = times_.find(name);
        if (it == times_.end()) return 0;
        std::vector<double> t = it->second;
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

} // namespace

int main(int argc, char **argv) {
    // Private folders: the benchmark never touches the real user's settings, store or downloads.
    QTemporaryDir home;
    const QByteArray root = home.path().toLocal8Bit();
    setenv("HOME", root.constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/run").constData(), 1);
    QCoreApplication app(argc, argv);
    makeWorld();

    benchmark::RegisterBenchmark("256MiB/plain_copy", plainCopy)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark("256MiB/transfer_plain", transferPlain)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark("256MiB/transfer_encrypted", transferEncrypted)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double base = reporter.time("256MiB/plain_copy/iterations:3/real_time");
    std::printf("\n%-20s %14s %14s %8s\n", "", "transfer ms", "plain copy ms", "ratio");
    for (const char *what : {"transfer_plain", "transfer_encrypted"}) {
        const double mine = reporter.time(std::string("256MiB/") + what + "/iterations:3/real_time");
        if (mine <= 0 || base <= 0) continue;
        std::printf("%-20s %14.1f %14.1f %8.2f\n", what, mine, base, mine / base);
    }
    world->sender.reset();
    world->receiver.reset();
    return 0;
}

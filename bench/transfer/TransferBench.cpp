// A whole transfer of one 256 MiB file between two file servers over 127.0.0.1, with the data
// cipher and without, against a plain blocking copy of the same file over a loopback socket in
// the same run (read the file, send, receive, write a file), once left in the page cache and
// once synced, renamed and its folder synced before the receiver is done, as a received file
// is; the encrypted one also against AES-256-CBC encryption alone of the same bytes in the same
// chunks (what `openssl speed -evp aes-256-cbc` measures). The main thread's busy share (its CPU
// time over the transfer's time) is reported for each transfer, and for one encrypted transfer
// of 1 GiB. Then 1,000 files of 1 KiB in one transfer, against a bare
// copy of the same files that keeps the same promise per file (written, synced, renamed, the
// folder synced, then a one-byte answer to the sender). Real time; the ratio table at the end
// is transfer time / baseline time.
#include "BenchRatioReporter.h"
#include "BenchSummary.h"
#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/PrivateFolders.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace {

constexpr qint64 kFileSize = qint64(256) << 20;
constexpr qint64 kLargeFileSize = qint64(1) << 30;
constexpr size_t kChunk = 786432;
constexpr int kSmallFiles = 1000;
constexpr int kSmallSize = 1024;

// Every timed run starts with the disk idle: the syncs of a run would otherwise also wait for
// the writeback of whatever the run before it left dirty.
void settleDisk(benchmark::State &state) {
    state.PauseTiming();
    ::sync();
    state.ResumeTiming();
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::map<std::string, double> g_busy; // transfer -> main thread's CPU share

struct World {
    QTemporaryDir dir;
    QString source;
    QString largeSource; // kLargeFileSize bytes: the source four times
    QStringList smallFiles;
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
    world->largeSource = root + "/source-1GiB.bin";
    QFile large(world->largeSource);
    large.open(QIODevice::WriteOnly);
    f.open(QIODevice::ReadOnly);
    for (qint64 done = 0; done < kLargeFileSize; done += kFileSize) {
        f.seek(0);
        while (!f.atEnd()) large.write(f.read(8 << 20));
    }
    f.close();
    large.close();
    QDir(root).mkpath(QStringLiteral("small"));
    for (int i = 0; i < kSmallFiles; ++i) {
        const QString path = root + QStringLiteral("/small/file-%1.txt").arg(i, 4, 10, QLatin1Char('0'));
        QFile small(path);
        small.open(QIODevice::WriteOnly);
        small.write(block.left(kSmallSize));
        world->smallFiles.append(path);
    }

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

void transfer(benchmark::State &state, bool encrypt, const QStringList &files, const char *name,
              qint64 size = kFileSize) {
    world->encrypt = encrypt;
    // Wakes the loop now and then, so the end is seen even when no event follows it.
    QTimer tick;
    tick.start(20);
    double busy = 0, wall = 0;
    for (auto _ : state) {
        settleDisk(state);
        world->incoming.clear();
        FileTransfer *out = nullptr;
        QObject::connect(
            world->sender.get(), &FILEserver::outgoingTransfer, world->sender.get(),
            [&out](FileTransfer *t) { out = t; }, Qt::SingleShotConnection);
        const double cpu0 = threadCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        if (!world->sender->outgoingFiles(files, world->peer)) {
            state.SkipWithError("no transfer");
            break;
        }
        while (!(done(out) && done(world->incoming)))
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        busy += threadCpuSeconds() - cpu0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        if (out->transferState() != FileTransfer::Complete ||
            world->incoming->transferState() != FileTransfer::Complete)
            state.SkipWithError("transfer did not complete");
        QDir(world->received).removeRecursively();
        state.ResumeTiming();
    }
    if (files.size() > 1)
        state.SetItemsProcessed(int64_t(state.iterations()) * files.size());
    else
        state.SetBytesProcessed(int64_t(state.iterations()) * size);
    if (wall > 0) {
        state.counters["main_thread_busy"] = busy / wall;
        g_busy[name] = busy / wall;
    }
}

void transferEncrypted(benchmark::State &state) {
    transfer(state, true, {world->source}, "transfer_encrypted");
}
void transferPlain(benchmark::State &state) { transfer(state, false, {world->source}, "transfer_plain"); }
void transferSmall(benchmark::State &state) { transfer(state, false, world->smallFiles, "small_files"); }
void transferLarge(benchmark::State &state) {
    transfer(state, true, {world->largeSource}, "1GiB_encrypted", kLargeFileSize);
}

// AES-256-CBC over the same bytes in the same chunks, nothing else.
void encryptOnly(benchmark::State &state) {
    QFile f(world->source);
    f.open(QIODevice::ReadOnly);
    const QByteArray data = f.read(kChunk);
    const unsigned char key[32] = {1, 2, 3}, iv[16] = {4, 5, 6};
    std::vector<unsigned char> out(kChunk + 32);
    for (auto _ : state) {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        for (qint64 done = 0; done < kFileSize; done += qint64(kChunk)) {
            int n = 0;
            EVP_EncryptUpdate(ctx, out.data(), &n, reinterpret_cast<const unsigned char *>(data.constData()),
                              int(data.size()));
            benchmark::DoNotOptimize(out.data());
        }
        EVP_CIPHER_CTX_free(ctx);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}

bool readFully(int fd, void *data, size_t n) {
    auto *p = static_cast<char *>(data);
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool sendFully(int fd, const void *data, size_t n) {
    auto *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// A listening socket on a free loopback port; `a` gets its address.
int loopbackListener(sockaddr_in &a) {
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    a = sockaddr_in{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(lfd, 1);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
    return lfd;
}

// One timed run of a bare copy over loopback, after the disk has settled: `receive` takes the
// accepted connection on a thread of its own, `send` the connected socket on this one. What was
// received is removed untimed.
template <class Receive, class Send> void bareCopyRun(benchmark::State &state, Receive receive, Send send) {
    settleDisk(state);
    sockaddr_in a{};
    const int lfd = loopbackListener(a);
    std::thread receiverThread([lfd, &receive] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        receive(fd);
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    send(fd);
    ::close(fd);
    receiverThread.join();
    ::close(lfd);
    state.PauseTiming();
    QDir(world->received).removeRecursively();
    state.ResumeTiming();
}

// The small files one after another over one connection: a header (name length, size), the
// name and the bytes; the receiver writes a temporary file, syncs it, renames it, syncs the
// folder and answers one byte before the sender goes on.
void smallCopy(benchmark::State &state) {
    for (auto _ : state) {
        const auto receive = [](int fd) {
            const QByteArray folder = QFile::encodeName(world->received + "/small");
            QDir().mkpath(world->received + "/small");
            const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            std::vector<char> buf(65536);
            for (;;) {
                std::uint32_t head[2];
                if (!readFully(fd, head, sizeof head) || head[0] > 4096 || head[1] > buf.size()) break;
                QByteArray name(int(head[0]), Qt::Uninitialized);
                if (!readFully(fd, name.data(), head[0]) || !readFully(fd, buf.data(), head[1])) break;
                const QByteArray tmp = folder + "/." + name, final = folder + "/" + name;
                const int out = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                const bool ok = ::write(out, buf.data(), head[1]) == ssize_t(head[1]) && ::fsync(out) == 0;
                ::close(out);
                if (!ok || ::rename(tmp.constData(), final.constData()) != 0 || ::fsync(dir) != 0) break;
                if (!sendFully(fd, "k", 1)) break;
            }
            ::close(dir);
        };
        bool failed = false;
        const auto send = [&failed](int fd) {
            std::vector<char> buf(65536);
            for (const QString &path : std::as_const(world->smallFiles)) {
                const int in = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
                const ssize_t n = ::read(in, buf.data(), buf.size());
                ::close(in);
                const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
                const std::uint32_t head[2] = {std::uint32_t(name.size()),
                                               std::uint32_t(std::max<ssize_t>(n, 0))};
                // One send per file: written piece by piece, each piece after the first would wait
                // for the receiver's delayed acknowledgement (Nagle), and the baseline would
                // measure that.
                QByteArray message(reinterpret_cast<const char *>(head), sizeof head);
                message += name;
                message.append(buf.data(), qsizetype(head[1]));
                char answer = 0;
                if (!sendFully(fd, message.constData(), size_t(message.size())) ||
                    !readFully(fd, &answer, 1)) {
                    failed = true;
                    return;
                }
            }
        };
        bareCopyRun(state, receive, send);
        if (failed) {
            state.SkipWithError("bare copy failed");
            break;
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kSmallFiles);
}

// The same bytes with blocking calls: file -> socket on one thread, socket -> file on another.
// `durable`: the receiver writes under a temporary name, syncs the file, renames it and syncs
// the folder before it is done, the promise a received file keeps.
void plainCopy(benchmark::State &state, bool durable) {
    for (auto _ : state) {
        const auto receive = [durable](int fd) {
            QDir().mkpath(world->received);
            const QByteArray folder = QFile::encodeName(world->received);
            const QByteArray part = folder + "/copy.bin.part", final = folder + "/copy.bin";
            const int out = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            std::vector<char> buf(kChunk);
            ssize_t n;
            while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0)
                if (::write(out, buf.data(), size_t(n)) != n) break;
            if (durable) ::fsync(out);
            ::close(out);
            ::rename(part.constData(), final.constData());
            if (durable) {
                const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                ::fsync(dir);
                ::close(dir);
            }
        };
        const auto send = [](int fd) {
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
        };
        bareCopyRun(state, receive, send);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFileSize);
}

} // namespace

int main(int argc, char **argv) {
    // Private folders: the benchmark never touches the real user's settings, store or downloads.
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    QCoreApplication app(argc, argv);
    makeWorld();

    const struct {
        const char *name;
        void (*run)(benchmark::State &);
        int iterations;
    } runs[] = {
        {"256MiB/plain_copy", [](benchmark::State &state) { plainCopy(state, false); }, 3},
        {"256MiB/synced_copy", [](benchmark::State &state) { plainCopy(state, true); }, 3},
        {"256MiB/transfer_plain", transferPlain, 3},
        {"256MiB/transfer_encrypted", transferEncrypted, 3},
        {"256MiB/encrypt_only", encryptOnly, 3},
        // One pass: the main thread's share over a transfer as long as a large one is.
        {"1GiB/transfer_encrypted", transferLarge, 1},
        // One pass each: every file costs two syncs on both sides, which take long on a busy disk.
        {"1000x1KiB/bare_copy", smallCopy, 1},
        {"1000x1KiB/transfer", transferSmall, 1},
    };
    for (const auto &r : runs)
        benchmark::RegisterBenchmark(r.name, r.run)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(r.iterations);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    BenchRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double base = reporter.time("256MiB/plain_copy/iterations:3/real_time");
    const double synced = reporter.time("256MiB/synced_copy/iterations:3/real_time");
    std::printf("\n%-20s %14s %14s %8s %14s %8s\n", "", "transfer ms", "plain copy ms", "ratio",
                "synced copy ms", "ratio");
    for (const char *what : {"transfer_plain", "transfer_encrypted"}) {
        const double mine = reporter.time(std::string("256MiB/") + what + "/iterations:3/real_time");
        if (mine <= 0 || base <= 0) continue;
        std::printf("%-20s %14.1f %14.1f %8.2f %14.1f %8.2f\n", what, mine, base, mine / base, synced,
                    synced > 0 ? mine / synced : 0.0);
    }
    const double mb = double(kFileSize) / 1e6;
    const double plain = reporter.time("256MiB/transfer_plain/iterations:3/real_time");
    if (plain > 0 && base > 0)
        benchSummary("transfer 256 MiB plain", mb / plain * 1e3, mb / base * 1e3, "MB/s", base / plain,
                     ">= 0.8");
    // The received file is on the disk when the transfer ends; the plain copy's is in the page
    // cache only, so the disk's write speed bounds the row above. This one keeps the same promise.
    if (plain > 0 && synced > 0)
        benchSummary("transfer 256 MiB plain (against a copy synced as a received file is)", mb / plain * 1e3,
                     mb / synced * 1e3, "MB/s", synced / plain, ">= 0.8");
    const double enc = reporter.time("256MiB/transfer_encrypted/iterations:3/real_time");
    const double aes = reporter.time("256MiB/encrypt_only/iterations:3/real_time");
    if (enc > 0 && aes > 0)
        benchSummary("transfer 256 MiB encrypted (against AES-256-CBC alone)", mb / enc * 1e3, mb / aes * 1e3,
                     "MB/s", aes / enc, ">= 0.6");
    const double small = reporter.time("1000x1KiB/transfer/iterations:1/real_time");
    const double bare = reporter.time("1000x1KiB/bare_copy/iterations:1/real_time");
    if (small > 0 && bare > 0)
        benchSummary("1,000 files of 1 KiB", kSmallFiles / small * 1e3, kSmallFiles / bare * 1e3, "files/s",
                     bare / small, ">= 0.5 and >= 1000 files/s");
    for (const auto &[what, share] : g_busy)
        std::printf("main thread busy during %s: %.0f%%\n", what.c_str(), share * 100);
    if (g_busy.count("transfer_encrypted"))
        benchSummary("main thread busy in a 256 MiB encrypted transfer",
                     g_busy.at("transfer_encrypted") * 100, 100, "%", g_busy.at("transfer_encrypted"));
    if (g_busy.count("1GiB_encrypted"))
        benchSummary("main thread busy in a 1 GiB encrypted transfer", g_busy.at("1GiB_encrypted") * 100, 100,
                     "%", g_busy.at("1GiB_encrypted"));
    world->sender.reset();
    world->receiver.reset();
    return 0;
}

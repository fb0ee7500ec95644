#pragma once

// A private store with a local user and a peer, two file servers on loopback ports, a record of
// every transfer's states, and raw POSIX peers that speak the dialogue by a script.
#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/EventLoopWait.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"
#include "transfer/HeaderRecord.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

class SoundRecorder : public AppInterface {
public:
    void playSound(const QString &name) override { sounds.append(name); }
    void showHistoryLine(LogEntry *entry) override { shown.append(entry); }
    QStringList sounds;
    QList<LogEntry *> shown;
};

inline QByteArray randomBytes(qsizetype n, quint32 seed) {
    QByteArray out(n, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    qsizetype i = 0;
    for (; i + 4 <= n; i += 4) {
        const quint32 v = gen.generate();
        std::memcpy(out.data() + i, &v, 4);
    }
    for (; i < n; ++i) out[i] = char(gen.generate());
    return out;
}

inline bool writeFile(const QString &path, const QByteArray &data, int mode = 0644) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    if (f.write(data) != data.size()) return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

inline QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline int modeOf(const QString &path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Every file below a folder, relative path -> SHA-256.
inline std::map<QString, QByteArray> checksums(const QString &root) {
    std::map<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out[path.mid(root.size() + 1)] = QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256);
    }
    return out;
}

class TransferFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
        delegate = std::make_unique<KDTAppDelegate>();
        KDTAppDelegate::setShared(delegate.get());
        ctx = appManagedObjectContext();
        RegisteredDefaults::registerMessaging(Defaults::standard());
        FILEserver::registerDefaults(Defaults::standard());
        Defaults::standard().setValue(QStringLiteral("fileTransferPath"), receiveRoot());
        roster = std::make_unique<UserList>();
        UserList::setShared(roster.get());
        UserList::setInfoRequestFunction([](User *) {});
        me = ctx->insert<Me>();
        me->setUserId(QStringLiteral("A000000001"));
        me->setName(QStringLiteral("Alice"));
        me->setIp(QStringLiteral("127.0.0.1"));
        roster->setMe(me);
        me->setStatus(QStringLiteral("0"));
        bob = ctx->insert<User>();
        bob->setUserId(QStringLiteral("A000000002"));
        bob->setName(QStringLiteral("Bob"));
        bob->setIp(QStringLiteral("127.0.0.1"));
        bob->setStatus(QStringLiteral("0"));
        AppInterface::install(&ui);
        QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, [this](ManagedObject *o) {
            auto *t = dynamic_cast<FileTransfer *>(o);
            if (!t) return;
            QObject::connect(t, &ManagedObject::attributeChanged, t,
                             [this, t](const QString &key, const QVariant &) {
                                 if (key == QLatin1String("transferState"))
                                     states[t].push_back(t->transferState());
                             });
        });
    }
    void TearDown() override {
        sender.reset();
        receiver.reset();
        AppInterface::install(nullptr);
        UserList::setInfoRequestFunction({});
        roster->setMe(nullptr);
        roster.reset();
        KDTAppDelegate::setShared(nullptr);
        delegate.reset();
        Defaults::standard().removeObject(QStringLiteral("fileTransferPath"));
    }

    QString receiveRoot() const { return dir.filePath(QStringLiteral("received")); }
    QString sourceRoot() const { return dir.filePath(QStringLiteral("source")); }

    // A receiver on a port of its own and a sender that connects to it; the decision runs for
    // every incoming request.
    void startServers(std::function<void(FileTransfer *)> decide) {
        receiver = std::make_unique<FILEserver>(0, 0);
        ASSERT_TRUE(receiver->isListening());
        sender = std::make_unique<FILEserver>(0, receiver->listeningPort());
        QObject::connect(receiver.get(), &FILEserver::incomingTransfer, receiver.get(),
                         [this, decide](FileTransfer *t) {
                             incoming = t;
                             if (decide) decide(t);
                         });
    }
    static bool ended(const FileTransfer *t) {
        return t && !t->socket() && t->transferState() != FileTransfer::WaitingForAnswer &&
               t->transferState() != FileTransfer::Transferring;
    }

    QTemporaryDir dir;
    std::unique_ptr<KDTAppDelegate> delegate;
    ManagedObjectContext *ctx = nullptr;
    std::unique_ptr<UserList> roster;
    Me *me = nullptr;
    User *bob = nullptr;
    SoundRecorder ui;
    std::unique_ptr<FILEserver> receiver;
    std::unique_ptr<FILEserver> sender;
    QPointer<FileTransfer> incoming;
    std::map<const FileTransfer *, std::vector<qint64>> states;
};

namespace rawpeer {

inline int listenLoopback(std::uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

inline int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

// Blocking helpers with a bound; false on time-out or close.
inline bool readExact(int fd, qsizetype n, QByteArray *out, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    qsizetype done = 0;
    while (done < n) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t r = ::recv(fd, buf, size_t(std::min<qsizetype>(sizeof buf, n - done)), 0);
        if (r <= 0) return false;
        out->append(buf, r);
        done += r;
    }
    return true;
}

inline bool readLine(int fd, QByteArray *out, int timeoutMs = 10000) {
    out->clear();
    while (!out->endsWith("\r\n")) {
        QByteArray one;
        if (!readExact(fd, 1, &one, timeoutMs)) return false;
        out->append(one);
    }
    return true;
}

// How the peer ended the connection: 0 in order (end of stream), an errno such as ECONNRESET,
// or -1 when it did not end within the bound. Bytes that come first are skipped.
inline int waitForEnd(int fd, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r == 0) return 0;
        if (r < 0 && errno != EINTR && errno != EAGAIN) return errno;
    }
    return -1;
}

// Ends the connection with a reset instead of an orderly close.
inline void resetAndClose(int fd) {
    const linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd);
}

inline bool sendAll(int fd, const QByteArray &data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t w = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (w <= 0) return false;
        done += w;
    }
    return true;
}

} // namespace rawpeer

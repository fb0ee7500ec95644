#include "FuzzLoopback.h"

#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// By descriptors, as the paths below may be longer than any path the system takes.
void emptyFolderAt(int folder) {
    DIR *listing = ::fdopendir(::dup(folder));
    if (!listing) fuzzFail("list scratch folder", __FILE__, __LINE__);
    while (const dirent *entry = ::readdir(listing)) {
        const char *name = entry->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
        struct stat st;
        if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            const int sub = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) fuzzFail("open scratch subfolder", __FILE__, __LINE__);
            emptyFolderAt(sub);
            ::close(sub);
            if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) fuzzFail("remove subfolder", __FILE__, __LINE__);
        } else if (::unlinkat(folder, name, 0) != 0) {
            fuzzFail("remove file", __FILE__, __LINE__);
        }
    }
    ::closedir(listing);
}
} // namespace

int fuzzListen(std::uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        fuzzFail("peer listener", __FILE__, __LINE__);
    *port = ntohs(a.sin_port);
    return fd;
}

int fuzzConnect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    if (fd < 0) fuzzFail("socket", __FILE__, __LINE__);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    if (rc != 0 && errno == EINTR) {
        // The fuzzer's timer signal cut the wait short; the connect goes on and ends as it will.
        pollfd p{fd, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t length = sizeof error;
        rc = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 ? 0 : -1;
    }
    if (rc != 0) fuzzFail("connect", __FILE__, __LINE__);
    return fd;
}

int fuzzAccept(int listener) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

void fuzzSendAll(int fd, const QByteArray &data) {
    for (qsizetype done = 0; done < data.size();) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
        FuzzWorld::drain();
        const ssize_t n =
            ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return;
    }
}

bool fuzzClosedBy(int fd) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) continue;
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
}

bool fuzzReadAny(int fd) {
    char buf[65536];
    bool any = false;
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) any = true;
    return any;
}

void fuzzEmptyFolder(const QString &path) {
    const int folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) fuzzFail("open scratch folder", __FILE__, __LINE__);
    emptyFolderAt(folder);
    ::close(folder);
}

void fuzzRunMainQueue(int fd, short events) {
    FuzzWorld::drain();
    // Woken at once by a socket's callback or the descriptor's readiness; anything else (the
    // kernel's state of a descriptor not named, the time) is looked at again after the bound.
    FuzzWorld::waitForBlocks(std::chrono::microseconds(100), fd, events);
}

void fuzzHung(const char *file, int line) { fuzzFail("the exchange did not end in time", file, line); }

#include "transfer/ConnectionEnd.h"

#include "transport/TcpSocket.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

ConnectionEnd::~ConnectionEnd() { release(); }

void ConnectionEnd::setAbortiveClose(TcpSocket &socket, bool abortive) {
    // On the socket's queue, so it is in place before any close the socket makes later.
    socket.performBlock([&socket, abortive] {
        const int fd = socket.socketFD();
        if (fd < 0) return;
        const linger option{abortive ? 1 : 0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    });
}

bool ConnectionEnd::watch(TcpSocket &socket) {
    release();
    socket.performBlock([this, &socket] {
        const int fd = socket.socketFD();
        if (fd >= 0) m_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    });
    return m_fd >= 0;
}

bool ConnectionEnd::peerClosedInOrder() const {
    if (m_fd < 0) return false;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    // The peer's FIN leaves this end waiting for its own close; a reset ends the connection.
    return info.tcpi_state == TCP_CLOSE_WAIT;
}

std::int64_t ConnectionEnd::unacknowledgedBytes() const {
    int queued = 0;
    if (m_fd < 0 || ::ioctl(m_fd, SIOCOUTQ, &queued) != 0) return -1;
    return queued;
}

void ConnectionEnd::release() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

#pragma once

#include <cstdint>

class TcpSocket;

// How a transfer's connection ended. The receiver's orderly close after the last file is the
// sender's only sign that every byte arrived, so the receiver ends the connection any other way
// (a failure of its own, a cancel, a time-out) with a reset, and the sender must tell the two
// apart. The socket reports a reset that comes while no read is outstanding as an ordinary close
// by the peer, and its descriptor is gone once it has, so the sender keeps a second descriptor of
// its connection and asks the kernel afterwards.
class ConnectionEnd {
public:
    ConnectionEnd() = default;
    ~ConnectionEnd();
    ConnectionEnd(const ConnectionEnd &) = delete;
    ConnectionEnd &operator=(const ConnectionEnd &) = delete;

    // Receiver: every later close of the socket, its own time-outs included, resets the
    // connection (true) or ends it in order (false).
    static void setAbortiveClose(TcpSocket &socket, bool abortive);

    // Sender: keeps a descriptor of the socket's connection; false when it has none (closed).
    bool watch(TcpSocket &socket);
    bool isWatching() const { return m_fd >= 0; }
    // Once the socket has closed: the peer ended the connection in order, not with a reset.
    bool peerClosedInOrder() const;
    // While open: the bytes written that the peer has not acknowledged yet (-1 when unknown).
    // The kernel takes more only once a good part of its buffer is free, so this count moves
    // while the socket reports no progress of its own.
    std::int64_t unacknowledgedBytes() const;
    // Lets the connection go; the kernel finishes closing it.
    void release();

private:
    int m_fd = -1;
};

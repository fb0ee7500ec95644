#pragma once

#include "transport/TcpSocketPreBuffer.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <cstddef>
#include <functional>
#include <memory>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

// TLS statuses reported by the socket (the codes its TLS errors carry).
namespace tlsstatus {
inline constexpr int kNoErr = 0;
inline constexpr int kProtocol = -9800;
inline constexpr int kWouldBlock = -9803;
inline constexpr int kClosedGraceful = -9805;
inline constexpr int kClosedAbort = -9806;
inline constexpr int kCertChainInvalid = -9807;
inline constexpr int kPeerBadCert = -9825;
inline constexpr int kPeerAuthCompleted = -9841;
inline constexpr int kHostNameMismatch = -9843;
} // namespace tlsstatus

// One TLS session of a TcpSocket on OpenSSL. The socket supplies the transport through two
// functions that never block: they return the bytes moved, 0 for "try again later" (having
// armed the matching readiness watch) and -1 for a closed or failed stream. Used only on the
// socket's queue.
class TcpSocketTls {
public:
    using Io = std::function<long(char *buffer, size_t length)>;
    using ConstIo = std::function<long(const char *buffer, size_t length)>;

    // Applies the settings in their documented order; null and *failure (the text to close the
    // socket with) when one is refused.
    static std::unique_ptr<TcpSocketTls> create(const QVariantMap &settings, Io read, ConstIo write,
                                                QString *failure);
    ~TcpSocketTls();
    TcpSocketTls(const TcpSocketTls &) = delete;
    TcpSocketTls &operator=(const TcpSocketTls &) = delete;

    // Encrypted bytes that arrived before the handshake began; handed to OpenSSL first.
    TcpSocketPreBuffer &preBuffer() { return preBuffer_; }

    // A status of the namespace above. kPeerAuthCompleted: the handshake is done on the wire,
    // but in manual trust mode the peer is not trusted until setTrusted().
    int handshake();
    bool wantsWrite() const { return wantsWrite_; }
    void setTrusted() { trusted_ = true; }
    bool manualTrust() const { return manualTrust_; }
    // Manual trust mode checks the expected peer name itself: true when none was set.
    bool peerNameMatches() const;
    QList<QByteArray> peerCertificates() const;

    // Data phase: kNoErr, kWouldBlock, kClosedGraceful, kClosedAbort or another failure.
    int read(char *buffer, size_t length, size_t *done);
    int write(const char *buffer, size_t length, size_t *done);
    // Decrypted bytes OpenSSL holds (the readiness watch cannot see them).
    size_t pending() const;
    // Best effort close_notify on a socket that is about to close.
    void shutdown();

    ssl_st *handle() const { return ssl_; }
    // OpenSSL's words for the last failure.
    const QString &lastFailureText() const { return failureText_; }

private:
    TcpSocketTls(Io read, ConstIo write);
    int statusOf(int result);
    static int bioRead(struct bio_st *bio, char *buffer, int length);
    static int bioWrite(struct bio_st *bio, const char *buffer, int length);
    static long bioCtrl(struct bio_st *bio, int cmd, long num, void *ptr);

    Io read_;
    ConstIo write_;
    ssl_ctx_st *ctx_ = nullptr;
    ssl_st *ssl_ = nullptr;
    TcpSocketPreBuffer preBuffer_;
    QString peerName_;
    QString failureText_;
    bool manualTrust_ = false;
    bool trusted_ = false;
    bool wantsWrite_ = false;
    bool transportClosed_ = false;
};

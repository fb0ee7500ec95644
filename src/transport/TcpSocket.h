#pragma once

#include "transport/SocketError.h"
#include "transport/TcpSocketDelegate.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace dispatch {
class Queue;
class ReadinessSource;
class TimerSource;
} // namespace dispatch

class TcpReadPacket;
class TcpWritePacket;
class TcpSocketPreBuffer;
class TcpSocketTls;
class TcpStartTlsPacket;

inline constexpr const char *kTcpSocketErrorDomain = "TcpSocketErrorDomain";
// errno values travel in this domain, resolver (getaddrinfo) codes in the next one.
inline constexpr const char *kTcpSocketPosixErrorDomain = "POSIXErrorDomain";
inline constexpr const char *kTcpSocketGaiErrorDomain = "kCFStreamErrorDomainNetDB";
inline constexpr const char *kTcpSocketSslErrorDomain = "kCFStreamErrorDomainSSL";

// TLS settings keys (values: number = bool or integer, string, array = QVariantList, data =
// QByteArray).
inline constexpr const char *kTcpSocketSSLIsServer = "kCFStreamSSLIsServer";
inline constexpr const char *kTcpSocketManuallyEvaluateTrust = "TcpSocketManuallyEvaluateTrust";
inline constexpr const char *kTcpSocketSSLPeerName = "kCFStreamSSLPeerName";
// Array of PEM data: the first holds the private key and certificate, the rest the chain.
inline constexpr const char *kTcpSocketSSLCertificates = "kCFStreamSSLCertificates";
inline constexpr const char *kTcpSocketSSLPeerID = "TcpSocketSSLPeerID";
// 4 TLS 1.0, 7 TLS 1.1, 8 TLS 1.2, 10 TLS 1.3 (or the wire numbers 0x0301 to 0x0304).
inline constexpr const char *kTcpSocketSSLProtocolVersionMin = "TcpSocketSSLProtocolVersionMin";
inline constexpr const char *kTcpSocketSSLProtocolVersionMax = "TcpSocketSSLProtocolVersionMax";
inline constexpr const char *kTcpSocketSSLSessionOptionFalseStart = "TcpSocketSSLSessionOptionFalseStart";
inline constexpr const char *kTcpSocketSSLSessionOptionSendOneByteRecord =
    "TcpSocketSSLSessionOptionSendOneByteRecord";
// Array of IANA cipher suite numbers.
inline constexpr const char *kTcpSocketSSLCipherSuites = "TcpSocketSSLCipherSuites";
// PEM Diffie-Hellman parameters.
inline constexpr const char *kTcpSocketSSLDiffieHellmanParameters = "TcpSocketSSLDiffieHellmanParameters";
inline constexpr const char *kTcpSocketSSLALPN = "TcpSocketSSLALPN";

enum TcpSocketError : int {
    TcpSocketNoError = 0,
    TcpSocketBadConfigError = 1,
    TcpSocketBadParamError = 2,
    TcpSocketConnectTimeoutError = 3,
    TcpSocketReadTimeoutError = 4,
    TcpSocketWriteTimeoutError = 5,
    TcpSocketReadMaxedOutError = 6,
    TcpSocketClosedError = 7,
    TcpSocketOtherError = 8,
};

// An asynchronous TCP (and unix-domain stream) socket. All state lives on the socket's own serial
// queue; callers never block on the network, and every result comes back as a callback to the
// weakly held delegate on the delegate queue.
//
// Calling patterns: getters run on the socket queue synchronously (inline when already there, so
// they are safe from callbacks and from the socket queue itself); setters and all read, write and
// disconnect-after requests are asynchronous and keep their order (run at once by the caller when
// no thread runs the socket queue); accept, connect and disconnect() run synchronously and return
// their result. The caller's userData and, off the socket queue, the peer's address getters
// never wait for the socket queue: the one is the caller's own, the other recorded when the
// connection was made.
//
// Read and write requests issued before a connect are dropped (the connect empties the queues);
// issue them after connectToHost() returned true. Requests made after a disconnect-after call are
// dropped silently.
class TcpSocket : public std::enable_shared_from_this<TcpSocket> {
public:
    static std::shared_ptr<TcpSocket> create(std::weak_ptr<TcpSocketDelegate> delegate,
                                             std::shared_ptr<dispatch::Queue> delegateQueue,
                                             std::shared_ptr<dispatch::Queue> socketQueue = nullptr);
    ~TcpSocket();
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;

    // --- Delegate and configuration ---
    std::shared_ptr<TcpSocketDelegate> delegate() const;
    std::shared_ptr<dispatch::Queue> delegateQueue() const;
    void getDelegate(std::shared_ptr<TcpSocketDelegate> *delegate,
                     std::shared_ptr<dispatch::Queue> *delegateQueue) const;
    void setDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    void setDelegateQueue(std::shared_ptr<dispatch::Queue> delegateQueue);
    void setDelegate(std::weak_ptr<TcpSocketDelegate> delegate,
                     std::shared_ptr<dispatch::Queue> delegateQueue);
    void synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    void synchronouslySetDelegateQueue(std::shared_ptr<dispatch::Queue> delegateQueue);
    void synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate,
                                  std::shared_ptr<dispatch::Queue> delegateQueue);

    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4PreferredOverIPv6() const;
    void setIPv4PreferredOverIPv6(bool preferred);
    // true (the default): the peer closing its side closes the socket; false: half-duplex.
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool flag);
    double alternateAddressDelay() const;
    void setAlternateAddressDelay(double seconds);

    // The caller's context object; opaque to the socket and kept across closes.
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> userData);

    bool isDisconnected() const;
    bool isConnected() const;

    // --- Listening ---
    // At most `limit` accepted connections of this listener open at once (0, the default: no
    // limit). At the limit it stops accepting, so new connections wait in the kernel's backlog
    // instead of being refused, and it accepts again as soon as one of them has closed.
    void setMaxAcceptedConnections(int limit);
    // Accepted connections of this listener that have not closed yet.
    int openAcceptedConnections() const;
    bool acceptOnPort(uint16_t port, SocketError *err);
    // `interface`: empty (any address), "localhost"/"loopback", an interface name or an address,
    // optionally followed by ":port" (used when `port` is 0).
    bool acceptOnInterface(const QString &interface, uint16_t port, SocketError *err);
    bool acceptOnUrl(const QUrl &url, SocketError *err);

    // --- Connecting (timeout in seconds; negative: none) ---
    bool connectToHost(const QString &host, uint16_t port, SocketError *err);
    bool connectToHost(const QString &host, uint16_t port, double timeout, SocketError *err);
    bool connectToHost(const QString &host, uint16_t port, const QString &interface, double timeout,
                       SocketError *err);
    bool connectToAddress(const QByteArray &address, SocketError *err);
    bool connectToAddress(const QByteArray &address, double timeout, SocketError *err);
    bool connectToAddress(const QByteArray &address, const QString &interface, double timeout,
                          SocketError *err);
    bool connectToUrl(const QUrl &url, double timeout, SocketError *err);

    // --- Closing ---
    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // --- Reading ---
    // Caller buffers: the socket writes into *buffer on its queue until the read completes or the
    // socket closes; the caller must keep the QByteArray alive and leave it alone until then. The
    // data handed to socketDidReadData shares or copies the bytes read (never a view into freed
    // memory). maxLength 0 means no bound.
    void readDataWithTimeout(double timeout, long tag);
    void readDataWithTimeout(double timeout, QByteArray *buffer, size_t offset, long tag);
    void readDataWithTimeout(double timeout, QByteArray *buffer, size_t offset, size_t maxLength, long tag);
    void readDataToLength(size_t length, double timeout, long tag);
    void readDataToLength(size_t length, double timeout, QByteArray *buffer, size_t offset, long tag);
    void readDataToData(const QByteArray &terminator, double timeout, long tag);
    void readDataToData(const QByteArray &terminator, double timeout, QByteArray *buffer, size_t offset,
                        long tag);
    void readDataToData(const QByteArray &terminator, double timeout, size_t maxLength, long tag);
    void readDataToData(const QByteArray &terminator, double timeout, QByteArray *buffer, size_t offset,
                        size_t maxLength, long tag);
    // NaN and zero outputs when no read (write) is current.
    float progressOfReadReturningTag(long *tag, uint64_t *done, uint64_t *total) const;

    // --- Writing --- (the data is shared, not copied; QByteArray's copy-on-write keeps it intact)
    void writeData(const QByteArray &data, double timeout, long tag);
    float progressOfWriteReturningTag(long *tag, uint64_t *done, uint64_t *total) const;

    // --- TLS (OpenSSL) ---
    // Queues the switch to TLS behind the reads and writes already queued (they finish in plain
    // text); the handshake starts once both queues reach it, and socketDidSecure follows. Keys:
    // the kTcpSocketSSL* names below. Returns true when the request was handed to the socket; it
    // is dropped silently on a socket not started, after a disconnect-after request, or when TLS
    // was already queued. A refused setting or a failed handshake ends in socketDidDisconnect.
    bool startTLS(const QVariantMap &settings, SocketError *err);
    bool isSecure() const;
    // The OpenSSL session (SSL *) when called on the socket queue while TLS runs; null elsewhere.
    void *sslContext() const;

    // --- The two ends ---
    QString connectedHost() const;
    uint16_t connectedPort() const;
    QUrl connectedUrl() const;
    QString localHost() const;
    uint16_t localPort() const;
    // Native sockaddr bytes (sockaddr_in / sockaddr_in6); empty when not connected.
    QByteArray connectedAddress() const;
    QByteArray localAddress() const;
    bool isIPv4() const;
    bool isIPv6() const;
    // Only on the socket queue (e.g. inside performBlock); -1 elsewhere.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

    // Wraps a descriptor that is already connected (IPv4 or IPv6); the socket owns it from now
    // on. Null and *err when it is neither or not connected.
    static std::shared_ptr<TcpSocket>
    socketFromConnectedSocketFD(int fd, std::weak_ptr<TcpSocketDelegate> delegate,
                                std::shared_ptr<dispatch::Queue> delegateQueue,
                                std::shared_ptr<dispatch::Queue> socketQueue, SocketError *err);

    // Runs the block on the socket queue: inline when already there, else synchronously.
    void performBlock(const std::function<void()> &block);

    // --- Address utilities (any thread) ---
    static QString hostFromSockaddr4(const void *sockaddrIn);
    static QString hostFromSockaddr6(const void *sockaddrIn6);
    static uint16_t portFromSockaddr4(const void *sockaddrIn);
    static uint16_t portFromSockaddr6(const void *sockaddrIn6);
    static QUrl urlFromSockaddrUN(const void *sockaddrUn);
    static bool getHost(QString *host, uint16_t *port, int *family, const QByteArray &address);
    static bool getHost(QString *host, uint16_t *port, const QByteArray &address);
    static QString hostFromAddress(const QByteArray &address);
    static uint16_t portFromAddress(const QByteArray &address);
    static bool isIPv4Address(const QByteArray &address);
    static bool isIPv6Address(const QByteArray &address);
    // Blocking (getaddrinfo) unless the host is "localhost", "loopback" or a numeric address:
    // never call it on an io thread. Empty result and *err on failure.
    static QList<QByteArray> lookupHost(const QString &host, uint16_t port, SocketError *err);
    static void getInterfaceAddress(QByteArray *address4, QByteArray *address6, const QString &description,
                                    uint16_t port);
    // Empty when the path is empty or does not fit into a unix-domain address.
    static QByteArray getInterfaceAddressFromUrl(const QUrl &url);
    static QByteArray CRLFData();
    static QByteArray CRData();
    static QByteArray LFData();
    static QByteArray ZeroData();

    // Error objects of the class.
    static SocketError badConfigError(const QString &message);
    static SocketError badParamError(const QString &message);
    static SocketError gaiError(int code);
    static SocketError errorWithErrno(int code, const QString &reason);
    static SocketError errnoError();
    static SocketError sslError(int status);
    static SocketError connectTimeoutError();
    static SocketError readMaxedOutError();
    static SocketError readTimeoutError();
    static SocketError writeTimeoutError();
    static SocketError connectionClosedError();
    static SocketError otherError(const QString &message);

private:
    struct PrivateTag {};

public:
    TcpSocket(PrivateTag, std::weak_ptr<TcpSocketDelegate> delegate,
              std::shared_ptr<dispatch::Queue> delegateQueue, std::shared_ptr<dispatch::Queue> socketQueue);

private:
    enum Flag : uint32_t {
        kSocketStarted = 1u << 0,
        kConnected = 1u << 1,
        kForbidReadsWrites = 1u << 2,
        kReadsPaused = 1u << 3,
        kWritesPaused = 1u << 4,
        kDisconnectAfterReads = 1u << 5,
        kDisconnectAfterWrites = 1u << 6,
        kSocketCanAcceptBytes = 1u << 7,
        kReadSourceSuspended = 1u << 8,
        kWriteSourceSuspended = 1u << 9,
        kQueuedTLS = 1u << 10,
        kReadSideAwaitingTLS = 1u << 11,
        kWriteSideAwaitingTLS = 1u << 12,
        kSocketSecure = 1u << 13,
        kSocketHasReadEOF = 1u << 14,
        kReadStreamClosed = 1u << 15,
        kDealloc = 1u << 16,
    };
    enum Config : uint16_t {
        kIPv4Disabled = 1u << 0,
        kIPv6Disabled = 1u << 1,
        kPreferIPv6 = 1u << 2,
        kAllowHalfDuplexConnection = 1u << 3,
    };

    template <typename F> auto onQueueSync(F &&body) const;
    void onQueueAsync(std::function<void()> body);
    // Posts the call to the delegate queue when the delegate implements `callback`.
    void notify(uint32_t callback,
                std::function<void(TcpSocketDelegate &, const std::shared_ptr<TcpSocket> &)> call);
    static uint32_t callbacksOf(const std::weak_ptr<TcpSocketDelegate> &delegate);
    void assignDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    bool delegateImplements(uint32_t callback) const;
    void setPeer(const QByteArray &address);
    QByteArray peer() const;

    // Accept
    bool doAcceptOnInterface(const QString &interface, uint16_t port, SocketError *err);
    int createListeningSocket(const QByteArray &address, SocketError *err);
    void startAcceptSource(int fd, std::shared_ptr<dispatch::ReadinessSource> *slot);
    bool doAccept(int listenFd);
    void pauseAccepting();
    // The limit of open accepted connections: stop at it, go on below it.
    void holdAcceptingAtLimit();
    void acceptedConnectionClosed();
    void setAcceptSourcesSuspended(bool suspended);

    // Connect
    bool preConnect(const QString &interface, SocketError *err);
    bool doConnectToHost(const QString &host, uint16_t port, const QString &interface, double timeout,
                         SocketError *err);
    void lookupFinished(uint64_t index, const QList<QByteArray> &addresses, const SocketError &error);
    void lookupDidFail(uint64_t index, const SocketError &err);
    void lookupDidSucceed(uint64_t index, const QByteArray &address4, const QByteArray &address6);
    bool connectWithAddresses(QByteArray address4, QByteArray address6, SocketError *err);
    bool connectWithAddressUN(const QByteArray &address, SocketError *err);
    int createSocket(int family, const QByteArray &connectInterface, SocketError *err);
    void connectSocket(int fd, const QByteArray &address, uint64_t index);
    void connectSocketFinished(int fd, uint64_t index, int error);
    void closeSocket(int fd);
    void cancelConnectSource(int fd);
    std::shared_ptr<dispatch::ReadinessSource> takeConnectSource(int fd);
    void resumeAccepting();
    void didConnect(uint64_t index);
    void didNotConnect(uint64_t index, const SocketError &err);
    void startConnectTimeout(double timeout);
    void endConnectTimeout();

    // One deadline per socket for its connect, its current read and its current write: the
    // timer is set for the earliest and left armed across requests (no timer per request).
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr Deadline kNoDeadline = Deadline::max();
    static Deadline dueIn(double seconds);
    void armDeadline();
    void deadlineExpired();
    void doConnectTimeout();

    // Close
    void closeWithError(const SocketError &err);
    void maybeClose();

    // Sources
    void setupReadAndWriteSourcesForNewlyConnectedSocket(int fd);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    int connectedFD() const;

    // Read engine
    void enqueueRead(std::shared_ptr<TcpReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void doReadError(int code);
    void completeCurrentRead();
    void endCurrentRead();
    void setupReadTimerWithTimeout(double timeout);
    void doReadTimeout();
    void doReadTimeoutWithExtension(double extension);

    // Write engine
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    void setupWriteTimerWithTimeout(double timeout);
    void doWriteTimeout();
    void doWriteTimeoutWithExtension(double extension);

    // TLS
    void maybeStartTLS();
    void sslStartTLS();
    void sslContinueHandshake();
    void sslShouldTrustPeer(bool shouldTrust, uint64_t index);
    void doReadDataTls();
    void doWriteDataTls();
    void flushSSLBuffers(SocketError *err);
    long sslReadWithBuffer(char *buffer, size_t length);
    long sslWriteWithBuffer(const char *buffer, size_t length);
    SocketError sslFailure(int status) const;

    // Address workers (socket queue)
    static QString hostOf(int fd, bool peer);
    static uint16_t portOf(int fd, bool peer);
    static QByteArray addressOf(int fd, bool peer);

    // Everything below is touched only on the socket queue.
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    std::weak_ptr<TcpSocketDelegate> delegate_;
    uint32_t delegateCallbacks_ = 0; // what delegate_ implements
    std::shared_ptr<dispatch::Queue> delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int socketUN_ = -1;
    QUrl socketUrl_;
    // Connect generation; results of an older one (late lookups, late connects) touch nothing.
    uint64_t stateIndex_ = 0;
    QByteArray connectInterface4_;
    QByteArray connectInterface6_;
    QByteArray connectInterfaceUN_;
    std::shared_ptr<dispatch::Queue> socketQueue_;
    std::shared_ptr<dispatch::ReadinessSource> accept4Source_;
    std::shared_ptr<dispatch::ReadinessSource> accept6Source_;
    std::shared_ptr<dispatch::ReadinessSource> acceptUNSource_;
    std::shared_ptr<dispatch::TimerSource> acceptPauseTimer_;
    // Write readiness of each non-blocking connect in progress, by descriptor.
    std::vector<std::pair<int, std::shared_ptr<dispatch::ReadinessSource>>> connectSources_;
    std::shared_ptr<dispatch::TimerSource> deadline_;
    Deadline connectDue_ = kNoDeadline;
    Deadline readDue_ = kNoDeadline;
    Deadline writeDue_ = kNoDeadline;
    // The connected descriptor's one watch, for reading and for writing.
    std::shared_ptr<dispatch::ReadinessSource> source_;
    bool acceptPaused_ = false;
    // Listener: the limit of open accepted connections (0: none), how many are open, and whether
    // accepting stopped at the limit. Child: its place in the listener's count, given back when it
    // closes (or is destroyed).
    int maxAccepted_ = 0;
    int openAccepted_ = 0;
    bool acceptAtLimit_ = false;
    std::shared_ptr<void> acceptSlot_;
    std::deque<std::shared_ptr<TcpReadPacket>> readQueue_;
    std::deque<std::shared_ptr<TcpWritePacket>> writeQueue_;
    std::shared_ptr<TcpReadPacket> currentRead_;
    std::shared_ptr<TcpWritePacket> currentWrite_;
    uint64_t socketFDBytesAvailable_ = 0;
    std::unique_ptr<TcpSocketPreBuffer> preBuffer_;
    // Under sideMutex_, read from any thread: the caller's object and the peer's address of the
    // connection (empty when not connected).
    mutable std::mutex sideMutex_;
    std::shared_ptr<void> userData_;
    QByteArray peerAddress_;
    double alternateAddressDelay_ = 0.3;
    // TLS: the session, the marker (with the count of requests queued ahead of it on each side),
    // a piece the engine accepted but could not finish writing, the status that ended reading
    // and that of the last handshake step.
    std::unique_ptr<TcpSocketTls> tls_;
    std::shared_ptr<TcpStartTlsPacket> tlsPacket_;
    size_t readsAheadOfTLS_ = 0;
    size_t writesAheadOfTLS_ = 0;
    uint64_t sslWriteCachedLength_ = 0;
    int sslErrCode_ = 0;
    int lastSSLHandshakeError_ = 0;
};

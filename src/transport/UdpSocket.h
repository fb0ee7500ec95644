#pragma once

#include "platform/dispatch/Queue.h"
#include "transport/SocketError.h"
#include "transport/UdpSocketDelegate.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <variant>

namespace dispatch {
class ReadinessSource;
class TimerSource;
} // namespace dispatch

class UdpSendPacket;
class UdpConnectPacket;

// Asynchronous UDP endpoint with up to two datagram sockets (IPv4 and IPv6). All state lives on a
// private serial queue; results go to a weakly held delegate on the delegate queue. Getters and
// calls with an error out-parameter run synchronously on the socket queue, setters and send
// requests asynchronously. The object can be used again after a close.
class UdpSocket : public std::enable_shared_from_this<UdpSocket> {
public:
    static inline const QString kErrorDomain = QStringLiteral("UdpSocketErrorDomain");
    static inline const QString kPosixErrorDomain = QStringLiteral("POSIXErrorDomain");
    static inline const QString kResolverErrorDomain = QStringLiteral("kCFStreamErrorDomainNetDB");
    // userInfo key of the failure reason of a POSIX error.
    static inline const QString kFailureReasonKey = QStringLiteral("NSLocalizedFailureReason");
    enum ErrorCode {
        NoError = 0,
        BadConfigError = 1,
        BadParamError = 2,
        SendTimeoutError = 3,
        ClosedError = 4,
        OtherError = 5
    };

    // Payload, destination address, tag; true sends the datagram.
    using SendFilter = std::function<bool(const QByteArray &data, const QByteArray &address, long tag)>;
    // Payload, sender's address, a place for a context handed to the delegate; true delivers.
    using ReceiveFilter = std::function<bool(const QByteArray &data, const QByteArray &address,
                                             std::shared_ptr<void> *context)>;
    // A blocking name lookup: socket addresses in the order found, or an error. Runs on the
    // blocking pool, never on an io thread.
    using LookupFunction =
        std::function<std::pair<QList<QByteArray>, SocketError>(const QString &host, uint16_t port)>;

    static std::shared_ptr<UdpSocket> create(std::weak_ptr<UdpSocketDelegate> delegate,
                                             std::shared_ptr<dispatch::Queue> delegateQueue,
                                             std::shared_ptr<dispatch::Queue> socketQueue = nullptr);
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    // The lookup used for host names that are not numeric; an empty function restores getaddrinfo.
    static void setLookupFunction(LookupFunction lookup);
    // getaddrinfo() for a datagram socket, IPv4 and IPv6 results in the order returned.
    static std::pair<QList<QByteArray>, SocketError> systemLookup(const QString &host, uint16_t port);

    // Delegate and queues.
    std::weak_ptr<UdpSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<UdpSocketDelegate> delegate);
    std::shared_ptr<dispatch::Queue> delegateQueue() const;
    void setDelegateQueue(std::shared_ptr<dispatch::Queue> queue);
    const std::shared_ptr<dispatch::Queue> &socketQueue() const { return socketQueue_; }

    // Configuration (kept across a close).
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    uint16_t max4ReceiveSize() const;
    void setMax4ReceiveSize(uint16_t size);
    uint32_t max6ReceiveSize() const;
    void setMax6ReceiveSize(uint32_t size);
    uint16_t maxSendSize() const;
    void setMaxSendSize(uint16_t size);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> userData);

    // Socket options; each opens the sockets when there are none yet.
    bool enableReusePort(bool enable, SocketError *err = nullptr);
    bool enableBroadcast(bool enable, SocketError *err = nullptr);

    // Binding and connecting.
    bool bindToPort(uint16_t port, SocketError *err = nullptr);
    // `interface`: a name ("eth0"), an address in text, "localhost"/"loopback", or empty for all.
    bool bindToPort(uint16_t port, const QString &interface, SocketError *err = nullptr);
    bool bindToAddress(const QByteArray &address, SocketError *err = nullptr);
    bool connectToHost(const QString &host, uint16_t port, SocketError *err = nullptr);
    bool connectToAddress(const QByteArray &address, SocketError *err = nullptr);

    // Local and peer endpoints.
    QByteArray localAddress() const;
    QString localHost() const;
    uint16_t localPort() const;
    QByteArray localAddress_IPv4() const;
    QString localHost_IPv4() const;
    uint16_t localPort_IPv4() const;
    QByteArray localAddress_IPv6() const;
    QString localHost_IPv6() const;
    uint16_t localPort_IPv6() const;
    QByteArray connectedAddress() const;
    QString connectedHost() const;
    uint16_t connectedPort() const;
    bool isConnected() const;
    // Answered without a trip to the socket queue unless a request of the caller's that may open
    // or close the sockets is still waiting there.
    bool isClosed() const;
    bool isIPv4() const;
    bool isIPv6() const;

    // Sending. A time-out below 0 means none; an empty payload is ignored.
    void sendData(QByteArray data, const QString &host, uint16_t port, double timeout, long tag);
    void sendData(QByteArray data, const QByteArray &address, double timeout, long tag);
    // For a connected socket: the peer is the destination.
    void sendData(QByteArray data, double timeout, long tag);
    void setSendFilter(SendFilter filter, std::shared_ptr<dispatch::Queue> queue, bool async = true);

    // Receiving.
    bool beginReceiving(SocketError *err = nullptr);
    bool receiveOnce(SocketError *err = nullptr);
    void pauseReceiving();
    void setReceiveFilter(ReceiveFilter filter, std::shared_ptr<dispatch::Queue> queue, bool async = true);

    // Closing.
    void close();
    void closeAfterSending();

    // Runs the block on the socket queue (inline when already there) and waits for it.
    void performBlock(const std::function<void()> &block);
    // Descriptors; -1 unless called on the socket queue.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

    // Socket addresses (16 bytes for IPv4, 28 for IPv6, port in network byte order).
    static bool getHost(QString *host, uint16_t *port, int *family, const QByteArray &address);
    static QString hostFromAddress(const QByteArray &address);
    static uint16_t portFromAddress(const QByteArray &address);
    static int familyFromAddress(const QByteArray &address);
    static bool isIPv4Address(const QByteArray &address);
    static bool isIPv6Address(const QByteArray &address);

private:
    using QueueEntry = std::variant<std::shared_ptr<UdpSendPacket>, std::shared_ptr<UdpConnectPacket>>;
    struct Family; // one socket with its sources and cached endpoint

    UdpSocket(std::weak_ptr<UdpSocketDelegate> delegate, std::shared_ptr<dispatch::Queue> delegateQueue,
              std::shared_ptr<dispatch::Queue> socketQueue);

    // Queue hand-off.
    void runSync(const std::function<void()> &block) const;
    void runAsync(std::function<void(UdpSocket &)> block);

    // Set-up.
    bool preOp(SocketError *err) const;
    bool preBind(SocketError *err) const;
    bool createSockets(SocketError *err);
    bool createSocket(bool want4, bool want6, SocketError *err);
    int openSocket(int domain, SocketError *err);
    void setupSources(Family &family);
    void closeSocket(Family &family);
    void closeSockets();
    void closeWithError(const SocketError &error);
    void closeSilently();
    bool convertInterface(const QString &interface, uint16_t port, QByteArray *address4, QByteArray *address6,
                          SocketError *err) const;
    void maybeConnect();
    void fillLocalAddress(Family &family) const;

    // Send path.
    // Looks the host up on the blocking pool; `done` runs on the socket queue with the answer,
    // unless the socket is gone by then.
    using LookupDone =
        std::function<void(UdpSocket &self, const QList<QByteArray> &addresses, const SocketError &error)>;
    void lookUp(const QString &host, uint16_t port, LookupDone done);
    void startLookup(const std::shared_ptr<UdpSendPacket> &packet, const QString &host, uint16_t port);
    void startLookup(const std::shared_ptr<UdpConnectPacket> &packet, const QString &host, uint16_t port);
    void enqueue(QueueEntry entry);
    // A send request from outside the socket queue, queued there.
    void enqueueFromCaller(std::shared_ptr<UdpSendPacket> packet);
    // Counts a request from outside the socket queue that may open or close the sockets until
    // the queue has run it; false (nothing counted) on the socket queue itself.
    bool openingOrClosingRequest();
    // Publishes whether sockets exist, for isClosed() on other threads.
    void noteOpenState();
    void maybeDequeueSend();
    void dequeueStep();
    void doPreSend();
    bool chooseAddress(const QList<QByteArray> &addresses, QByteArray *address, int *family,
                       SocketError *err) const;
    void doSend();
    void failCurrentSend(const SocketError &error);
    void endCurrentSend();
    void setupSendTimer(double timeout);
    void suspendSendSources();
    void resumeSendSources();

    // Receive path.
    void onReadable(Family &family);
    bool startReceiving(uint32_t mode, uint32_t otherMode, SocketError *err);
    void doReceive();
    void suspendReceiveSourcesWithData();
    void resumeReceiveSourcesWithoutData();
    // `counted`: the datagram is already in the backlog (it went through an asynchronous filter).
    void deliver(QByteArray data, QByteArray address, std::shared_ptr<void> context, bool counted = false);
    // Reads up to `most` datagrams in one call and hands them to the delegate in one block.
    // False when the read failed (the family's state says why).
    bool receiveBatch(Family &family, int capacity, int most);

    // Delegate notifications (posted in order to the delegate queue).
    void notify(std::function<void(UdpSocketDelegate &, const std::shared_ptr<UdpSocket> &)> call);

    // Errors.
    SocketError badConfigError(const QString &text) const;
    SocketError badParamError(const QString &text) const;
    SocketError otherError(const QString &text) const;
    SocketError sendTimeoutError() const;
    SocketError socketClosedError() const;
    static SocketError errnoError(int code, const QString &reason);
    static SocketError gaiError(int code);

    std::weak_ptr<UdpSocketDelegate> delegate_;
    std::shared_ptr<dispatch::Queue> delegateQueue_;
    SendFilter sendFilter_;
    std::shared_ptr<dispatch::Queue> sendFilterQueue_;
    bool sendFilterAsync_ = false;
    ReceiveFilter receiveFilter_;
    std::shared_ptr<dispatch::Queue> receiveFilterQueue_;
    bool receiveFilterAsync_ = false;
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    uint16_t max4ReceiveSize_ = 65535;
    uint32_t max6ReceiveSize_ = 65535;
    uint16_t maxSendSize_ = 65535;
    std::unique_ptr<Family> socket4_;
    std::unique_ptr<Family> socket6_;
    const std::shared_ptr<dispatch::Queue> socketQueue_;
    std::shared_ptr<dispatch::TimerSource> sendTimer_;
    std::shared_ptr<UdpSendPacket> currentSend_;
    std::shared_ptr<UdpConnectPacket> currentConnect_;
    std::deque<QueueEntry> sendQueue_;
    uint32_t pendingFilterOperations_ = 0;
    // Datagrams read and not yet taken by the delegate (shared with the blocks that carry them).
    struct ReceiveBacklog;
    std::shared_ptr<ReceiveBacklog> backlog_;
    bool dequeueActive_ = false;
    bool dequeueAgain_ = false;
    QByteArray cachedConnectedAddress_;
    int cachedConnectedFamily_ = 0;
    QByteArray receiveBuffer_; // scratch for the reads; each datagram is copied out at its size
    std::shared_ptr<void> userData_;
    // Whether sockets exist, as the socket queue last left it, and the requests from other
    // threads that may change it and have not run yet (see isClosed()).
    std::atomic<bool> open_{false};
    std::atomic<int> openingOrClosing_{0};
};

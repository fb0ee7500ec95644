#include "transport/UdpSocket.h"

#include "platform/dispatch/IoRuntime.h"
#include "platform/dispatch/ReadinessSource.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/strings/Strings.h"
#include "transport/UdpConnectPacket.h"
#include "transport/UdpSendPacket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// State bits of flags_.
constexpr uint32_t kDidCreateSockets = 0x1;
constexpr uint32_t kDidBind = 0x2;
constexpr uint32_t kConnecting = 0x4;
constexpr uint32_t kDidConnect = 0x8;
constexpr uint32_t kReceiveOnce = 0x10;
constexpr uint32_t kReceiveContinuous = 0x20;
constexpr uint32_t kIPv4Deactivated = 0x40;
constexpr uint32_t kIPv6Deactivated = 0x80;
constexpr uint32_t kCloseAfterSends = 0x8000;
constexpr uint32_t kFlipFlop = 0x10000;

// Configuration bits of config_.
constexpr uint16_t kIPv4Disabled = 0x1;
constexpr uint16_t kIPv6Disabled = 0x2;
constexpr uint16_t kPreferIPv4 = 0x4;
constexpr uint16_t kPreferIPv6 = 0x8;

// Datagrams read in one pass before the queue is yielded to sends and closes.
constexpr int kReceiveBudget = 256;
// Datagrams read by one recvmmsg() and handed to the delegate in one block: one wake-up of the
// delegate's queue for a burst instead of one per datagram.
constexpr int kReceiveBatch = 32;

// Datagrams (and their bytes) handed to the delegate and not yet taken by it. At the upper
// bound the receive path stops reading, so a busy delegate leaves the rest in the kernel's
// receive buffer, which bounds it; at half of it reading goes on.
constexpr int kMostDatagramsInFlight = 128;
constexpr int64_t kMostBytesInFlight = 2 << 20;

const QString kTable = QStringLiteral("UdpSocket");

std::mutex gLookupMutex;
UdpSocket::LookupFunction gLookup;

UdpSocket::LookupFunction currentLookup() {
    std::lock_guard lock(gLookupMutex);
    return gLookup ? gLookup : UdpSocket::LookupFunction(&UdpSocket::systemLookup);
}

QByteArray address4(const in_addr &addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    return QByteArray(reinterpret_cast<const char *>(&sa), sizeof sa);
}

QByteArray address6(const in6_addr &addr, uint16_t port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = addr;
    return QByteArray(reinterpret_cast<const char *>(&sa), sizeof sa);
}

// Hosts that need no lookup: the loopback names and numeric addresses. A presence round sends
// to dotted addresses only, so it never touches the resolver.
bool numericAddresses(const QString &host, uint16_t port, QList<QByteArray> *out) {
    if (host == QLatin1String("localhost") || host == QLatin1String("loopback")) {
        in_addr lo4{};
        lo4.s_addr = htonl(INADDR_LOOPBACK);
        *out = {address4(lo4, port), address6(in6addr_loopback, port)};
        return true;
    }
    const QByteArray text = host.toLatin1();
    in_addr a4{};
    if (::inet_pton(AF_INET, text.constData(), &a4) == 1) {
        *out = {address4(a4, port)};
        return true;
    }
    in6_addr a6{};
    if (::inet_pton(AF_INET6, text.constData(), &a6) == 1) {
        *out = {address6(a6, port)};
        return true;
    }
    return false;
}

// Errors of the descriptor itself; anything else costs only the datagram at hand.
bool isDescriptorError(int code) { return code == EBADF || code == ENOTSOCK; }

bool sameSender(const QByteArray &peer, const sockaddr_storage &from) {
    if (peer.size() < int(sizeof(sockaddr_in))) return false;
    sockaddr_storage p{};
    std::memcpy(&p, peer.constData(), std::min<size_t>(peer.size(), sizeof p));
    if (p.ss_family != from.ss_family) return false;
    if (p.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(p);
        const auto &b = reinterpret_cast<const sockaddr_in &>(from);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    const auto &a = reinterpret_cast<const sockaddr_in6 &>(p);
    const auto &b = reinterpret_cast<const sockaddr_in6 &>(from);
    return a.sin6_port == b.sin6_port && std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
}

} // namespace

struct UdpSocket::ReceiveBacklog {
    std::atomic<int> datagrams{0};
    std::atomic<int64_t> bytes{0};
    // The receive path stopped for the backlog and waits to be called back.
    std::atomic<bool> stalled{false};
    std::weak_ptr<UdpSocket> socket;

    bool full() const {
        return datagrams.load() >= kMostDatagramsInFlight || bytes.load() >= kMostBytesInFlight;
    }
    bool low() const {
        return datagrams.load() <= kMostDatagramsInFlight / 2 && bytes.load() <= kMostBytesInFlight / 2;
    }
    void take(int64_t size) {
        datagrams.fetch_add(1);
        bytes.fetch_add(size);
    }
    // On any thread, once the delegate has taken a datagram (or it was dropped).
    void release(int64_t size) {
        datagrams.fetch_sub(1);
        bytes.fetch_sub(size);
        if (!stalled.load() || !low() || !stalled.exchange(false)) return;
        if (auto self = socket.lock())
            self->socketQueue_->async([weak = socket] {
                if (auto s = weak.lock()) s->doReceive();
            });
    }
};

// One datagram socket of either family with its readiness sources and cached local endpoint.
struct UdpSocket::Family {
    explicit Family(int d) : domain(d) {}
    const int domain;
    int fd = -1;
    // One watch for both directions: one registration in the reactor, no second descriptor.
    std::shared_ptr<dispatch::ReadinessSource> source;
    bool sendSuspended = true;
    bool receiveSuspended = true;
    // Readable hint: above 0 while a datagram may be waiting; 0 once a read would block.
    uint64_t bytesAvailable = 0;
    mutable QByteArray cachedLocalAddress;

    bool isOpen() const { return fd >= 0; }
    void suspendSend() {
        if (source && !sendSuspended) {
            source->suspend(dispatch::ReadinessSource::Kind::Write);
            sendSuspended = true;
        }
    }
    void resumeSend() {
        if (source && sendSuspended) {
            sendSuspended = false;
            source->resume(dispatch::ReadinessSource::Kind::Write);
        }
    }
    void suspendReceive() {
        if (source && !receiveSuspended) {
            source->suspend(dispatch::ReadinessSource::Kind::Read);
            receiveSuspended = true;
        }
    }
    void resumeReceive() {
        if (source && receiveSuspended) {
            receiveSuspended = false;
            source->resume(dispatch::ReadinessSource::Kind::Read);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Creation and queues

std::shared_ptr<UdpSocket> UdpSocket::create(std::weak_ptr<UdpSocketDelegate> delegate,
                                             std::shared_ptr<dispatch::Queue> delegateQueue,
                                             std::shared_ptr<dispatch::Queue> socketQueue) {
    std::shared_ptr<UdpSocket> sock(
        new UdpSocket(std::move(delegate), std::move(delegateQueue), std::move(socketQueue)));
    sock->backlog_->socket = sock;
    return sock;
}

UdpSocket::UdpSocket(std::weak_ptr<UdpSocketDelegate> delegate,
                     std::shared_ptr<dispatch::Queue> delegateQueue,
                     std::shared_ptr<dispatch::Queue> socketQueue)
    : delegate_(std::move(delegate)), delegateQueue_(std::move(delegateQueue)),
      socket4_(std::make_unique<Family>(AF_INET)), socket6_(std::make_unique<Family>(AF_INET6)),
      socketQueue_(socketQueue ? std::move(socketQueue) : dispatch::Queue::create("UdpSocket")),
      backlog_(std::make_shared<ReceiveBacklog>()) {}

UdpSocket::~UdpSocket() {
    // Silent: no callback names an object that is going away.
    socketQueue_->sync([this] { closeSilently(); });
}

void UdpSocket::runSync(const std::function<void()> &block) const { socketQueue_->sync(block); }

void UdpSocket::runAsync(std::function<void(UdpSocket &)> block) {
    if (socketQueue_->isCurrent()) {
        block(*this);
        return;
    }
    socketQueue_->async([self = shared_from_this(), block = std::move(block)] { block(*self); });
}

void UdpSocket::performBlock(const std::function<void()> &block) { runSync(block); }

void UdpSocket::setLookupFunction(LookupFunction lookup) {
    std::lock_guard lock(gLookupMutex);
    gLookup = std::move(lookup);
}

// ---------------------------------------------------------------------------------------------
// Configuration

std::weak_ptr<UdpSocketDelegate> UdpSocket::delegate() const {
    std::weak_ptr<UdpSocketDelegate> result;
    runSync([&] { result = delegate_; });
    return result;
}

void UdpSocket::setDelegate(std::weak_ptr<UdpSocketDelegate> delegate) {
    runAsync([delegate = std::move(delegate)](UdpSocket &s) { s.delegate_ = delegate; });
}

std::shared_ptr<dispatch::Queue> UdpSocket::delegateQueue() const {
    std::shared_ptr<dispatch::Queue> result;
    runSync([&] { result = delegateQueue_; });
    return result;
}

void UdpSocket::setDelegateQueue(std::shared_ptr<dispatch::Queue> queue) {
    runAsync([queue = std::move(queue)](UdpSocket &s) { s.delegateQueue_ = queue; });
}

#define UDP_GETTER(type, name, expr)                                                                         \
    type UdpSocket::name() const {                                                                           \
        type result{};                                                                                       \
        runSync([&] { result = (expr); });                                                                   \
        return result;                                                                                       \
    }

UDP_GETTER(bool, isIPv4Enabled, !(config_ & kIPv4Disabled))
UDP_GETTER(bool, isIPv6Enabled, !(config_ & kIPv6Disabled))
UDP_GETTER(bool, isIPv4Preferred, (config_ & kPreferIPv4) != 0)
UDP_GETTER(bool, isIPv6Preferred, (config_ & kPreferIPv6) != 0)
UDP_GETTER(bool, isIPVersionNeutral, !(config_ & (kPreferIPv4 | kPreferIPv6)))
UDP_GETTER(uint16_t, max4ReceiveSize, max4ReceiveSize_)
UDP_GETTER(uint32_t, max6ReceiveSize, max6ReceiveSize_)
UDP_GETTER(uint16_t, maxSendSize, maxSendSize_)
UDP_GETTER(std::shared_ptr<void>, userData, userData_)
UDP_GETTER(bool, isConnected, (flags_ & kDidConnect) != 0)
UDP_GETTER(bool, isIPv4, (flags_ & kDidCreateSockets) ? socket4_->isOpen() : !(config_ & kIPv4Disabled))
UDP_GETTER(bool, isIPv6, (flags_ & kDidCreateSockets) ? socket6_->isOpen() : !(config_ & kIPv6Disabled))
UDP_GETTER(QByteArray, connectedAddress, cachedConnectedAddress_)
#undef UDP_GETTER

bool UdpSocket::isClosed() const {
    if (socketQueue_->isCurrent()) return !(flags_ & kDidCreateSockets);
    // The caller asked for something that may open or close the sockets and the queue has not
    // run it yet: the answer waits for it, as every getter would.
    if (openingOrClosing_.load() > 0) {
        bool closed = true;
        runSync([&] { closed = !(flags_ & kDidCreateSockets); });
        return closed;
    }
    // Otherwise the state the queue last left, without a trip to it: the presence server asks
    // before every datagram it sends.
    return !open_.load();
}

void UdpSocket::noteOpenState() { open_.store((flags_ & kDidCreateSockets) != 0); }

QString UdpSocket::connectedHost() const { return hostFromAddress(connectedAddress()); }
uint16_t UdpSocket::connectedPort() const { return portFromAddress(connectedAddress()); }

void UdpSocket::setIPv4Enabled(bool enabled) {
    runAsync([enabled](UdpSocket &s) {
        s.config_ = enabled ? (s.config_ & ~kIPv4Disabled) : (s.config_ | kIPv4Disabled);
    });
}

void UdpSocket::setIPv6Enabled(bool enabled) {
    runAsync([enabled](UdpSocket &s) {
        s.config_ = enabled ? (s.config_ & ~kIPv6Disabled) : (s.config_ | kIPv6Disabled);
    });
}

void UdpSocket::setPreferIPv4() {
    runAsync([](UdpSocket &s) { s.config_ = (s.config_ | kPreferIPv4) & ~kPreferIPv6; });
}

void UdpSocket::setPreferIPv6() {
    runAsync([](UdpSocket &s) { s.config_ = (s.config_ | kPreferIPv6) & ~kPreferIPv4; });
}

void UdpSocket::setIPVersionNeutral() {
    runAsync([](UdpSocket &s) { s.config_ &= ~(kPreferIPv4 | kPreferIPv6); });
}

void UdpSocket::setMax4ReceiveSize(uint16_t size) {
    runAsync([size](UdpSocket &s) { s.max4ReceiveSize_ = size; });
}

void UdpSocket::setMax6ReceiveSize(uint32_t size) {
    runAsync([size](UdpSocket &s) { s.max6ReceiveSize_ = size; });
}

void UdpSocket::setMaxSendSize(uint16_t size) {
    runAsync([size](UdpSocket &s) { s.maxSendSize_ = size; });
}

void UdpSocket::setUserData(std::shared_ptr<void> userData) {
    runAsync([userData = std::move(userData)](UdpSocket &s) { s.userData_ = userData; });
}

int UdpSocket::socket4FD() const { return socketQueue_->isCurrent() ? socket4_->fd : -1; }
int UdpSocket::socket6FD() const { return socketQueue_->isCurrent() ? socket6_->fd : -1; }
int UdpSocket::socketFD() const {
    if (!socketQueue_->isCurrent()) return -1;
    return socket4_->isOpen() ? socket4_->fd : socket6_->fd;
}

// ---------------------------------------------------------------------------------------------
// Errors

SocketError UdpSocket::badConfigError(const QString &text) const {
    return {kErrorDomain, BadConfigError, Strings::localized(kTable, text)};
}

SocketError UdpSocket::badParamError(const QString &text) const {
    return {kErrorDomain, BadParamError, Strings::localized(kTable, text)};
}

SocketError UdpSocket::otherError(const QString &text) const {
    return {kErrorDomain, OtherError, Strings::localized(kTable, text)};
}

SocketError UdpSocket::sendTimeoutError() const {
    return {kErrorDomain, SendTimeoutError,
            Strings::localized(kTable, QStringLiteral("Send operation timed out"))};
}

SocketError UdpSocket::socketClosedError() const {
    return {kErrorDomain, ClosedError, Strings::localized(kTable, QStringLiteral("Socket closed"))};
}

SocketError UdpSocket::errnoError(int code, const QString &reason) {
    QVariantMap info;
    if (!reason.isEmpty()) info.insert(kFailureReasonKey, reason);
    return {kPosixErrorDomain, code, QString::fromUtf8(std::strerror(code)), info};
}

SocketError UdpSocket::gaiError(int code) {
    return {kResolverErrorDomain, code, QString::fromLatin1(::gai_strerror(code))};
}

// ---------------------------------------------------------------------------------------------
// Sockets

bool UdpSocket::preOp(SocketError *err) const {
    if (delegate_.expired()) {
        if (err)
            *err = badConfigError(
                QStringLiteral("Attempting to use socket without a delegate. Set a delegate first."));
        return false;
    }
    if (!delegateQueue_) {
        if (err)
            *err = badConfigError(QStringLiteral(
                "Attempting to use socket without a delegate queue. Set a delegate queue first."));
        return false;
    }
    return true;
}

bool UdpSocket::createSockets(SocketError *err) {
    const bool want4 = !(config_ & kIPv4Disabled);
    const bool want6 = !(config_ & kIPv6Disabled);
    if (!want4 && !want6) {
        // Nothing could ever be sent or received: say so rather than report sockets that aren't there.
        if (err)
            *err = badConfigError(QStringLiteral(
                "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
        return false;
    }
    return createSocket(want4, want6, err);
}

int UdpSocket::openSocket(int domain, SocketError *err) {
    auto fail = [&](int fd, const char *reason) {
        const int code = errno;
        if (err) *err = errnoError(code, QString::fromLatin1(reason));
        if (fd >= 0) ::close(fd);
        return -1;
    };
    const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(-1, "Error in socket() function");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return fail(fd, "Error enabling non-blocking IO on socket (fcntl)");
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        return fail(fd, "Error enabling address reuse (setsockopt)");
    // The IPv6 socket takes IPv6 only, so both families can bind the same port side by side.
    if (domain == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0)
        return fail(fd, "Error enabling address reuse (setsockopt)");
    // There is no SIGPIPE for datagram sockets here (and every send passes MSG_NOSIGNAL).
    // Buffers are only ever raised: the system's defaults are larger than one datagram, and a
    // smaller receive buffer drops bursts of answers.
    auto raise = [fd](int option, int wanted) {
        int current = 0;
        socklen_t len = sizeof current;
        if (::getsockopt(fd, SOL_SOCKET, option, &current, &len) == 0 && current >= wanted) return true;
        return ::setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted) == 0;
    };
    if (!raise(SO_SNDBUF, maxSendSize_)) return fail(fd, "Error setting send buffer size (setsockopt)");
    const int receiveSize =
        std::max<int>(maxSendSize_, domain == AF_INET ? int(max4ReceiveSize_)
                                                      : int(std::min<uint32_t>(max6ReceiveSize_, 1 << 24)));
    if (!raise(SO_RCVBUF, receiveSize)) return fail(fd, "Error setting receive buffer size (setsockopt)");
    return fd;
}

bool UdpSocket::createSocket(bool want4, bool want6, SocketError *err) {
    bool made4 = false;
    if (want4 && !socket4_->isOpen()) {
        const int fd = openSocket(AF_INET, err);
        if (fd < 0) return false;
        socket4_->fd = fd;
        made4 = true;
    }
    if (want6 && !socket6_->isOpen()) {
        const int fd = openSocket(AF_INET6, err);
        if (fd < 0) {
            if (made4) {
                ::close(socket4_->fd);
                socket4_->fd = -1;
            }
            return false;
        }
        socket6_->fd = fd;
    }
    if (made4) setupSources(*socket4_);
    if (want6 && !socket6_->source && socket6_->isOpen()) setupSources(*socket6_);
    flags_ |= kDidCreateSockets;
    noteOpenState();
    return true;
}

void UdpSocket::setupSources(Family &family) {
    using Kind = dispatch::ReadinessSource::Kind;
    family.source = dispatch::ReadinessSource::create(family.fd, socketQueue_);
    family.sendSuspended = true;
    family.receiveSuspended = true;
    family.bytesAvailable = 0;
    std::weak_ptr<UdpSocket> weak = weak_from_this();
    Family *f = &family; // lives as long as the socket object
    family.source->setEventHandler(Kind::Write, [weak, f] {
        auto self = weak.lock();
        if (!self) return;
        const auto &p = self->currentSend_;
        if (p && !p->resolveInProgress && !p->filterInProgress && p->addressFamily != 0)
            self->doSend();
        else
            f->suspendSend(); // nothing to send: do not fire again and again
    });
    family.source->setEventHandler(Kind::Read, [weak, f] {
        if (auto self = weak.lock()) self->onReadable(*f);
    });
    // The descriptor is closed once the watch is gone.
    const int fd = family.fd;
    family.source->setCancelHandler([fd] { ::close(fd); });
}

void UdpSocket::closeSocket(Family &family) {
    if (!family.isOpen()) return;
    if (family.source)
        family.source->cancel();
    else
        ::close(family.fd);
    family.source.reset();
    family.sendSuspended = true;
    family.receiveSuspended = true;
    family.fd = -1;
    family.bytesAvailable = 0;
    family.cachedLocalAddress.clear();
}

void UdpSocket::closeSockets() {
    closeSocket(*socket4_);
    closeSocket(*socket6_);
    flags_ &= ~kDidCreateSockets;
    noteOpenState();
}

void UdpSocket::closeSilently() {
    endCurrentSend();
    currentConnect_.reset();
    sendQueue_.clear();
    closeSockets();
    flags_ = 0;
    noteOpenState();
    cachedConnectedAddress_.clear();
    cachedConnectedFamily_ = 0;
}

void UdpSocket::closeWithError(const SocketError &error) {
    const bool hadSockets = flags_ & kDidCreateSockets;
    closeSilently();
    if (hadSockets)
        notify([error](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
            d.udpSocketDidClose(s, error);
        });
}

void UdpSocket::close() {
    runSync([this] { closeWithError({}); });
}

void UdpSocket::closeAfterSending() {
    const bool counted = openingOrClosingRequest();
    runAsync([counted](UdpSocket &s) {
        s.flags_ |= kCloseAfterSends;
        if (!s.currentSend_ && !s.currentConnect_ && s.sendQueue_.empty()) s.closeWithError({});
        if (counted) --s.openingOrClosing_;
    });
}

// ---------------------------------------------------------------------------------------------
// Options, bind, connect

bool UdpSocket::enableReusePort(bool enable, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (!preOp(err)) return;
        if (!(flags_ & kDidCreateSockets) && !createSockets(err)) return;
        const int value = enable ? 1 : 0;
        for (Family *f : {socket4_.get(), socket6_.get()}) {
            if (!f->isOpen()) continue;
            if (::setsockopt(f->fd, SOL_SOCKET, SO_REUSEPORT, &value, sizeof value) < 0) {
                if (err) *err = errnoError(errno, QStringLiteral("Error in setsockopt() function"));
                result = false;
                return;
            }
            result = true;
        }
    });
    return result;
}

bool UdpSocket::enableBroadcast(bool enable, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (!preOp(err)) return;
        if (!(flags_ & kDidCreateSockets) && !createSockets(err)) return;
        if (!socket4_->isOpen()) return; // broadcast is an IPv4 notion
        const int value = enable ? 1 : 0;
        if (::setsockopt(socket4_->fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) < 0) {
            if (err) *err = errnoError(errno, QStringLiteral("Error in setsockopt() function"));
            return;
        }
        result = true;
    });
    return result;
}

bool UdpSocket::preBind(SocketError *err) const {
    if (!preOp(err)) return false;
    auto fail = [&](const char *text) {
        if (err) *err = badConfigError(QString::fromLatin1(text));
        return false;
    };
    if (flags_ & kDidBind) return fail("Cannot bind a socket more than once.");
    if (flags_ & (kConnecting | kDidConnect))
        return fail("Cannot bind after connecting. If needed, bind first, then connect.");
    if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled))
        return fail("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
    return true;
}

bool UdpSocket::convertInterface(const QString &interface, uint16_t port, QByteArray *out4, QByteArray *out6,
                                 SocketError *err) const {
    if (interface.isEmpty()) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        *out4 = address4(any, port);
        *out6 = address6(in6addr_any, port);
        return true;
    }
    if (interface == QLatin1String("localhost") || interface == QLatin1String("loopback")) {
        in_addr lo{};
        lo.s_addr = htonl(INADDR_LOOPBACK);
        *out4 = address4(lo, port);
        *out6 = address6(in6addr_loopback, port);
        return true;
    }
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        if (err) *err = errnoError(errno, QStringLiteral("Error in getifaddrs() function"));
        return false;
    }
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        // Entries without an address (a link with nothing configured) can't be bound to.
        if (!i->ifa_addr) continue;
        const QString name = QString::fromLocal8Bit(i->ifa_name);
        if (i->ifa_addr->sa_family == AF_INET && out4->isEmpty()) {
            const auto *sa = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
            if (name == interface || QLatin1String(text) == interface) *out4 = address4(sa->sin_addr, port);
        } else if (i->ifa_addr->sa_family == AF_INET6 && out6->isEmpty()) {
            const auto *sa = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr);
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof text);
            if (name == interface || QLatin1String(text) == interface) {
                QByteArray a = address6(sa->sin6_addr, port);
                reinterpret_cast<sockaddr_in6 *>(a.data())->sin6_scope_id = sa->sin6_scope_id;
                *out6 = a;
            }
        }
    }
    ::freeifaddrs(list);
    return true;
}

bool UdpSocket::bindToPort(uint16_t port, SocketError *err) { return bindToPort(port, QString(), err); }

bool UdpSocket::bindToPort(uint16_t port, const QString &interface, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (!preBind(err)) return;
        QByteArray a4, a6;
        if (!convertInterface(interface, port, &a4, &a6, err)) return;
        auto badParam = [&](const char *text) {
            if (err) *err = badParamError(QString::fromLatin1(text));
        };
        if (a4.isEmpty() && a6.isEmpty())
            return badParam(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
        if ((config_ & kIPv4Disabled) && a6.isEmpty())
            return badParam("IPv4 has been disabled and specified interface doesn't support IPv6.");
        if ((config_ & kIPv6Disabled) && a4.isEmpty())
            return badParam("IPv6 has been disabled and specified interface doesn't support IPv4.");
        const bool use4 = !a4.isEmpty() && !(config_ & kIPv4Disabled);
        const bool use6 = !a6.isEmpty() && !(config_ & kIPv6Disabled);
        if (!createSocket(use4, use6, err)) return;
        for (auto [use, f, a] :
             {std::tuple{use4, socket4_.get(), &a4}, std::tuple{use6, socket6_.get(), &a6}}) {
            if (!use) continue;
            if (::bind(f->fd, reinterpret_cast<const sockaddr *>(a->constData()), socklen_t(a->size())) < 0) {
                const int code = errno;
                closeSockets();
                if (err) *err = errnoError(code, QStringLiteral("Error in bind() function"));
                return;
            }
        }
        flags_ |= kDidBind;
        // A family left out of the bind is closed: it could only ever receive on a random port.
        if (!use4) {
            flags_ |= kIPv4Deactivated;
            closeSocket(*socket4_);
        }
        if (!use6) {
            flags_ |= kIPv6Deactivated;
            closeSocket(*socket6_);
        }
        result = true;
    });
    return result;
}

bool UdpSocket::bindToAddress(const QByteArray &address, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (!preBind(err)) return;
        const int family = familyFromAddress(address);
        auto badParam = [&](const char *text) {
            if (err) *err = badParamError(QString::fromLatin1(text));
        };
        if (family != AF_INET && family != AF_INET6)
            return badParam("A valid IPv4 or IPv6 address was not given");
        if (family == AF_INET && (config_ & kIPv4Disabled))
            return badParam("IPv4 has been disabled and an IPv4 address was passed.");
        if (family == AF_INET6 && (config_ & kIPv6Disabled))
            return badParam("IPv6 has been disabled and an IPv6 address was passed.");
        const bool use4 = family == AF_INET;
        if (!createSocket(use4, !use4, err)) return;
        Family &f = use4 ? *socket4_ : *socket6_;
        const socklen_t len = use4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (::bind(f.fd, reinterpret_cast<const sockaddr *>(address.constData()), len) < 0) {
            const int code = errno;
            closeSockets();
            if (err) *err = errnoError(code, QStringLiteral("Error in bind() function"));
            return;
        }
        flags_ |= kDidBind | (use4 ? kIPv6Deactivated : kIPv4Deactivated);
        closeSocket(use4 ? *socket6_ : *socket4_);
        result = true;
    });
    return result;
}

bool UdpSocket::connectToHost(const QString &host, uint16_t port, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (!preOp(err)) return;
        if (flags_ & (kConnecting | kDidConnect)) {
            if (err) *err = badConfigError(QStringLiteral("Cannot connect a socket more than once."));
            return;
        }
        if (host.isEmpty()) {
            if (err)
                *err = badParamError(
                    QStringLiteral("The host param is nil. Should be domain name or IP address string."));
            return;
        }
        if (!(flags_ & kDidCreateSockets) && !createSockets(err)) return;
        flags_ |= kConnecting;
        auto packet = std::make_shared<UdpConnectPacket>();
        if (!numericAddresses(host, port, &packet->addresses)) {
            packet->resolveInProgress = true;
            startLookup(packet, host, port);
        }
        enqueue(packet);
        result = true;
    });
    return result;
}

bool UdpSocket::connectToAddress(const QByteArray &address, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (!preOp(err)) return;
        if (flags_ & (kConnecting | kDidConnect)) {
            if (err) *err = badConfigError(QStringLiteral("Cannot connect a socket more than once."));
            return;
        }
        if (!isIPv4Address(address) && !isIPv6Address(address)) {
            if (err)
                *err = badParamError(QStringLiteral("The address param is nil. Should be a valid address."));
            return;
        }
        if (!(flags_ & kDidCreateSockets) && !createSockets(err)) return;
        flags_ |= kConnecting;
        auto packet = std::make_shared<UdpConnectPacket>();
        packet->addresses = {address};
        enqueue(packet);
        result = true;
    });
    return result;
}

void UdpSocket::maybeConnect() {
    auto packet = currentConnect_;
    if (!packet || packet->resolveInProgress) return; // the lookup's completion comes back here
    auto finish = [this] {
        flags_ &= ~kConnecting;
        currentConnect_.reset();
        maybeDequeueSend();
    };
    SocketError error = packet->error;
    QByteArray address;
    int family = 0;
    if (!error && chooseAddress(packet->addresses, &address, &family, &error)) {
        Family &f = family == AF_INET ? *socket4_ : *socket6_;
        if (!f.isOpen()) createSocket(family == AF_INET, family == AF_INET6, &error);
        if (!error && ::connect(f.fd, reinterpret_cast<const sockaddr *>(address.constData()),
                                socklen_t(address.size())) < 0)
            error = errnoError(errno, QStringLiteral("Error in connect() function"));
        if (!error) {
            closeSocket(family == AF_INET ? *socket6_ : *socket4_);
            flags_ |= kDidConnect | kDidBind | (family == AF_INET ? kIPv6Deactivated : kIPv4Deactivated);
            cachedConnectedAddress_ = address;
            cachedConnectedFamily_ = family;
            notify([address](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
                d.udpSocketDidConnectToAddress(s, address);
            });
            finish();
            return;
        }
    }
    notify([error](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
        d.udpSocketDidNotConnect(s, error);
    });
    finish();
}

void UdpSocket::fillLocalAddress(Family &family) const {
    if (!family.isOpen() || !family.cachedLocalAddress.isEmpty()) return;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(family.fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return;
    QByteArray address(reinterpret_cast<const char *>(&sa), int(len));
    if (portFromAddress(address) != 0) family.cachedLocalAddress = address; // bound by now
}

QByteArray UdpSocket::localAddress_IPv4() const {
    QByteArray result;
    runSync([&] {
        fillLocalAddress(*socket4_);
        result = socket4_->cachedLocalAddress;
    });
    return result;
}

QByteArray UdpSocket::localAddress_IPv6() const {
    QByteArray result;
    runSync([&] {
        fillLocalAddress(*socket6_);
        result = socket6_->cachedLocalAddress;
    });
    return result;
}

QByteArray UdpSocket::localAddress() const {
    QByteArray result;
    runSync([&] {
        Family &f = socket4_->isOpen() ? *socket4_ : *socket6_;
        fillLocalAddress(f);
        result = f.cachedLocalAddress;
    });
    return result;
}

QString UdpSocket::localHost() const { return hostFromAddress(localAddress()); }
uint16_t UdpSocket::localPort() const { return portFromAddress(localAddress()); }
QString UdpSocket::localHost_IPv4() const { return hostFromAddress(localAddress_IPv4()); }
uint16_t UdpSocket::localPort_IPv4() const { return portFromAddress(localAddress_IPv4()); }
QString UdpSocket::localHost_IPv6() const { return hostFromAddress(localAddress_IPv6()); }
uint16_t UdpSocket::localPort_IPv6() const { return portFromAddress(localAddress_IPv6()); }

// ---------------------------------------------------------------------------------------------
// Name lookup

std::pair<QList<QByteArray>, SocketError> UdpSocket::systemLookup(const QString &host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *results = nullptr;
    const QByteArray name = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    const int code = ::getaddrinfo(name.constData(), service.constData(), &hints, &results);
    if (code != 0) return {{}, gaiError(code)};
    QList<QByteArray> addresses;
    for (addrinfo *r = results; r; r = r->ai_next) {
        if (r->ai_family == AF_INET && r->ai_addrlen >= sizeof(sockaddr_in)) {
            addresses.append(QByteArray(reinterpret_cast<const char *>(r->ai_addr), sizeof(sockaddr_in)));
        } else if (r->ai_family == AF_INET6 && r->ai_addrlen >= sizeof(sockaddr_in6)) {
            QByteArray a(reinterpret_cast<const char *>(r->ai_addr), sizeof(sockaddr_in6));
            auto *sa = reinterpret_cast<sockaddr_in6 *>(a.data());
            if (sa->sin6_port == 0) sa->sin6_port = htons(port);
            addresses.append(a);
        }
    }
    ::freeaddrinfo(results);
    if (addresses.isEmpty()) return {{}, gaiError(EAI_FAIL)};
    return {addresses, {}};
}

void UdpSocket::lookUp(const QString &host, uint16_t port, LookupDone done) {
    std::weak_ptr<UdpSocket> weak = weak_from_this();
    auto queue = socketQueue_;
    auto lookup = currentLookup();
    dispatch::runBlocking([weak, queue, lookup, host, port, done = std::move(done)] {
        auto [addresses, error] = lookup(host, port);
        queue->async([weak, done, addresses = std::move(addresses), error = std::move(error)] {
            auto self = weak.lock();
            if (!self) return;
            done(*self, addresses, error);
        });
    });
}

void UdpSocket::startLookup(const std::shared_ptr<UdpSendPacket> &packet, const QString &host,
                            uint16_t port) {
    lookUp(host, port,
           [packet](UdpSocket &self, const QList<QByteArray> &addresses, const SocketError &error) {
               packet->resolveInProgress = false;
               packet->resolvedAddresses = addresses;
               packet->resolveError = error;
               if (self.currentSend_ == packet) self.doPreSend();
           });
}

void UdpSocket::startLookup(const std::shared_ptr<UdpConnectPacket> &packet, const QString &host,
                            uint16_t port) {
    lookUp(host, port,
           [packet](UdpSocket &self, const QList<QByteArray> &addresses, const SocketError &error) {
               packet->resolveInProgress = false;
               packet->addresses = addresses;
               packet->error = error;
               if (self.currentConnect_ == packet) self.maybeConnect();
           });
}

// ---------------------------------------------------------------------------------------------
// Send path

void UdpSocket::sendData(QByteArray data, const QString &host, uint16_t port, double timeout, long tag) {
    if (data.isEmpty()) return;
    auto packet = std::make_shared<UdpSendPacket>(std::move(data), timeout, tag);
    packet->hasHost = true;
    if (host.isEmpty()) {
        packet->resolveError = badParamError(
            QStringLiteral("The host param is nil. Should be domain name or IP address string."));
    } else if (!numericAddresses(host, port, &packet->resolvedAddresses)) {
        packet->resolveInProgress = true;
        startLookup(packet, host, port);
    }
    enqueueFromCaller(std::move(packet));
}

void UdpSocket::sendData(QByteArray data, const QByteArray &address, double timeout, long tag) {
    if (data.isEmpty()) return;
    auto packet = std::make_shared<UdpSendPacket>(std::move(data), timeout, tag);
    if (isIPv4Address(address) || isIPv6Address(address))
        packet->resolvedAddresses = {
            address.left(isIPv4Address(address) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6))};
    else
        packet->resolveError = badParamError(QStringLiteral("A valid IPv4 or IPv6 address was not given"));
    enqueueFromCaller(std::move(packet));
}

void UdpSocket::sendData(QByteArray data, double timeout, long tag) {
    if (data.isEmpty()) return;
    auto packet = std::make_shared<UdpSendPacket>(std::move(data), timeout, tag);
    enqueueFromCaller(std::move(packet));
}

void UdpSocket::setSendFilter(SendFilter filter, std::shared_ptr<dispatch::Queue> queue, bool async) {
    runAsync([filter = std::move(filter), queue = std::move(queue), async](UdpSocket &s) {
        s.sendFilter_ = filter;
        s.sendFilterQueue_ = filter ? queue : nullptr;
        s.sendFilterAsync_ = async;
    });
}

bool UdpSocket::openingOrClosingRequest() {
    if (socketQueue_->isCurrent()) return false;
    ++openingOrClosing_;
    return true;
}

void UdpSocket::enqueueFromCaller(std::shared_ptr<UdpSendPacket> packet) {
    // A datagram for closed sockets opens them: isClosed() waits for it until it is queued.
    const bool counted = !open_.load() && openingOrClosingRequest();
    runAsync([packet = std::move(packet), counted](UdpSocket &s) {
        s.enqueue(packet);
        if (counted) --s.openingOrClosing_;
    });
}

void UdpSocket::enqueue(QueueEntry entry) {
    sendQueue_.push_back(std::move(entry));
    maybeDequeueSend();
}

void UdpSocket::maybeDequeueSend() {
    // A send that completes at once asks for the next one from inside this loop: iterate
    // rather than recurse, so a long queue never deepens the stack.
    if (dequeueActive_) {
        dequeueAgain_ = true;
        return;
    }
    dequeueActive_ = true;
    do {
        dequeueAgain_ = false;
        dequeueStep();
    } while (dequeueAgain_);
    dequeueActive_ = false;
}

void UdpSocket::dequeueStep() {
    if (currentSend_ || currentConnect_) return;
    if (!(flags_ & kDidCreateSockets) && !sendQueue_.empty()) {
        SocketError error;
        if (!createSockets(&error)) {
            // Nothing was ever open, so no close callback would tell: every waiting request
            // hears why it was given up.
            std::deque<QueueEntry> dropped;
            dropped.swap(sendQueue_);
            closeSilently();
            for (const QueueEntry &entry : dropped) {
                if (auto *packet = std::get_if<std::shared_ptr<UdpSendPacket>>(&entry)) {
                    const long tag = (*packet)->tag;
                    notify([tag, error](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
                        d.udpSocketDidNotSendDataWithTag(s, tag, error);
                    });
                } else {
                    notify([error](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
                        d.udpSocketDidNotConnect(s, error);
                    });
                }
            }
            return;
        }
    }
    while (!sendQueue_.empty()) {
        QueueEntry entry = std::move(sendQueue_.front());
        sendQueue_.pop_front();
        if (auto *connect = std::get_if<std::shared_ptr<UdpConnectPacket>>(&entry)) {
            currentConnect_ = *connect;
            maybeConnect();
            return;
        }
        auto packet = std::get<std::shared_ptr<UdpSendPacket>>(std::move(entry));
        if (!packet->resolveInProgress && packet->resolveError) {
            const SocketError error = packet->resolveError;
            const long tag = packet->tag;
            notify([tag, error](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
                d.udpSocketDidNotSendDataWithTag(s, tag, error);
            });
            continue;
        }
        currentSend_ = packet;
        doPreSend();
        return;
    }
    if (!currentSend_ && !currentConnect_ && (flags_ & kCloseAfterSends)) closeWithError({});
}

void UdpSocket::doPreSend() {
    auto packet = currentSend_;
    if (!packet) return;
    if (!(flags_ & kDidConnect)) {
        if (packet->resolveInProgress) {
            suspendSendSources(); // the lookup's completion comes back here
            return;
        }
        if (packet->resolveError) return failCurrentSend(packet->resolveError);
        if (packet->address.isEmpty()) {
            if (packet->resolvedAddresses.isEmpty())
                return failCurrentSend(badConfigError(
                    QStringLiteral("You must specify destination of packet for a non-connected socket")));
            SocketError error;
            if (!chooseAddress(packet->resolvedAddresses, &packet->address, &packet->addressFamily, &error))
                return failCurrentSend(error);
        }
    } else {
        if (packet->hasHost)
            return failCurrentSend(
                badConfigError(QStringLiteral("Cannot specify destination of packet for connected socket")));
        packet->address = cachedConnectedAddress_;
        packet->addressFamily = cachedConnectedFamily_;
    }
    if (!sendFilter_ || !sendFilterQueue_) return doSend();

    auto filter = sendFilter_;
    if (!sendFilterAsync_) {
        bool allowed = false;
        sendFilterQueue_->sync([&] { allowed = filter(packet->buffer, packet->address, packet->tag); });
        if (allowed) return doSend();
        const long tag = packet->tag;
        notify([tag](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
            d.udpSocketDidSendDataWithTag(s, tag);
        });
        endCurrentSend();
        maybeDequeueSend();
        return;
    }
    packet->filterInProgress = true;
    std::weak_ptr<UdpSocket> weak = weak_from_this();
    auto queue = socketQueue_;
    sendFilterQueue_->async([weak, queue, filter, packet] {
        const bool allowed = filter(packet->buffer, packet->address, packet->tag);
        queue->async([weak, packet, allowed] {
            auto self = weak.lock();
            if (!self) return;
            packet->filterInProgress = false;
            if (self->currentSend_ != packet) return;
            if (allowed) return self->doSend();
            const long tag = packet->tag;
            self->notify([tag](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
                d.udpSocketDidSendDataWithTag(s, tag);
            });
            self->endCurrentSend();
            self->maybeDequeueSend();
        });
    });
}

bool UdpSocket::chooseAddress(const QList<QByteArray> &addresses, QByteArray *address, int *family,
                              SocketError *err) const {
    QByteArray first4, first6;
    bool sixFirst = false;
    for (const QByteArray &a : addresses) {
        if (first4.isEmpty() && isIPv4Address(a)) first4 = a.left(sizeof(sockaddr_in));
        if (first6.isEmpty() && isIPv6Address(a)) {
            first6 = a.left(sizeof(sockaddr_in6));
            sixFirst = first4.isEmpty();
        }
        if (!first4.isEmpty() && !first6.isEmpty()) break;
    }
    const bool has4 = !first4.isEmpty();
    const bool has6 = !first6.isEmpty();
    auto reject = [&](const char *text) {
        if (err) *err = otherError(QString::fromLatin1(text));
        return false;
    };
    if ((config_ & kIPv4Disabled) && !has6)
        return reject("IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
    if ((config_ & kIPv6Disabled) && !has4)
        return reject("IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    if ((flags_ & kIPv4Deactivated) && !has6)
        return reject(
            "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).");
    if ((flags_ & kIPv6Deactivated) && !has4)
        return reject(
            "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");
    // Only families this socket can actually use take part in the choice.
    const bool usable4 = has4 && !(config_ & kIPv4Disabled) && !(flags_ & kIPv4Deactivated);
    const bool usable6 = has6 && !(config_ & kIPv6Disabled) && !(flags_ & kIPv6Deactivated);
    if (!usable4 && !usable6) return reject("No usable address family for this socket.");
    bool use6;
    if (!usable6)
        use6 = false;
    else if (!usable4)
        use6 = true;
    else if (config_ & kPreferIPv4)
        use6 = false;
    else if (config_ & kPreferIPv6)
        use6 = true;
    else
        use6 = sixFirst;
    *address = use6 ? first6 : first4;
    *family = use6 ? AF_INET6 : AF_INET;
    return true;
}

void UdpSocket::doSend() {
    auto packet = currentSend_;
    if (!packet) return;
    Family &f = packet->addressFamily == AF_INET ? *socket4_ : *socket6_;
    if (!f.isOpen()) {
        SocketError error;
        if (!createSocket(&f == socket4_.get(), &f == socket6_.get(), &error)) return failCurrentSend(error);
    }
    const bool connected = flags_ & kDidConnect;
    ssize_t result;
    do {
        result = connected
                     ? ::send(f.fd, packet->buffer.constData(), size_t(packet->buffer.size()), MSG_NOSIGNAL)
                     : ::sendto(f.fd, packet->buffer.constData(), size_t(packet->buffer.size()), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr *>(packet->address.constData()),
                                socklen_t(packet->address.size()));
    } while (result < 0 && errno == EINTR);
    const int code = errno;
    flags_ |= kDidBind; // the system binds an unbound socket with its first datagram

    if (result > 0) {
        f.suspendSend();
        const long tag = packet->tag;
        notify([tag](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
            d.udpSocketDidSendDataWithTag(s, tag);
        });
        endCurrentSend();
        maybeDequeueSend();
        return;
    }
    if (result == 0 || code == EAGAIN || code == EWOULDBLOCK) {
        f.resumeSend(); // the write handler comes back here once the socket takes data
        if (!sendTimer_ && packet->timeout >= 0) setupSendTimer(packet->timeout);
        return;
    }
    const SocketError error = errnoError(code, QStringLiteral("Error in send() function."));
    if (isDescriptorError(code)) return closeWithError(error);
    // One unroutable or refused target costs only its own datagram.
    failCurrentSend(error);
}

void UdpSocket::failCurrentSend(const SocketError &error) {
    if (!currentSend_) return;
    const long tag = currentSend_->tag;
    notify([tag, error](UdpSocketDelegate &d, const std::shared_ptr<UdpSocket> &s) {
        d.udpSocketDidNotSendDataWithTag(s, tag, error);
    });
    endCurrentSend();
    maybeDequeueSend();
}

void UdpSocket::endCurrentSend() {
    if (sendTimer_) {
        sendTimer_->cancel();
        sendTimer_.reset();
    }
    currentSend_.reset();
}

void UdpSocket::setupSendTimer(double timeout) {
    sendTimer_ = dispatch::TimerSource::create(socketQueue_);
    std::weak_ptr<UdpSocket> weak = weak_from_this();
    auto packet = currentSend_;
    sendTimer_->setEventHandler([weak, packet] {
        auto self = weak.lock();
        if (!self || self->currentSend_ != packet) return;
        self->suspendSendSources();
        self->failCurrentSend(self->sendTimeoutError());
    });
    sendTimer_->schedule(timeout);
    sendTimer_->resume();
}

void UdpSocket::suspendSendSources() {
    socket4_->suspendSend();
    socket6_->suspendSend();
}

void UdpSocket::resumeSendSources() {
    if (socket4_->isOpen()) socket4_->resumeSend();
    if (socket6_->isOpen()) socket6_->resumeSend();
}

// ---------------------------------------------------------------------------------------------
// Receive path

bool UdpSocket::beginReceiving(SocketError *err) {
    return startReceiving(kReceiveContinuous, kReceiveOnce, err);
}

bool UdpSocket::receiveOnce(SocketError *err) {
    return startReceiving(kReceiveOnce, kReceiveContinuous, err);
}

// Both receive modes start the same way; only the flag that is set (and the one it replaces)
// differ.
bool UdpSocket::startReceiving(uint32_t mode, uint32_t otherMode, SocketError *err) {
    bool result = false;
    runSync([&] {
        if (flags_ & mode) {
            result = true;
            return;
        }
        if (!(flags_ & kDidCreateSockets)) {
            if (err)
                *err = badConfigError(
                    QStringLiteral("Must bind socket before you can receive data. You can do this "
                                   "explicitly via bind, or implicitly via connect or by sending "
                                   "data."));
            return;
        }
        flags_ = (flags_ | mode) & ~otherMode;
        socketQueue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->doReceive();
        });
        result = true;
    });
    return result;
}

void UdpSocket::pauseReceiving() {
    runAsync([](UdpSocket &s) {
        s.flags_ &= ~(kReceiveOnce | kReceiveContinuous);
        s.suspendReceiveSourcesWithData();
    });
}

void UdpSocket::setReceiveFilter(ReceiveFilter filter, std::shared_ptr<dispatch::Queue> queue, bool async) {
    runAsync([filter = std::move(filter), queue = std::move(queue), async](UdpSocket &s) {
        s.receiveFilter_ = filter;
        s.receiveFilterQueue_ = filter ? queue : nullptr;
        s.receiveFilterAsync_ = async;
    });
}

void UdpSocket::onReadable(Family &family) {
    // The readiness count is the size of the next datagram here, which is 0 for an empty one:
    // a read event only says that something is waiting. Datagrams have no end of file.
    family.bytesAvailable = std::max<uint64_t>(family.source ? family.source->data() : 0, 1);
    doReceive();
}

void UdpSocket::suspendReceiveSourcesWithData() {
    for (Family *f : {socket4_.get(), socket6_.get()})
        if (f->bytesAvailable > 0) f->suspendReceive();
}

void UdpSocket::resumeReceiveSourcesWithoutData() {
    for (Family *f : {socket4_.get(), socket6_.get()})
        if (f->isOpen() && f->bytesAvailable == 0) f->resumeReceive();
}

void UdpSocket::doReceive() {
    for (int budget = kReceiveBudget;;) {
        if (!(flags_ & (kReceiveOnce | kReceiveContinuous))) return suspendReceiveSourcesWithData();
        if ((flags_ & kReceiveOnce) && pendingFilterOperations_ > 0) return suspendReceiveSourcesWithData();
        if (socket4_->bytesAvailable == 0 && socket6_->bytesAvailable == 0)
            return resumeReceiveSourcesWithoutData();
        if (backlog_->full()) {
            backlog_->stalled = true;
            // The delegate calls back once it has taken enough; unless it did so just now.
            if (backlog_->full() || !backlog_->stalled.exchange(false))
                return suspendReceiveSourcesWithData();
        }
        if (budget-- <= 0) {
            // Let sends and closes on this queue in before the next pass.
            socketQueue_->async([weak = weak_from_this()] {
                if (auto self = weak.lock()) self->doReceive();
            });
            return;
        }

        Family *f;
        if (flags_ & kDidConnect) {
            f = socket4_->isOpen() ? socket4_.get() : socket6_.get();
        } else if (socket4_->bytesAvailable > 0 && socket6_->bytesAvailable > 0) {
            f = (flags_ & kFlipFlop) ? socket4_.get() : socket6_.get();
            flags_ ^= kFlipFlop;
        } else {
            f = socket4_->bytesAvailable > 0 ? socket4_.get() : socket6_.get();
        }
        if (!f->isOpen()) {
            f->bytesAvailable = 0;
            continue;
        }
        const int capacity = f->domain == AF_INET ? int(max4ReceiveSize_)
                                                  : int(std::min<uint32_t>(max6ReceiveSize_, 0x7fffffff));
        if (!receiveFilter_ && !(flags_ & kReceiveOnce) && capacity > 0 && capacity <= 65535) {
            // As many as the room left for datagrams in flight allows, so the bound holds.
            const int room = kMostDatagramsInFlight - backlog_->datagrams.load();
            const int64_t byteRoom = kMostBytesInFlight - backlog_->bytes.load();
            const int most = int(std::clamp<int64_t>(std::min<int64_t>(room, byteRoom / capacity), 1, kReceiveBatch));
            if (!receiveBatch(*f, capacity, most) && !f->isOpen()) return;
            continue;
        }
        if (receiveBuffer_.size() < std::max(capacity, 1)) receiveBuffer_.resize(std::max(capacity, 1));
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        const ssize_t result = ::recvfrom(f->fd, receiveBuffer_.data(), size_t(capacity), 0,
                                          reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (result < 0) {
            const int code = errno;
            if (code == EINTR) continue;
            if (isDescriptorError(code))
                return closeWithError(errnoError(code, QStringLiteral("Error in recvfrom() function")));
            // Would block, or a transient report (an ICMP error on a connected socket): nothing to
            // deliver; the watch comes back when something is waiting.
            f->bytesAvailable = 0;
            continue;
        }
        if (result == 0) continue; // an empty datagram: consumed and dropped
        if ((flags_ & kDidConnect) && !sameSender(cachedConnectedAddress_, from)) continue;

        QByteArray data(receiveBuffer_.constData(), int(result));
        const int addressLen = from.ss_family == AF_INET    ? int(sizeof(sockaddr_in))
                               : from.ss_family == AF_INET6 ? int(sizeof(sockaddr_in6))
                                                            : int(fromLen);
        QByteArray address(reinterpret_cast<const char *>(&from),
                           std::min<int>(addressLen, int(sizeof from)));

        if (receiveFilter_ && receiveFilterQueue_) {
            auto filter = receiveFilter_;
            if (receiveFilterAsync_) {
                ++pendingFilterOperations_;
                backlog_->take(data.size()); // counts while the filter has it
                std::weak_ptr<UdpSocket> weak = weak_from_this();
                auto queue = socketQueue_;
                receiveFilterQueue_->async([weak, queue, filter, data, address, backlog = backlog_] {
                    std::shared_ptr<void> context;
                    const bool allowed = filter(data, address, &context);
                    queue->async([weak, data, address, context, allowed, backlog] {
                        auto self = weak.lock();
                        if (!self || !allowed) backlog->release(data.size());
                        if (!self) return;
                        --self->pendingFilterOperations_;
                        if (allowed) self->deliver(data, address, context, true);
                        if (self->flags_ & kReceiveOnce) {
                            if (allowed)
                                self->flags_ &= ~kReceiveOnce;
                            else if (self->pendingFilterOperations_ == 0)
                                self->doReceive();
                        }
                    });
                });
                continue; // receive-once stops at the next pass while the answer is out
            }
            std::shared_ptr<void> context;
            bool allowed = false;
            receiveFilterQueue_->sync([&] { allowed = filter(data, address, &context); });
            if (!allowed) continue;
            deliver(std::move(data), std::move(address), std::move(context));
        } else {
            deliver(std::move(data), std::move(address), nullptr);
        }
        if (flags_ & kReceiveOnce) flags_ &= ~kReceiveOnce;
    }
}

bool UdpSocket::receiveBatch(Family &f, int capacity, int most) {
    const qsizetype need = qsizetype(capacity) * most;
    if (receiveBuffer_.size() < need) receiveBuffer_.resize(need);
    mmsghdr messages[kReceiveBatch];
    iovec vectors[kReceiveBatch];
    sockaddr_storage from[kReceiveBatch];
    for (int i = 0; i < most; ++i) {
        vectors[i] = {receiveBuffer_.data() + qsizetype(i) * capacity, size_t(capacity)};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof from[i];
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int got = ::recvmmsg(f.fd, messages, unsigned(most), MSG_DONTWAIT, nullptr);
    if (got < 0) {
        const int code = errno;
        if (code == EINTR) return false;
        if (isDescriptorError(code)) {
            closeWithError(errnoError(code, QStringLiteral("Error in recvmmsg() function")));
            return false;
        }
        // Would block, or a transient report: nothing to deliver; the watch comes back when
        // something is waiting.
        f.bytesAvailable = 0;
        return false;
    }
    struct Datagram {
        QByteArray data;
        QByteArray address;
    };
    std::vector<Datagram> batch;
    batch.reserve(size_t(got));
    for (int i = 0; i < got; ++i) {
        const int length = int(messages[i].msg_len);
        if (length == 0) continue; // an empty datagram: consumed and dropped
        if ((flags_ & kDidConnect) && !sameSender(cachedConnectedAddress_, from[i])) continue;
        const int addressLen = from[i].ss_family == AF_INET    ? int(sizeof(sockaddr_in))
                               : from[i].ss_family == AF_INET6 ? int(sizeof(sockaddr_in6))
                                                               : int(messages[i].msg_hdr.msg_namelen);
        batch.push_back({QByteArray(vectors[i].iov_base ? static_cast<const char *>(vectors[i].iov_base) : nullptr,
                                    std::min(length, capacity)),
                         QByteArray(reinterpret_cast<const char *>(&from[i]),
                                    std::min<int>(addressLen, int(sizeof from[i])))});
        backlog_->take(batch.back().data.size());
    }
    if (batch.empty()) return true;
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) {
        for (const Datagram &d : batch) backlog_->release(d.data.size());
        return true;
    }
    delegateQueue_->async([delegate, self = shared_from_this(), batch = std::move(batch), backlog = backlog_] {
        for (const Datagram &d : batch) {
            delegate->udpSocketDidReceiveData(self, d.data, d.address, nullptr);
            backlog->release(d.data.size());
        }
    });
    return true;
}

void UdpSocket::deliver(QByteArray data, QByteArray address, std::shared_ptr<void> context, bool counted) {
    const int64_t size = data.size();
    if (!counted) backlog_->take(size);
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) {
        backlog_->release(size);
        return;
    }
    delegateQueue_->async([delegate, self = shared_from_this(), data = std::move(data),
                           address = std::move(address), context = std::move(context), backlog = backlog_,
                           size] {
        delegate->udpSocketDidReceiveData(self, data, address, context);
        backlog->release(size);
    });
}

// ---------------------------------------------------------------------------------------------
// Delegate

void UdpSocket::notify(std::function<void(UdpSocketDelegate &, const std::shared_ptr<UdpSocket> &)> call) {
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) return;
    auto self = shared_from_this();
    delegateQueue_->async([delegate, self, call = std::move(call)] { call(*delegate, self); });
}

// ---------------------------------------------------------------------------------------------
// Address helpers

bool UdpSocket::getHost(QString *host, uint16_t *port, int *family, const QByteArray &address) {
    auto none = [&] {
        if (host) *host = QString();
        if (port) *port = 0;
        if (family) *family = 0;
        return false;
    };
    if (address.size() < int(sizeof(sockaddr_in))) return none();
    sa_family_t f;
    std::memcpy(&f, address.constData() + offsetof(sockaddr, sa_family), sizeof f);
    if (f == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, address.constData(), sizeof sa);
        char text[INET_ADDRSTRLEN] = {};
        if (host)
            *host = ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) ? QString::fromLatin1(text)
                                                                          : QString("");
        if (port) *port = ntohs(sa.sin_port);
        if (family) *family = AF_INET;
        return true;
    }
    if (f == AF_INET6 && address.size() >= int(sizeof(sockaddr_in6))) {
        sockaddr_in6 sa;
        std::memcpy(&sa, address.constData(), sizeof sa);
        char text[INET6_ADDRSTRLEN] = {};
        if (host)
            *host = ::inet_ntop(AF_INET6, &sa.sin6_addr, text, sizeof text) ? QString::fromLatin1(text)
                                                                            : QString("");
        if (port) *port = ntohs(sa.sin6_port);
        if (family) *family = AF_INET6;
        return true;
    }
    return none();
}

QString UdpSocket::hostFromAddress(const QByteArray &address) {
    QString host;
    getHost(&host, nullptr, nullptr, address);
    return host;
}

uint16_t UdpSocket::portFromAddress(const QByteArray &address) {
    uint16_t port = 0;
    getHost(nullptr, &port, nullptr, address);
    return port;
}

int UdpSocket::familyFromAddress(const QByteArray &address) {
    int family = 0;
    getHost(nullptr, nullptr, &family, address);
    return family;
}

bool UdpSocket::isIPv4Address(const QByteArray &address) { return familyFromAddress(address) == AF_INET; }
bool UdpSocket::isIPv6Address(const QByteArray &address) { return familyFromAddress(address) == AF_INET6; }

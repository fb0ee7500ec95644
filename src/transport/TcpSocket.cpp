#include "transport/TcpSocket.h"

#include "platform/dispatch/IoRuntime.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/ReadinessSource.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/strings/Strings.h"
#include "transport/TcpReadPacket.h"
#include "transport/TcpSocketPreBuffer.h"
#include "transport/TcpSocketTls.h"
#include "transport/TcpStartTlsPacket.h"
#include "transport/TcpWritePacket.h"

#include <QFile>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The most a length read asks of one read() beyond the count the readiness event reported.
constexpr uint64_t kLengthReadStep = 1 << 20;

QString localizedText(const char *english) {
    return Strings::localized("TcpSocket", QString::fromUtf8(english));
}

socklen_t addressLength(const QByteArray &address) {
    if (address.size() >= qsizetype(sizeof(sa_family_t))) {
        sa_family_t family;
        std::memcpy(&family, address.constData(), sizeof family);
        if (family == AF_UNIX) {
            // Exact length: family plus the path and its NUL.
            const auto *un = reinterpret_cast<const sockaddr_un *>(address.constData());
            return socklen_t(offsetof(sockaddr_un, sun_path) + ::strnlen(un->sun_path, sizeof un->sun_path) +
                             1);
        }
    }
    return socklen_t(address.size());
}

int familyOf(const QByteArray &address) {
    if (address.size() < qsizetype(sizeof(sa_family_t))) return AF_UNSPEC;
    sa_family_t family;
    std::memcpy(&family, address.constData(), sizeof family);
    return family;
}

void setPort(QByteArray *address, uint16_t port) {
    if (familyOf(*address) == AF_INET && address->size() >= qsizetype(sizeof(sockaddr_in)))
        reinterpret_cast<sockaddr_in *>(address->data())->sin_port = htons(port);
    else if (familyOf(*address) == AF_INET6 && address->size() >= qsizetype(sizeof(sockaddr_in6)))
        reinterpret_cast<sockaddr_in6 *>(address->data())->sin6_port = htons(port);
}

QByteArray address4(in_addr_t addrNetworkOrder, uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = addrNetworkOrder;
    return QByteArray(reinterpret_cast<const char *>(&sin), sizeof sin);
}

QByteArray address6(const in6_addr &addr, uint16_t port) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    sin6.sin6_addr = addr;
    return QByteArray(reinterpret_cast<const char *>(&sin6), sizeof sin6);
}

bool isNumericOrLoopbackName(const QString &host) {
    if (host == QLatin1String("localhost") || host == QLatin1String("loopback")) return true;
    const QByteArray ascii = host.toLatin1();
    in_addr a4;
    in6_addr a6;
    return ::inet_pton(AF_INET, ascii.constData(), &a4) == 1 ||
           ::inet_pton(AF_INET6, ascii.constData(), &a6) == 1;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation, queue patterns, callbacks

std::shared_ptr<TcpSocket> TcpSocket::create(std::weak_ptr<TcpSocketDelegate> delegate,
                                             std::shared_ptr<dispatch::Queue> delegateQueue,
                                             std::shared_ptr<dispatch::Queue> socketQueue) {
    return std::make_shared<TcpSocket>(PrivateTag{}, std::move(delegate), std::move(delegateQueue),
                                       std::move(socketQueue));
}

TcpSocket::TcpSocket(PrivateTag, std::weak_ptr<TcpSocketDelegate> delegate,
                     std::shared_ptr<dispatch::Queue> delegateQueue,
                     std::shared_ptr<dispatch::Queue> socketQueue)
    : delegate_(std::move(delegate)), delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue) : dispatch::Queue::create("TcpSocket")),
      preBuffer_(std::make_unique<TcpSocketPreBuffer>(4096)) {
    delegateCallbacks_ = callbacksOf(delegate_);
}

uint32_t TcpSocket::callbacksOf(const std::weak_ptr<TcpSocketDelegate> &delegate) {
    const auto d = delegate.lock();
    return d ? d->implementedCallbacks() : 0;
}

void TcpSocket::assignDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    delegateCallbacks_ = callbacksOf(delegate);
    delegate_ = std::move(delegate);
}

bool TcpSocket::delegateImplements(uint32_t callback) const {
    return delegateQueue_ && (delegateCallbacks_ & callback) && !delegate_.expired();
}

TcpSocket::~TcpSocket() {
    auto body = [this] {
        flags_ |= kDealloc;
        closeWithError({});
        if (deadline_) deadline_->cancel();
    };
    if (socketQueue_->isCurrent())
        body();
    else
        socketQueue_->sync(body);
}

template <typename F> auto TcpSocket::onQueueSync(F &&body) const {
    using R = decltype(body());
    if (socketQueue_->isCurrent()) return body();
    R result{};
    socketQueue_->sync([&] { result = body(); });
    return result;
}

void TcpSocket::onQueueAsync(std::function<void()> body) {
    // Setters never wait for another queue: when no thread runs the socket queue the caller
    // runs the body itself (after whatever was queued before it) instead of waking an io thread.
    if (socketQueue_->isCurrent())
        body();
    else
        socketQueue_->asyncOrRun([self = shared_from_this(), body = std::move(body)] { body(); });
}

void TcpSocket::notify(uint32_t callback,
                       std::function<void(TcpSocketDelegate &, const std::shared_ptr<TcpSocket> &)> call) {
    // Read delegate and queue now, at the moment of the event; the socket rides along strongly
    // (null while it is being destroyed). Nothing is posted for a callback the delegate lacks.
    if (!delegateImplements(callback)) return;
    std::shared_ptr<TcpSocket> self = (flags_ & kDealloc) ? nullptr : weak_from_this().lock();
    delegateQueue_->async([weakDelegate = delegate_, self = std::move(self), call = std::move(call)] {
        if (auto d = weakDelegate.lock()) call(*d, self);
    });
}

// ---------------------------------------------------------------------------------------------
// Delegate and configuration

std::shared_ptr<TcpSocketDelegate> TcpSocket::delegate() const {
    return onQueueSync([this] { return delegate_.lock(); });
}

std::shared_ptr<dispatch::Queue> TcpSocket::delegateQueue() const {
    return onQueueSync([this] { return delegateQueue_; });
}

void TcpSocket::getDelegate(std::shared_ptr<TcpSocketDelegate> *delegate,
                            std::shared_ptr<dispatch::Queue> *delegateQueue) const {
    auto pair = onQueueSync([this] { return std::make_pair(delegate_.lock(), delegateQueue_); });
    if (delegate) *delegate = pair.first;
    if (delegateQueue) *delegateQueue = pair.second;
}

void TcpSocket::setDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    onQueueAsync([this, delegate = std::move(delegate)]() mutable { assignDelegate(std::move(delegate)); });
}

void TcpSocket::setDelegateQueue(std::shared_ptr<dispatch::Queue> delegateQueue) {
    onQueueAsync([this, delegateQueue = std::move(delegateQueue)] { delegateQueue_ = delegateQueue; });
}

void TcpSocket::setDelegate(std::weak_ptr<TcpSocketDelegate> delegate,
                            std::shared_ptr<dispatch::Queue> delegateQueue) {
    onQueueAsync([this, delegate = std::move(delegate), delegateQueue = std::move(delegateQueue)]() mutable {
        assignDelegate(std::move(delegate));
        delegateQueue_ = std::move(delegateQueue);
    });
}

void TcpSocket::synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate) {
    onQueueSync([&] {
        assignDelegate(std::move(delegate));
        return true;
    });
}

void TcpSocket::synchronouslySetDelegateQueue(std::shared_ptr<dispatch::Queue> delegateQueue) {
    onQueueSync([&] {
        delegateQueue_ = std::move(delegateQueue);
        return true;
    });
}

void TcpSocket::synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate,
                                         std::shared_ptr<dispatch::Queue> delegateQueue) {
    onQueueSync([&] {
        assignDelegate(std::move(delegate));
        delegateQueue_ = std::move(delegateQueue);
        return true;
    });
}

bool TcpSocket::isIPv4Enabled() const {
    return onQueueSync([this] { return (config_ & kIPv4Disabled) == 0; });
}
void TcpSocket::setIPv4Enabled(bool enabled) {
    onQueueAsync(
        [this, enabled] { config_ = enabled ? (config_ & ~kIPv4Disabled) : (config_ | kIPv4Disabled); });
}
bool TcpSocket::isIPv6Enabled() const {
    return onQueueSync([this] { return (config_ & kIPv6Disabled) == 0; });
}
void TcpSocket::setIPv6Enabled(bool enabled) {
    onQueueAsync(
        [this, enabled] { config_ = enabled ? (config_ & ~kIPv6Disabled) : (config_ | kIPv6Disabled); });
}
bool TcpSocket::isIPv4PreferredOverIPv6() const {
    return onQueueSync([this] { return (config_ & kPreferIPv6) == 0; });
}
void TcpSocket::setIPv4PreferredOverIPv6(bool preferred) {
    onQueueAsync(
        [this, preferred] { config_ = preferred ? (config_ & ~kPreferIPv6) : (config_ | kPreferIPv6); });
}
bool TcpSocket::autoDisconnectOnClosedReadStream() const {
    return onQueueSync([this] { return (config_ & kAllowHalfDuplexConnection) == 0; });
}
void TcpSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
    onQueueAsync([this, flag] {
        config_ = flag ? (config_ & ~kAllowHalfDuplexConnection) : (config_ | kAllowHalfDuplexConnection);
    });
}
double TcpSocket::alternateAddressDelay() const {
    return onQueueSync([this] { return alternateAddressDelay_; });
}
void TcpSocket::setAlternateAddressDelay(double seconds) {
    onQueueAsync([this, seconds] { alternateAddressDelay_ = seconds; });
}

// The socket never reads the caller's object: it is kept under its own lock, so neither call
// waits for the socket queue (the messaging server reads it in every callback).
std::shared_ptr<void> TcpSocket::userData() const {
    std::lock_guard lock(sideMutex_);
    return userData_;
}
void TcpSocket::setUserData(std::shared_ptr<void> userData) {
    std::shared_ptr<void> previous;
    std::lock_guard lock(sideMutex_);
    if (userData_ != userData) {
        previous = std::move(userData_); // released after the lock
        userData_ = std::move(userData);
    }
}

void TcpSocket::setPeer(const QByteArray &address) {
    std::lock_guard lock(sideMutex_);
    peerAddress_ = address;
}

QByteArray TcpSocket::peer() const {
    std::lock_guard lock(sideMutex_);
    return peerAddress_;
}

bool TcpSocket::isDisconnected() const {
    return onQueueSync([this] { return (flags_ & kSocketStarted) == 0; });
}
bool TcpSocket::isConnected() const {
    return onQueueSync([this] { return (flags_ & kConnected) != 0; });
}

// ---------------------------------------------------------------------------------------------
// Listening and accepting

bool TcpSocket::acceptOnPort(uint16_t port, SocketError *err) {
    return acceptOnInterface(QString(), port, err);
}

bool TcpSocket::acceptOnInterface(const QString &interface, uint16_t port, SocketError *err) {
    SocketError error;
    const bool ok = onQueueSync([&] { return doAcceptOnInterface(interface, port, &error); });
    if (!ok && err) *err = error;
    return ok;
}

int TcpSocket::createListeningSocket(const QByteArray &address, SocketError *err) {
    const int family = familyOf(address);
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errorWithErrno(errno, "Error in socket() function");
        return -1;
    }
    auto fail = [&](const char *reason) {
        *err = errorWithErrno(errno, reason);
        ::close(fd);
        return -1;
    };
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return fail("Error enabling non-blocking IO on socket (fcntl)");
    int on = 1;
    if (family != AF_UNIX && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        return fail("Error enabling address reuse (setsockopt)");
    // Linux maps IPv4 into an IPv6 any-address socket unless told otherwise; the IPv4 listener
    // owns IPv4, so the IPv6 one must not claim the same port for it.
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(address.constData()), addressLength(address)) < 0)
        return fail("Error in bind() function");
    if (::listen(fd, 1024) < 0) return fail("Error in listen() function");
    return fd;
}

void TcpSocket::startAcceptSource(int fd, std::shared_ptr<dispatch::ReadinessSource> *slot) {
    auto source = dispatch::ReadinessSource::create(fd, socketQueue_);
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    std::weak_ptr<dispatch::ReadinessSource> weakSource = source;
    source->setEventHandler(dispatch::ReadinessSource::Kind::Read, [weak, weakSource, fd] {
        auto self = weak.lock();
        auto src = weakSource.lock();
        if (!self || !src) return;
        const uint64_t pending = std::max<uint64_t>(src->data(), 1);
        uint64_t calls = 0;
        while (calls++ < pending && self->doAccept(fd)) {
        }
    });
    source->resume(dispatch::ReadinessSource::Kind::Read);
    *slot = std::move(source);
}

bool TcpSocket::doAcceptOnInterface(const QString &interface, uint16_t port, SocketError *err) {
    if (delegate_.expired()) {
        *err = badConfigError("Attempting to accept without a delegate. Set a delegate first.");
        return false;
    }
    if (!delegateQueue_) {
        *err = badConfigError("Attempting to accept without a delegate queue. Set a delegate queue first.");
        return false;
    }
    const bool v4Disabled = config_ & kIPv4Disabled;
    const bool v6Disabled = config_ & kIPv6Disabled;
    if (v4Disabled && v6Disabled) {
        *err =
            badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
        return false;
    }
    if (flags_ & kSocketStarted) {
        *err = badConfigError(
            "Attempting to accept while connected or accepting connections. Disconnect first.");
        return false;
    }
    readQueue_.clear();
    writeQueue_.clear();

    QByteArray a4, a6;
    getInterfaceAddress(&a4, &a6, interface, port);
    if (a4.isEmpty() && a6.isEmpty()) {
        *err =
            badParamError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
        return false;
    }
    if (v4Disabled && a6.isEmpty()) {
        *err = badParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
        return false;
    }
    if (v6Disabled && a4.isEmpty()) {
        *err = badParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
        return false;
    }
    const bool use4 = !v4Disabled && !a4.isEmpty();
    const bool use6 = !v6Disabled && !a6.isEmpty();
    if (use4) {
        socket4FD_ = createListeningSocket(a4, err);
        if (socket4FD_ < 0) return false;
    }
    if (use6) {
        if (use4 && portFromAddress(a6) == 0) setPort(&a6, portOf(socket4FD_, false));
        socket6FD_ = createListeningSocket(a6, err);
        if (socket6FD_ < 0) {
            if (socket4FD_ >= 0) ::close(socket4FD_);
            socket4FD_ = -1;
            return false;
        }
    }
    if (socket4FD_ >= 0) startAcceptSource(socket4FD_, &accept4Source_);
    if (socket6FD_ >= 0) startAcceptSource(socket6FD_, &accept6Source_);
    flags_ |= kSocketStarted;
    return true;
}

bool TcpSocket::acceptOnUrl(const QUrl &url, SocketError *err) {
    SocketError error;
    const bool ok = onQueueSync([&] {
        if (delegate_.expired()) {
            error = badConfigError("Attempting to accept without a delegate. Set a delegate first.");
            return false;
        }
        if (!delegateQueue_) {
            error =
                badConfigError("Attempting to accept without a delegate queue. Set a delegate queue first.");
            return false;
        }
        if (flags_ & kSocketStarted) {
            error = badConfigError(
                "Attempting to accept while connected or accepting connections. Disconnect first.");
            return false;
        }
        readQueue_.clear();
        writeQueue_.clear();
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && QFile::exists(path) && !QFile::remove(path)) {
            error = otherError("Could not remove previous unix domain socket at given url.");
            return false;
        }
        const QByteArray address = getInterfaceAddressFromUrl(url);
        if (address.isEmpty()) {
            error =
                badParamError("Invalid unix domain url. Specify a valid file url that does not exist (e.g. "
                              "\"file:///tmp/socket\")");
            return false;
        }
        socketUN_ = createListeningSocket(address, &error);
        if (socketUN_ < 0) return false;
        socketUrl_ = url;
        startAcceptSource(socketUN_, &acceptUNSource_);
        flags_ |= kSocketStarted;
        return true;
    });
    if (!ok && err) *err = error;
    return ok;
}

void TcpSocket::setMaxAcceptedConnections(int limit) {
    onQueueAsync([this, limit] {
        maxAccepted_ = std::max(0, limit);
        if (acceptAtLimit_ && (maxAccepted_ == 0 || openAccepted_ < maxAccepted_)) {
            acceptAtLimit_ = false;
            setAcceptSourcesSuspended(false);
        }
    });
}

int TcpSocket::openAcceptedConnections() const {
    return onQueueSync([this] { return openAccepted_; });
}

void TcpSocket::setAcceptSourcesSuspended(bool suspended) {
    // Suspensions nest, so the limit and the rest after running out of descriptors each undo
    // only their own.
    for (auto *src : {&accept4Source_, &accept6Source_, &acceptUNSource_})
        if (*src)
            suspended ? (*src)->suspend(dispatch::ReadinessSource::Kind::Read)
                      : (*src)->resume(dispatch::ReadinessSource::Kind::Read);
}

void TcpSocket::holdAcceptingAtLimit() {
    if (acceptAtLimit_) return;
    acceptAtLimit_ = true;
    setAcceptSourcesSuspended(true);
}

void TcpSocket::acceptedConnectionClosed() {
    if (openAccepted_ > 0) --openAccepted_;
    if (acceptAtLimit_ && openAccepted_ < maxAccepted_) {
        acceptAtLimit_ = false;
        setAcceptSourcesSuspended(false);
    }
}

void TcpSocket::pauseAccepting() {
    // Out of descriptors: the pending connection stays in the backlog and the level-triggered
    // source would fire again at once. Rest a moment instead of spinning.
    if (acceptPaused_) return;
    acceptPaused_ = true;
    setAcceptSourcesSuspended(true);
    if (!acceptPauseTimer_) {
        acceptPauseTimer_ = dispatch::TimerSource::create(socketQueue_);
        std::weak_ptr<TcpSocket> weak = weak_from_this();
        acceptPauseTimer_->setEventHandler([weak] {
            if (auto self = weak.lock()) self->resumeAccepting();
        });
        acceptPauseTimer_->resume();
    }
    acceptPauseTimer_->schedule(0.1);
}

void TcpSocket::resumeAccepting() {
    if (!acceptPaused_) return;
    acceptPaused_ = false;
    setAcceptSourcesSuspended(false);
}

bool TcpSocket::doAccept(int listenFd) {
    if (maxAccepted_ > 0 && openAccepted_ >= maxAccepted_) {
        holdAcceptingAtLimit();
        return false;
    }
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    const int childFD =
        ::accept4(listenFd, reinterpret_cast<sockaddr *>(&storage), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (childFD < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pauseAccepting();
        return false;
    }
    const QByteArray peer(reinterpret_cast<const char *>(&storage), qsizetype(len));
    const int family = storage.ss_family;
    if (!delegateQueue_) {
        // Nobody could ever hear of this connection.
        ::close(childFD);
        return true;
    }
    auto listener = weak_from_this().lock();
    // The child's place in the count; it comes back on this queue when the child lets it go.
    ++openAccepted_;
    std::shared_ptr<void> slot(nullptr, [weakListener = weak_from_this()](void *) {
        if (auto l = weakListener.lock())
            l->onQueueAsync([weakListener] {
                if (auto self = weakListener.lock()) self->acceptedConnectionClosed();
            });
    });
    delegateQueue_->async([weakDelegate = delegate_, callbacks = delegateCallbacks_,
                           delegateQueue = delegateQueue_, listener, peer, childFD, family, slot] {
        auto d = weakDelegate.lock();
        std::shared_ptr<dispatch::Queue> childQueue;
        if (d && (callbacks & TcpSocketDelegate::NewSocketQueue))
            childQueue = d->newSocketQueueForConnectionFromAddress(peer, listener);
        // The child is born with the listener's delegate, so no event of it can go unheard.
        auto child = TcpSocket::create(weakDelegate, delegateQueue, childQueue);
        if (family != AF_UNIX) child->setPeer(peer);
        // Set up on the child's queue ahead of whatever the delegate asks of it. Nothing else
        // runs that queue yet, so this thread does it at once, together with the first
        // readiness report the new watch may bring (bytes sent with the connect), instead of
        // handing that report to an io thread.
        child->socketQueue_->asyncOrRun([child, childFD, family, slot] {
            if (family == AF_INET)
                child->socket4FD_ = childFD;
            else if (family == AF_INET6)
                child->socket6FD_ = childFD;
            else
                child->socketUN_ = childFD;
            child->flags_ = kSocketStarted | kConnected;
            child->acceptSlot_ = slot;
            child->setupReadAndWriteSourcesForNewlyConnectedSocket(childFD);
        });
        if (d && (callbacks & TcpSocketDelegate::DidAcceptNewSocket))
            d->socketDidAcceptNewSocket(listener, child);
    });
    return true;
}

// ---------------------------------------------------------------------------------------------
// Connecting

bool TcpSocket::connectToHost(const QString &host, uint16_t port, SocketError *err) {
    return connectToHost(host, port, QString(), -1, err);
}

bool TcpSocket::connectToHost(const QString &host, uint16_t port, double timeout, SocketError *err) {
    return connectToHost(host, port, QString(), timeout, err);
}

bool TcpSocket::connectToHost(const QString &host, uint16_t port, const QString &interface, double timeout,
                              SocketError *err) {
    SocketError error;
    const QString hostCopy = host;
    const QString interfaceCopy = interface;
    const bool ok =
        onQueueSync([&] { return doConnectToHost(hostCopy, port, interfaceCopy, timeout, &error); });
    if (!ok && err) *err = error;
    return ok;
}

bool TcpSocket::preConnect(const QString &interface, SocketError *err) {
    if (delegate_.expired()) {
        *err = badConfigError("Attempting to connect without a delegate. Set a delegate first.");
        return false;
    }
    if (!delegateQueue_) {
        *err = badConfigError("Attempting to connect without a delegate queue. Set a delegate queue first.");
        return false;
    }
    if (flags_ & kSocketStarted) {
        *err = badConfigError(
            "Attempting to connect while connected or accepting connections. Disconnect first.");
        return false;
    }
    const bool v4Disabled = config_ & kIPv4Disabled;
    const bool v6Disabled = config_ & kIPv6Disabled;
    if (v4Disabled && v6Disabled) {
        *err =
            badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
        return false;
    }
    if (!interface.isEmpty()) {
        QByteArray a4, a6;
        getInterfaceAddress(&a4, &a6, interface, 0);
        if (a4.isEmpty() && a6.isEmpty()) {
            *err = badParamError(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return false;
        }
        if (v4Disabled && a6.isEmpty()) {
            *err = badParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
            return false;
        }
        if (v6Disabled && a4.isEmpty()) {
            *err = badParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
            return false;
        }
        connectInterface4_ = a4;
        connectInterface6_ = a6;
    }
    readQueue_.clear();
    writeQueue_.clear();
    return true;
}

bool TcpSocket::doConnectToHost(const QString &host, uint16_t port, const QString &interface, double timeout,
                                SocketError *err) {
    if (host.isEmpty()) {
        *err = badParamError(
            "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
        return false;
    }
    if (!preConnect(interface, err)) return false;
    flags_ |= kSocketStarted;
    startConnectTimeout(timeout);
    const uint64_t index = stateIndex_;
    if (isNumericOrLoopbackName(host)) {
        // Nothing to resolve: the connect starts in this pass, with no hand-off to another.
        SocketError error;
        const QList<QByteArray> addresses = lookupHost(host, port, &error);
        lookupFinished(index, addresses, error);
        return true;
    }
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    dispatch::runBlocking([weak, index, host, port] {
        if (weak.expired()) return;
        SocketError error;
        QList<QByteArray> addresses = lookupHost(host, port, &error);
        auto self = weak.lock();
        if (!self) return;
        self->socketQueue_->async([weak, index, addresses = std::move(addresses), error] {
            if (auto s = weak.lock()) s->lookupFinished(index, addresses, error);
        });
    });
    return true;
}

void TcpSocket::lookupFinished(uint64_t index, const QList<QByteArray> &addresses, const SocketError &error) {
    if (addresses.isEmpty()) {
        lookupDidFail(index, error);
        return;
    }
    QByteArray first4, first6;
    for (const QByteArray &a : addresses) {
        if (first4.isEmpty() && isIPv4Address(a)) first4 = a;
        if (first6.isEmpty() && isIPv6Address(a)) first6 = a;
    }
    lookupDidSucceed(index, first4, first6);
}

void TcpSocket::lookupDidFail(uint64_t index, const SocketError &err) {
    if (index != stateIndex_) return;
    endConnectTimeout();
    closeWithError(err);
}

void TcpSocket::lookupDidSucceed(uint64_t index, const QByteArray &a4, const QByteArray &a6) {
    if (index != stateIndex_) return;
    const bool v4Disabled = config_ & kIPv4Disabled;
    const bool v6Disabled = config_ & kIPv6Disabled;
    if (v4Disabled && a6.isEmpty()) {
        closeWithError(otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
        return;
    }
    if (v6Disabled && a4.isEmpty()) {
        closeWithError(otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
        return;
    }
    // An address of a disabled family is never connected to.
    SocketError error;
    if (!connectWithAddresses(v4Disabled ? QByteArray() : a4, v6Disabled ? QByteArray() : a6, &error))
        closeWithError(error);
}

int TcpSocket::createSocket(int family, const QByteArray &connectInterface, SocketError *err) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errorWithErrno(errno, "Error in socket() function");
        return -1;
    }
    if (!connectInterface.isEmpty()) {
        if (portFromAddress(connectInterface) != 0) {
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        if (::bind(fd, reinterpret_cast<const sockaddr *>(connectInterface.constData()),
                   addressLength(connectInterface)) < 0) {
            *err = errorWithErrno(errno, "Error in bind() function");
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

bool TcpSocket::connectWithAddresses(QByteArray a4, QByteArray a6, SocketError *err) {
    SocketError lastError;
    if (!a4.isEmpty()) socket4FD_ = createSocket(AF_INET, connectInterface4_, &lastError);
    if (!a6.isEmpty()) socket6FD_ = createSocket(AF_INET6, connectInterface6_, &lastError);
    if (socket4FD_ < 0 && socket6FD_ < 0) {
        *err = lastError.isNull() ? otherError("No address to connect to.") : lastError;
        return false;
    }
    const bool preferIPv6 = config_ & kPreferIPv6;
    int preferredFD, alternateFD;
    QByteArray preferredAddress, alternateAddress;
    if ((preferIPv6 && socket6FD_ >= 0) || socket4FD_ < 0) {
        preferredFD = socket6FD_;
        preferredAddress = a6;
        alternateFD = socket4FD_;
        alternateAddress = a4;
    } else {
        preferredFD = socket4FD_;
        preferredAddress = a4;
        alternateFD = socket6FD_;
        alternateAddress = a6;
    }
    const uint64_t index = stateIndex_;
    connectSocket(preferredFD, preferredAddress, index);
    if (alternateFD >= 0 && !alternateAddress.isEmpty()) {
        std::weak_ptr<TcpSocket> weak = weak_from_this();
        socketQueue_->after(alternateAddressDelay_, [weak, alternateFD, alternateAddress, index] {
            auto self = weak.lock();
            if (!self || index != self->stateIndex_) return;
            if (self->socket4FD_ != alternateFD && self->socket6FD_ != alternateFD) return;
            self->connectSocket(alternateFD, alternateAddress, index);
        });
    }
    return true;
}

void TcpSocket::connectSocket(int fd, const QByteArray &address, uint64_t index) {
    if (flags_ & kConnected) {
        closeSocket(fd);
        return;
    }
    // Non-blocking: the outcome arrives as write readiness on this queue, and a close cancels
    // the watch before it shuts the descriptor, so no late result can touch a reused number.
    const int rc =
        ::connect(fd, reinterpret_cast<const sockaddr *>(address.constData()), addressLength(address));
    if (rc == 0) {
        connectSocketFinished(fd, index, 0);
        return;
    }
    if (errno != EINPROGRESS && errno != EAGAIN) {
        connectSocketFinished(fd, index, errno);
        return;
    }
    // A nearby peer (loopback, the local network) has often answered by now: the outcome is
    // taken at once, with no watch whose event would have to wake an io thread.
    if (pollfd p{fd, POLLOUT, 0}; ::poll(&p, 1, 0) > 0) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) error = errno;
        connectSocketFinished(fd, index, error);
        return;
    }
    auto source = dispatch::ReadinessSource::create(fd, socketQueue_);
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    source->setEventHandler(dispatch::ReadinessSource::Kind::Write, [weak, fd, index] {
        auto self = weak.lock();
        if (!self || index != self->stateIndex_) return;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) error = errno;
        self->connectSocketFinished(fd, index, error);
    });
    source->resume(dispatch::ReadinessSource::Kind::Write);
    connectSources_.emplace_back(fd, std::move(source));
}

std::shared_ptr<dispatch::ReadinessSource> TcpSocket::takeConnectSource(int fd) {
    for (auto it = connectSources_.begin(); it != connectSources_.end(); ++it) {
        if (it->first == fd) {
            auto source = std::move(it->second);
            connectSources_.erase(it);
            return source;
        }
    }
    return nullptr;
}

void TcpSocket::cancelConnectSource(int fd) {
    if (auto source = takeConnectSource(fd)) source->cancel();
}

void TcpSocket::connectSocketFinished(int fd, uint64_t index, int error) {
    if (index != stateIndex_) return; // an old attempt: its descriptor is already closed
    if (fd != socket4FD_ && fd != socket6FD_ && fd != socketUN_) return;
    if (flags_ & kConnected) {
        closeSocket(fd);
        return;
    }
    if (error != 0) {
        closeSocket(fd);
        if (socket4FD_ < 0 && socket6FD_ < 0 && socketUN_ < 0)
            didNotConnect(index, errorWithErrno(error, "Error in connect() function"));
        return;
    }
    // The winner: drop the other family's attempt.
    if (fd == socket4FD_ && socket6FD_ >= 0) closeSocket(socket6FD_);
    if (fd == socket6FD_ && socket4FD_ >= 0) closeSocket(socket4FD_);
    // The connect's watch is not kept for the connection: its write wait left writability in
    // the reactor's registration for good, so every later wait for bytes would also wake an io
    // thread whenever the socket can take more (nearly always). A fresh one watches reading
    // only until a write has to wait.
    if (auto source = takeConnectSource(fd)) source->cancel();
    didConnect(index);
}

void TcpSocket::closeSocket(int fd) {
    if (fd < 0) return;
    cancelConnectSource(fd);
    ::close(fd);
    if (socket4FD_ == fd) socket4FD_ = -1;
    if (socket6FD_ == fd) socket6FD_ = -1;
    if (socketUN_ == fd) socketUN_ = -1;
}

void TcpSocket::didNotConnect(uint64_t index, const SocketError &err) {
    if (index != stateIndex_) return;
    closeWithError(err);
}

void TcpSocket::didConnect(uint64_t index) {
    if (index != stateIndex_) return;
    flags_ |= kConnected;
    endConnectTimeout();
    const QByteArray peer =
        socketUN_ < 0 ? addressOf(socket4FD_ >= 0 ? socket4FD_ : socket6FD_, true) : QByteArray();
    setPeer(peer);
    // The host is worked out only for a delegate that hears of it.
    const bool tellHost = !peer.isEmpty() && delegateImplements(TcpSocketDelegate::DidConnectToHost);
    const QString host = tellHost ? hostFromAddress(peer) : QString();
    const uint16_t port = tellHost ? portFromAddress(peer) : 0;
    if (!host.isEmpty()) {
        notify(TcpSocketDelegate::DidConnectToHost,
               [host, port](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                   d.socketDidConnectToHost(s, host, port);
               });
    } else if (socketUN_ >= 0) {
        QUrl url = connectedUrl();
        notify(TcpSocketDelegate::DidConnectToUrl,
               [url](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                   d.socketDidConnectToUrl(s, url);
               });
    }
    const int fd = connectedFD();
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) {
        closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }
    setupReadAndWriteSourcesForNewlyConnectedSocket(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void TcpSocket::startConnectTimeout(double timeout) {
    if (timeout < 0) return;
    connectDue_ = dueIn(timeout);
    armDeadline();
}

void TcpSocket::endConnectTimeout() {
    if (connectDue_ != kNoDeadline) {
        connectDue_ = kNoDeadline;
        armDeadline();
    }
    ++stateIndex_;
    connectInterface4_.clear();
    connectInterface6_.clear();
}

TcpSocket::Deadline TcpSocket::dueIn(double seconds) {
    // Beyond about 30 years (or not a number): no deadline at all.
    if (!(seconds < 1e9)) return kNoDeadline;
    if (seconds < 0) seconds = 0;
    return dispatch::TimerSource::Clock::now() +
           std::chrono::duration_cast<dispatch::TimerSource::Clock::duration>(
               std::chrono::duration<double>(seconds));
}

void TcpSocket::armDeadline() {
    const Deadline due = std::min({connectDue_, readDue_, writeDue_});
    if (!deadline_) {
        if (due == kNoDeadline) return;
        deadline_ = dispatch::TimerSource::create(socketQueue_);
        std::weak_ptr<TcpSocket> weak = weak_from_this();
        deadline_->setEventHandler([weak] {
            if (auto self = weak.lock()) self->deadlineExpired();
        });
        deadline_->resume();
    }
    deadline_->scheduleAt(due);
}

void TcpSocket::deadlineExpired() {
    const Deadline now = dispatch::TimerSource::Clock::now();
    // Each handler may close the socket, which clears every deadline.
    if (connectDue_ <= now) {
        connectDue_ = kNoDeadline;
        doConnectTimeout();
    }
    if (readDue_ <= now) {
        readDue_ = kNoDeadline;
        doReadTimeout();
    }
    if (writeDue_ <= now) {
        writeDue_ = kNoDeadline;
        doWriteTimeout();
    }
    armDeadline();
}

void TcpSocket::doConnectTimeout() {
    endConnectTimeout();
    closeWithError(connectTimeoutError());
}

bool TcpSocket::connectToAddress(const QByteArray &address, SocketError *err) {
    return connectToAddress(address, QString(), -1, err);
}

bool TcpSocket::connectToAddress(const QByteArray &address, double timeout, SocketError *err) {
    return connectToAddress(address, QString(), timeout, err);
}

bool TcpSocket::connectToAddress(const QByteArray &address, const QString &interface, double timeout,
                                 SocketError *err) {
    SocketError error;
    const bool ok = onQueueSync([&] {
        QByteArray a4, a6;
        if (familyOf(address) == AF_INET && address.size() == qsizetype(sizeof(sockaddr_in)))
            a4 = address;
        else if (familyOf(address) == AF_INET6 && address.size() == qsizetype(sizeof(sockaddr_in6)))
            a6 = address;
        else {
            error = badParamError("A valid IPv4 or IPv6 address was not given");
            return false;
        }
        if (!a4.isEmpty() && (config_ & kIPv4Disabled)) {
            error = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
            return false;
        }
        if (!a6.isEmpty() && (config_ & kIPv6Disabled)) {
            error = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
            return false;
        }
        if (!preConnect(interface, &error)) return false;
        // Started and timed before the attempt: a connect that fails at once ends in the
        // disconnect callback of a started socket, and one that succeeds at once ends the timer.
        flags_ |= kSocketStarted;
        startConnectTimeout(timeout);
        if (!connectWithAddresses(a4, a6, &error)) {
            // No descriptor was made: nothing started, the error goes back to the caller.
            endConnectTimeout();
            flags_ &= ~kSocketStarted;
            return false;
        }
        return true;
    });
    if (!ok && err) *err = error;
    return ok;
}

bool TcpSocket::connectWithAddressUN(const QByteArray &address, SocketError *err) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errorWithErrno(errno, "Error in socket() function");
        return false;
    }
    socketUN_ = fd;
    connectSocket(fd, address, stateIndex_);
    return true;
}

bool TcpSocket::connectToUrl(const QUrl &url, double timeout, SocketError *err) {
    SocketError error;
    const bool ok = onQueueSync([&] {
        if (url.toLocalFile().isEmpty()) {
            error = badParamError("Invalid unix domain socket url.");
            return false;
        }
        if (delegate_.expired()) {
            error = badConfigError("Attempting to connect without a delegate. Set a delegate first.");
            return false;
        }
        if (!delegateQueue_) {
            error =
                badConfigError("Attempting to connect without a delegate queue. Set a delegate queue first.");
            return false;
        }
        if (flags_ & kSocketStarted) {
            error = badConfigError(
                "Attempting to connect while connected or accepting connections. Disconnect first.");
            return false;
        }
        const QByteArray address = getInterfaceAddressFromUrl(url);
        if (address.isEmpty()) {
            error = badParamError(
                "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return false;
        }
        connectInterfaceUN_ = address;
        readQueue_.clear();
        writeQueue_.clear();
        flags_ |= kSocketStarted;
        // Timed before the attempt, which may connect at once (and then ends the timer).
        startConnectTimeout(timeout);
        if (!connectWithAddressUN(address, &error)) {
            closeWithError(error);
            return false;
        }
        return true;
    });
    if (!ok && err) *err = error;
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Closing

void TcpSocket::closeWithError(const SocketError &err) {
    endConnectTimeout();
    if (currentRead_) endCurrentRead();
    if (currentWrite_) endCurrentWrite();
    readQueue_.clear();
    writeQueue_.clear();
    preBuffer_->reset();
    if (tls_) {
        // A close_notify lets the peer tell an orderly end from a cut connection.
        if (flags_ & kSocketSecure) tls_->shutdown();
        tls_.reset();
    }
    tlsPacket_.reset();
    readsAheadOfTLS_ = writesAheadOfTLS_ = 0;
    sslErrCode_ = lastSSLHandshakeError_ = 0;
    sslWriteCachedLength_ = 0;

    // Every watch is stopped first, then each descriptor is closed at once, so a listener's port
    // is free for an immediate re-listen and no stale watch can see a reused number.
    for (auto *src : {&accept4Source_, &accept6Source_, &acceptUNSource_, &source_}) {
        if (*src) {
            (*src)->cancel();
            src->reset();
        }
    }
    for (auto &entry : connectSources_) entry.second->cancel();
    connectSources_.clear();
    if (acceptPauseTimer_) {
        acceptPauseTimer_->cancel();
        acceptPauseTimer_.reset();
    }
    acceptPaused_ = false;
    acceptAtLimit_ = false;
    // An accepted connection gives its place in the listener's count back.
    acceptSlot_.reset();
    for (int *fd : {&socket4FD_, &socket6FD_, &socketUN_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (!socketUrl_.isEmpty()) {
        ::unlink(QFile::encodeName(socketUrl_.toLocalFile()).constData());
        socketUrl_.clear();
    }
    connectInterfaceUN_.clear();

    setPeer(QByteArray());
    const bool wasStarted = flags_ & kSocketStarted;
    const bool deallocating = flags_ & kDealloc;
    socketFDBytesAvailable_ = 0;
    flags_ = deallocating ? uint32_t(kDealloc) : 0u;
    if (wasStarted) {
        notify(TcpSocketDelegate::DidDisconnect,
               [err](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                   d.socketDidDisconnect(s, err);
               });
    }
}

void TcpSocket::maybeClose() {
    bool shouldClose = false;
    if (flags_ & kDisconnectAfterReads) {
        if (readQueue_.empty() && !currentRead_) {
            if (flags_ & kDisconnectAfterWrites)
                shouldClose = writeQueue_.empty() && !currentWrite_;
            else
                shouldClose = true;
        }
    } else if (flags_ & kDisconnectAfterWrites) {
        shouldClose = writeQueue_.empty() && !currentWrite_;
    }
    if (shouldClose) closeWithError({});
}

void TcpSocket::disconnect() {
    onQueueSync([this] {
        if (flags_ & kSocketStarted) closeWithError({});
        return true;
    });
}

void TcpSocket::disconnectAfterReading() {
    socketQueue_->async([self = shared_from_this()] {
        if (!(self->flags_ & kSocketStarted)) return;
        self->flags_ |= kForbidReadsWrites | kDisconnectAfterReads;
        self->maybeClose();
    });
}

void TcpSocket::disconnectAfterWriting() {
    socketQueue_->async([self = shared_from_this()] {
        if (!(self->flags_ & kSocketStarted)) return;
        self->flags_ |= kForbidReadsWrites | kDisconnectAfterWrites;
        self->maybeClose();
    });
}

void TcpSocket::disconnectAfterReadingAndWriting() {
    socketQueue_->async([self = shared_from_this()] {
        if (!(self->flags_ & kSocketStarted)) return;
        self->flags_ |= kForbidReadsWrites | kDisconnectAfterReads | kDisconnectAfterWrites;
        self->maybeClose();
    });
}

// ---------------------------------------------------------------------------------------------
// Readiness sources of a connected descriptor

void TcpSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd) {
    using Kind = dispatch::ReadinessSource::Kind;
    // Every connection carries short exchanges (a line, its answer; a file's header before its
    // bytes): sent at once, none waits for the peer's delayed acknowledgement of the one before.
    if (socketUN_ < 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    // One watch for both directions: one registration in the reactor, no second descriptor.
    auto source = dispatch::ReadinessSource::create(fd, socketQueue_);
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    std::weak_ptr<dispatch::ReadinessSource> weakSource = source;
    source->setEventHandler(Kind::Read, [weak, weakSource] {
        auto self = weak.lock();
        auto src = weakSource.lock();
        if (!self || !src || self->source_ != src) return;
        self->socketFDBytesAvailable_ = src->data();
        if (self->socketFDBytesAvailable_ > 0) {
            self->doReadData();
            return;
        }
        // No bytes: an end of stream, or a stale event whose bytes a read in between already
        // took. Readability alone cannot tell them apart (new bytes may have come since the
        // count), so the stream is asked: a peeked end is an end, a peeked byte is data.
        char probe;
        const ssize_t peeked = ::recv(src->descriptor(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked > 0) {
            int available = 0;
            self->socketFDBytesAvailable_ =
                ::ioctl(src->descriptor(), FIONREAD, &available) == 0 && available > 0 ? uint64_t(available)
                                                                                       : 1;
            self->doReadData();
        } else if (peeked == 0) {
            self->doReadEOF();
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            self->doReadError(errno);
        }
    });
    source->setEventHandler(Kind::Write, [weak, weakSource] {
        auto self = weak.lock();
        auto src = weakSource.lock();
        if (!self || !src || self->source_ != src) return;
        self->flags_ |= kSocketCanAcceptBytes;
        self->doWriteData();
    });
    source_ = std::move(source);
    socketFDBytesAvailable_ = 0;
    flags_ &= ~kReadSourceSuspended;
    source_->resume(Kind::Read);
    // The write side waits until a write finds the socket full.
    flags_ |= kSocketCanAcceptBytes | kWriteSourceSuspended;
}

void TcpSocket::suspendReadSource() {
    if (!(flags_ & kReadSourceSuspended) && source_) {
        source_->suspend(dispatch::ReadinessSource::Kind::Read);
        flags_ |= kReadSourceSuspended;
    }
}

void TcpSocket::resumeReadSource() {
    if ((flags_ & kReadSourceSuspended) && source_) {
        source_->resume(dispatch::ReadinessSource::Kind::Read);
        flags_ &= ~kReadSourceSuspended;
    }
}

void TcpSocket::suspendWriteSource() {
    if (!(flags_ & kWriteSourceSuspended) && source_) {
        source_->suspend(dispatch::ReadinessSource::Kind::Write);
        flags_ |= kWriteSourceSuspended;
    }
}

void TcpSocket::resumeWriteSource() {
    if ((flags_ & kWriteSourceSuspended) && source_) {
        source_->resume(dispatch::ReadinessSource::Kind::Write);
        flags_ &= ~kWriteSourceSuspended;
    }
}

int TcpSocket::connectedFD() const {
    if (socket4FD_ >= 0) return socket4FD_;
    if (socket6FD_ >= 0) return socket6FD_;
    return socketUN_;
}

// ---------------------------------------------------------------------------------------------
// Read requests

void TcpSocket::enqueueRead(std::shared_ptr<TcpReadPacket> packet) {
    // Run at once when the socket queue is idle: the read engine never blocks, and a hand-off
    // to an io thread costs a thread wake-up per request.
    socketQueue_->asyncOrRun([self = shared_from_this(), packet = std::move(packet)] {
        if ((self->flags_ & kSocketStarted) && !(self->flags_ & kForbidReadsWrites)) {
            self->readQueue_.push_back(packet);
            self->maybeDequeueRead();
        }
    });
}

void TcpSocket::readDataWithTimeout(double timeout, long tag) {
    readDataWithTimeout(timeout, nullptr, 0, 0, tag);
}

void TcpSocket::readDataWithTimeout(double timeout, QByteArray *buffer, size_t offset, long tag) {
    readDataWithTimeout(timeout, buffer, offset, 0, tag);
}

void TcpSocket::readDataWithTimeout(double timeout, QByteArray *buffer, size_t offset, size_t maxLength,
                                    long tag) {
    if (offset > (buffer ? size_t(buffer->size()) : 0)) return;
    enqueueRead(std::make_shared<TcpReadPacket>(buffer, offset, maxLength, timeout, 0, QByteArray(), tag));
}

void TcpSocket::readDataToLength(size_t length, double timeout, long tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void TcpSocket::readDataToLength(size_t length, double timeout, QByteArray *buffer, size_t offset, long tag) {
    if (length == 0) return;
    if (offset > (buffer ? size_t(buffer->size()) : 0)) return;
    enqueueRead(std::make_shared<TcpReadPacket>(buffer, offset, 0, timeout, length, QByteArray(), tag));
}

void TcpSocket::readDataToData(const QByteArray &terminator, double timeout, long tag) {
    readDataToData(terminator, timeout, nullptr, 0, 0, tag);
}

void TcpSocket::readDataToData(const QByteArray &terminator, double timeout, QByteArray *buffer,
                               size_t offset, long tag) {
    readDataToData(terminator, timeout, buffer, offset, 0, tag);
}

void TcpSocket::readDataToData(const QByteArray &terminator, double timeout, size_t maxLength, long tag) {
    readDataToData(terminator, timeout, nullptr, 0, maxLength, tag);
}

void TcpSocket::readDataToData(const QByteArray &terminator, double timeout, QByteArray *buffer,
                               size_t offset, size_t maxLength, long tag) {
    if (terminator.isEmpty()) return;
    if (offset > (buffer ? size_t(buffer->size()) : 0)) return;
    if (maxLength > 0 && maxLength < size_t(terminator.size())) return;
    // The terminator is copied (detached) so the caller may reuse its own.
    QByteArray term(terminator.constData(), terminator.size());
    enqueueRead(std::make_shared<TcpReadPacket>(buffer, offset, maxLength, timeout, 0, std::move(term), tag));
}

float TcpSocket::progressOfReadReturningTag(long *tag, uint64_t *done, uint64_t *total) const {
    struct Progress {
        bool any = false;
        long tag = 0;
        uint64_t done = 0, total = 0;
    };
    const Progress p = onQueueSync([this] {
        Progress r;
        if (currentRead_) r = {true, currentRead_->tag, currentRead_->bytesDone, currentRead_->readLength};
        return r;
    });
    if (tag) *tag = p.tag;
    if (done) *done = p.done;
    if (total) *total = p.total;
    if (!p.any) return NAN;
    return p.total > 0 ? float(double(p.done) / double(p.total)) : 1.0f;
}

// ---------------------------------------------------------------------------------------------
// Read engine

void TcpSocket::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & kConnected)) return;
    if ((flags_ & kQueuedTLS) && !(flags_ & kSocketSecure) && readsAheadOfTLS_ == 0) {
        // The start-TLS marker heads the read queue.
        if (!(flags_ & kReadSideAwaitingTLS)) {
            flags_ |= kReadSideAwaitingTLS;
            maybeStartTLS();
        }
        return;
    }
    if (!readQueue_.empty()) {
        if ((flags_ & kQueuedTLS) && readsAheadOfTLS_ > 0) --readsAheadOfTLS_;
        currentRead_ = readQueue_.front();
        readQueue_.pop_front();
        setupReadTimerWithTimeout(currentRead_->timeout);
        doReadData();
    } else if (flags_ & kDisconnectAfterReads) {
        if (flags_ & kDisconnectAfterWrites) {
            if (writeQueue_.empty() && !currentWrite_) closeWithError({});
        } else {
            closeWithError({});
        }
    }
}

void TcpSocket::doReadData() {
    if (flags_ & (kReadSideAwaitingTLS | kSocketSecure)) {
        doReadDataTls();
        return;
    }
    if (!currentRead_ || (flags_ & kReadsPaused)) {
        // The bytes wait in the kernel until a read is queued.
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }
    const uint64_t estimatedBytesAvailable = socketFDBytesAvailable_;
    if (estimatedBytesAvailable == 0 && preBuffer_->availableBytes() == 0) {
        resumeReadSource();
        return;
    }
    const std::shared_ptr<TcpReadPacket> packetHolder = currentRead_;
    TcpReadPacket &pkt = *packetHolder;
    const bool isTermRead = !pkt.term.isEmpty();
    bool done = false;
    SocketError error;
    uint64_t totalBytesReadForCurrentRead = 0;

    auto copyFromPreBuffer = [&](uint64_t bytesToCopy) {
        pkt.ensureCapacityForAdditionalDataOfLength(bytesToCopy);
        std::memcpy(pkt.writePointer(), preBuffer_->readBuffer(), bytesToCopy);
        preBuffer_->didRead(bytesToCopy);
        pkt.bytesDone += bytesToCopy;
        totalBytesReadForCurrentRead += bytesToCopy;
    };

    // 1. What was read ahead.
    if (preBuffer_->availableBytes() > 0) {
        uint64_t bytesToCopy;
        if (isTermRead)
            bytesToCopy = pkt.readLengthForTermWithPreBuffer(*preBuffer_, &done);
        else
            bytesToCopy = pkt.readLengthForNonTermWithHint(preBuffer_->availableBytes());
        copyFromPreBuffer(bytesToCopy);
        if (pkt.readLength > 0) {
            done = pkt.bytesDone == pkt.readLength;
        } else if (isTermRead) {
            if (!done && pkt.maxLength > 0 && pkt.bytesDone >= pkt.maxLength) error = readMaxedOutError();
        } else {
            done = pkt.maxLength > 0 && pkt.bytesDone == pkt.maxLength;
        }
    }

    // 2. The socket.
    bool socketEOF = flags_ & kSocketHasReadEOF;
    bool waiting = !done && error.isNull() && !socketEOF && estimatedBytesAvailable == 0;
    if (!done && error.isNull() && !socketEOF && estimatedBytesAvailable > 0) {
        bool readIntoPreBuffer = false;
        uint64_t bytesToRead;
        if (isTermRead)
            bytesToRead = pkt.readLengthForTermWithHint(estimatedBytesAvailable, &readIntoPreBuffer);
        else if (pkt.readLength > 0)
            // A length read asks for what it still lacks (bounded, as the buffer grows to it):
            // the read does not block and returns what has arrived by then, often more than the
            // count taken at the event, which saves a pass through the readiness watch per chunk.
            bytesToRead = std::min<uint64_t>(pkt.readLength - pkt.bytesDone,
                                             std::max<uint64_t>(estimatedBytesAvailable, kLengthReadStep));
        else
            bytesToRead = pkt.readLengthForNonTermWithHint(estimatedBytesAvailable);
        char *buffer;
        if (readIntoPreBuffer) {
            preBuffer_->ensureCapacityForWrite(bytesToRead);
            buffer = preBuffer_->writeBuffer();
        } else {
            pkt.ensureCapacityForAdditionalDataOfLength(bytesToRead);
            buffer = pkt.writePointer();
        }
        uint64_t bytesRead = 0;
        const ssize_t result = bytesToRead > 0 ? ::read(connectedFD(), buffer, bytesToRead) : 0;
        if (bytesToRead == 0) {
            // Nothing this request may take (a bound reached): not an end of stream.
        } else if (result < 0) {
            if (errno == EWOULDBLOCK || errno == EAGAIN)
                waiting = true;
            else
                error = errorWithErrno(errno, "Error in read() function");
            socketFDBytesAvailable_ = 0;
        } else if (result == 0) {
            socketEOF = true;
            socketFDBytesAvailable_ = 0;
        } else {
            bytesRead = uint64_t(result);
            if (bytesRead < bytesToRead)
                socketFDBytesAvailable_ = 0;
            else
                socketFDBytesAvailable_ -= std::min(bytesRead, socketFDBytesAvailable_);
            if (socketFDBytesAvailable_ == 0) waiting = true;
        }

        if (bytesRead > 0) {
            if (pkt.readLength > 0) {
                pkt.bytesDone += bytesRead;
                totalBytesReadForCurrentRead += bytesRead;
                done = pkt.bytesDone == pkt.readLength;
            } else if (isTermRead) {
                if (readIntoPreBuffer) {
                    preBuffer_->didWrite(bytesRead);
                    const uint64_t bytesToCopy = pkt.readLengthForTermWithPreBuffer(*preBuffer_, &done);
                    copyFromPreBuffer(bytesToCopy);
                } else {
                    const int64_t overflow = pkt.searchForTermAfterPreBuffering(bytesRead);
                    if (overflow == 0) {
                        pkt.bytesDone += bytesRead;
                        totalBytesReadForCurrentRead += bytesRead;
                        done = true;
                    } else if (overflow > 0) {
                        // Bytes past the terminator belong to the next request.
                        const uint64_t underflow = bytesRead - uint64_t(overflow);
                        preBuffer_->ensureCapacityForWrite(uint64_t(overflow));
                        std::memcpy(preBuffer_->writeBuffer(), pkt.writePointer() + underflow,
                                    size_t(overflow));
                        preBuffer_->didWrite(uint64_t(overflow));
                        pkt.bytesDone += underflow;
                        totalBytesReadForCurrentRead += underflow;
                        done = true;
                    } else {
                        pkt.bytesDone += bytesRead;
                        totalBytesReadForCurrentRead += bytesRead;
                    }
                }
                if (!done && pkt.maxLength > 0 && pkt.bytesDone >= pkt.maxLength) error = readMaxedOutError();
            } else {
                pkt.bytesDone += bytesRead;
                totalBytesReadForCurrentRead += bytesRead;
                done = true;
            }
        }
    }

    if (!done && pkt.readLength == 0 && !isTermRead && totalBytesReadForCurrentRead > 0) done = true;

    if (done) {
        completeCurrentRead();
        if (!error.isNull()) {
            closeWithError(error);
        } else if (socketEOF && preBuffer_->availableBytes() == 0) {
            doReadEOF();
        } else {
            maybeDequeueRead();
            if (!(flags_ & kConnected)) return;
            if (socketEOF)
                doReadEOF();
            else if (waiting)
                resumeReadSource();
        }
        return;
    }
    if (totalBytesReadForCurrentRead > 0) {
        const long tag = pkt.tag;
        const size_t length = size_t(totalBytesReadForCurrentRead);
        notify(TcpSocketDelegate::DidReadPartialData,
               [length, tag](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                   d.socketDidReadPartialDataOfLength(s, length, tag);
               });
        waiting = true;
    }
    if (!error.isNull())
        closeWithError(error);
    else if (socketEOF)
        doReadEOF();
    else if (waiting)
        resumeReadSource();
}

void TcpSocket::doReadError(int code) {
    // A reset is no end of stream: the peer did not close in order, and a caller that waits for
    // an answer must be able to tell the two apart. The kernel reports the reset once, so it is
    // reported here or never. TLS keeps its own account of how the stream ended.
    if (flags_ & (kReadSideAwaitingTLS | kWriteSideAwaitingTLS | kSocketSecure)) {
        doReadEOF();
        return;
    }
    if (!(flags_ & kConnected)) return;
    closeWithError(errorWithErrno(code, "Error in read() function"));
}

void TcpSocket::doReadEOF() {
    if (!(flags_ & kConnected)) return;
    if (flags_ & (kReadSideAwaitingTLS | kWriteSideAwaitingTLS)) {
        closeWithError(sslFailure(tlsstatus::kClosedAbort));
        return;
    }
    flags_ |= kSocketHasReadEOF;
    if (flags_ & kSocketSecure) {
        // Records OpenSSL still holds come before the end.
        SocketError error;
        flushSSLBuffers(&error);
        if (!error.isNull()) {
            closeWithError(error);
            return;
        }
        if (currentRead_ && preBuffer_->availableBytes() > 0) {
            doReadDataTls();
            return;
        }
    }
    bool shouldDisconnect = false;
    if (flags_ & kReadStreamClosed) {
        // Already told; nothing more to do.
    } else if (preBuffer_->availableBytes() > 0) {
        // The queued reads drain what is left first.
    } else if (config_ & kAllowHalfDuplexConnection) {
        pollfd pfd{connectedFD(), POLLOUT, 0};
        ::poll(&pfd, 1, 0);
        if (pfd.revents & POLLOUT) {
            flags_ |= kReadStreamClosed;
            notify(TcpSocketDelegate::DidCloseReadStream,
                   [](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                       d.socketDidCloseReadStream(s);
                   });
        } else {
            shouldDisconnect = true;
        }
    } else {
        shouldDisconnect = true;
    }
    if (shouldDisconnect) {
        const bool tlsFailure =
            (flags_ & kSocketSecure) && sslErrCode_ != 0 && sslErrCode_ != tlsstatus::kClosedGraceful;
        closeWithError(tlsFailure ? sslFailure(sslErrCode_) : connectionClosedError());
    } else {
        suspendReadSource();
    }
}

void TcpSocket::completeCurrentRead() {
    TcpReadPacket &pkt = *currentRead_;
    QByteArray result;
    if (pkt.bufferOwner) {
        pkt.buffer().resize(qsizetype(pkt.bytesDone));
        result = pkt.buffer();
    } else {
        QByteArray &buffer = pkt.buffer();
        const uint64_t end = pkt.startOffset + pkt.bytesDone;
        if (uint64_t(buffer.size()) > pkt.originalBufferLength)
            buffer.resize(qsizetype(std::max(end, pkt.originalBufferLength)));
        // Shared when the read filled the whole buffer, else a copy of the bytes read: the
        // delegate never holds a view into memory the caller may free.
        result = (pkt.startOffset == 0 && end == uint64_t(buffer.size()))
                     ? buffer
                     : buffer.mid(qsizetype(pkt.startOffset), qsizetype(pkt.bytesDone));
    }
    const long tag = pkt.tag;
    notify(TcpSocketDelegate::DidReadData,
           [result, tag](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
               d.socketDidReadData(s, result, tag);
           });
    endCurrentRead();
}

void TcpSocket::endCurrentRead() {
    if (readDue_ != kNoDeadline) {
        readDue_ = kNoDeadline;
        armDeadline();
    }
    currentRead_.reset();
}

void TcpSocket::setupReadTimerWithTimeout(double timeout) {
    if (timeout < 0) return;
    readDue_ = dueIn(timeout);
    armDeadline();
}

void TcpSocket::doReadTimeout() {
    if (!currentRead_) return;
    flags_ |= kReadsPaused;
    if (!delegateImplements(TcpSocketDelegate::ShouldTimeoutRead)) {
        doReadTimeoutWithExtension(0);
        return;
    }
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    std::weak_ptr<TcpReadPacket> packet = currentRead_;
    const long tag = currentRead_->tag;
    const double elapsed = currentRead_->timeout;
    const size_t bytesDone = size_t(currentRead_->bytesDone);
    delegateQueue_->async([weakDelegate = delegate_, self = weak_from_this().lock(), weak, packet, tag,
                           elapsed, bytesDone, socketQueue = socketQueue_] {
        double extension = 0;
        if (auto dd = weakDelegate.lock())
            extension = dd->socketShouldTimeoutReadWithTag(self, tag, elapsed, bytesDone);
        socketQueue->async([weak, packet, extension] {
            auto s = weak.lock();
            // Only for the read that asked: a close and a new read meanwhile get nothing of it.
            if (s && s->currentRead_ && s->currentRead_ == packet.lock())
                s->doReadTimeoutWithExtension(extension);
        });
    });
}

void TcpSocket::doReadTimeoutWithExtension(double extension) {
    if (!currentRead_) return;
    if (extension > 0) {
        currentRead_->timeout += extension;
        readDue_ = dueIn(extension);
        armDeadline();
        flags_ &= ~kReadsPaused;
        doReadData();
    } else {
        closeWithError(readTimeoutError());
    }
}

// ---------------------------------------------------------------------------------------------
// Write requests and engine

void TcpSocket::writeData(const QByteArray &data, double timeout, long tag) {
    if (data.isEmpty()) return;
    auto packet = std::make_shared<TcpWritePacket>(data, timeout, tag);
    socketQueue_->asyncOrRun([self = shared_from_this(), packet] {
        if ((self->flags_ & kSocketStarted) && !(self->flags_ & kForbidReadsWrites)) {
            self->writeQueue_.push_back(packet);
            self->maybeDequeueWrite();
        }
    });
}

float TcpSocket::progressOfWriteReturningTag(long *tag, uint64_t *done, uint64_t *total) const {
    struct Progress {
        bool any = false;
        long tag = 0;
        uint64_t done = 0, total = 0;
    };
    const Progress p = onQueueSync([this] {
        Progress r;
        if (currentWrite_)
            r = {true, currentWrite_->tag, currentWrite_->bytesDone, uint64_t(currentWrite_->buffer.size())};
        return r;
    });
    if (tag) *tag = p.tag;
    if (done) *done = p.done;
    if (total) *total = p.total;
    if (!p.any) return NAN;
    return p.total > 0 ? float(double(p.done) / double(p.total)) : 1.0f;
}

void TcpSocket::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & kConnected)) return;
    if ((flags_ & kQueuedTLS) && !(flags_ & kSocketSecure) && writesAheadOfTLS_ == 0) {
        if (!(flags_ & kWriteSideAwaitingTLS)) {
            flags_ |= kWriteSideAwaitingTLS;
            maybeStartTLS();
        }
        return;
    }
    if (!writeQueue_.empty()) {
        if ((flags_ & kQueuedTLS) && writesAheadOfTLS_ > 0) --writesAheadOfTLS_;
        currentWrite_ = writeQueue_.front();
        writeQueue_.pop_front();
        setupWriteTimerWithTimeout(currentWrite_->timeout);
        doWriteData();
    } else if (flags_ & kDisconnectAfterWrites) {
        if (flags_ & kDisconnectAfterReads) {
            if (readQueue_.empty() && !currentRead_) closeWithError({});
        } else {
            closeWithError({});
        }
    }
}

void TcpSocket::doWriteData() {
    if (flags_ & (kWriteSideAwaitingTLS | kSocketSecure)) {
        doWriteDataTls();
        return;
    }
    if (!currentWrite_ || (flags_ & kWritesPaused)) {
        if (flags_ & kSocketCanAcceptBytes) suspendWriteSource();
        return;
    }
    if (!(flags_ & kSocketCanAcceptBytes)) {
        resumeWriteSource();
        return;
    }
    TcpWritePacket &pkt = *currentWrite_;
    const char *buffer = pkt.buffer.constData() + pkt.bytesDone;
    const size_t bytesToWrite = size_t(uint64_t(pkt.buffer.size()) - pkt.bytesDone);
    bool waiting = false;
    SocketError error;
    uint64_t bytesWritten = 0;
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE here, never a SIGPIPE for the process.
    const ssize_t result = ::send(connectedFD(), buffer, bytesToWrite, MSG_NOSIGNAL);
    if (result < 0) {
        if (errno == EWOULDBLOCK || errno == EAGAIN)
            waiting = true;
        else
            error = errorWithErrno(errno, "Error in write() function");
    } else {
        bytesWritten = uint64_t(result);
    }
    if (waiting) {
        flags_ &= ~kSocketCanAcceptBytes;
        resumeWriteSource();
    }
    bool done = false;
    if (bytesWritten > 0) {
        pkt.bytesDone += bytesWritten;
        done = pkt.bytesDone == uint64_t(pkt.buffer.size());
    }
    if (done) {
        completeCurrentWrite();
        if (error.isNull()) {
            std::weak_ptr<TcpSocket> weak = weak_from_this();
            socketQueue_->async([weak] {
                if (auto self = weak.lock()) self->maybeDequeueWrite();
            });
        }
    } else {
        if (!waiting && error.isNull()) {
            flags_ &= ~kSocketCanAcceptBytes;
            resumeWriteSource();
        }
        if (bytesWritten > 0) {
            const long tag = pkt.tag;
            const size_t length = size_t(bytesWritten);
            notify(TcpSocketDelegate::DidWritePartialData,
                   [length, tag](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                       d.socketDidWritePartialDataOfLength(s, length, tag);
                   });
        }
    }
    if (!error.isNull()) closeWithError(error);
}

void TcpSocket::completeCurrentWrite() {
    const long tag = currentWrite_->tag;
    notify(TcpSocketDelegate::DidWriteData, [tag](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
        d.socketDidWriteData(s, tag);
    });
    endCurrentWrite();
}

void TcpSocket::endCurrentWrite() {
    if (writeDue_ != kNoDeadline) {
        writeDue_ = kNoDeadline;
        armDeadline();
    }
    currentWrite_.reset();
}

void TcpSocket::setupWriteTimerWithTimeout(double timeout) {
    if (timeout < 0) return;
    writeDue_ = dueIn(timeout);
    armDeadline();
}

void TcpSocket::doWriteTimeout() {
    if (!currentWrite_) return;
    flags_ |= kWritesPaused;
    if (!delegateImplements(TcpSocketDelegate::ShouldTimeoutWrite)) {
        doWriteTimeoutWithExtension(0);
        return;
    }
    std::weak_ptr<TcpSocket> weak = weak_from_this();
    std::weak_ptr<TcpWritePacket> packet = currentWrite_;
    const long tag = currentWrite_->tag;
    const double elapsed = currentWrite_->timeout;
    const size_t bytesDone = size_t(currentWrite_->bytesDone);
    delegateQueue_->async([weakDelegate = delegate_, self = weak_from_this().lock(), weak, packet, tag,
                           elapsed, bytesDone, socketQueue = socketQueue_] {
        double extension = 0;
        if (auto dd = weakDelegate.lock())
            extension = dd->socketShouldTimeoutWriteWithTag(self, tag, elapsed, bytesDone);
        socketQueue->async([weak, packet, extension] {
            auto s = weak.lock();
            if (s && s->currentWrite_ && s->currentWrite_ == packet.lock())
                s->doWriteTimeoutWithExtension(extension);
        });
    });
}

void TcpSocket::doWriteTimeoutWithExtension(double extension) {
    if (!currentWrite_) return;
    if (extension > 0) {
        currentWrite_->timeout += extension;
        writeDue_ = dueIn(extension);
        armDeadline();
        flags_ &= ~kWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}

// ---------------------------------------------------------------------------------------------
// TLS

bool TcpSocket::startTLS(const QVariantMap &settings, SocketError *err) {
    if (err) *err = SocketError();
    auto packet = std::make_shared<TcpStartTlsPacket>(settings);
    socketQueue_->asyncOrRun([self = shared_from_this(), packet] {
        const uint32_t f = self->flags_;
        if (!(f & kSocketStarted) || (f & (kForbidReadsWrites | kQueuedTLS))) return;
        self->tlsPacket_ = packet;
        self->readsAheadOfTLS_ = self->readQueue_.size();
        self->writesAheadOfTLS_ = self->writeQueue_.size();
        self->flags_ |= kQueuedTLS;
        self->maybeDequeueRead();
        self->maybeDequeueWrite();
    });
    return true;
}

void *TcpSocket::sslContext() const {
    if (!socketQueue_->isCurrent() || !tls_) return nullptr;
    return tls_->handle();
}

void TcpSocket::maybeStartTLS() {
    if ((flags_ & kReadSideAwaitingTLS) && (flags_ & kWriteSideAwaitingTLS)) sslStartTLS();
}

void TcpSocket::sslStartTLS() {
    if (!tlsPacket_) {
        closeWithError(otherError(localizedText("Logic error")));
        return;
    }
    QString failure;
    // The session lives no longer than the socket's own state, so plain pointers suffice.
    tls_ = TcpSocketTls::create(
        tlsPacket_->tlsSettings, [this](char *b, size_t n) { return sslReadWithBuffer(b, n); },
        [this](const char *b, size_t n) { return sslWriteWithBuffer(b, n); }, &failure);
    if (!tls_) {
        closeWithError(otherError(failure));
        return;
    }
    // Bytes read ahead in plain text are already the peer's first handshake records.
    if (const size_t n = preBuffer_->availableBytes(); n > 0) {
        TcpSocketPreBuffer &pre = tls_->preBuffer();
        pre.ensureCapacityForWrite(n);
        std::memcpy(pre.writeBuffer(), preBuffer_->readBuffer(), n);
        pre.didWrite(n);
        preBuffer_->reset();
    }
    sslErrCode_ = 0;
    lastSSLHandshakeError_ = 0;
    sslContinueHandshake();
}

void TcpSocket::sslContinueHandshake() {
    const int status = tls_->handshake();
    lastSSLHandshakeError_ = status;
    if (status == tlsstatus::kNoErr) {
        flags_ &= ~(kReadSideAwaitingTLS | kWriteSideAwaitingTLS);
        flags_ |= kSocketSecure;
        tlsPacket_.reset();
        notify(TcpSocketDelegate::DidSecure,
               [](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) { d.socketDidSecure(s); });
        maybeDequeueRead();
        if (!(flags_ & kConnected)) return;
        maybeDequeueWrite();
        if ((flags_ & kConnected) && !currentRead_) resumeReadSource();
        return;
    }
    if (status == tlsstatus::kWouldBlock) {
        // The transport functions armed the watch the engine waits for; the other one stays
        // quiet (a writable socket would otherwise wake the queue without end).
        if (tls_->wantsWrite())
            suspendReadSource();
        else
            suspendWriteSource();
        return;
    }
    if (status == tlsstatus::kPeerAuthCompleted) {
        suspendReadSource();
        suspendWriteSource();
        if (!tls_->peerNameMatches()) {
            closeWithError(sslFailure(tlsstatus::kHostNameMismatch));
            return;
        }
        const QList<QByteArray> chain = tls_->peerCertificates();
        if (chain.isEmpty()) {
            closeWithError(sslFailure(tlsstatus::kPeerBadCert));
            return;
        }
        const uint64_t index = stateIndex_;
        std::weak_ptr<TcpSocket> weak = weak_from_this();
        auto answer = [weak, index](bool yes) {
            auto s = weak.lock();
            if (!s) return;
            s->socketQueue_->async([weak, index, yes] {
                if (auto self = weak.lock()) self->sslShouldTrustPeer(yes, index);
            });
        };
        auto unanswered = [weak, index] {
            auto s = weak.lock();
            if (!s) return;
            s->socketQueue_->async([weak, index] {
                auto self = weak.lock();
                if (!self || index != self->stateIndex_ || !self->tls_) return;
                self->closeWithError(otherError(
                    localizedText("TcpSocketManuallyEvaluateTrust specified in tlsSettings, but delegate "
                                  "doesn't implement socket:shouldTrustPeer:")));
            });
        };
        if (!delegateImplements(TcpSocketDelegate::DidReceiveTrust)) {
            unanswered();
            return;
        }
        delegateQueue_->async(
            [weakDelegate = delegate_, self = shared_from_this(), chain, answer, unanswered] {
                auto dd = weakDelegate.lock();
                if (!dd || !dd->socketDidReceiveTrust(self, chain, answer)) unanswered();
            });
        return;
    }
    closeWithError(sslFailure(status));
}

void TcpSocket::sslShouldTrustPeer(bool shouldTrust, uint64_t index) {
    // Only the first answer for the trust offered counts.
    if (index != stateIndex_ || !tls_ || lastSSLHandshakeError_ != tlsstatus::kPeerAuthCompleted) return;
    ++stateIndex_;
    if (!shouldTrust) {
        closeWithError(sslFailure(tlsstatus::kPeerBadCert));
        return;
    }
    tls_->setTrusted();
    sslContinueHandshake();
}

long TcpSocket::sslReadWithBuffer(char *buffer, size_t length) {
    const ssize_t n = ::recv(connectedFD(), buffer, length, MSG_DONTWAIT);
    if (n > 0) {
        socketFDBytesAvailable_ -= std::min<uint64_t>(uint64_t(n), socketFDBytesAvailable_);
        return long(n);
    }
    socketFDBytesAvailable_ = 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        resumeReadSource();
        return 0;
    }
    return -1;
}

long TcpSocket::sslWriteWithBuffer(const char *buffer, size_t length) {
    if (!(flags_ & kSocketCanAcceptBytes)) {
        resumeWriteSource();
        return 0;
    }
    // MSG_NOSIGNAL: a vanished peer gives EPIPE, never a SIGPIPE.
    const ssize_t n = ::send(connectedFD(), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) return long(n);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    flags_ &= ~kSocketCanAcceptBytes;
    resumeWriteSource();
    return 0;
}

SocketError TcpSocket::sslFailure(int status) const {
    const SocketError base = sslError(status);
    if (!tls_ || tls_->lastFailureText().isEmpty()) return base;
    QVariantMap info = base.userInfo();
    info.insert(QStringLiteral("OpenSSLErrors"), tls_->lastFailureText());
    return SocketError(base.domain(), base.code(), tls_->lastFailureText(), info);
}

void TcpSocket::flushSSLBuffers(SocketError *err) {
    // Decrypts what the descriptor and OpenSSL hold into the pre-buffer, bounded so that a fast
    // peer cannot grow it without end; the rest waits in the kernel.
    constexpr size_t kMostBuffered = 1 << 20;
    constexpr size_t kStep = 16384;
    if (!tls_) return;
    while (preBuffer_->availableBytes() < kMostBuffered) {
        preBuffer_->ensureCapacityForWrite(kStep);
        size_t got = 0;
        const int status = tls_->read(preBuffer_->writeBuffer(), preBuffer_->availableSpace(), &got);
        if (got > 0) preBuffer_->didWrite(got);
        if (status == tlsstatus::kNoErr) continue;
        if (status == tlsstatus::kWouldBlock) break;
        if (status == tlsstatus::kClosedGraceful || status == tlsstatus::kClosedAbort) {
            sslErrCode_ = status;
            flags_ |= kSocketHasReadEOF;
            break;
        }
        *err = sslFailure(status);
        break;
    }
}

void TcpSocket::doReadDataTls() {
    if (flags_ & kReadSideAwaitingTLS) {
        if ((flags_ & kWriteSideAwaitingTLS) && lastSSLHandshakeError_ == tlsstatus::kWouldBlock)
            sslContinueHandshake();
        else
            suspendReadSource();
        return;
    }
    if (!currentRead_ || (flags_ & kReadsPaused)) {
        // Decrypt ahead (bounded) so that the peer's close_notify and end are seen with no read
        // outstanding, as on a plain socket.
        if (!currentRead_) {
            SocketError error;
            flushSSLBuffers(&error);
            if (!error.isNull()) {
                closeWithError(error);
                return;
            }
            if ((flags_ & kSocketHasReadEOF) && preBuffer_->availableBytes() == 0) {
                doReadEOF();
                return;
            }
        }
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }
    const std::shared_ptr<TcpReadPacket> packetHolder = currentRead_;
    TcpReadPacket &pkt = *packetHolder;
    const bool isTermRead = !pkt.term.isEmpty();
    for (;;) {
        SocketError error;
        flushSSLBuffers(&error);
        if (!error.isNull()) {
            closeWithError(error);
            return;
        }
        const bool eof = flags_ & kSocketHasReadEOF;
        if (preBuffer_->availableBytes() == 0) {
            if (eof)
                doReadEOF();
            else
                resumeReadSource();
            return;
        }
        bool done = false;
        uint64_t bytesToCopy;
        if (isTermRead)
            bytesToCopy = pkt.readLengthForTermWithPreBuffer(*preBuffer_, &done);
        else
            bytesToCopy = pkt.readLengthForNonTermWithHint(preBuffer_->availableBytes());
        if (bytesToCopy > 0) {
            pkt.ensureCapacityForAdditionalDataOfLength(bytesToCopy);
            std::memcpy(pkt.writePointer(), preBuffer_->readBuffer(), bytesToCopy);
            preBuffer_->didRead(bytesToCopy);
            pkt.bytesDone += bytesToCopy;
        }
        if (pkt.readLength > 0)
            done = pkt.bytesDone == pkt.readLength;
        else if (isTermRead) {
            if (!done && pkt.maxLength > 0 && pkt.bytesDone >= pkt.maxLength) error = readMaxedOutError();
        } else
            done = bytesToCopy > 0;
        if (done) {
            completeCurrentRead();
            maybeDequeueRead();
            if ((flags_ & kConnected) && !currentRead_) {
                if (preBuffer_->availableBytes() == 0 && (flags_ & kSocketHasReadEOF))
                    doReadEOF();
                else if (preBuffer_->availableBytes() == 0)
                    resumeReadSource();
            }
            return;
        }
        if (!error.isNull()) {
            closeWithError(error);
            return;
        }
        if (bytesToCopy == 0) {
            resumeReadSource();
            return;
        }
        const long tag = pkt.tag;
        const size_t length = size_t(bytesToCopy);
        notify(TcpSocketDelegate::DidReadPartialData,
               [length, tag](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                   d.socketDidReadPartialDataOfLength(s, length, tag);
               });
    }
}

void TcpSocket::doWriteDataTls() {
    if (flags_ & kWriteSideAwaitingTLS) {
        if ((flags_ & kReadSideAwaitingTLS) && lastSSLHandshakeError_ == tlsstatus::kWouldBlock)
            sslContinueHandshake();
        else
            suspendWriteSource();
        return;
    }
    if (!currentWrite_ || (flags_ & kWritesPaused)) {
        if (flags_ & kSocketCanAcceptBytes) suspendWriteSource();
        return;
    }
    if (!(flags_ & kSocketCanAcceptBytes)) {
        resumeWriteSource();
        return;
    }
    constexpr uint64_t kMostPerRecordCall = 32768;
    const std::shared_ptr<TcpWritePacket> packetHolder = currentWrite_;
    TcpWritePacket &pkt = *packetHolder;
    const uint64_t total = uint64_t(pkt.buffer.size());
    uint64_t written = 0;
    SocketError error;
    while (pkt.bytesDone < total) {
        // A blocked piece is retried with the same length (OpenSSL requires it).
        const uint64_t piece = sslWriteCachedLength_ > 0
                                   ? sslWriteCachedLength_
                                   : std::min(total - pkt.bytesDone, kMostPerRecordCall);
        size_t done = 0;
        const int status = tls_->write(pkt.buffer.constData() + pkt.bytesDone, size_t(piece), &done);
        if (status == tlsstatus::kNoErr) {
            sslWriteCachedLength_ = 0;
            pkt.bytesDone += done;
            written += done;
            continue;
        }
        if (status == tlsstatus::kWouldBlock) {
            sslWriteCachedLength_ = piece;
            if (!tls_->wantsWrite()) resumeReadSource();
        } else {
            error = sslFailure(status);
        }
        break;
    }
    if (!error.isNull()) {
        closeWithError(error);
        return;
    }
    if (pkt.bytesDone == total) {
        completeCurrentWrite();
        std::weak_ptr<TcpSocket> weak = weak_from_this();
        socketQueue_->async([weak] {
            if (auto self = weak.lock()) self->maybeDequeueWrite();
        });
        return;
    }
    if (written > 0) {
        const long tag = pkt.tag;
        const size_t length = size_t(written);
        notify(TcpSocketDelegate::DidWritePartialData,
               [length, tag](TcpSocketDelegate &d, const std::shared_ptr<TcpSocket> &s) {
                   d.socketDidWritePartialDataOfLength(s, length, tag);
               });
    }
}

bool TcpSocket::isSecure() const {
    return onQueueSync([this] { return (flags_ & kSocketSecure) != 0; });
}

// ---------------------------------------------------------------------------------------------
// The two ends

QString TcpSocket::hostOf(int fd, bool peer) { return hostFromAddress(addressOf(fd, peer)); }

uint16_t TcpSocket::portOf(int fd, bool peer) { return portFromAddress(addressOf(fd, peer)); }

QByteArray TcpSocket::addressOf(int fd, bool peer) {
    if (fd < 0) return {};
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&storage), &len)
                        : ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &len);
    if (rc < 0) return {};
    return QByteArray(reinterpret_cast<const char *>(&storage),
                      qsizetype(std::min<socklen_t>(len, sizeof storage)));
}

// Off the socket queue the peer comes from what was recorded when the connection was made (and
// dropped when it closed): no wait for the socket queue, which may be busy with this very
// connection's next event.
QString TcpSocket::connectedHost() const {
    if (!socketQueue_->isCurrent()) return hostFromAddress(peer());
    return hostOf(socket4FD_ >= 0 ? socket4FD_ : socket6FD_, true);
}

uint16_t TcpSocket::connectedPort() const {
    if (!socketQueue_->isCurrent()) return portFromAddress(peer());
    return portOf(socket4FD_ >= 0 ? socket4FD_ : socket6FD_, true);
}

QUrl TcpSocket::connectedUrl() const {
    return onQueueSync([this] {
        const QByteArray a = addressOf(socketUN_, true);
        return familyOf(a) == AF_UNIX && a.size() > qsizetype(offsetof(sockaddr_un, sun_path))
                   ? urlFromSockaddrUN(a.constData())
                   : QUrl();
    });
}

QString TcpSocket::localHost() const {
    return onQueueSync([this] { return hostOf(socket4FD_ >= 0 ? socket4FD_ : socket6FD_, false); });
}

uint16_t TcpSocket::localPort() const {
    return onQueueSync([this] { return portOf(socket4FD_ >= 0 ? socket4FD_ : socket6FD_, false); });
}

QByteArray TcpSocket::connectedAddress() const {
    if (!socketQueue_->isCurrent()) return peer();
    return addressOf(socket6FD_ >= 0 ? socket6FD_ : socket4FD_, true);
}

QByteArray TcpSocket::localAddress() const {
    return onQueueSync([this] { return addressOf(socket6FD_ >= 0 ? socket6FD_ : socket4FD_, false); });
}

bool TcpSocket::isIPv4() const {
    return onQueueSync([this] { return socket4FD_ >= 0; });
}

bool TcpSocket::isIPv6() const {
    return onQueueSync([this] { return socket6FD_ >= 0; });
}

int TcpSocket::socketFD() const {
    if (!socketQueue_->isCurrent()) return -1;
    return socket4FD_ >= 0 ? socket4FD_ : socket6FD_;
}

int TcpSocket::socket4FD() const { return socketQueue_->isCurrent() ? socket4FD_ : -1; }

int TcpSocket::socket6FD() const { return socketQueue_->isCurrent() ? socket6FD_ : -1; }

std::shared_ptr<TcpSocket>
TcpSocket::socketFromConnectedSocketFD(int fd, std::weak_ptr<TcpSocketDelegate> delegate,
                                       std::shared_ptr<dispatch::Queue> delegateQueue,
                                       std::shared_ptr<dispatch::Queue> socketQueue, SocketError *err) {
    auto sock = create(std::move(delegate), std::move(delegateQueue), std::move(socketQueue));
    SocketError error;
    const bool ok = sock->onQueueSync([&] {
        const QByteArray peer = addressOf(fd, true);
        if (peer.isEmpty()) {
            error = SocketError(
                kTcpSocketErrorDomain, TcpSocketOtherError,
                localizedText("Attempt to create socket from socket FD failed. getpeername() failed"));
            return false;
        }
        if (isIPv4Address(peer))
            sock->socket4FD_ = fd;
        else if (isIPv6Address(peer))
            sock->socket6FD_ = fd;
        else {
            error = SocketError(
                kTcpSocketErrorDomain, TcpSocketOtherError,
                localizedText("Attempt to create socket from socket FD failed. socket FD is neither IPv4 "
                              "nor IPv6"));
            return false;
        }
        sock->flags_ = kSocketStarted;
        sock->didConnect(sock->stateIndex_);
        return true;
    });
    if (!ok) {
        if (err) *err = error;
        return nullptr;
    }
    return sock;
}

void TcpSocket::performBlock(const std::function<void()> &block) {
    if (socketQueue_->isCurrent())
        block();
    else
        socketQueue_->sync(block);
}

// ---------------------------------------------------------------------------------------------
// Address utilities

QString TcpSocket::hostFromSockaddr4(const void *sockaddrIn) {
    sockaddr_in sin;
    std::memcpy(&sin, sockaddrIn, sizeof sin);
    char buf[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &sin.sin_addr, buf, sizeof buf)) return QString("");
    return QString::fromLatin1(buf);
}

QString TcpSocket::hostFromSockaddr6(const void *sockaddrIn6) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, sockaddrIn6, sizeof sin6);
    char buf[INET6_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET6, &sin6.sin6_addr, buf, sizeof buf)) return QString("");
    return QString::fromLatin1(buf);
}

uint16_t TcpSocket::portFromSockaddr4(const void *sockaddrIn) {
    sockaddr_in sin;
    std::memcpy(&sin, sockaddrIn, sizeof sin);
    return ntohs(sin.sin_port);
}

uint16_t TcpSocket::portFromSockaddr6(const void *sockaddrIn6) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, sockaddrIn6, sizeof sin6);
    return ntohs(sin6.sin6_port);
}

QUrl TcpSocket::urlFromSockaddrUN(const void *sockaddrUn) {
    sockaddr_un un;
    std::memcpy(&un, sockaddrUn, sizeof un);
    const size_t len = ::strnlen(un.sun_path, sizeof un.sun_path);
    return QUrl::fromLocalFile(QFile::decodeName(QByteArray(un.sun_path, qsizetype(len))));
}

bool TcpSocket::getHost(QString *host, uint16_t *port, int *family, const QByteArray &address) {
    if (isIPv4Address(address)) {
        if (host) *host = hostFromSockaddr4(address.constData());
        if (port) *port = portFromSockaddr4(address.constData());
        if (family) *family = AF_INET;
        return true;
    }
    if (isIPv6Address(address) && address.size() >= qsizetype(sizeof(sockaddr_in6))) {
        if (host) *host = hostFromSockaddr6(address.constData());
        if (port) *port = portFromSockaddr6(address.constData());
        if (family) *family = AF_INET6;
        return true;
    }
    return false;
}

bool TcpSocket::getHost(QString *host, uint16_t *port, const QByteArray &address) {
    return getHost(host, port, nullptr, address);
}

QString TcpSocket::hostFromAddress(const QByteArray &address) {
    QString host;
    return getHost(&host, nullptr, address) ? host : QString();
}

uint16_t TcpSocket::portFromAddress(const QByteArray &address) {
    uint16_t port = 0;
    return getHost(nullptr, &port, address) ? port : 0;
}

bool TcpSocket::isIPv4Address(const QByteArray &address) {
    return address.size() >= qsizetype(sizeof(sockaddr_in)) && familyOf(address) == AF_INET;
}

bool TcpSocket::isIPv6Address(const QByteArray &address) {
    return address.size() >= qsizetype(sizeof(sockaddr_in)) && familyOf(address) == AF_INET6;
}

QList<QByteArray> TcpSocket::lookupHost(const QString &host, uint16_t port, SocketError *err) {
    if (host == QLatin1String("localhost") || host == QLatin1String("loopback"))
        return {address4(htonl(INADDR_LOOPBACK), port), address6(in6addr_loopback, port)};
    const QByteArray ascii = host.toUtf8();
    // A numeric address needs no resolver.
    in_addr a4;
    if (::inet_pton(AF_INET, ascii.constData(), &a4) == 1) return {address4(a4.s_addr, port)};
    in6_addr a6;
    if (::inet_pton(AF_INET6, ascii.constData(), &a6) == 1) return {address6(a6, port)};

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *res = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int gai = ::getaddrinfo(ascii.constData(), service.constData(), &hints, &res);
    if (gai != 0) {
        if (err) *err = gaiError(gai);
        return {};
    }
    QList<QByteArray> result;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            result.append(QByteArray(reinterpret_cast<const char *>(ai->ai_addr), sizeof(sockaddr_in)));
        } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
            QByteArray a(reinterpret_cast<const char *>(ai->ai_addr), sizeof(sockaddr_in6));
            if (portFromAddress(a) == 0) setPort(&a, port);
            result.append(a);
        }
    }
    ::freeaddrinfo(res);
    if (result.isEmpty() && err) *err = gaiError(EAI_FAIL);
    return result;
}

void TcpSocket::getInterfaceAddress(QByteArray *address4Out, QByteArray *address6Out,
                                    const QString &description, uint16_t port) {
    QByteArray r4, r6;
    const QStringList pieces = description.split(QLatin1Char(':'));
    const QString interface = pieces.value(0);
    if (port == 0 && pieces.size() > 1) {
        bool ok = false;
        const int p = pieces.value(1).toInt(&ok, 10);
        if (ok && p >= 1 && p <= 65535) port = uint16_t(p);
    }
    if (interface.isEmpty()) {
        r4 = address4(htonl(INADDR_ANY), port);
        r6 = address6(in6addr_any, port);
    } else if (interface == QLatin1String("localhost") || interface == QLatin1String("loopback")) {
        r4 = address4(htonl(INADDR_LOOPBACK), port);
        r6 = address6(in6addr_loopback, port);
    } else {
        const QByteArray name = interface.toUtf8();
        ifaddrs *list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs *it = list; it; it = it->ifa_next) {
                if (!it->ifa_addr) continue;
                const int family = it->ifa_addr->sa_family;
                if (family == AF_INET && r4.isEmpty()) {
                    QByteArray a(reinterpret_cast<const char *>(it->ifa_addr), sizeof(sockaddr_in));
                    if (name == it->ifa_name || interface == hostFromAddress(a)) {
                        setPort(&a, port);
                        r4 = a;
                    }
                } else if (family == AF_INET6 && r6.isEmpty()) {
                    QByteArray a(reinterpret_cast<const char *>(it->ifa_addr), sizeof(sockaddr_in6));
                    if (name == it->ifa_name || interface == hostFromAddress(a)) {
                        setPort(&a, port);
                        r6 = a;
                    }
                }
            }
            ::freeifaddrs(list);
        }
    }
    if (address4Out) *address4Out = r4;
    if (address6Out) *address6Out = r6;
}

QByteArray TcpSocket::getInterfaceAddressFromUrl(const QUrl &url) {
    const QByteArray path = QFile::encodeName(url.toLocalFile());
    sockaddr_un un{};
    // A path that does not fit (with its NUL) is refused, never cut or overrun.
    if (path.isEmpty() || size_t(path.size()) >= sizeof un.sun_path) return {};
    un.sun_family = AF_UNIX;
    std::memcpy(un.sun_path, path.constData(), size_t(path.size()));
    return QByteArray(reinterpret_cast<const char *>(&un), sizeof un);
}

QByteArray TcpSocket::CRLFData() { return QByteArray("\r\n", 2); }
QByteArray TcpSocket::CRData() { return QByteArray("\r", 1); }
QByteArray TcpSocket::LFData() { return QByteArray("\n", 1); }
QByteArray TcpSocket::ZeroData() { return QByteArray(1, '\0'); }

// ---------------------------------------------------------------------------------------------
// Errors

SocketError TcpSocket::badConfigError(const QString &message) {
    return SocketError(kTcpSocketErrorDomain, TcpSocketBadConfigError, message);
}

SocketError TcpSocket::badParamError(const QString &message) {
    return SocketError(kTcpSocketErrorDomain, TcpSocketBadParamError, message);
}

SocketError TcpSocket::gaiError(int code) {
    return SocketError(kTcpSocketGaiErrorDomain, code, QString::fromLatin1(::gai_strerror(code)));
}

SocketError TcpSocket::errorWithErrno(int code, const QString &reason) {
    return SocketError(kTcpSocketPosixErrorDomain, code, QString::fromLocal8Bit(::strerror(code)),
                       {{QStringLiteral("NSLocalizedFailureReason"), reason}});
}

SocketError TcpSocket::errnoError() {
    const int code = errno;
    return SocketError(kTcpSocketPosixErrorDomain, code, QString::fromLocal8Bit(::strerror(code)));
}

SocketError TcpSocket::sslError(int status) {
    return SocketError(kTcpSocketSslErrorDomain, status, QString(),
                       {{QStringLiteral("NSLocalizedRecoverySuggestion"),
                         QStringLiteral("Error code definition can be found in Apple's SecureTransport.h")}});
}

SocketError TcpSocket::connectTimeoutError() {
    return SocketError(kTcpSocketErrorDomain, TcpSocketConnectTimeoutError,
                       localizedText("Attempt to connect to host timed out"));
}

SocketError TcpSocket::readMaxedOutError() {
    return SocketError(kTcpSocketErrorDomain, TcpSocketReadMaxedOutError,
                       localizedText("Read operation reached set maximum length"));
}

SocketError TcpSocket::readTimeoutError() {
    return SocketError(kTcpSocketErrorDomain, TcpSocketReadTimeoutError,
                       localizedText("Read operation timed out"));
}

SocketError TcpSocket::writeTimeoutError() {
    return SocketError(kTcpSocketErrorDomain, TcpSocketWriteTimeoutError,
                       localizedText("Write operation timed out"));
}

SocketError TcpSocket::connectionClosedError() {
    return SocketError(kTcpSocketErrorDomain, TcpSocketClosedError,
                       localizedText("Socket closed by remote peer"));
}

SocketError TcpSocket::otherError(const QString &message) {
    return SocketError(kTcpSocketErrorDomain, TcpSocketOtherError, message);
}

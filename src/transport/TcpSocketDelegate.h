#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <QList>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

class TcpSocket;
class SocketError;
namespace dispatch {
class Queue;
}

// Receiver of a TcpSocket's callbacks. Every method is optional (empty default); they run on the
// socket's delegate queue, in the order the socket issued them. The socket holds its delegate
// weakly: keep the delegate (and any socket you want to outlive the callback) alive yourself.
class TcpSocketDelegate {
public:
    virtual ~TcpSocketDelegate() = default;

    // The callbacks, one bit each.
    enum Callback : uint32_t {
        NewSocketQueue = 1u << 0,
        DidAcceptNewSocket = 1u << 1,
        DidConnectToHost = 1u << 2,
        DidConnectToUrl = 1u << 3,
        DidReadData = 1u << 4,
        DidReadPartialData = 1u << 5,
        DidWriteData = 1u << 6,
        DidWritePartialData = 1u << 7,
        ShouldTimeoutRead = 1u << 8,
        ShouldTimeoutWrite = 1u << 9,
        DidCloseReadStream = 1u << 10,
        DidSecure = 1u << 11,
        DidReceiveTrust = 1u << 12,
        DidDisconnect = 1u << 13,
        AllCallbacks = (1u << 14) - 1,
    };
    // The callbacks this delegate implements: a socket posts no other to the delegate queue (a
    // time-out then closes at once, an accepted child gets a queue of its own). Read once, when
    // the delegate is set. All by default; a delegate declares its own with
    // `return callbacksImplementedBy<MyDelegate>();`.
    virtual uint32_t implementedCallbacks() const { return AllCallbacks; }

    // The callbacks that D (or a class between it and this one) overrides, found at compile time.
    template <class D> static constexpr uint32_t callbacksImplementedBy() {
        uint32_t mask = 0;
        auto add = [&mask](bool overridden, Callback bit) {
            if (overridden) mask |= bit;
        };
        add(!std::is_same_v<decltype(&D::newSocketQueueForConnectionFromAddress),
                            decltype(&TcpSocketDelegate::newSocketQueueForConnectionFromAddress)>,
            NewSocketQueue);
        add(!std::is_same_v<decltype(&D::socketDidAcceptNewSocket),
                            decltype(&TcpSocketDelegate::socketDidAcceptNewSocket)>,
            DidAcceptNewSocket);
        add(!std::is_same_v<decltype(&D::socketDidConnectToHost),
                            decltype(&TcpSocketDelegate::socketDidConnectToHost)>,
            DidConnectToHost);
        add(!std::is_same_v<decltype(&D::socketDidConnectToUrl),
                            decltype(&TcpSocketDelegate::socketDidConnectToUrl)>,
            DidConnectToUrl);
        add(!std::is_same_v<decltype(&D::socketDidReadData), decltype(&TcpSocketDelegate::socketDidReadData)>,
            DidReadData);
        add(!std::is_same_v<decltype(&D::socketDidReadPartialDataOfLength),
                            decltype(&TcpSocketDelegate::socketDidReadPartialDataOfLength)>,
            DidReadPartialData);
        add(!std::is_same_v<decltype(&D::socketDidWriteData),
                            decltype(&TcpSocketDelegate::socketDidWriteData)>,
            DidWriteData);
        add(!std::is_same_v<decltype(&D::socketDidWritePartialDataOfLength),
                            decltype(&TcpSocketDelegate::socketDidWritePartialDataOfLength)>,
            DidWritePartialData);
        add(!std::is_same_v<decltype(&D::socketShouldTimeoutReadWithTag),
                            decltype(&TcpSocketDelegate::socketShouldTimeoutReadWithTag)>,
            ShouldTimeoutRead);
        add(!std::is_same_v<decltype(&D::socketShouldTimeoutWriteWithTag),
                            decltype(&TcpSocketDelegate::socketShouldTimeoutWriteWithTag)>,
            ShouldTimeoutWrite);
        add(!std::is_same_v<decltype(&D::socketDidCloseReadStream),
                            decltype(&TcpSocketDelegate::socketDidCloseReadStream)>,
            DidCloseReadStream);
        add(!std::is_same_v<decltype(&D::socketDidSecure), decltype(&TcpSocketDelegate::socketDidSecure)>,
            DidSecure);
        add(!std::is_same_v<decltype(&D::socketDidReceiveTrust),
                            decltype(&TcpSocketDelegate::socketDidReceiveTrust)>,
            DidReceiveTrust);
        add(!std::is_same_v<decltype(&D::socketDidDisconnect),
                            decltype(&TcpSocketDelegate::socketDidDisconnect)>,
            DidDisconnect);
        return mask;
    }

    // Asked (on the delegate queue) for the socket queue of a connection a listener accepted;
    // null gives the child a private queue of its own.
    virtual std::shared_ptr<dispatch::Queue>
    newSocketQueueForConnectionFromAddress(const QByteArray &address,
                                           const std::shared_ptr<TcpSocket> &sock) {
        (void)address;
        (void)sock;
        return nullptr;
    }
    // The child already has this delegate and is connected; keep it, or it closes at once.
    virtual void socketDidAcceptNewSocket(const std::shared_ptr<TcpSocket> &sock,
                                          const std::shared_ptr<TcpSocket> &newSocket) {
        (void)sock;
        (void)newSocket;
    }
    virtual void socketDidConnectToHost(const std::shared_ptr<TcpSocket> &sock, const QString &host,
                                        uint16_t port) {
        (void)sock;
        (void)host;
        (void)port;
    }
    virtual void socketDidConnectToUrl(const std::shared_ptr<TcpSocket> &sock, const QUrl &url) {
        (void)sock;
        (void)url;
    }
    virtual void socketDidReadData(const std::shared_ptr<TcpSocket> &sock, const QByteArray &data, long tag) {
        (void)sock;
        (void)data;
        (void)tag;
    }
    virtual void socketDidReadPartialDataOfLength(const std::shared_ptr<TcpSocket> &sock,
                                                  size_t partialLength, long tag) {
        (void)sock;
        (void)partialLength;
        (void)tag;
    }
    virtual void socketDidWriteData(const std::shared_ptr<TcpSocket> &sock, long tag) {
        (void)sock;
        (void)tag;
    }
    virtual void socketDidWritePartialDataOfLength(const std::shared_ptr<TcpSocket> &sock,
                                                   size_t partialLength, long tag) {
        (void)sock;
        (void)partialLength;
        (void)tag;
    }
    // Return seconds to extend the timed-out request by; 0 (the default) closes the socket.
    virtual double socketShouldTimeoutReadWithTag(const std::shared_ptr<TcpSocket> &sock, long tag,
                                                  double elapsed, size_t bytesDone) {
        (void)sock;
        (void)tag;
        (void)elapsed;
        (void)bytesDone;
        return 0;
    }
    virtual double socketShouldTimeoutWriteWithTag(const std::shared_ptr<TcpSocket> &sock, long tag,
                                                   double elapsed, size_t bytesDone) {
        (void)sock;
        (void)tag;
        (void)elapsed;
        (void)bytesDone;
        return 0;
    }
    // The peer closed its side while half-duplex was allowed (autoDisconnectOnClosedReadStream off).
    virtual void socketDidCloseReadStream(const std::shared_ptr<TcpSocket> &sock) { (void)sock; }
    // The TLS handshake finished; reads and writes queued after startTLS now run encrypted.
    virtual void socketDidSecure(const std::shared_ptr<TcpSocket> &sock) { (void)sock; }
    // Manual trust mode (TcpSocketManuallyEvaluateTrust): the server's certificate chain (DER,
    // leaf first). Return true and call the handler once, from any thread, with the verdict;
    // returning false (the default) closes the socket.
    virtual bool socketDidReceiveTrust(const std::shared_ptr<TcpSocket> &sock,
                                       const QList<QByteArray> &peerCertificates,
                                       std::function<void(bool shouldTrust)> completionHandler) {
        (void)sock;
        (void)peerCertificates;
        (void)completionHandler;
        return false;
    }
    // The end of a started socket. A null error is an orderly local close. `sock` is null when
    // the end comes from the socket's destruction.
    virtual void socketDidDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &err) {
        (void)sock;
        (void)err;
    }
};

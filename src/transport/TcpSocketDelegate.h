#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <QList>

#include <cstddef>
#include <functional>
#include <memory>

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

#pragma once

#include <QByteArray>

#include <memory>

class UdpSocket;
class SocketError;

// Receiver of a UdpSocket's callbacks. Every method is optional (empty default); they run on the
// socket's delegate queue in the order the socket issued them. The socket holds its delegate
// weakly: keep the delegate (and the socket) alive yourself.
class UdpSocketDelegate {
public:
    virtual ~UdpSocketDelegate() = default;

    // A connect request succeeded; `address` is the peer's socket address.
    virtual void udpSocketDidConnectToAddress(const std::shared_ptr<UdpSocket> &sock, QByteArray address) {
        (void)sock;
        (void)address;
    }
    virtual void udpSocketDidNotConnect(const std::shared_ptr<UdpSocket> &sock, const SocketError &err) {
        (void)sock;
        (void)err;
    }
    virtual void udpSocketDidSendDataWithTag(const std::shared_ptr<UdpSocket> &sock, long tag) {
        (void)sock;
        (void)tag;
    }
    // One queued datagram was given up; the socket stays open and the queue goes on.
    virtual void udpSocketDidNotSendDataWithTag(const std::shared_ptr<UdpSocket> &sock, long tag,
                                                const SocketError &err) {
        (void)sock;
        (void)tag;
        (void)err;
    }
    virtual void udpSocketDidReceiveData(const std::shared_ptr<UdpSocket> &sock, QByteArray data,
                                         QByteArray fromAddress, std::shared_ptr<void> filterContext) {
        (void)sock;
        (void)data;
        (void)fromAddress;
        (void)filterContext;
    }
    // The socket closed after its descriptors had been made; a null error is an orderly close.
    virtual void udpSocketDidClose(const std::shared_ptr<UdpSocket> &sock, const SocketError &err) {
        (void)sock;
        (void)err;
    }
};

#pragma once

#include "transport/SocketError.h"

#include <QByteArray>
#include <QList>

// A queued connect request of a UdpSocket: waits its turn in the send queue like a datagram.
class UdpConnectPacket {
public:
    UdpConnectPacket();

    bool resolveInProgress = false;
    QList<QByteArray> addresses;
    SocketError error;
};

#pragma once

#include "transport/SocketError.h"

#include <QByteArray>
#include <QList>

// One queued datagram of a UdpSocket. Touched only on the socket's queue once it is queued.
class UdpSendPacket {
public:
    UdpSendPacket(QByteArray data, double timeout, long tag);

    QByteArray buffer;
    double timeout; // seconds; negative: none
    long tag;
    bool resolveInProgress = false;
    bool filterInProgress = false;
    QList<QByteArray> resolvedAddresses; // socket addresses from the lookup
    SocketError resolveError;
    QByteArray address; // the chosen destination
    int addressFamily = 0;
    bool hasHost = false; // queued with a host (resolved or not) rather than an address
};

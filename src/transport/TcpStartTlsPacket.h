#pragma once

#include <QVariantMap>

#include <utility>

// The start-TLS marker: one object sits in both the read and the write queue, carrying the
// settings the handshake is set up with once both queues have reached it.
class TcpStartTlsPacket {
public:
    explicit TcpStartTlsPacket(QVariantMap settings);

    const QVariantMap tlsSettings;
};

#pragma once

#include <QByteArray>

#include <cstdint>

// One queued write. The bytes are shared with the caller (copy-on-write keeps them intact).
class TcpWritePacket {
public:
    TcpWritePacket(QByteArray data, double timeout, long tag)
        : buffer(std::move(data)), tag(tag), timeout(timeout) {}

    QByteArray buffer;
    uint64_t bytesDone = 0;
    long tag;
    double timeout;
};

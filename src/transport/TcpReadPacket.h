#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

class TcpSocketPreBuffer;

// One queued read: read-available (no length, no terminator), exact length, or up to and
// including a terminator. Bytes land in the caller's buffer (which must outlive the request) or
// in one the packet owns.
class TcpReadPacket {
public:
    TcpReadPacket(QByteArray *callerBuffer, uint64_t startOffset, uint64_t maxLength, double timeout,
                  uint64_t readLength, QByteArray terminator, long tag);
    TcpReadPacket(const TcpReadPacket &) = delete;
    TcpReadPacket &operator=(const TcpReadPacket &) = delete;

    QByteArray &buffer() { return *buffer_; }
    char *writePointer() { return buffer_->data() + startOffset + bytesDone; }
    uint64_t freeSpace() const;

    void ensureCapacityForAdditionalDataOfLength(uint64_t n);
    uint64_t readLengthForNonTermWithHint(uint64_t hint) const;
    uint64_t readLengthForTermWithHint(uint64_t hint, bool *shouldPreBuffer) const;
    // Pre-buffered bytes to take: up to and including the terminator when found there.
    uint64_t readLengthForTermWithPreBuffer(const TcpSocketPreBuffer &preBuffer, bool *found) const;
    // After n bytes were read into the packet behind bytesDone: bytes beyond the terminator's end
    // (0 for an exact end), or -1 when there is no terminator yet.
    int64_t searchForTermAfterPreBuffering(uint64_t n) const;

    const uint64_t startOffset;
    uint64_t bytesDone = 0;
    const uint64_t maxLength;
    double timeout;
    const uint64_t readLength;
    const QByteArray term;
    const bool bufferOwner;
    const uint64_t originalBufferLength;
    const long tag;

private:
    QByteArray owned_;
    QByteArray *buffer_;
};

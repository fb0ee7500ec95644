#include "transport/TcpSocketPreBuffer.h"

#include <algorithm>

TcpSocketPreBuffer::TcpSocketPreBuffer(size_t capacity) : storage_(capacity) {}

void TcpSocketPreBuffer::ensureCapacityForWrite(size_t n) {
    if (availableSpace() < n) storage_.resize(storage_.size() + (n - availableSpace()));
}

void TcpSocketPreBuffer::didRead(size_t n) {
    readOffset_ += std::min(n, availableBytes());
    // Back to the start once drained, so the buffer does not creep forward.
    if (readOffset_ == writeOffset_) readOffset_ = writeOffset_ = 0;
}

void TcpSocketPreBuffer::didWrite(size_t n) { writeOffset_ = std::min(writeOffset_ + n, storage_.size()); }

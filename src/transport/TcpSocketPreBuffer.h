#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Bytes read from the descriptor ahead of the current read request: a linear buffer with a read
// and a write position. Its allocation only grows and is reused.
class TcpSocketPreBuffer {
public:
    explicit TcpSocketPreBuffer(size_t capacity);

    // Makes room for n bytes after the write position, keeping both positions.
    void ensureCapacityForWrite(size_t n);
    size_t availableBytes() const { return writeOffset_ - readOffset_; }
    const char *readBuffer() const { return storage_.data() + readOffset_; }
    void didRead(size_t n);
    size_t availableSpace() const { return storage_.size() - writeOffset_; }
    char *writeBuffer() { return storage_.data() + writeOffset_; }
    void didWrite(size_t n);
    void reset() { readOffset_ = writeOffset_ = 0; }

private:
    std::vector<char> storage_;
    size_t readOffset_ = 0;
    size_t writeOffset_ = 0;
};

#include "transport/TcpReadPacket.h"

#include "transport/TcpSocketPreBuffer.h"

#include <algorithm>
#include <cstring>

TcpReadPacket::TcpReadPacket(QByteArray *callerBuffer, uint64_t startOffset, uint64_t maxLength,
                             double timeout, uint64_t readLength, QByteArray terminator, long tag)
    : startOffset(callerBuffer ? startOffset : 0), maxLength(maxLength), timeout(timeout),
      readLength(readLength), term(std::move(terminator)), bufferOwner(callerBuffer == nullptr),
      originalBufferLength(callerBuffer ? uint64_t(callerBuffer->size()) : 0), tag(tag),
      buffer_(callerBuffer ? callerBuffer : &owned_) {
    if (!callerBuffer) owned_ = QByteArray(qsizetype(readLength), '\0');
}

uint64_t TcpReadPacket::freeSpace() const {
    const uint64_t used = startOffset + bytesDone;
    const uint64_t size = uint64_t(buffer_->size());
    return size > used ? size - used : 0;
}

void TcpReadPacket::ensureCapacityForAdditionalDataOfLength(uint64_t n) {
    const uint64_t space = freeSpace();
    if (space < n) buffer_->append(qsizetype(n - space), '\0');
}

uint64_t TcpReadPacket::readLengthForNonTermWithHint(uint64_t hint) const {
    if (readLength > 0) return std::min(hint, readLength - bytesDone);
    if (maxLength > 0) return std::min(hint, maxLength > bytesDone ? maxLength - bytesDone : 0);
    return hint;
}

uint64_t TcpReadPacket::readLengthForTermWithHint(uint64_t hint, bool *shouldPreBuffer) const {
    uint64_t result = hint;
    if (maxLength > 0) result = std::min(result, maxLength > bytesDone ? maxLength - bytesDone : 0);
    if (shouldPreBuffer) *shouldPreBuffer = freeSpace() < result;
    return result;
}

uint64_t TcpReadPacket::readLengthForTermWithPreBuffer(const TcpSocketPreBuffer &preBuffer,
                                                       bool *found) const {
    *found = false;
    const uint64_t p = preBuffer.availableBytes();
    const uint64_t t = uint64_t(term.size());
    if (bytesDone + p < t) return p;
    uint64_t m = p;
    if (maxLength > 0) m = std::min(m, maxLength > bytesDone ? maxLength - bytesDone : 0);
    const uint64_t k = std::min<uint64_t>(bytesDone, t - 1);
    if (k + m < t) return m;
    // The window runs over the packet's last k bytes followed by the first m pre-buffered ones.
    const char *tail = buffer_->constData() + startOffset + bytesDone - k;
    const char *pre = preBuffer.readBuffer();
    const uint64_t positions = k + m - t + 1;
    for (uint64_t i = 0; i < positions; ++i) {
        bool match = true;
        for (uint64_t j = 0; j < t && match; ++j) {
            const uint64_t at = i + j;
            const char c = at < k ? tail[at] : pre[at - k];
            match = c == term[qsizetype(j)];
        }
        if (match) {
            *found = true;
            return i + t - k;
        }
    }
    return m;
}

int64_t TcpReadPacket::searchForTermAfterPreBuffering(uint64_t n) const {
    const uint64_t t = uint64_t(term.size());
    const uint64_t total = bytesDone + n;
    if (total < t) return -1;
    const char *base = buffer_->constData() + startOffset;
    uint64_t pos = bytesDone + 1 > t ? bytesDone + 1 - t : 0;
    for (; pos + t <= total; ++pos) {
        if (std::memcmp(base + pos, term.constData(), t) == 0) return int64_t(total - (pos + t));
    }
    return -1;
}

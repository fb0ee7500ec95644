#pragma once

#include <cstddef>
#include <memory>

// The data stream cipher of one transfer: AES-256-CBC under the packet key, zero IV, no
// padding. One object runs the whole transfer, so the CBC chain continues across chunks and
// files in the order they travel.
class FileTransferCipher {
public:
    // Null when the cipher cannot be set up.
    static std::unique_ptr<FileTransferCipher> create(bool encrypt);
    ~FileTransferCipher();
    FileTransferCipher(const FileTransferCipher &) = delete;
    FileTransferCipher &operator=(const FileTransferCipher &) = delete;

    // Runs `length` bytes (a multiple of 16) from `in` to `out`; the two may be the same buffer.
    bool update(const char *in, char *out, std::size_t length);

private:
    FileTransferCipher() = default;
    void *m_context = nullptr;
};

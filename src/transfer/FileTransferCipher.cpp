#include "transfer/FileTransferCipher.h"

#include "core/wire/KDTAES.h"

#include <openssl/evp.h>

#include <climits>

std::unique_ptr<FileTransferCipher> FileTransferCipher::create(bool encrypt) {
    std::unique_ptr<FileTransferCipher> cipher(new FileTransferCipher);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return nullptr;
    cipher->m_context = ctx;
    const unsigned char iv[16] = {};
    const QByteArray &key = KDTAES::packetKey();
    if (key.size() != 32) return nullptr;
    if (EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                          reinterpret_cast<const unsigned char *>(key.constData()), iv, encrypt ? 1 : 0) != 1)
        return nullptr;
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    return cipher;
}

FileTransferCipher::~FileTransferCipher() { EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX *>(m_context)); }

bool FileTransferCipher::update(const char *in, char *out, std::size_t length) {
    if (length % 16 != 0 || length > std::size_t(INT_MAX)) return false;
    if (length == 0) return true;
    int written = 0;
    auto *ctx = static_cast<EVP_CIPHER_CTX *>(m_context);
    if (EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char *>(out), &written,
                         reinterpret_cast<const unsigned char *>(in), int(length)) != 1)
        return false;
    return std::size_t(written) == length;
}

#include "core/wire/KDTAES.h"

#include "core/wire/TextCodec.h"

#include <QStringDecoder>

#include <openssl/evp.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

constexpr char kFieldSeparator = char(0xA6);
constexpr char kNulMark = char(0x00);
constexpr char kEndMarkByte = char(0x1F);
// EVP_EncodeBlock counts in int; larger inputs take Qt's encoder.
constexpr qsizetype kLargestEncodeBlock = std::numeric_limits<int>::max() / 4 * 3 - 3;
constexpr qsizetype kBlockSize = 16;

// Index of the element that carries the payload (field 6): count and id come first.
constexpr qsizetype kPayloadElement = 8;
constexpr qsizetype kTypeElement = 2;
// Count, id and the fields of the longest usual packet (the UDP presence array).
constexpr qsizetype kTypicalElements = 17;

const unsigned char kZeroIv[kBlockSize] = {};

struct CipherDeleter {
    void operator()(EVP_CIPHER *cipher) const { EVP_CIPHER_free(cipher); }
};
struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// Fetched once: an implicit fetch on every init would dominate the cost of a small frame.
const EVP_CIPHER *aes256Cbc() {
    static const std::unique_ptr<EVP_CIPHER, CipherDeleter> cipher(
        EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr));
    return cipher.get();
}

// One context per direction and thread, keyed once; later calls only reset the IV, which
// keeps the key schedule.
class KeyedContext {
public:
    KeyedContext(int encrypt, bool padding) : m_encrypt(encrypt), m_padding(padding) {}

    // Ready for a new message, or nullptr when the cipher cannot be set up.
    EVP_CIPHER_CTX *begin() {
        if (!m_ctx) {
            m_ctx.reset(EVP_CIPHER_CTX_new());
            if (!m_ctx) return nullptr;
        }
        if (m_keyed) {
            // The padding mode survives a re-init, like the key.
            if (EVP_CipherInit_ex2(m_ctx.get(), nullptr, nullptr, kZeroIv, m_encrypt, nullptr) == 1)
                return m_ctx.get();
        } else {
            const auto *key = reinterpret_cast<const unsigned char *>(KDTAES::packetKey().constData());
            if (EVP_CipherInit_ex2(m_ctx.get(), aes256Cbc(), key, kZeroIv, m_encrypt, nullptr) == 1 &&
                EVP_CIPHER_CTX_set_padding(m_ctx.get(), m_padding ? 1 : 0) == 1) {
                m_keyed = true;
                return m_ctx.get();
            }
        }
        // Start from scratch next time rather than trust a half-initialised context.
        fail();
        return nullptr;
    }

    void fail() {
        m_ctx.reset();
        m_keyed = false;
    }

private:
    std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter> m_ctx;
    int m_encrypt;
    bool m_padding;
    bool m_keyed = false;
};

KeyedContext &encryptContext() {
    thread_local KeyedContext context(1, true);
    return context;
}

KeyedContext &decryptContext() {
    // Decryption keeps the padding bytes: the reader cuts at the first zero byte instead.
    thread_local KeyedContext context(0, false);
    return context;
}

// Appends one decoded element of a received plaintext. The piece points into the decrypted
// buffer, which outlives the call; only a piece that is kept as data is copied.
void appendElement(PacketArray &elements, QByteArrayView piece) {
    const qsizetype index = elements.size();
    const QByteArray bytes = QByteArray::fromRawData(piece.data(), piece.size());
    if (index == kPayloadElement) {
        // The information block of "TSI" has its own separators and decoding.
        const PacketField &type = elements.at(kTypeElement);
        if (type.isString() && type.toString() == QLatin1String("TSI")) {
            elements.append(PacketField(piece.toByteArray()));
            return;
        }
        elements.append(PacketField(decodeTextField(bytes)));
        return;
    }
    elements.append(PacketField(decodeLegacyText(bytes)));
}

} // namespace

const QByteArray &KDTAES::packetKey() {
    static const QByteArray key = QByteArrayLiteral("Qm7#vT2k!Zp9$Lr4^Wx6&Nc8*Hb3@Jd5");
    return key;
}

QByteArray KDTAES::oneByteData(std::uint8_t byte) { return QByteArray(1, char(byte)); }

QByteArray KDTAES::encryptDataToData(const QByteArray &data) {
    // EVP takes int lengths; anything that large is no packet.
    if (data.size() > std::numeric_limits<int>::max() - kBlockSize) return {};
    KeyedContext &context = encryptContext();
    EVP_CIPHER_CTX *ctx = context.begin();
    if (!ctx) return {};

    QByteArray out(data.size() + kBlockSize, Qt::Uninitialized);
    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    int written = 0;
    int tail = 0;
    if (EVP_EncryptUpdate(ctx, dst, &written, reinterpret_cast<const unsigned char *>(data.constData()),
                          int(data.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx, dst + written, &tail) != 1) {
        context.fail();
        return {};
    }
    out.truncate(written + tail);
    return out;
}

QByteArray KDTAES::decryptDataToData(const QByteArray &data) {
    QByteArray out(data.size() + kBlockSize, '\0');
    // Only whole blocks can be decrypted; a ragged tail stays zero like the rest of the buffer.
    const qsizetype whole = data.size() - data.size() % kBlockSize;
    if (whole == 0 || whole > std::numeric_limits<int>::max() - kBlockSize) return out;
    KeyedContext &context = decryptContext();
    EVP_CIPHER_CTX *ctx = context.begin();
    if (!ctx) return out;

    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    int written = 0;
    int tail = 0;
    if (EVP_DecryptUpdate(ctx, dst, &written, reinterpret_cast<const unsigned char *>(data.constData()),
                          int(whole)) != 1 ||
        EVP_DecryptFinal_ex(ctx, dst + written, &tail) != 1) {
        context.fail();
    }
    return out;
}

QByteArray KDTAES::encryptString(const QString &text, bool forceUtf) {
    // The terminator is added as a byte after encoding: the legacy codec would not carry
    // U+0000 through as 0x00.
    QByteArray plain = forceUtf ? text.toUtf8() : encodeLegacyText(text);
    plain.append(kNulMark);
    return encryptDataToData(plain);
}

QString KDTAES::decryptString(const QByteArray &data, bool forcedUtf) {
    const QByteArray decrypted = decryptDataToData(data);
    // The buffer always ends in zero bytes, so the cut always finds one.
    const QByteArray plain = decrypted.left(decrypted.indexOf(kNulMark));
    if (!forcedUtf) return decodeLegacyText(plain);

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(plain);
    if (decoder.hasError()) return QString();
    // An empty text is a success and must not read as the null failure value.
    if (text.isNull()) text = QLatin1String("");
    return text;
}

QByteArray KDTAES::encryptArrayForPacket(const PacketArray &array) {
    // The legacy form has at most one byte per unit, so this bounds the joined plaintext.
    qsizetype size = 0;
    for (const PacketField &element : array) size += element.length() + 1;
    QByteArray plain(size, Qt::Uninitialized);
    char *out = plain.data();
    for (const PacketField &element : array) {
        if (element.isData()) {
            const QByteArray data = element.toData();
            out = std::copy_n(data.constData(), data.size(), out);
        } else {
            const QString text = element.toString();
            // Units 0x02-0x7F are their own bytes in every legacy code page and never switch it,
            // so such a field skips a temporary; the code page is still read as the codec does.
            if (!text.isNull()) legacyTextEncoding();
            const char16_t *units = reinterpret_cast<const char16_t *>(text.constData());
            const qsizetype count = text.size();
            qsizetype i = 0;
            for (; i < count && units[i] >= 0x02 && units[i] < 0x80; ++i) out[i] = char(units[i]);
            if (i == count) {
                out += count;
            } else {
                const QByteArray bytes = encodeLegacyText(text);
                out = std::copy_n(bytes.constData(), bytes.size(), out);
            }
        }
        *out++ = kFieldSeparator;
    }
    // No separator after the last element.
    plain.truncate(std::max<qsizetype>(out - plain.constData() - 1, 0));

    const QByteArray ciphertext = encryptDataToData(plain);
    // The plaintext is never empty, so no ciphertext means the cipher failed: send nothing
    // rather than a frame every peer rejects.
    if (ciphertext.isEmpty()) return {};
    if (ciphertext.size() > kLargestEncodeBlock) return ciphertext.toBase64() + QByteArray(2, kEndMarkByte);
    // One buffer for the Base64 text and the end mark; EVP_EncodeBlock writes standard Base64
    // with padding and no line breaks, plus a terminating zero that the end mark overwrites.
    const qsizetype textSize = (ciphertext.size() + 2) / 3 * 4;
    QByteArray frame(textSize + 2, Qt::Uninitialized);
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(frame.data()),
                    reinterpret_cast<const unsigned char *>(ciphertext.constData()), int(ciphertext.size()));
    frame[textSize] = kEndMarkByte;
    frame[textSize + 1] = kEndMarkByte;
    return frame;
}

std::optional<PacketArray> KDTAES::decryptStringToArray(const QByteArray &ciphertext) {
    const QByteArray decrypted = decryptDataToData(ciphertext);
    // Everything from the first zero byte on is the NUL element, padding or spare buffer.
    const QByteArrayView plain(decrypted.constData(), decrypted.indexOf(kNulMark));
    if (plain.isEmpty()) return std::nullopt;

    PacketArray elements;
    elements.reserve(kTypicalElements);
    qsizetype pos = 0;
    while (pos < plain.size()) {
        const qsizetype separator = plain.indexOf(kFieldSeparator, pos);
        if (separator < 0) {
            // The last piece without a separator behind it loses its final byte.
            appendElement(elements, plain.sliced(pos, plain.size() - 1 - pos));
            break;
        }
        appendElement(elements, plain.sliced(pos, separator - pos));
        pos = separator + 1;
    }
    return elements;
}

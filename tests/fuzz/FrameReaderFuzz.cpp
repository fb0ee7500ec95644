// The frame reader on bytes from the network: once as a received frame, and once as the
// plaintext behind the cipher, because random bytes almost never decrypt to anything the
// splitter and the field decoders would look at.
#include "FuzzSupport.h"

#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"

#include <optional>

namespace {
std::optional<PacketArray> readFresh(const QByteArray &frame) {
    // Every read starts with an empty id list, so an id met before never hides a path.
    KDTPacket::resetRecentIds();
    std::optional<PacketArray> fields = KDTPacket::ArrayFromBase64AESdata(frame);
    // Count and id are removed, and the writer never sends fewer than 8 fields.
    if (fields) FUZZ_CHECK(fields->size() >= 7);
    return fields;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    readFresh(bytes);

    const QByteArray ciphertext = KDTAES::encryptDataToData(bytes);
    FUZZ_CHECK(ciphertext.size() == (bytes.size() / 16 + 1) * 16);
    const QByteArray frame = ciphertext.toBase64() + QByteArray("\x1f\x1f");
    const std::optional<PacketArray> fields = readFresh(frame);

    // Some peers put the start mark in front, and TCP appends CR LF: the same frame either way.
    const std::optional<PacketArray> marked = readFresh(QByteArray("  ") + frame + QByteArray("\r\n"));
    FUZZ_CHECK(marked == fields);
    return 0;
}

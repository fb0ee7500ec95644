// The user-information block of "TSI" and the field decoders on bytes from the network.
#include "FuzzSupport.h"

#include "core/wire/TextCodec.h"
#include "core/wire/UserInfoPacket.h"

#include <vector>

namespace {
constexpr char kSeparator = 0x7C;

void checkInfoBlock(const QByteArray &block) {
    const QMap<QString, QString> info = UserInfoPacket::ParceUserInfo(block);
    // Splitting yields one value per separator, one more when the last byte is not one, plus the
    // appended empty value; 23 are needed.
    const qsizetype separators = block.count(kSeparator);
    const bool usable = separators >= 22 || (separators == 21 && !block.endsWith(kSeparator));
    FUZZ_CHECK(info.isEmpty() == !usable);
    if (!usable) return;
    FUZZ_CHECK(info.size() == 17);
    // Position 1 always lies between two separators here.
    const qsizetype first = block.indexOf(kSeparator);
    QByteArray pc = block.mid(first + 1, block.indexOf(kSeparator, first + 1) - first - 1);
    replaceBytes(pc, 0x02, 0x7C);
    FUZZ_CHECK(info.value(QStringLiteral("pc")) == decodeLegacyText(pc));
}

void checkFieldDecoders(const QByteArray &bytes) {
    const QString legacy = decodeLegacyText(bytes);
    const QString text = decodeTextField(bytes);
    // A text field without its end byte is one sent in the legacy form.
    if (!bytes.endsWith('\x1f')) FUZZ_CHECK(text == legacy);
}

// The raw converters must write exactly what they count, within the buffers callers give.
void checkConverters(const QByteArray &bytes) {
    const auto *raw = reinterpret_cast<const unsigned char *>(bytes.constData());
    const int byteCount = static_cast<int>(bytes.size());
    const int needed16 = utf8ToUtf16(nullptr, 0, raw, byteCount);
    std::vector<char16_t> units(static_cast<std::size_t>(byteCount) + 1);
    FUZZ_CHECK(utf8ToUtf16(units.data(), byteCount + 1, raw, byteCount) == needed16);

    std::vector<char16_t> input(bytes.size() / 2);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<char16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
    const int unitCount = static_cast<int>(input.size());
    const int needed8 = utf16ToUtf8(nullptr, 0, input.data(), unitCount);
    std::vector<unsigned char> out(3 * input.size() + 1);
    FUZZ_CHECK(utf16ToUtf8(out.data(), 3 * unitCount + 1, input.data(), unitCount) == needed8);

    // Message text survives the text-field form. U+0000 would end the frame, U+0001 is the
    // stand-in for 0xA6, and the decoder replaces unpaired surrogates, so none is kept.
    QString message;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const QChar unit(input[i]);
        if (unit.isHighSurrogate() && i + 1 < input.size() && QChar(input[i + 1]).isLowSurrogate()) {
            message.append(unit).append(QChar(input[++i]));
        } else if (!unit.isSurrogate() && unit.unicode() > 1) {
            message.append(unit);
        }
    }
    FUZZ_CHECK(decodeTextField(encodeTextField(message)) == message);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    checkInfoBlock(bytes);
    checkFieldDecoders(bytes);
    checkConverters(bytes);
    return 0;
}

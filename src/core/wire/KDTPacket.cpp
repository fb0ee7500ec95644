#include "core/wire/KDTPacket.h"

#include "core/wire/KDTAES.h"

#include <QByteArrayView>
#include <QSet>

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define MURNAVELL_BASE64_BLOCKS 1
#endif

namespace {

constexpr qsizetype kMinimumFields = 8;
constexpr qsizetype kMinimumReceivedFields = 7;
constexpr std::size_t kRecentIdLimit = 60;
constexpr std::uint32_t kFirstId = 1000000;
constexpr std::uint32_t kLastId = 9999998;

// Both marks are one byte value twice.
constexpr char kStartByte = 0x20;
constexpr char kEndByte = 0x1F;
constexpr qsizetype kMarkSize = 2;

// Index of the first pair of `byte` at or after `from`, or -1. memchr keeps this cheap: the
// general substring search of QByteArrayView costs more than the cipher on a short frame.
qsizetype indexOfPair(QByteArrayView bytes, char byte, qsizetype from = 0) {
    const char *begin = bytes.data();
    const char *end = begin + bytes.size();
    const char *p = begin + from;
    while (p < end) {
        p = static_cast<const char *>(std::memchr(p, byte, std::size_t(end - p)));
        if (!p || p + 1 >= end) return -1;
        if (p[1] == byte) return p - begin;
        p += 2; // p[1] is not the byte, so no pair starts there either
    }
    return -1;
}

// The ids and the id source are shared by every receiver and writer of the process.
struct PacketState {
    std::mutex mutex;
    std::deque<QString> recentIds; // oldest first
    QSet<QString> recentIdSet;     // the same ids, for the lookup on every frame
    std::function<std::uint32_t()> idSource;
    std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<std::uint32_t> idRange{kFirstId, kLastId};
};

PacketState &state() {
    static PacketState shared;
    return shared;
}

std::uint32_t drawId() {
    PacketState &s = state();
    std::lock_guard lock(s.mutex);
    if (s.idSource) return s.idSource();
    return s.idRange(s.engine);
}

// Base64 value of each byte: 0-63, kPad for '=', kSkip for every byte outside the alphabet.
constexpr signed char kSkip = -1;
constexpr signed char kPad = -2;

constexpr std::array<signed char, 256> makeBase64Table() {
    std::array<signed char, 256> table{};
    for (auto &value : table) value = kSkip;
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    table['='] = kPad;
    return table;
}

constexpr std::array<signed char, 256> kBase64Table = makeBase64Table();

// The same values already shifted into place for each position of a quad, with kNotSextet set
// for every byte that is not one of the 64 characters: four lookups and one test per quad.
constexpr std::uint32_t kNotSextet = 0x80000000u;

constexpr std::array<std::uint32_t, 256> makeShiftedTable(int shift) {
    std::array<std::uint32_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const signed char value = kBase64Table[std::size_t(c)];
        table[std::size_t(c)] = value < 0 ? kNotSextet : std::uint32_t(value) << shift;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kSextet0 = makeShiftedTable(18);
constexpr std::array<std::uint32_t, 256> kSextet1 = makeShiftedTable(12);
constexpr std::array<std::uint32_t, 256> kSextet2 = makeShiftedTable(6);
constexpr std::array<std::uint32_t, 256> kSextet3 = makeShiftedTable(0);

#ifdef MURNAVELL_BASE64_BLOCKS
// Blocks of 16 characters of the alphabet to 12 bytes each, 16 at a time with SSSE3 shuffles,
// while at least 32 characters are left: each block stores 16 bytes, which stays inside the
// output of the remaining text. Stops before the first block holding any other byte, so the
// scalar code sees every '=', foreign byte and the tail exactly as before.
__attribute__((target("ssse3"))) void decodeBase64Blocks(const unsigned char *&p, const unsigned char *end,
                                                         char *&dst) {
    // Validity: a byte belongs to the alphabet when the bit of its high nibble is set in the
    // mask of its low nibble; high nibbles from 8 (bytes from 0x80) have no bit.
    const __m128i lowMasks =
        _mm_setr_epi8(char(0xA8), char(0xF8), char(0xF8), char(0xF8), char(0xF8), char(0xF8), char(0xF8),
                      char(0xF8), char(0xF8), char(0xF8), char(0xF0), 0x54, 0x50, 0x50, 0x50, 0x54);
    const __m128i highBits =
        _mm_setr_epi8(0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, char(0x80), 0, 0, 0, 0, 0, 0, 0, 0);
    // Offset from character to value by high nibble; '/' takes the entry before '+'s.
    const __m128i offsets = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i slash = _mm_set1_epi8(0x2F);
    const __m128i pairWeights = _mm_set1_epi32(0x01400140);
    const __m128i quadWeights = _mm_set1_epi32(0x00011000);
    // The three bytes of each 24-bit group, most significant first, packed to 12 bytes.
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    while (end - p >= 32) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(in, 4), nibble);
        const __m128i low = _mm_and_si128(in, nibble);
        const __m128i valid =
            _mm_and_si128(_mm_shuffle_epi8(lowMasks, low), _mm_shuffle_epi8(highBits, high));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(valid, _mm_setzero_si128())) != 0) return;
        const __m128i offset = _mm_shuffle_epi8(offsets, _mm_add_epi8(_mm_cmpeq_epi8(in, slash), high));
        const __m128i values = _mm_add_epi8(in, offset);
        const __m128i pairs = _mm_maddubs_epi16(values, pairWeights);
        const __m128i groups = _mm_madd_epi16(pairs, quadWeights);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_shuffle_epi8(groups, order));
        dst += 12;
        p += 16;
    }
}

bool haveSsse3() {
    static const bool available = __builtin_cpu_supports("ssse3");
    return available;
}
#endif

// Strict padded Base64 that skips foreign bytes (end marks, blanks, line ends). Fails on a
// stray '=' or a character count that is not a whole number of quads.
std::optional<QByteArray> decodeBase64(QByteArrayView text) {
    QByteArray out(text.size() / 4 * 3, Qt::Uninitialized);
    char *dst = out.data();
    std::uint32_t quad = 0;
    int filled = 0;
    int padding = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        // Fast path: runs of whole quads of the 64 characters, the usual case.
        if (filled == 0 && !padding) {
#ifdef MURNAVELL_BASE64_BLOCKS
            if (haveSsse3()) decodeBase64Blocks(p, end, dst);
#endif
            while (end - p >= 4) {
                const std::uint32_t v = kSextet0[p[0]] | kSextet1[p[1]] | kSextet2[p[2]] | kSextet3[p[3]];
                if (v & kNotSextet) break;
                dst[0] = char(v >> 16);
                dst[1] = char(v >> 8);
                dst[2] = char(v);
                dst += 3;
                p += 4;
            }
            if (p == end) break;
        }
        const signed char value = kBase64Table[*p++];
        if (value == kSkip) continue;
        if (value == kPad) {
            // Padding only completes the last quad and never replaces its first two characters.
            if (filled + padding < 2 || ++padding > 2) return std::nullopt;
            continue;
        }
        if (padding) return std::nullopt;
        quad = quad << 6 | std::uint32_t(value);
        if (++filled == 4) {
            *dst++ = char(quad >> 16);
            *dst++ = char(quad >> 8);
            *dst++ = char(quad);
            quad = 0;
            filled = 0;
        }
    }
    if (padding) {
        if (filled + padding != 4) return std::nullopt;
        quad <<= 6 * padding;
        *dst++ = char(quad >> 16);
        if (padding == 1) *dst++ = char(quad >> 8);
    } else if (filled != 0) {
        return std::nullopt;
    }
    out.truncate(dst - out.constData());
    return out;
}

// Leading integer of a text the way the count was always read: blanks, an optional sign and
// digits, 0 when there are none. Saturates instead of overflowing; only ever compared.
qint64 integerValue(const QString &text) {
    constexpr qint64 kCap = qint64(1) << 40;
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) negative = text.at(i++) == u'-';
    qint64 value = 0;
    for (; i < text.size() && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        if (value < kCap) value = value * 10 + (text.at(i).unicode() - u'0');
    }
    return negative ? -value : value;
}

// The Base64 text of a received frame, without a start mark some peers put in front.
QByteArrayView framePayload(QByteArrayView all) {
    const qsizetype start = indexOfPair(all, kStartByte);
    if (start < 0 || start == all.size() - kMarkSize) return all;
    const qsizetype from = start + kMarkSize;
    const qsizetype end = indexOfPair(all, kEndByte, from);
    if (end < 0 || end == all.size() - kMarkSize) return all.sliced(from);
    return all.sliced(from, end - from);
}

} // namespace

QByteArray KDTPacket::PlainPackeFromArray(const PacketArray &array) {
    const std::uint32_t id = drawId();
    if (array.size() < kMinimumFields) return {};
    for (const PacketField &field : array)
        if (field.length() == 0) return {};

    PacketArray elements;
    elements.reserve(array.size() + 3);
    // Count: the fields and the NUL element behind them.
    elements.append(PacketField(QString::number(array.size() + 1)));
    elements.append(PacketField(QString::number(id)));
    elements.append(array);
    // The NUL element goes in as the byte itself; as text the codec would not keep it.
    elements.append(PacketField(KDTAES::oneByteData(0x00)));
    return KDTAES::encryptArrayForPacket(elements);
}

std::optional<PacketArray> KDTPacket::ArrayFromBase64AESdata(const QByteArray &bytes) {
    if (indexOfPair(bytes, kEndByte) < 0) return std::nullopt;
    const std::optional<QByteArray> ciphertext = decodeBase64(framePayload(bytes));
    if (!ciphertext) return std::nullopt;

    std::optional<PacketArray> elements = KDTAES::decryptStringToArray(*ciphertext);
    if (!elements || elements->size() < 2) return std::nullopt;
    if (elements->size() - 1 != integerValue(elements->at(0).toString())) return std::nullopt;
    // Recorded before the field check, so a short frame is not accepted again either.
    if (!CanContinueWithId(elements->at(1).toString())) return std::nullopt;

    elements->remove(0, 2);
    if (elements->size() < kMinimumReceivedFields) return std::nullopt;
    return elements;
}

bool KDTPacket::CanContinueWithId(const QString &packetId) {
    PacketState &s = state();
    std::lock_guard lock(s.mutex);
    if (s.recentIdSet.contains(packetId)) return false;
    if (s.recentIds.size() >= kRecentIdLimit) {
        s.recentIdSet.remove(s.recentIds.front());
        s.recentIds.pop_front();
    }
    s.recentIds.push_back(packetId);
    s.recentIdSet.insert(packetId);
    return true;
}

void KDTPacket::resetRecentIds() {
    PacketState &s = state();
    std::lock_guard lock(s.mutex);
    s.recentIds.clear();
    s.recentIdSet.clear();
}

void KDTPacket::setIdSource(std::function<std::uint32_t()> source) {
    PacketState &s = state();
    std::lock_guard lock(s.mutex);
    s.idSource = std::move(source);
}

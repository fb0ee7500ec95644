#include "core/wire/TextCodec.h"

#include "core/wire/WindowsCodePage.h"
#include "platform/defaults/Defaults.h"

#include <QByteArrayView>

#include <algorithm>
#include <climits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr unsigned char kFieldSeparator = 0xA6;
constexpr unsigned char kSeparatorEscape = 0x01;
constexpr unsigned char kTextFieldEnd = 0x1F;
constexpr unsigned char kQuestionMark = 0x3F;
constexpr unsigned char kBlank = 0x20;
constexpr char16_t kReplacementCharacter = 0xFFFD;

// 1 is never a candidate, so it marks a code page that has not been read from the settings yet.
constexpr int kEncodingNotRead = 1;
// Western is the working code page when the setting holds nothing usable.
constexpr int kFallbackEncoding = kEncodingWindows1252;
const QString kEncodingKey = QStringLiteral("encoding");

// Packet work runs on the main thread only, so a plain integer is enough.
int g_legacyEncoding = kEncodingNotRead;

QString errorText() { return QStringLiteral("[UTF8 decoding error, contact support@murnavell.example]"); }

// Received text is never null, also when empty.
QString emptyText() { return QLatin1String(""); }

// Bytes 0x02-0x7F read as themselves in every form, so runs of them are copied in bulk; 0x00
// and 0x01 have their own meanings and everything from 0x80 starts a sequence. Both buffers
// hold at least `n` elements. Returns the length of the run copied from the start.
qsizetype widenPlain(const unsigned char *in, qsizetype n, char16_t *out) {
    qsizetype i = 0;
#if defined(__SSE2__)
    const __m128i one = _mm_set1_epi8(1);
    const __m128i zero = _mm_setzero_si128();
    for (; n - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        // Signed compare: 0x80-0xFF are negative, so one test covers both ends of the range.
        const unsigned plain = unsigned(_mm_movemask_epi8(_mm_cmpgt_epi8(v, one)));
        // The whole block is stored even when it is cut short; a unit per byte always fits.
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 8), _mm_unpackhi_epi8(v, zero));
        if (plain != 0xFFFF) return i + __builtin_ctz(~plain);
    }
#endif
    for (; i < n; ++i) {
        const unsigned char b = in[i];
        if (b < 0x02 || b >= 0x80) break;
        out[i] = b;
    }
    return i;
}

// The same for the other direction: units 0x02-0x7F become their byte.
qsizetype narrowPlain(const char16_t *in, qsizetype n, unsigned char *out) {
    qsizetype i = 0;
#if defined(__SSE2__)
    const __m128i one = _mm_set1_epi16(1);
    const __m128i ascii = _mm_set1_epi16(0x80);
    for (; n - i >= 16; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + 8));
        // Signed compares: units from 0x8000 are negative and fail the first test.
        const __m128i plainA = _mm_and_si128(_mm_cmpgt_epi16(a, one), _mm_cmplt_epi16(a, ascii));
        const __m128i plainB = _mm_and_si128(_mm_cmpgt_epi16(b, one), _mm_cmplt_epi16(b, ascii));
        const unsigned plain = unsigned(_mm_movemask_epi8(_mm_packs_epi16(plainA, plainB)));
        // Stored before the test, as above: the bytes past the run are overwritten later.
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(a, b));
        if (plain != 0xFFFF) return i + __builtin_ctz(~plain);
    }
#endif
    for (; i < n; ++i) {
        const char16_t u = in[i];
        if (u < 0x02 || u >= 0x80) break;
        out[i] = static_cast<unsigned char>(u);
    }
    return i;
}

bool isCandidate(qint64 encoding) {
    return encoding >= kEncodingWindows1251 && encoding <= kEncodingWindows1250;
}

// U+0000 would end the frame early and U+0001 would come back as the field separator's
// stand-in, so neither may reach the wire.
QString withoutFrameControls(const QString &text, char16_t replacement) {
    if (!text.contains(QChar(0)) && !text.contains(QChar(1))) return text;
    QString clean = text;
    for (QChar &c : clean) {
        if (c.unicode() <= 1) c = QChar(replacement);
    }
    return clean;
}

// U+0000 and unpaired surrogates in received message text become U+FFFD.
void replaceStrays(QString &text) {
    char16_t *units = reinterpret_cast<char16_t *>(text.data());
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = units[i];
        if (u == 0) {
            units[i] = kReplacementCharacter;
        } else if (QChar::isHighSurrogate(u)) {
            if (i + 1 < size && QChar::isLowSurrogate(units[i + 1]))
                ++i;
            else
                units[i] = kReplacementCharacter;
        } else if (QChar::isLowSurrogate(u)) {
            units[i] = kReplacementCharacter;
        }
    }
}

enum class Strays { Reject, Replace };

// A strict UTF-8 decoder that also takes a surrogate pair written as two 3-byte sequences (our
// own writer sends characters outside the BMP that way). With Strays::Replace a lone surrogate,
// a NUL and the overlong NUL C0 80 become U+FFFD; anything else that is not UTF-8 fails. With
// `Escaped` every 0x01 is read as the separator 0xA6 it stands for, which spares a copy.
template <bool Escaped> bool decodeUtf8(QByteArrayView bytes, Strays strays, QString *result) {
    const auto *raw = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype n = bytes.size();
    auto at = [raw](qsizetype k) -> unsigned {
        const unsigned b = raw[k];
        return Escaped && b == kSeparatorEscape ? kFieldSeparator : b;
    };
    // Every input byte yields at most one unit.
    QString text(n, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    qsizetype o = 0;
    auto isContinuation = [&](qsizetype k) { return k < n && (at(k) & 0xC0) == 0x80; };
    qsizetype i = 0;
    while (i < n) {
        const qsizetype run = widenPlain(raw + i, n - i, out + o);
        i += run;
        o += run;
        if (i == n) break;
        const unsigned b0 = at(i);
        if (b0 < 0x80) {
            out[o++] =
                b0 == 0 && strays == Strays::Replace ? kReplacementCharacter : static_cast<char16_t>(b0);
            i += 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (!isContinuation(i + 1)) return false;
            out[o++] = static_cast<char16_t>(((b0 & 0x1F) << 6) | (at(i + 1) & 0x3F));
            i += 2;
        } else if (b0 == 0xC0 && i + 1 < n && at(i + 1) == 0x80) {
            if (strays == Strays::Reject) return false;
            out[o++] = kReplacementCharacter;
            i += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            if (!isContinuation(i + 1) || !isContinuation(i + 2)) return false;
            if (b0 == 0xE0 && at(i + 1) < 0xA0) return false; // overlong
            const auto unit =
                static_cast<char16_t>(((b0 & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
            i += 3;
            if (!QChar::isSurrogate(unit)) {
                out[o++] = unit;
                continue;
            }
            const bool lowFollows = QChar::isHighSurrogate(unit) && i + 2 < n && at(i) == 0xED &&
                                    at(i + 1) >= 0xB0 && at(i + 1) <= 0xBF && (at(i + 2) & 0xC0) == 0x80;
            if (lowFollows) {
                out[o++] = unit;
                out[o++] = static_cast<char16_t>(0xD000 | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
                i += 3;
            } else {
                if (strays == Strays::Reject) return false;
                out[o++] = kReplacementCharacter;
            }
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            if (!isContinuation(i + 1) || !isContinuation(i + 2) || !isContinuation(i + 3)) return false;
            if (b0 == 0xF0 && at(i + 1) < 0x90) return false; // overlong
            if (b0 == 0xF4 && at(i + 1) > 0x8F) return false; // above U+10FFFF
            const char32_t codePoint = ((b0 & 0x07) << 18) | ((at(i + 1) & 0x3F) << 12) |
                                       ((at(i + 2) & 0x3F) << 6) | (at(i + 3) & 0x3F);
            out[o++] = QChar::highSurrogate(codePoint);
            out[o++] = QChar::lowSurrogate(codePoint);
            i += 4;
        } else {
            return false;
        }
    }
    text.truncate(o);
    *result = text.isNull() ? emptyText() : text;
    return true;
}

// The raw converter's rules over a text-field body read with 0x01 as 0xA6, and the strays
// replaced as replaceStrays does: one pass instead of a copy, a replacement, a conversion and
// a sweep. False where the raw converter would report a malformed sequence.
bool decodeRawEscaped(QByteArrayView bytes, QString *result) {
    const auto *raw = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype n = bytes.size();
    auto at = [raw](qsizetype k) -> unsigned {
        const unsigned b = raw[k];
        return b == kSeparatorEscape ? kFieldSeparator : b;
    };
    QString text(n, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    qsizetype o = 0;
    bool surrogates = false;
    qsizetype i = 0;
    while (i < n) {
        const qsizetype run = widenPlain(raw + i, n - i, out + o);
        i += run;
        o += run;
        if (i == n) break;
        const unsigned b0 = at(i);
        char16_t unit;
        if (b0 < 0x80) {
            unit = static_cast<char16_t>(b0);
            i += 1;
        } else if (b0 & 0x20) {
            if (n - i < 3) return false;
            const unsigned b1 = at(i + 1);
            const unsigned b2 = at(i + 2);
            if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return false;
            unit = static_cast<char16_t>(((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F));
            i += 3;
        } else {
            if (n - i < 2) return false;
            const unsigned b1 = at(i + 1);
            if ((b1 & 0xC0) != 0x80) return false;
            unit = static_cast<char16_t>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
            i += 2;
        }
        if (unit == 0) unit = kReplacementCharacter;
        surrogates = surrogates || QChar::isSurrogate(unit);
        out[o++] = unit;
    }
    text.truncate(o);
    // Pairing needs the neighbours, so surrogates get their own sweep, which is rare.
    if (surrogates) replaceStrays(text);
    *result = text.isNull() ? emptyText() : text;
    return true;
}

bool fitsCodePage(const QString &text, int encoding) {
    return std::all_of(text.cbegin(), text.cend(), [encoding](QChar c) {
        return WindowsCodePage::fromUnicode(encoding, c.unicode()) >= 0;
    });
}

// One sequence under the raw converter's rules: its length, or 0 when it is malformed.
int rawSequence(const unsigned char *bytes, int count, int i, char16_t *unit) {
    const unsigned b0 = bytes[i];
    if (b0 < 0x80) {
        *unit = static_cast<char16_t>(b0);
        return 1;
    }
    const int length = (b0 & 0x20) ? 3 : 2;
    if (count - i < length) return 0;
    for (int k = 1; k < length; ++k) {
        if ((bytes[i + k] & 0xC0) != 0x80) return 0;
    }
    if (length == 2)
        *unit = static_cast<char16_t>(((b0 & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
    else
        *unit =
            static_cast<char16_t>(((b0 & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F));
    return length;
}

} // namespace

int utf16ToUtf8(unsigned char *out, int capacity, const char16_t *units, int count) {
    if (!units) return 0;
    count = std::max(count, 0);
    if (!out) {
        qint64 needed = 1;
        for (int i = 0; i < count; ++i) needed += units[i] < 0x80 ? 1 : units[i] < 0x800 ? 2 : 3;
        // Beyond int no caller buffer can be described anyway.
        return static_cast<int>(std::min<qint64>(needed, INT_MAX));
    }
    // Not even the terminator fits: nothing is written.
    if (capacity < 1) return 0;
    int pos = 0;
    for (int i = 0; i < count && pos < capacity; ++i) {
        const char16_t u = units[i];
        if (u < 0x80) {
            out[pos++] = static_cast<unsigned char>(u);
            continue;
        }
        const int length = u < 0x800 ? 2 : 3;
        if (capacity - pos < length) {
            out[pos] = 0;
            return pos + 1;
        }
        if (length == 2) {
            out[pos++] = static_cast<unsigned char>(0xC0 | (u >> 6));
        } else {
            out[pos++] = static_cast<unsigned char>(0xE0 | (u >> 12));
            out[pos++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
        }
        out[pos++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    }
    if (pos == capacity) {
        out[capacity - 1] = 0;
        return capacity;
    }
    out[pos] = 0;
    return pos + 1;
}

int utf8ToUtf16(char16_t *out, int capacity, const unsigned char *bytes, int count) {
    if (!bytes) return 0;
    count = std::max(count, 0);
    char16_t unit = 0;
    if (!out) {
        qint64 needed = 1;
        for (int i = 0; i < count; ++needed) {
            const int length = rawSequence(bytes, count, i, &unit);
            if (length == 0) return -1;
            i += length;
        }
        return static_cast<int>(std::min<qint64>(needed, INT_MAX));
    }
    if (capacity < 1) return 0;
    int pos = 0;
    for (int i = 0; i < count && pos < capacity;) {
        const int length = rawSequence(bytes, count, i, &unit);
        if (length == 0) return -1;
        out[pos++] = unit;
        i += length;
    }
    if (pos == capacity) {
        out[capacity - 1] = 0;
        return capacity;
    }
    out[pos] = 0;
    return pos + 1;
}

void replaceBytes(QByteArray &data, unsigned char from, unsigned char to) {
    if (!data.contains(static_cast<char>(from))) return;
    data.replace(static_cast<char>(from), static_cast<char>(to));
}

int legacyTextEncoding() {
    if (g_legacyEncoding == kEncodingNotRead) {
        const qint64 stored = Defaults::standard().integerForKey(kEncodingKey);
        g_legacyEncoding = isCandidate(stored) ? static_cast<int>(stored) : kFallbackEncoding;
    }
    return g_legacyEncoding;
}

QList<int> legacyEncodingCandidates() {
    static const QList<int> candidates = {kEncodingWindows1251, kEncodingWindows1252, kEncodingWindows1253,
                                          kEncodingWindows1254, kEncodingWindows1250};
    return candidates;
}

void resetLegacyTextEncodingCache() { g_legacyEncoding = kEncodingNotRead; }

QByteArray encodeTextField(const QString &text) {
    if (text.isNull()) return QByteArray();
    const auto *units = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype length = text.size();
    // At most 3 bytes per unit, plus the end byte.
    QByteArray buffer(length * 3 + 1, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(buffer.data());
    // Only a continuation byte can come out as 0xA6, so the escape is applied there.
    auto continuation = [](unsigned bits) {
        const auto byte = static_cast<unsigned char>(0x80 | (bits & 0x3F));
        return byte == kFieldSeparator ? kSeparatorEscape : byte;
    };
    qsizetype pos = 0;
    qsizetype i = 0;
    while (i < length) {
        const qsizetype run = narrowPlain(units + i, length - i, out + pos);
        i += run;
        pos += run;
        if (i == length) break;
        char16_t u = units[i++];
        // U+0000 and U+0001 must not reach the wire, see withoutFrameControls.
        if (u <= 1) u = kReplacementCharacter;
        if (u < 0x80) {
            out[pos++] = static_cast<unsigned char>(u);
        } else if (u < 0x800) {
            out[pos++] = static_cast<unsigned char>(0xC0 | (u >> 6));
            out[pos++] = continuation(u);
        } else {
            out[pos++] = static_cast<unsigned char>(0xE0 | (u >> 12));
            out[pos++] = continuation(u >> 6);
            out[pos++] = continuation(u);
        }
    }
    out[pos] = kTextFieldEnd;
    buffer.truncate(pos + 1);
    return buffer;
}

QString decodeTextField(const QByteArray &bytes) {
    if (bytes.isEmpty()) return emptyText();
    if (static_cast<unsigned char>(bytes.back()) != kTextFieldEnd) return decodeLegacyText(bytes);

    const QByteArrayView body = QByteArrayView(bytes).first(bytes.size() - 1);
    QString text;
    if (body.size() < INT_MAX && decodeRawEscaped(body, &text)) return text;
    // The raw converter refuses standard 4-byte sequences, which other peers do send.
    if (decodeUtf8<true>(body, Strays::Replace, &text)) return text;
    // A peer that sent 0x01 as itself rather than as the separator's stand-in; the end byte is
    // framing, not text.
    if (decodeUtf8<false>(body, Strays::Replace, &text)) return text;
    return errorText();
}

QByteArray encodeUtf8DataField(const QString &text) {
    QByteArray bytes = text.toUtf8();
    // Only these characters give the bytes 0x00 and 0x01 in UTF-8, so nothing else changes.
    replaceBytes(bytes, 0x00, kBlank);
    replaceBytes(bytes, kSeparatorEscape, kBlank);
    replaceBytes(bytes, kFieldSeparator, kSeparatorEscape);
    return bytes;
}

QByteArray encodeLegacyText(const QString &text) {
    if (text.isNull()) return QByteArray();
    int encoding = legacyTextEncoding();
    const auto *units = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype size = text.size();
    // Plain ASCII, the usual case, is the same bytes in every code page and never switches it.
    QByteArray out(size, Qt::Uninitialized);
    auto *bytes = reinterpret_cast<unsigned char *>(out.data());
    qsizetype ascii = 0;
    while (ascii < size) {
        ascii += narrowPlain(units + ascii, size - ascii, bytes + ascii);
        if (ascii == size || units[ascii] > 1) break;
        // U+0000 and U+0001 travel as blanks, see withoutFrameControls.
        bytes[ascii++] = kBlank;
    }
    if (ascii == size) return size == 0 ? QByteArray("") : out;

    const QString clean = withoutFrameControls(text, kBlank);
    if (!fitsCodePage(clean, encoding)) {
        for (int candidate : legacyEncodingCandidates()) {
            if (candidate == encoding || !fitsCodePage(clean, candidate)) continue;
            encoding = candidate;
            g_legacyEncoding = candidate;
            Defaults::standard().setValue(kEncodingKey, candidate);
            break;
        }
    }

    // The ASCII prefix is already in place; one byte per unit at most follows.
    bool lossy = false;
    qsizetype pos = ascii;
    for (qsizetype i = ascii; i < size; ++i) {
        const char16_t unit = clean.at(i).unicode();
        int byte = WindowsCodePage::fromUnicode(encoding, unit);
        if (byte < 0) {
            lossy = true;
            byte = kQuestionMark;
            // A surrogate pair is one character and takes one place.
            if (QChar::isHighSurrogate(unit) && i + 1 < size && clean.at(i + 1).isLowSurrogate()) ++i;
        }
        bytes[pos++] = static_cast<unsigned char>(byte);
    }
    out.truncate(pos);
    // The broken bar stays 0xA6 here, as peers expect; the frame reader rejects such a frame.
    if (lossy) replaceBytes(out, kQuestionMark, kBlank);
    return out;
}

QString decodeLegacyText(const QByteArray &bytes) {
    QString text;
    if (decodeUtf8<true>(bytes, Strays::Reject, &text)) return text;

    // The received bytes as they are; every byte has a character in these code pages, so this
    // never fails.
    const int encoding = legacyTextEncoding();
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    text = QString(size, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    // ASCII is the same in every supported code page, so only the upper half needs the table.
    const bool supported = WindowsCodePage::isSupported(encoding);
    for (qsizetype i = 0; i < size;) {
        if (supported) {
            i += widenPlain(in + i, size - i, out + i);
            if (i == size) break;
        }
        out[i] = WindowsCodePage::toUnicode(encoding, in[i]);
        ++i;
    }
    return text;
}

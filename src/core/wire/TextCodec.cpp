#include "core/wire/TextCodec.h"

#include "core/wire/WindowsCodePage.h"
#include "platform/defaults/Defaults.h"

#include <QByteArrayView>

#include <algorithm>
#include <climits>

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

// Units per call of the raw converter, so texts of any length stay within its int counts.
constexpr qsizetype kConversionChunk = qsizetype(1) << 20;

QString errorText() { return QStringLiteral("[UTF8 decoding error, contact support@murnavell.example]"); }

// Received text is never null, also when empty.
QString emptyText() { return QLatin1String(""); }

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
// a NUL and the overlong NUL C0 80 become U+FFFD; anything else that is not UTF-8 fails.
bool decodeUtf8(QByteArrayView bytes, Strays strays, QString *result) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype n = bytes.size();
    // Every input byte yields at most one unit.
    QString text(n, Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    qsizetype o = 0;
    auto isContinuation = [&](qsizetype k) { return k < n && (p[k] & 0xC0) == 0x80; };
    qsizetype i = 0;
    while (i < n) {
        const unsigned b0 = p[i];
        if (b0 < 0x80) {
            out[o++] =
                b0 == 0 && strays == Strays::Replace ? kReplacementCharacter : static_cast<char16_t>(b0);
            i += 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (!isContinuation(i + 1)) return false;
            out[o++] = static_cast<char16_t>(((b0 & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
        } else if (b0 == 0xC0 && i + 1 < n && p[i + 1] == 0x80) {
            if (strays == Strays::Reject) return false;
            out[o++] = kReplacementCharacter;
            i += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            if (!isContinuation(i + 1) || !isContinuation(i + 2)) return false;
            if (b0 == 0xE0 && p[i + 1] < 0xA0) return false; // overlong
            const auto unit =
                static_cast<char16_t>(((b0 & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
            i += 3;
            if (!QChar::isSurrogate(unit)) {
                out[o++] = unit;
                continue;
            }
            const bool lowFollows = QChar::isHighSurrogate(unit) && i + 2 < n && p[i] == 0xED &&
                                    p[i + 1] >= 0xB0 && p[i + 1] <= 0xBF && (p[i + 2] & 0xC0) == 0x80;
            if (lowFollows) {
                out[o++] = unit;
                out[o++] = static_cast<char16_t>(0xD000 | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
                i += 3;
            } else {
                if (strays == Strays::Reject) return false;
                out[o++] = kReplacementCharacter;
            }
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            if (!isContinuation(i + 1) || !isContinuation(i + 2) || !isContinuation(i + 3)) return false;
            if (b0 == 0xF0 && p[i + 1] < 0x90) return false; // overlong
            if (b0 == 0xF4 && p[i + 1] > 0x8F) return false; // above U+10FFFF
            const char32_t codePoint = ((b0 & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) |
                                       ((p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
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
    const QString clean = withoutFrameControls(text, kReplacementCharacter);
    const auto *units = reinterpret_cast<const char16_t *>(clean.constData());
    const qsizetype length = clean.size();
    // At most 3 bytes per unit, plus the terminator that becomes the end byte.
    QByteArray buffer(length * 3 + 1, Qt::Uninitialized);
    auto *out = reinterpret_cast<unsigned char *>(buffer.data());
    qsizetype written = 0;
    for (qsizetype start = 0; start < length; start += kConversionChunk) {
        const int count = static_cast<int>(std::min(kConversionChunk, length - start));
        written += utf16ToUtf8(out + written, count * 3 + 1, units + start, count) - 1;
    }
    buffer.truncate(written + 1);
    replaceBytes(buffer, kFieldSeparator, kSeparatorEscape);
    buffer[written] = static_cast<char>(kTextFieldEnd);
    return buffer;
}

QString decodeTextField(const QByteArray &bytes) {
    if (bytes.isEmpty()) return emptyText();
    if (static_cast<unsigned char>(bytes.back()) != kTextFieldEnd) return decodeLegacyText(bytes);

    QByteArray body = bytes.first(bytes.size() - 1);
    replaceBytes(body, kSeparatorEscape, kFieldSeparator);
    if (body.size() < INT_MAX) {
        const int capacity = static_cast<int>(body.size() + 1);
        QString text(capacity, Qt::Uninitialized);
        const int units = utf8ToUtf16(reinterpret_cast<char16_t *>(text.data()), capacity,
                                      reinterpret_cast<const unsigned char *>(body.constData()),
                                      static_cast<int>(body.size()));
        if (units > 0) {
            text.truncate(units - 1);
            replaceStrays(text);
            return text;
        }
    }
    // The raw converter refuses standard 4-byte sequences, which other peers do send.
    QString text;
    if (decodeUtf8(body, Strays::Replace, &text)) return text;
    // A peer that sent 0x01 as itself rather than as the separator's stand-in; the end byte is
    // framing, not text.
    if (decodeUtf8(QByteArrayView(bytes).first(bytes.size() - 1), Strays::Replace, &text)) return text;
    return errorText();
}

QByteArray encodeLegacyText(const QString &text) {
    if (text.isNull()) return QByteArray();
    const QString clean = withoutFrameControls(text, kBlank);
    int encoding = legacyTextEncoding();
    if (!fitsCodePage(clean, encoding)) {
        for (int candidate : legacyEncodingCandidates()) {
            if (candidate == encoding || !fitsCodePage(clean, candidate)) continue;
            encoding = candidate;
            g_legacyEncoding = candidate;
            Defaults::standard().setValue(kEncodingKey, candidate);
            break;
        }
    }

    QByteArray out("");
    out.reserve(clean.size());
    bool lossy = false;
    const qsizetype size = clean.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = clean.at(i).unicode();
        int byte = WindowsCodePage::fromUnicode(encoding, unit);
        if (byte < 0) {
            lossy = true;
            byte = kQuestionMark;
            // A surrogate pair is one character and takes one place.
            if (QChar::isHighSurrogate(unit) && i + 1 < size && clean.at(i + 1).isLowSurrogate()) ++i;
        }
        out.append(static_cast<char>(byte));
    }
    // The broken bar stays 0xA6 here, as peers expect; the frame reader rejects such a frame.
    if (lossy) replaceBytes(out, kQuestionMark, kBlank);
    return out;
}

QString decodeLegacyText(const QByteArray &bytes) {
    QByteArray copy = bytes;
    replaceBytes(copy, kSeparatorEscape, kFieldSeparator);
    QString text;
    if (decodeUtf8(copy, Strays::Reject, &text)) return text;

    // The received bytes as they are; every byte has a character in these code pages, so this
    // never fails.
    const int encoding = legacyTextEncoding();
    text = QString(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (qsizetype i = 0; i < bytes.size(); ++i)
        out[i] = WindowsCodePage::toUnicode(encoding, static_cast<unsigned char>(bytes.at(i)));
    return text;
}

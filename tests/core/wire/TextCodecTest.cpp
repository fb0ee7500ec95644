#include "core/wire/TextCodec.h"
#include "core/wire/WindowsCodePage.h"
#include "platform/defaults/Defaults.h"

#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>
#include <iconv.h>

#include <string_view>
#include <vector>

using namespace std::literals;

// Readable failure output; internal linkage so other test files may print these types their way.
static void PrintTo(const QByteArray &bytes, std::ostream *os) {
    *os << "hex:" << bytes.toHex(' ').constData();
}
static void PrintTo(const QString &text, std::ostream *os) {
    const QByteArray units(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    *os << '"' << text.toUtf8().constData() << "\" utf16le:" << units.toHex(' ').constData();
}

namespace {

QString u16(std::u16string_view text) { return QString::fromUtf16(text.data(), qsizetype(text.size())); }
QByteArray hex(const char *digits) { return QByteArray::fromHex(digits); }

const QString kErrorText = QStringLiteral("[UTF8 decoding error, contact support@murnavell.example]");

class TextCodecTest : public ::testing::Test {
protected:
    void SetUp() override { useEncoding(kEncodingWindows1252); }
    void TearDown() override {
        Defaults::standard().removeObject(QStringLiteral("encoding"));
        resetLegacyTextEncodingCache();
    }
    static void useEncoding(const QVariant &value) {
        Defaults::standard().setValue(QStringLiteral("encoding"), value);
        resetLegacyTextEncodingCache();
    }
    static qint64 storedEncoding() { return Defaults::standard().integerForKey(QStringLiteral("encoding")); }
};

// ---- Text-field form ----

TEST_F(TextCodecTest, TextFieldRoundTrip) {
    const struct {
        QString text;
        QByteArray wire;
    } cases[] = {
        {QLatin1String(""), hex("1f")},
        {QStringLiteral("Hi"), hex("48 69 1f")},
        {u16(u"\u00A6"), hex("c2 01 1f")},                     // the separator byte travels as 0x01
        {u16(u"\u0426x"), hex("d0 01 78 1f")},                 // Cyrillic Ц, second byte 0xA6
        {u16(u"\u20AC"), hex("e2 82 ac 1f")},                  // three-byte character
        {u16(u"a\U0001F600"), hex("61 ed a0 bd ed b8 80 1f")}, // one 3-byte sequence per surrogate
        {u16(u"\u001F"), hex("1f 1f")},                        // a text ending in the end byte keeps it
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.wire.toHex(' ').constData());
        EXPECT_EQ(encodeTextField(c.text), c.wire);
        const QString back = decodeTextField(c.wire);
        EXPECT_EQ(back, c.text);
        EXPECT_FALSE(back.isNull());
    }
    EXPECT_TRUE(encodeTextField(QString()).isNull());
    EXPECT_FALSE(decodeTextField(QByteArray()).isNull());
}

TEST_F(TextCodecTest, TextFieldRoundTripsEveryCharacter) {
    QString all;
    for (char32_t c = 2; c <= 0xFFFF; ++c) {
        if (!QChar::isSurrogate(c)) all.append(QChar(char16_t(c)));
    }
    all.append(u16(u"\U00010000\U0010FFFF\U0001F600"));
    const QByteArray wire = encodeTextField(all);
    EXPECT_FALSE(wire.contains('\xA6'));
    EXPECT_FALSE(wire.contains('\0'));
    EXPECT_EQ(wire.back(), '\x1F');
    EXPECT_EQ(decodeTextField(wire), all);
}

TEST_F(TextCodecTest, DecodeTextFieldFromPeers) {
    const struct {
        QByteArray wire;
        QString text;
    } cases[] = {
        {hex("f0 9f 98 80 1f"), u16(u"\U0001F600")}, // standard 4-byte form
        {hex("41 f0 9f 98 80 42 1f"), u16(u"A\U0001F600B")},
        {hex("f0 9f 98 80 c2 01 1f"), u16(u"\U0001F600\u00A6")},                 // escape still undone
        {hex("f0 9f 98 80 ed a0 bd ed b8 80 1f"), u16(u"\U0001F600\U0001F600")}, // both forms mixed
        {hex("ed a0 80 1f"), u16(u"\uFFFD")},                                    // lone high surrogate
        {hex("61 ed b0 80 1f"), u16(u"a\uFFFD")},                                // lone low surrogate
        {hex("c0 80 1f"), u16(u"\uFFFD")},                                       // overlong NUL
        {hex("f0 9f 98 80 ed a0 80 1f"), u16(u"\U0001F600\uFFFD")},
        {hex("01 f0 9f 98 80 1f"), u16(u"\u0001\U0001F600")}, // a bare 0x01, not the escape
        {hex("ff fe 1f"), kErrorText},
        {hex("61 f0 9f 1f"), kErrorText}, // cut 4-byte sequence
        {hex("c3 28 1f"), kErrorText},
        {QByteArray("Ab"), QStringLiteral("Ab")},          // no end byte: legacy form
        {hex("c4 e8 1f 41"), u16(u"\u00C4\u00E8\u001FA")}, // legacy form in Windows-1252
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.wire.toHex(' ').constData());
        EXPECT_EQ(decodeTextField(c.wire), c.text);
    }
}

TEST_F(TextCodecTest, FrameControlsNeverReachTheWire) {
    const QString text = u16(u"a\0b\u0001c"sv);
    EXPECT_EQ(encodeTextField(text), hex("61 ef bf bd 62 ef bf bd 63 1f"));
    EXPECT_EQ(encodeLegacyText(text), QByteArray("a b c"));
    EXPECT_EQ(legacyTextEncoding(), kEncodingWindows1252);
}

// Whatever a peer sends, the text holds no U+0000 and no unpaired surrogate.
TEST_F(TextCodecTest, ReceivedTextIsAlwaysWellFormed) {
    const QByteArray prefixes[] = {QByteArray(), hex("f0"), hex("ed"), hex("e0"), hex("c0")};
    for (const QByteArray &prefix : prefixes) {
        for (int a = 0; a <= 0xFF; ++a) {
            for (int b = 0; b <= 0xFF; ++b) {
                const QByteArray body = prefix + char(a) + char(b);
                const QString text = decodeTextField(body + '\x1F');
                ASSERT_FALSE(text.isNull());
                for (qsizetype i = 0; i < text.size(); ++i) {
                    const QChar c = text.at(i);
                    ASSERT_NE(c.unicode(), 0) << body.toHex(' ').constData();
                    if (c.isHighSurrogate()) {
                        ASSERT_TRUE(i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                            << body.toHex(' ').constData();
                        ++i;
                    } else {
                        ASSERT_FALSE(c.isLowSurrogate()) << body.toHex(' ').constData();
                    }
                }
                ASSERT_LE(decodeLegacyText(body).size(), body.size());
            }
        }
    }
}

// ---- Legacy form ----

TEST_F(TextCodecTest, LegacyEncodingSwitchesToFirstFittingCandidate) {
    const struct {
        int start;
        QString text;
        QByteArray bytes;
        int after;
    } cases[] = {
        {12, u16(u"\u0418\u0432\u0430\u043D"), hex("c8 e2 e0 ed"), 11}, // Russian name
        {12, u16(u"Stra\u00DFe?"), hex("53 74 72 61 df 65 3f"), 12},    // fits: genuine ? kept
        {12, u16(u"\u03A9"), hex("d9"), 13},                            // Greek
        {12, u16(u"\u011E\u00FC"), hex("d0 fc"), 14},                   // Turkish
        {12, u16(u"\u0141\u00F3d\u017A"), hex("a3 f3 64 9f"), 15},      // Polish
        {11, QStringLiteral("Hello"), QByteArray("Hello"), 11},         // ASCII fits everywhere
        {11, u16(u"\u00E9"), hex("e9"), 12},                            // back to Western
        // Greek and Cyrillic together fit no candidate: blanks, also for the genuine "?".
        {12, u16(u"A\u03A9\u0416?b"), QByteArray("A   b"), 12},
        {15, u16(u"\u03A9\U0001F600\u0416"), QByteArray("   "), 15}, // a surrogate pair is one blank
        {12, u16(u"x\u00A6y"), hex("78 a6 79"), 12},                 // no escape in this form
        {12, QLatin1String(""), QByteArray(""), 12},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes.toHex(' ').constData());
        useEncoding(c.start);
        EXPECT_EQ(encodeLegacyText(c.text), c.bytes);
        EXPECT_EQ(legacyTextEncoding(), c.after);
        EXPECT_EQ(storedEncoding(), c.after);
    }
}

TEST_F(TextCodecTest, SwitchedEncodingPersists) {
    encodeLegacyText(u16(u"\u041F\u0451\u0442\u0440"));
    EXPECT_EQ(legacyTextEncoding(), kEncodingWindows1251);
    EXPECT_EQ(Defaults(Defaults::standardPath()).integerForKey(QStringLiteral("encoding")), 11);
    resetLegacyTextEncodingCache();
    EXPECT_EQ(legacyTextEncoding(), kEncodingWindows1251);
}

TEST_F(TextCodecTest, UnusableSettingWorksAsWesternWithoutWriting) {
    const QVariant values[] = {QVariant(), QVariant(0), QVariant(1), QVariant(99),
                               QVariant(QStringLiteral("x"))};
    for (const QVariant &value : values) {
        SCOPED_TRACE(value.toString().toStdString());
        useEncoding(value);
        EXPECT_EQ(legacyTextEncoding(), kEncodingWindows1252);
        EXPECT_EQ(encodeLegacyText(u16(u"\u00E9")), hex("e9"));
        EXPECT_EQ(Defaults::standard().value(QStringLiteral("encoding")), value);
    }
    EXPECT_EQ(legacyEncodingCandidates(), (QList<int>{11, 12, 13, 14, 15}));
}

TEST_F(TextCodecTest, DecodeLegacyText) {
    const struct {
        int encoding;
        QByteArray bytes;
        QString text;
    } cases[] = {
        {11, hex("c8 e2 e0 ed"), u16(u"\u0418\u0432\u0430\u043D")},
        {12, hex("c8 e2 e0 ed"), u16(u"\u00C8\u00E2\u00E0\u00ED")},
        {13, hex("d9"), u16(u"\u03A9")},
        {12, QByteArray("Ab"), QStringLiteral("Ab")},
        {11, hex("d0 98 d0 b2"), u16(u"\u0418\u0432")},     // UTF-8 wins
        {12, hex("d0 01"), u16(u"\u0426")},                 // UTF-8 with the escape
        {12, hex("ed a0 bd ed b8 80"), u16(u"\U0001F600")}, // our own non-BMP form
        {12, hex("f0 9f 98 80"), u16(u"\U0001F600")},
        {12, hex("c0 80"), u16(u"\u00C0\u20AC")},          // not UTF-8: code page
        {12, hex("ed a0 80"), u16(u"\u00ED\u00A0\u20AC")}, // lone surrogate: code page
        {12, hex("61 01 62"), u16(u"a\u0001b")},           // code page reads the bytes as sent
        {12, hex("81"), u16(u"\u0081")},                   // undefined bytes still decode
        {11, hex("98"), u16(u"\u0098")},
        {13, hex("aa"), u16(u"\u00AA")},
        {12, QByteArray(), QLatin1String("")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes.toHex(' ').constData());
        useEncoding(c.encoding);
        const QString text = decodeLegacyText(c.bytes);
        EXPECT_EQ(text, c.text);
        EXPECT_FALSE(text.isNull());
    }
}

TEST_F(TextCodecTest, EveryLegacyByteRoundTrips) {
    for (int encoding : legacyEncodingCandidates()) {
        useEncoding(encoding);
        for (int b = 0x80; b <= 0xFF; ++b) {
            SCOPED_TRACE(testing::Message() << encoding << " byte " << b);
            const QByteArray byte(1, char(b));
            const QString text = decodeLegacyText(byte);
            ASSERT_EQ(text.size(), 1);
            EXPECT_EQ(encodeLegacyText(text), byte);
            EXPECT_EQ(legacyTextEncoding(), encoding);
        }
    }
}

// The tables agree with glibc's converters; bytes those leave undefined read as U+0000 + byte.
TEST(WindowsCodePageTest, TablesMatchIconv) {
    for (int encoding : legacyEncodingCandidates()) {
        const QByteArray name = "CP" + QByteArray::number(WindowsCodePage::codePageNumber(encoding));
        iconv_t cd = iconv_open("UTF-16LE", name.constData());
        ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1)) << name.constData();
        int undefined = 0;
        for (int b = 0; b <= 0xFF; ++b) {
            SCOPED_TRACE(testing::Message() << name.constData() << " byte " << b);
            char in = char(b);
            char16_t unit = 0;
            char *inPtr = &in;
            char *outPtr = reinterpret_cast<char *>(&unit);
            size_t inLeft = 1, outLeft = sizeof unit;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            const bool defined = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) && outLeft == 0;
            const char16_t expected = defined ? unit : char16_t(b);
            undefined += defined ? 0 : 1;
            EXPECT_EQ(WindowsCodePage::toUnicode(encoding, uint8_t(b)), expected);
            EXPECT_EQ(WindowsCodePage::fromUnicode(encoding, expected), b);
        }
        iconv_close(cd);
        EXPECT_LT(undefined, 20);
    }
    EXPECT_EQ(WindowsCodePage::fromUnicode(12, u'\u0416'), -1);
    EXPECT_EQ(WindowsCodePage::fromUnicode(12, char16_t(0xD83D)), -1);
    EXPECT_EQ(WindowsCodePage::fromUnicode(10, u'a'), -1);
}

// ---- Raw converters ----

TEST(TextCodecRawTest, Utf16ToUtf8Counting) {
    const struct {
        std::u16string_view units;
        int needed;
    } cases[] = {{u"", 1}, {u"A", 2}, {u"\u00E9", 3}, {u"\u07FF", 3}, {u"\u0800", 4}, {u"\U0001F600", 7}};
    for (const auto &c : cases)
        EXPECT_EQ(utf16ToUtf8(nullptr, 0, c.units.data(), int(c.units.size())), c.needed);
    EXPECT_EQ(utf16ToUtf8(nullptr, 0, nullptr, 3), 0);
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(utf16ToUtf8(out, 4, nullptr, 3), 0);
    EXPECT_EQ(out[0], 0xEE);
}

TEST(TextCodecRawTest, Utf16ToUtf8StaysInsideCapacity) {
    const std::u16string_view units = u"a\u0416b"; // 61, d0 96, 62
    const struct {
        int capacity;
        QByteArray written; // including the terminator
    } cases[] = {
        {0, QByteArray()},          {1, hex("00")},          {2, hex("61 00")},
        {3, hex("61 d0 00")},       {4, hex("61 d0 96 00")}, {5, hex("61 d0 96 62 00")},
        {9, hex("61 d0 96 62 00")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<unsigned char> buffer(12, 0xEE);
        const int n = utf16ToUtf8(buffer.data(), c.capacity, units.data(), int(units.size()));
        EXPECT_EQ(n, c.written.size());
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(buffer.data()), n), c.written);
        for (std::size_t i = std::size_t(n); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;
    }
}

TEST(TextCodecRawTest, Utf8ToUtf16Counting) {
    const struct {
        QByteArray bytes;
        int needed;
    } cases[] = {
        {QByteArray(""), 1},      {QByteArray("A"), 2}, {hex("d0 a6"), 2},  {hex("ed a0 bd ed b8 80"), 3},
        {hex("80 80"), 2},        // lead bytes follow the bit rule only
        {hex("f0 9f 98 80"), -1}, // the fourth byte starts a sequence that never ends
        {hex("d0"), -1},          {hex("d0 41"), -1},   {hex("e2 82"), -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes.toHex(' ').constData());
        const auto *bytes = reinterpret_cast<const unsigned char *>(c.bytes.constData());
        EXPECT_EQ(utf8ToUtf16(nullptr, 0, bytes, int(c.bytes.size())), c.needed);
        std::vector<char16_t> out(std::size_t(c.bytes.size()) + 1);
        EXPECT_EQ(utf8ToUtf16(out.data(), int(out.size()), bytes, int(c.bytes.size())), c.needed);
    }
    EXPECT_EQ(utf8ToUtf16(nullptr, 0, nullptr, 2), 0);
    // A sequence cut by the count is malformed even when the buffer holds its rest.
    const unsigned char cut[] = {0xD0, 0xA6};
    EXPECT_EQ(utf8ToUtf16(nullptr, 0, cut, 1), -1);
}

TEST(TextCodecRawTest, Utf8ToUtf16StaysInsideCapacity) {
    const unsigned char bytes[] = {'a', 0xD0, 0xA6, 'b'};
    const struct {
        int capacity;
        std::u16string_view written; // including the terminator
    } cases[] = {{0, u""},
                 {1, u"\0"sv},
                 {2, u"a\0"sv},
                 {3, u"a\u0426\0"sv},
                 {4, u"a\u0426b\0"sv},
                 {8, u"a\u0426b\0"sv}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<char16_t> buffer(10, 0xEEEE);
        const int n = utf8ToUtf16(buffer.data(), c.capacity, bytes, 4);
        EXPECT_EQ(n, int(c.written.size()));
        EXPECT_EQ(std::u16string_view(buffer.data(), std::size_t(n)), c.written);
        for (std::size_t i = std::size_t(n); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEEEE) << i;
    }
}

TEST(TextCodecRawTest, ReplaceBytes) {
    QByteArray data = hex("a6 01 a6 1f");
    replaceBytes(data, 0xA6, 0x01);
    EXPECT_EQ(data, hex("01 01 01 1f"));
    replaceBytes(data, 0x01, 0xA6);
    EXPECT_EQ(data, hex("a6 a6 a6 1f"));
}

} // namespace

#include "FrameTestSupport.h"

using namespace frametest;

namespace {

class KDTAESTest : public WireTest {};

TEST_F(KDTAESTest, KeyAndOneByteData) {
    EXPECT_EQ(KDTAES::packetKey(), QByteArray("Qm7#vT2k!Zp9$Lr4^Wx6&Nc8*Hb3@Jd5"));
    EXPECT_EQ(KDTAES::packetKey().size(), 32);
    EXPECT_EQ(KDTAES::oneByteData(0x00), QByteArray(1, '\0'));
    EXPECT_EQ(KDTAES::oneByteData(0xA6), QByteArray("\xA6"));
}

// Ciphertext is the plaintext rounded up to whole blocks, with a full block of padding on a
// block boundary; decryption gives the padded plaintext and then 16 zero bytes.
TEST_F(KDTAESTest, CiphertextLengthAndPaddedDecryption) {
    const struct {
        int plainLength;
        int cipherLength;
    } cases[] = {{0, 16}, {1, 16}, {15, 16}, {16, 32}, {17, 32}, {100, 112}};
    for (const auto &c : cases) {
        QByteArray plain(c.plainLength, Qt::Uninitialized);
        for (int i = 0; i < c.plainLength; ++i) plain[i] = char(i * 7 + 1);
        const QByteArray ciphertext = KDTAES::encryptDataToData(plain);
        ASSERT_EQ(ciphertext.size(), c.cipherLength) << c.plainLength;

        const int pad = c.cipherLength - c.plainLength;
        const QByteArray expected = plain + QByteArray(pad, char(pad)) + QByteArray(16, '\0');
        EXPECT_EQ(KDTAES::decryptDataToData(ciphertext), expected) << c.plainLength;
    }
}

TEST_F(KDTAESTest, RaggedCiphertextDecryptsWholeBlocksOnly) {
    const QByteArray plain(32, 'A');
    const QByteArray ciphertext = KDTAES::encryptDataToData(plain);
    const struct {
        int length;
        int clearBytes;
    } cases[] = {{0, 0}, {5, 0}, {15, 0}, {20, 16}, {47, 32}};
    for (const auto &c : cases) {
        const QByteArray out = KDTAES::decryptDataToData(ciphertext.left(c.length));
        ASSERT_EQ(out.size(), c.length + 16) << c.length;
        EXPECT_EQ(out.left(c.clearBytes), plain.left(c.clearBytes)) << c.length;
        EXPECT_EQ(out.mid(c.clearBytes), QByteArray(out.size() - c.clearBytes, '\0')) << c.length;
    }
    // A failed call leaves nothing behind for the next one.
    EXPECT_EQ(KDTAES::decryptDataToData(ciphertext).left(32), plain);
}

struct StringCase {
    const char *name;
    QString text;
    bool utf;
    QByteArray plain; // what goes under the cipher
};

TEST_F(KDTAESTest, StringCipherRoundTrips) {
    const StringCase cases[] = {
        {"empty, UTF-8", QString(), true, QByteArray(1, '\0')},
        {"empty, legacy", QString(), false, QByteArray(1, '\0')},
        {"ASCII, UTF-8", QStringLiteral("Hello"), true, QByteArray("Hello\0", 6)},
        {"ASCII, legacy", QStringLiteral("Hello"), false, QByteArray("Hello\0", 6)},
        {"Western, UTF-8", QStringLiteral("Gr\u00fc\u00dfe \u00a6"), true,
         QByteArray("Gr\xc3\xbc\xc3\x9f"
                    "e \xc2\xa6\0",
                    11)},
        {"Western, legacy", QStringLiteral("Gr\u00fc\u00dfe"), false,
         QByteArray("Gr\xfc\xdf"
                    "e\0",
                    6)},
        {"a whole block of text", QStringLiteral("0123456789abcdef"), true,
         QByteArray("0123456789abcdef\0", 17)},
    };
    for (const auto &c : cases) {
        const QByteArray ciphertext = KDTAES::encryptString(c.text, c.utf);
        EXPECT_EQ(plainOf(ciphertext.toBase64() + kEndMark), c.plain) << c.name;
        const QString back = KDTAES::decryptString(ciphertext, c.utf);
        EXPECT_FALSE(back.isNull()) << c.name;
        EXPECT_EQ(back, c.text) << c.name;
    }
}

TEST_F(KDTAESTest, StringCipherCyrillicInLegacyForm) {
    const QString name = QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442");
    const QByteArray ciphertext = KDTAES::encryptString(name, false);
    // Windows-1251, the first code page that holds the name.
    EXPECT_EQ(plainOf(ciphertext.toBase64() + kEndMark), QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2\0", 7));
    EXPECT_EQ(KDTAES::decryptString(ciphertext, false), name);
}

TEST_F(KDTAESTest, DecryptStringCutsAtFirstZeroAndRejectsBadUtf8) {
    EXPECT_EQ(KDTAES::decryptString(KDTAES::encryptDataToData(QByteArray("ab\0cd", 5)), true),
              QStringLiteral("ab"));
    EXPECT_TRUE(KDTAES::decryptString(KDTAES::encryptDataToData(QByteArray("\xff\xfe\0", 3)), true).isNull());
    EXPECT_FALSE(
        KDTAES::decryptString(KDTAES::encryptDataToData(QByteArray("\xff\xfe\0", 3)), false).isNull());
    // Nothing to decrypt is an empty text, not a failure.
    EXPECT_EQ(KDTAES::decryptString(QByteArray(), true), QString());
    EXPECT_FALSE(KDTAES::decryptString(QByteArray(), true).isNull());
}

TEST_F(KDTAESTest, SplittingOfDecryptedElements) {
    const struct {
        const char *name;
        QByteArray plain;
        std::optional<PacketArray> elements;
    } cases[] = {
        {"separator before the NUL", joined({"a", "b", kNul}), PacketArray{"a", "b"}},
        {"empty pieces", joined({"a", "", "b", kNul}), PacketArray{"a", "", "b"}},
        {"lone separator", joined({"", kNul}), PacketArray{""}},
        {"last piece loses its final byte",
         QByteArray("a\xA6"
                    "bc\0",
                    5),
         PacketArray{"a", "b"}},
        {"single byte without separator", QByteArray("a\0", 2), PacketArray{""}},
        {"nothing before the NUL", kNul, std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(KDTAES::decryptStringToArray(KDTAES::encryptDataToData(c.plain)), c.elements) << c.name;
    }
}

TEST_F(KDTAESTest, EncryptArrayJoinsWithSeparatorsAndEndMark) {
    const QByteArray frame = KDTAES::encryptArrayForPacket(
        {"3", "1234567", "W\u00e9", QByteArray("\x01\x02", 2), KDTAES::oneByteData(0)});
    EXPECT_EQ(plainOf(frame), QByteArray("3\xA6"
                                         "1234567\xA6W\xe9\xA6\x01\x02\xA6\0",
                                         17));
}

} // namespace

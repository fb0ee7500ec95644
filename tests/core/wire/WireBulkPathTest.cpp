// Long inputs with one special byte or character at every offset: the codec and the frame reader
// handle runs of plain bytes in blocks, so each block position of an exception is checked.
#include "FrameTestSupport.h"

#include <QString>

using namespace frametest;

namespace {

const QString kErrorText = QStringLiteral("[UTF8 decoding error, contact support@murnavell.example]");

// 64 plain ASCII characters, longer than any block.
QByteArray plainBytes() {
    QByteArray bytes;
    for (int i = 0; i < 64; ++i) bytes.append(char('A' + i % 26));
    return bytes;
}

class WireBulkPathTest : public WireTest {};

} // namespace

TEST_F(WireBulkPathTest, TextFieldExceptionsAtEveryOffset) {
    const QByteArray plain = plainBytes();
    const QString text = QString::fromLatin1(plain);
    for (int at = 0; at < 48; ++at) {
        // U+0426 is sent as D0 01 (its second byte 0xA6 escaped).
        QByteArray wire = plain;
        wire.replace(at, 1, QByteArray("\xD0\x01", 2));
        QString expected = text;
        expected[at] = QChar(0x0426);
        EXPECT_EQ(decodeTextField(wire + '\x1F'), expected) << at;
        EXPECT_EQ(encodeTextField(expected), wire + '\x1F') << at;

        // A NUL becomes U+FFFD.
        wire = plain;
        wire[at] = '\0';
        expected = text;
        expected[at] = QChar(0xFFFD);
        EXPECT_EQ(decodeTextField(wire + '\x1F'), expected) << at;

        // A lone continuation byte is no UTF-8 at all.
        wire = plain;
        wire[at] = char(0x80);
        EXPECT_EQ(decodeTextField(wire + '\x1F'), kErrorText) << at;

        // U+0001 may not reach the wire.
        expected = text;
        expected[at] = QChar(1);
        wire = plain;
        wire.replace(at, 1, QByteArray("\xEF\xBF\xBD"));
        EXPECT_EQ(encodeTextField(expected), wire + '\x1F') << at;
    }
}

TEST_F(WireBulkPathTest, LegacyExceptionsAtEveryOffset) {
    const QByteArray plain = plainBytes();
    const QString text = QString::fromLatin1(plain);
    for (int at = 0; at < 48; ++at) {
        // 0xE9 is no UTF-8 here, so the Western code page reads it.
        QByteArray bytes = plain;
        bytes[at] = char(0xE9);
        QString expected = text;
        expected[at] = QChar(0x00E9);
        EXPECT_EQ(decodeLegacyText(bytes), expected) << at;
        EXPECT_EQ(encodeLegacyText(expected), bytes) << at;

        // 0x01 stands for 0xA6, which starts no UTF-8 sequence; the code page keeps it as U+0001.
        bytes = plain;
        bytes[at] = char(0x01);
        expected = text;
        expected[at] = QChar(1);
        EXPECT_EQ(decodeLegacyText(bytes), expected) << at;
        // ... and U+0001 is sent as a blank.
        bytes[at] = ' ';
        EXPECT_EQ(encodeLegacyText(expected), bytes) << at;

        // C2 01 is C2 A6, the broken bar in UTF-8.
        bytes = plain;
        bytes.replace(at, 1, QByteArray("\xC2\x01", 2));
        expected = text;
        expected[at] = QChar(0x00A6);
        EXPECT_EQ(decodeLegacyText(bytes), expected) << at;
    }
}

TEST_F(WireBulkPathTest, ReaderSkipsForeignBytesAtEveryOffsetOfALongFrame) {
    QString longText;
    for (int i = 0; i < 300; ++i) longText.append(QChar(u'a' + i % 26));
    const PacketArray fields = {"TSM", "*", "pc-1", "A123", "*", "A456", encodeTextField(longText), "*"};
    const QByteArray frame = KDTPacket::PlainPackeFromArray(fields);
    ASSERT_FALSE(frame.isEmpty());
    const qsizetype textSize = frame.size() - 2;
    for (qsizetype at = 0; at < textSize; ++at) {
        KDTPacket::resetRecentIds();
        QByteArray received = frame;
        received.insert(at, '\n');
        const auto read = KDTPacket::ArrayFromBase64AESdata(received);
        ASSERT_TRUE(read.has_value()) << at;
        EXPECT_EQ(read->at(6).toString(), longText) << at;
        EXPECT_EQ(read->at(0).toString(), QStringLiteral("TSM")) << at;

        // A '=' with characters after it ends nothing and fails the whole text.
        if (at < textSize - 4) {
            KDTPacket::resetRecentIds();
            received = frame;
            received.insert(at, '=');
            EXPECT_FALSE(KDTPacket::ArrayFromBase64AESdata(received).has_value()) << at;
        }
    }
}

// The call words on the wire: the page's text as Base64 of UTF-16LE, the call id and room id of
// field 7, the four packets field by field, and what a peer may send that is refused.
#include "calls/CallPacket.h"
#include "CallTestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(CallPacketTest, TextsTravelAsBase64OfUtf16LittleEndian) {
    const struct {
        QString text;
        const char *base64;
    } cases[] = {
        {QString(), ""},
        {QStringLiteral("A"), "QQA="},
        {QStringLiteral("{}"), "ewB9AA=="},
        {QStringLiteral("Жук"), "FgRDBDoE"},
        // A character outside the BMP travels as its surrogate pair.
        {QStringLiteral("😀"), "PdgA3g=="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(CallPacket::encodePayload(c.text), QString::fromLatin1(c.base64));
        const std::optional<QString> back = CallPacket::decodePayload(QString::fromLatin1(c.base64));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, c.text);
    }
    // Every UTF-16 unit survives, lone surrogates and NUL included.
    QString all(0x10000, Qt::Uninitialized);
    for (int i = 0; i < all.size(); ++i) all[i] = QChar(char16_t(i));
    EXPECT_EQ(CallPacket::decodePayload(CallPacket::encodePayload(all)), all);
}

TEST(CallPacketTest, FieldsThatAreNotATextAreRefused) {
    const char *refused[] = {
        "QQ==",         // one byte: an odd length in UTF-16
        "QUJD",         // three bytes
        "ew B9AA==",    // a blank inside
        "ewB9\r\nAA==", // a line break inside
        "ewB9AA==!",    // not Base64
        "});alert(1);({",
    };
    for (const char *field : refused) {
        SCOPED_TRACE(field);
        EXPECT_FALSE(CallPacket::decodePayload(QString::fromLatin1(field)).has_value());
    }
    EXPECT_FALSE(CallPacket::decodePayload(QStringLiteral("ewB9AA\u00e9=")).has_value());
    // Longer than any text the page could send.
    const QString huge = CallPacket::encodePayload(QString(CallPacket::MaxPayloadLength + 1, u'x'));
    EXPECT_FALSE(CallPacket::decodePayload(huge).has_value());
    EXPECT_TRUE(
        CallPacket::decodePayload(CallPacket::encodePayload(QString(CallPacket::MaxPayloadLength, u'x')))
            .has_value());
}

TEST(CallPacketTest, FieldSevenHoldsTheCallIdAndTheRoomId) {
    const struct {
        const char *field;
        const char *callId; // null: refused
        const char *roomId;
    } cases[] = {
        {"17\r\n0", "17", "0"},
        {"2147483646\r\n42", "2147483646", "42"},
        {"1\r\n999998", "1", "999998"},
        {"5\r\nextra\r\n42", "5", "42"}, // the first part and the last part
        {"5\r\n000", "5", "0"},          // no room, however written
        {"17", nullptr, nullptr},        // no CR LF
        {"17\n0", nullptr, nullptr},
        {"\r\n0", nullptr, nullptr},
        {"0\r\n0", nullptr, nullptr},          // ids start at 1
        {"2147483647\r\n0", nullptr, nullptr}, // beyond the last id
        {"017\r\n0", nullptr, nullptr},
        {"-4\r\n0", nullptr, nullptr},
        {"17\r\n", nullptr, nullptr},
        {"17\r\n1234567", nullptr, nullptr}, // no room number has seven digits
        {"17\r\n4a", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.field);
        const auto parsed = CallPacket::parseCallField(QString::fromLatin1(c.field));
        if (!c.callId) {
            EXPECT_FALSE(parsed.has_value());
            continue;
        }
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->callId, QString::fromLatin1(c.callId));
        EXPECT_EQ(parsed->roomId, QString::fromLatin1(c.roomId));
    }
}

TEST(CallPacketTest, NewCallIdsRunFromOneToTheLastId) {
    const struct {
        quint32 drawn;
        const char *id;
    } cases[] = {{0, "1"}, {41, "42"}, {2147483645u, "2147483646"}};
    for (const auto &c : cases) {
        CallPacket::setRandomSource([&](quint32 bound) {
            EXPECT_EQ(bound, 2147483646u);
            return c.drawn;
        });
        EXPECT_EQ(CallPacket::newCallId(), QString::fromLatin1(c.id));
    }
    CallPacket::setRandomSource({});
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(CallPacket::validCallId(CallPacket::newCallId()));
}

class CallPacketLayoutTest : public CallFixture {};

TEST_F(CallPacketLayoutTest, TheFourPacketsFieldByField) {
    const auto texts = [](const PacketArray &a) {
        QStringList out;
        for (const PacketField &f : a) out.append(f.toString());
        return out;
    };
    EXPECT_EQ(texts(CallPacket::dataPacket(bob->userId(), QStringLiteral("{}"), "77", "42")),
              (QStringList{"TRTCACTION", "*", "pc-alice", "A000000001", "*", "A000000002",
                           "ewB9AA==", "77\r\n42"}));
    const PacketArray request = data(bob, QStringLiteral("{}"), "77");
    EXPECT_EQ(
        texts(CallPacket::dataReply(request)),
        (QStringList{"TRTCACTIONRECV", "*", "pc-alice", "A000000001", "*", "A000000002", "0", "77\r\n0"}));
    EXPECT_EQ(
        texts(CallPacket::closedPacket(bob->userId(), "77")),
        (QStringList{"TRTCACTIONCALLCLOSED", "*", "pc-alice", "A000000001", "*", "A000000002", "77", "*"}));
    EXPECT_EQ(texts(CallPacket::closedReply(closed(bob, "77"))),
              (QStringList{"TRTCACTIONCALLCLOSEDRECV", "*", "pc-alice", "A000000001", "*", "A000000002", "*",
                           "*"}));
}

} // namespace

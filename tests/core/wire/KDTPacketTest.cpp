#include "FrameTestSupport.h"

#include <functional>

using namespace frametest;

namespace {

class KDTPacketTest : public WireTest {};

// --- writer ---

struct WriterRejectCase {
    const char *name;
    PacketArray array;
};

TEST_F(KDTPacketTest, WriterGivesNothingForShortArraysOrEmptyElements) {
    const WriterRejectCase cases[] = {
        {"no elements", {}},
        {"seven fields", {"TRI", "*", "pc-1", "A123", "*", "A456", "*"}},
        {"empty string field", {"TRI", "*", "pc-1", "", "*", "A456", "*", "*"}},
        {"empty type word", {"", "*", "pc-1", "A123", "*", "A456", "*", "*"}},
        {"empty data field", {"TSM", "*", "pc-1", "A123", "*", "A456", QByteArray(), "*"}},
    };
    for (const auto &c : cases) EXPECT_TRUE(KDTPacket::PlainPackeFromArray(c.array).isEmpty()) << c.name;
}

struct LayoutCase {
    const char *name;
    PacketArray array;
    QByteArray plain;
};

TEST_F(KDTPacketTest, WriterLaysOutCountIdFieldsAndNul) {
    KDTPacket::setIdSource([] { return 4821937u; });
    const LayoutCase cases[] = {
        {"information request", infoRequest(),
         joined({"9", "4821937", "TRI", "*", "pc-1", "A123", "*", "A456", "*", "*", kNul})},
        {"nine fields",
         {"TSM", "*", "pc-1", "A123", "*", "A456", "x", "*", "7"},
         joined({"10", "4821937", "TSM", "*", "pc-1", "A123", "*", "A456", "x", "*", "7", kNul})},
        {"legacy code page and raw data",
         {"TSM", "*", "B\u00fcro", "A123", "*", "A456", QByteArray("\x01\xff\x1f", 3), "*"},
         joined({"9", "4821937", "TSM", "*", "B\xfcro", "A123", "*", "A456", QByteArray("\x01\xff\x1f", 3),
                 "*", kNul})},
    };
    for (const auto &c : cases) {
        const QByteArray frame = KDTPacket::PlainPackeFromArray(c.array);
        ASSERT_TRUE(frame.endsWith(kEndMark)) << c.name;
        const QByteArray base64 = frame.chopped(2);
        EXPECT_EQ(QByteArray::fromBase64(base64).toBase64(), base64)
            << c.name << ": Base64 with padding and no line breaks";
        EXPECT_EQ(plainOf(frame), c.plain) << c.name;
    }
}

TEST_F(KDTPacketTest, RandomIdsAreSevenDigitsInRange) {
    for (int i = 0; i < 200; ++i) {
        const QByteArray plain = plainOf(KDTPacket::PlainPackeFromArray(infoRequest()));
        const QList<QByteArray> elements = plain.split('\xA6');
        ASSERT_EQ(elements.size(), 11);
        const QByteArray &id = elements.at(1);
        ASSERT_EQ(id.size(), 7) << id.constData();
        bool ok = false;
        const int value = id.toInt(&ok);
        ASSERT_TRUE(ok) << id.constData();
        EXPECT_GE(value, 1000000);
        EXPECT_LE(value, 9999998);
    }
}

// --- reader ---

TEST_F(KDTPacketTest, ReaderAcceptsFrameWithMarksAndLineEnds) {
    countIdsFrom(2000001);
    struct Case {
        const char *name;
        std::function<QByteArray(const QByteArray &)> wrap;
    };
    const Case cases[] = {
        {"bare frame (UDP)", [](const QByteArray &f) { return f; }},
        {"CR LF after (TCP)", [](const QByteArray &f) { return f + "\r\n"; }},
        {"start mark in front", [](const QByteArray &f) { return "  " + f; }},
        {"start mark and CR LF", [](const QByteArray &f) { return "  " + f + "\r\n"; }},
        {"start mark as the last two bytes", [](const QByteArray &f) { return f + "  "; }},
        {"line break between Base64 quads",
         [](const QByteArray &f) { return f.left(8) + "\r\n" + f.mid(8); }},
        {"blank inside a Base64 quad", [](const QByteArray &f) { return f.left(9) + " " + f.mid(9); }},
        {"start mark: only the text up to the next end mark counts",
         [](const QByteArray &f) { return "  " + f + "x" + kEndMark; }},
    };
    for (const auto &c : cases) {
        const QByteArray frame = KDTPacket::PlainPackeFromArray(infoRequest());
        const auto fields = KDTPacket::ArrayFromBase64AESdata(c.wrap(frame));
        ASSERT_TRUE(fields.has_value()) << c.name;
        EXPECT_EQ(*fields, infoRequest()) << c.name;
    }
}

TEST_F(KDTPacketTest, ReaderRejectsMalformedFrames) {
    countIdsFrom(3000001);
    const QByteArray good = KDTPacket::PlainPackeFromArray(infoRequest());
    const QByteArray fields8 = joined({"TRI", "*", "pc-1", "A123", "*", "A456", "*", "*"});
    struct Case {
        const char *name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"empty input", QByteArray()},
        {"no end mark", good.chopped(2)},
        {"one end byte only", good.chopped(1)},
        {"end mark alone", kEndMark},
        {"Base64 one character short", good.left(good.size() - 4) + good.right(3)},
        {"padding in the middle", good.left(4) + "=" + good.mid(4)},
        {"ragged ciphertext", QByteArray(20, 'x').toBase64() + kEndMark},
        {"count one too small", frameOf(joined({"8", "3100001", fields8, kNul}))},
        {"count one too large", frameOf(joined({"10", "3100002", fields8, kNul}))},
        {"count not a number", frameOf(joined({"x", "3100003", fields8, kNul}))},
        {"only the count element", frameOf(joined({"0", kNul}))},
        {"empty plaintext", frameOf(kNul)},
        {"0xA6 inside a legacy field splits it",
         KDTPacket::PlainPackeFromArray({"TRI", "*", "pc\u00a6x", "A123", "*", "A456", "*", "*"})},
        {"0x00 inside a data field cuts it",
         KDTPacket::PlainPackeFromArray(
             {"TSM", "*", "pc-1", "A123", "*", "A456", QByteArray("a\0b", 3), "*"})},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(KDTPacket::ArrayFromBase64AESdata(c.bytes).has_value()) << c.name;
    // None of them used up the id of the good frame.
    EXPECT_TRUE(KDTPacket::ArrayFromBase64AESdata(good).has_value());
}

TEST_F(KDTPacketTest, SixFieldsAreRejectedButTheirIdIsRecorded) {
    const QByteArray frame = frameOf(joined({"7", "5550001", "TRI", "*", "pc-1", "A123", "*", "A456", kNul}));
    EXPECT_FALSE(KDTPacket::ArrayFromBase64AESdata(frame).has_value());
    EXPECT_FALSE(KDTPacket::CanContinueWithId(QStringLiteral("5550001")));
}

TEST_F(KDTPacketTest, RepeatedIdIsDroppedUntilSixtyOthersWereAccepted) {
    KDTPacket::setIdSource([] { return 7000000u; });
    const QByteArray repeated = KDTPacket::PlainPackeFromArray(infoRequest());
    ASSERT_TRUE(KDTPacket::ArrayFromBase64AESdata(repeated).has_value());
    // The same frame arriving over the other port (with CR LF) is still a repeat.
    EXPECT_FALSE(KDTPacket::ArrayFromBase64AESdata(repeated + "\r\n").has_value());

    countIdsFrom(7000001);
    for (int i = 0; i < 59; ++i)
        ASSERT_TRUE(
            KDTPacket::ArrayFromBase64AESdata(KDTPacket::PlainPackeFromArray(infoRequest())).has_value());
    EXPECT_FALSE(KDTPacket::ArrayFromBase64AESdata(repeated).has_value()) << "59 others: still known";
    ASSERT_TRUE(KDTPacket::ArrayFromBase64AESdata(KDTPacket::PlainPackeFromArray(infoRequest())).has_value());
    EXPECT_TRUE(KDTPacket::ArrayFromBase64AESdata(repeated).has_value()) << "60 others: forgotten";
}

TEST_F(KDTPacketTest, IdWindowHoldsSixty) {
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(KDTPacket::CanContinueWithId(QString::number(i)));
    for (int i = 0; i < 60; ++i) EXPECT_FALSE(KDTPacket::CanContinueWithId(QString::number(i))) << i;
    EXPECT_TRUE(KDTPacket::CanContinueWithId(QStringLiteral("60")));
    EXPECT_TRUE(KDTPacket::CanContinueWithId(QStringLiteral("0"))) << "oldest went first";
    EXPECT_FALSE(KDTPacket::CanContinueWithId(QStringLiteral("2")));
}

// --- field decoding and round trips ---

TEST_F(KDTPacketTest, RoundTripsDecodeEachFieldByItsRole) {
    countIdsFrom(4000001);
    const QByteArray block("21|pc|\x02|\xff");
    struct Case {
        const char *name;
        PacketArray sent;
        PacketArray received;
    };
    const Case cases[] = {
        {"information request", infoRequest(), infoRequest()},
        {"short fields, Base64 with one padding character",
         {"a", "b", "c", "d", "e", "f", "g", "h"},
         {"a", "b", "c", "d", "e", "f", "g", "h"}},
        {"TSI keeps field 6 as raw data",
         {"TSI", "*", "pc-1", "A123", "*", "A456", block, "*"},
         {"TSI", "*", "pc-1", "A123", "*", "A456", block, "*"}},
        {"message text field in the text-field form",
         {"TSM", "*", "pc-1", "A123", "*", "A456", encodeTextField(QStringLiteral("Hi \u00a6 \u0426!")), "*"},
         {"TSM", "*", "pc-1", "A123", "*", "A456", QStringLiteral("Hi \u00a6 \u0426!"), "*"}},
        {"message field sent in the legacy form",
         {"TSM", "*", "pc-1", "A123", "*", "A456", "Gr\u00fc\u00dfe", "*"},
         {"TSM", "*", "pc-1", "A123", "*", "A456", "Gr\u00fc\u00dfe", "*"}},
        {"legacy names and more than eight fields",
         {"UI", "*", "B\u00fcro", "A123", "*", "*", "*", "*", "Ren\u00e9", "*"},
         {"UI", "*", "B\u00fcro", "A123", "*", "*", "*", "*", "Ren\u00e9", "*"}},
        {"UTF-8 data fields come back as text",
         {"UI", "*", QByteArray("\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd"), "A123", "*", "*", "*", "*"},
         {"UI", "*", QStringLiteral("\u0418\u0432\u0430\u043d"), "A123", "*", "*", "*", "*"}},
    };
    for (const auto &c : cases) {
        const auto fields = KDTPacket::ArrayFromBase64AESdata(KDTPacket::PlainPackeFromArray(c.sent));
        ASSERT_TRUE(fields.has_value()) << c.name;
        EXPECT_EQ(*fields, c.received) << c.name;
    }
}

TEST_F(KDTPacketTest, NulCharacterInAStringFieldNeverReachesThePlaintext) {
    KDTPacket::setIdSource([] { return 4444444u; });
    const PacketArray sent{"TRI", "*", QStringLiteral("pc\u0000x"), "A123", "*", "A456", "*", "*"};
    const QByteArray plain = plainOf(KDTPacket::PlainPackeFromArray(sent));
    // The only zero byte left is the NUL element at the end, so the frame cannot be cut short.
    EXPECT_EQ(plain.indexOf('\0'), plain.size() - 1);
    const auto fields = KDTPacket::ArrayFromBase64AESdata(frameOf(plain));
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(fields->size(), 8);
    EXPECT_FALSE(fields->at(2).toString().contains(QChar(0)));
    EXPECT_EQ(fields->at(3), PacketField("A123"));
}

} // namespace

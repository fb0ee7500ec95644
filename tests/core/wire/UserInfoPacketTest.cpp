#include "FrameTestSupport.h"

#include "core/wire/UserInfoPacket.h"

#include <QMap>
#include <QStringList>

using namespace frametest;

namespace {

using Info = QMap<QString, QString>;

// The local user's attributes; a key that is absent is a missing value.
Info sampleUser() {
    return {{"pc", "pc-1"},
            {"userId", "A123"},
            {"logonUser", "jdoe"},
            {"version", "2.4"},
            {"statusString", "Away"},
            {"firstName", "John"},
            {"lastName", "Doe"},
            {"jobTitle", "R|D"},
            {"additionalInformation", "Room 4"},
            {"department", "Lab"},
            {"status", "20"},
            {"idleTime", "5"},
            {"isOnTS", "0"},
            {"oSversion", "Linux 6.1"},
            {"tsClientIP", "127.0.0.1"},
            {"tsServerIP", "127.0.0.2"},
            {"tsClientPCname", "thin-1"},
            {"tsConnectionState", "Active"}};
}

UserInfoPacket::UserInfoValues valuesOf(const Info &user) {
    return [user](const QString &key) { return user.contains(key) ? user.value(key) : QString(); };
}

// What the receiver makes of a block of the sample user: its 17 attributes.
Info parsedSample() {
    Info info = sampleUser();
    info.remove("userId");
    return info;
}

class UserInfoPacketTest : public WireTest {};

struct BlockCase {
    const char *name;
    Info user;
    bool utf;
    QByteArray block; // as it goes into the frame: UTF-8 of the string field, or the data field
    Info parsed;
};

TEST_F(UserInfoPacketTest, BuildsBothFormsAndParsesThemBack) {
    Info noFirstName = sampleUser();
    noFirstName.remove("firstName");
    noFirstName.remove("tsClientIP");
    Info parsedNoFirstName = parsedSample();
    parsedNoFirstName["firstName"] = "";
    parsedNoFirstName["tsClientIP"] = "*";

    Info cyrillic = sampleUser();
    cyrillic["firstName"] = QStringLiteral("\u0426");
    cyrillic["lastName"] = QStringLiteral("a\u00a6b");
    Info parsedCyrillic = parsedSample();
    parsedCyrillic["firstName"] = QStringLiteral("\u0426");
    parsedCyrillic["lastName"] = QStringLiteral("a\u00a6b");

    Info controls = sampleUser();
    controls["additionalInformation"] = QStringLiteral("a\u0000b\u0001c");
    Info parsedControls = parsedSample();
    parsedControls["additionalInformation"] = "a b c";

    const BlockCase cases[] = {
        {"legacy form", sampleUser(), false,
         "21|pc-1|jdoe|*|0|2.4|Away|John|Doe|R\x02"
         "D|Room 4|0|Lab|20|Away|5|0|Linux 6.1|127.0.0.1|127.0.0.2|"
         "thin-1|Active|",
         parsedSample()},
        {"UTF-8 form", sampleUser(), true,
         "21|pc-1|jdoe|*|0|2.4|Away|John|Doe|R\x02"
         "D|Room 4|0|Lab|20|Away|5|0|Linux 6.1|127.0.0.1|127.0.0.2|"
         "thin-1|Active|",
         parsedSample()},
        {"missing first name and client address", noFirstName, true,
         "21|pc-1|jdoe|*|0|2.4|Away||Doe|R\x02"
         "D|Room 4|0|Lab|20|Away|5|0|Linux 6.1|*|127.0.0.2|thin-1|Active|",
         parsedNoFirstName},
        {"missing first name, legacy form", noFirstName, false,
         "21|pc-1|jdoe|*|0|2.4|Away||Doe|R\x02"
         "D|Room 4|0|Lab|20|Away|5|0|Linux 6.1|*|127.0.0.2|thin-1|Active|",
         parsedNoFirstName},
        {"0xA6 inside UTF-8 values is carried as 0x01", cyrillic, true,
         "21|pc-1|jdoe|*|0|2.4|Away|\xd0\x01|a\xc2\x01"
         "b|R\x02"
         "D|Room 4|0|Lab|20|Away|5|0|Linux 6.1|127.0.0.1|"
         "127.0.0.2|thin-1|Active|",
         parsedCyrillic},
        {"U+0000 and U+0001 in UTF-8 values become blanks", controls, true,
         "21|pc-1|jdoe|*|0|2.4|Away|John|Doe|R\x02"
         "D|a b c|0|Lab|20|Away|5|0|Linux 6.1|127.0.0.1|127.0.0.2|"
         "thin-1|Active|",
         parsedControls},
    };
    for (const auto &c : cases) {
        const PacketField field = UserInfoPacket::_myInfoFieldForUtf(valuesOf(c.user), c.utf);
        ASSERT_EQ(field.isData(), c.utf) << c.name;
        EXPECT_EQ(field.toData(), c.block) << c.name;
        const QByteArray wire = c.utf ? field.toData() : encodeLegacyText(field.toString());
        EXPECT_EQ(UserInfoPacket::ParceUserInfo(wire), c.parsed) << c.name;
    }
}

TEST_F(UserInfoPacketTest, TsiArrayLayout) {
    const PacketArray array = UserInfoPacket::MyUserInfoFor(valuesOf(sampleUser()), "A456", true);
    const PacketArray expected{"TSI",
                               "*",
                               "pc-1",
                               "A123",
                               "*",
                               "A456",
                               UserInfoPacket::_myInfoFieldForUtf(valuesOf(sampleUser()), true),
                               "*"};
    EXPECT_EQ(array, expected);
    EXPECT_TRUE(UserInfoPacket::MyUserInfoFor(valuesOf(sampleUser()), "A456", false).at(6).isString());

    // Without a requester the array stops short and no frame can be made of it.
    const PacketArray orphan = UserInfoPacket::MyUserInfoFor(valuesOf(sampleUser()), QString(), true);
    EXPECT_EQ(orphan, PacketArray({"TSI", "*", "pc-1", "A123", "*"}));
    EXPECT_TRUE(KDTPacket::PlainPackeFromArray(orphan).isEmpty());
}

TEST_F(UserInfoPacketTest, SurvivesAFullFrameRoundTrip) {
    countIdsFrom(6000001);
    // U+0426 (D0 A6) and U+00A6 (C2 A6) would split the frame without the 0x01 escape.
    Info user = sampleUser();
    user["firstName"] = QStringLiteral("\u0426\u0438");
    user["lastName"] = QStringLiteral("\u00a6");
    Info parsed = parsedSample();
    parsed["firstName"] = user["firstName"];
    parsed["lastName"] = user["lastName"];
    const struct {
        const char *name;
        Info user;
        bool utf;
        Info parsed;
    } cases[] = {
        {"UTF-8 form with 0xA6 bytes", user, true, parsed},
        {"legacy form with a vertical bar", sampleUser(), false, parsedSample()},
    };
    for (const auto &c : cases) {
        const PacketArray array = UserInfoPacket::MyUserInfoFor(valuesOf(c.user), "A456", c.utf);
        const auto fields = KDTPacket::ArrayFromBase64AESdata(KDTPacket::PlainPackeFromArray(array));
        ASSERT_TRUE(fields.has_value()) << c.name;
        ASSERT_EQ(fields->size(), 8) << c.name;
        ASSERT_TRUE(fields->at(6).isData()) << c.name;
        EXPECT_EQ(UserInfoPacket::ParceUserInfo(fields->at(6).toData()), c.parsed) << c.name;
    }
}

QStringList sampleValues() {
    return {"21",  "pc-1",      "jdoe",      "*",         "0",      "2.4",    "Away", "John",
            "Doe", "R|D",       "Room 4",    "0",         "Lab",    "20",     "Away", "5",
            "0",   "Linux 6.1", "127.0.0.1", "127.0.0.2", "thin-1", "Active", ""};
}

QByteArray blockOf(QStringList values) {
    for (QString &value : values) value.replace('|', QChar(0x02));
    return values.join('|').toUtf8();
}

TEST_F(UserInfoPacketTest, ParsingRules) {
    QStringList short22 = sampleValues();
    short22.removeAt(2);
    QStringList differentStatus = sampleValues();
    differentStatus[6] = "Busy";
    Info status14 = parsedSample();
    status14["statusString"] = "Away";
    QStringList laterStatus = sampleValues();
    laterStatus[14] = "Busy";
    Info laterStatusParsed = parsedSample();
    laterStatusParsed["statusString"] = "Busy";
    QStringList lastValueFull = sampleValues();
    lastValueFull.removeLast();
    Info lastByteLost = parsedSample();
    lastByteLost["tsConnectionState"] = "Activ";

    const struct {
        const char *name;
        QByteArray block;
        Info parsed;
    } cases[] = {
        {"empty block", QByteArray(), {}},
        {"no separator", "abc", {}},
        {"22 values", blockOf(short22), {}},
        {"23 values", blockOf(sampleValues()), parsedSample()},
        {"values beyond the 23rd are dropped", blockOf(sampleValues()) + "|extra|more|", parsedSample()},
        {"a non-empty position 22 is dropped", blockOf(sampleValues()) + "zz", parsedSample()},
        {"last value loses its last byte", blockOf(lastValueFull), lastByteLost},
        {"position 14 wins over 6", blockOf(differentStatus), status14},
        {"position 14 wins when it differs", blockOf(laterStatus), laterStatusParsed},
    };
    for (const auto &c : cases) EXPECT_EQ(UserInfoPacket::ParceUserInfo(c.block), c.parsed) << c.name;
    EXPECT_EQ(parsedSample().size(), 17);
}

} // namespace

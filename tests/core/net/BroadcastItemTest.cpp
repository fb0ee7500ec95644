#include "core/net/BroadcastItem.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

namespace {

QStringList drain(BroadcastItem &item, int limit = 20000) {
    QStringList out;
    for (QString a = item.enumerate(); !a.isNull() && out.size() < limit; a = item.enumerate()) out << a;
    return out;
}

BroadcastItem typed(std::int64_t type, const QString &first, const QString &second = QString()) {
    BroadcastItem item;
    item.setType(type);
    item.setFirstValue(first);
    item.setSecondValue(second);
    return item;
}

struct IpCase {
    const char *text;
    const char *expected; // dotted, or nullptr for invalid
};

TEST(BroadcastItemTest, IsIpTakesFourPartsOnly) {
    const IpCase cases[] = {
        {"192.168.1.10", "192.168.1.10"},
        {"10.0.0.1", "10.0.0.1"},
        {"255.255.255.255", "255.255.255.255"},
        {"0.0.0.0", nullptr},
        {"10.0.1", nullptr},
        {"10.0.0.1.5", nullptr},
        {"", nullptr},
        {"a.b.c.d", nullptr},
        {"300.1.1.1", nullptr},
    };
    for (const IpCase &c : cases) {
        const std::uint32_t value = BroadcastItem::isIp(QString::fromLatin1(c.text));
        if (!c.expected) {
            EXPECT_EQ(value, 0u) << c.text;
            continue;
        }
        EXPECT_EQ(value, inet_addr(c.expected)) << c.text;
    }
}

struct ValidateCase {
    const char *name;
    std::int64_t type;
    QString first;
    QString second;
    bool valid;
    QString look;
    QStringList addresses;
};

TEST(BroadcastItemTest, ValidateAndEnumerateEachKind) {
    const QList<ValidateCase> cases = {
        {"single", 1, "198.18.1.20", "", true, "198.18.1.20", {"198.18.1.20"}},
        {"single invalid", 1, "198.18.1", "", false, "", {}},
        {"single zero", 1, "0.0.0.0", "", false, "", {}},
        {"subnet", 2, "192.168.1.77", "255.255.255.0", true, "192.168.1.77/255.255.255.0", {"192.168.1.0"}},
        {"subnet without mask", 2, "192.168.1.77", "", false, "", {}},
        {"range",
         3,
         "10.0.0.1",
         "10.0.0.5",
         true,
         "10.0.0.1-10.0.0.5",
         {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}},
        {"range of one", 3, "10.0.0.9", "10.0.0.9", true, "10.0.0.9-10.0.0.9", {"10.0.0.9"}},
        {"range across a byte",
         3,
         "10.0.0.254",
         "10.0.1.1",
         true,
         "10.0.0.254-10.0.1.1",
         {"10.0.0.254", "10.0.0.255", "10.0.1.0", "10.0.1.1"}},
        {"range reversed", 3, "10.0.0.5", "10.0.0.1", false, "", {}},
    };
    for (const ValidateCase &c : cases) {
        BroadcastItem item = typed(c.type, c.first, c.second);
        EXPECT_EQ(item.validate(), c.valid) << c.name;
        if (!c.valid) continue;
        EXPECT_EQ(item.look(), c.look) << c.name;
        EXPECT_EQ(drain(item), c.addresses) << c.name;
        // After the final nil the item starts again from the beginning.
        EXPECT_EQ(item.enumerate(), c.addresses.first()) << c.name;
    }
}

TEST(BroadcastItemTest, RangeHoldsAtMost10001Addresses) {
    BroadcastItem exact = typed(3, "10.1.0.0", "10.1.39.16"); // 10.1.0.0 + 10000
    ASSERT_TRUE(exact.validate());
    const QStringList all = drain(exact);
    EXPECT_EQ(all.size(), 10001);
    EXPECT_EQ(all.first(), QStringLiteral("10.1.0.0"));
    EXPECT_EQ(all.last(), QStringLiteral("10.1.39.16"));

    BroadcastItem past = typed(3, "10.1.0.0", "10.1.39.17"); // one past it
    EXPECT_FALSE(past.validate());
}

TEST(BroadcastItemTest, StoredFormUsesLittleEndianNumbers) {
    BroadcastItem single = typed(1, "192.168.1.10");
    ASSERT_TRUE(single.validate());
    const QVariantMap stored = single.dictionary();
    EXPECT_EQ(stored.value("value1").toString(), QStringLiteral("167880896"));
    EXPECT_EQ(stored.value("value2").toString(), QStringLiteral("0"));
    EXPECT_EQ(stored.value("type").toString(), QStringLiteral("1"));
    EXPECT_EQ(stored.value("look").toString(), QStringLiteral("192.168.1.10"));

    BroadcastItem subnet = typed(2, "192.168.1.77", "255.255.255.0");
    ASSERT_TRUE(subnet.validate());
    EXPECT_EQ(subnet.dictionary().value("value1").toString(), QStringLiteral("108736")); // 192.168.1.0
    EXPECT_EQ(subnet.dictionary().value("value2").toString(), QStringLiteral("16777215"));
}

TEST(BroadcastItemTest, ReadBackItemEnumeratesTheSameAddresses) {
    for (BroadcastItem item : {typed(1, "198.18.2.7"), typed(2, "198.18.2.77", "255.255.255.0"),
                               typed(3, "198.18.2.1", "198.18.2.4")}) {
        ASSERT_TRUE(item.validate());
        const QStringList before = drain(item);
        BroadcastItem back = BroadcastItem::broadcastItemFromDictionary(item.dictionary());
        EXPECT_TRUE(back.FirstValue().isEmpty());
        EXPECT_TRUE(back.SecondValue().isEmpty());
        EXPECT_EQ(back.look(), item.look());
        EXPECT_EQ(drain(back), before) << item.look().toStdString();
    }
}

TEST(BroadcastItemTest, StoredRangesBeyondTheLimitYieldNothing) {
    // Written by hand or by another program: never trusted for a count.
    const QVariantMap huge = {{"look", "x"}, {"type", "3"}, {"value1", "1"}, {"value2", "4294967295"}};
    BroadcastItem item = BroadcastItem::broadcastItemFromDictionary(huge);
    EXPECT_TRUE(item.enumerate().isNull());
    const QVariantMap junk = {{"type", "banana"}, {"value1", "-"}};
    BroadcastItem other = BroadcastItem::broadcastItemFromDictionary(junk);
    EXPECT_TRUE(drain(other).isEmpty());
}

TEST(BroadcastItemTest, InterfaceBroadcastsSkipLoopbackPointToPointAndMissingAddresses) {
    using A = BroadcastItem::InterfaceAddress;
    const QList<A> entries = {
        {"lo", IFF_UP | IFF_LOOPBACK, 0, false},
        {"eth0", IFF_UP | IFF_BROADCAST, inet_addr("198.18.0.255"), true},
        {"eth1", IFF_BROADCAST, inet_addr("198.18.5.255"), true},                          // down
        {"ppp0", IFF_UP | IFF_POINTOPOINT, inet_addr("198.18.9.1"), true},                 // peer address
        {"tun0", IFF_UP | IFF_BROADCAST | IFF_POINTOPOINT, inet_addr("198.18.8.1"), true}, // peer address
        {"wg0", IFF_UP | IFF_BROADCAST, 0, false},                                         // no broadcast
        {"odd", IFF_UP | IFF_BROADCAST, inet_addr("127.255.255.255"), true},               // loopback range
        {"eth0:1", IFF_UP | IFF_BROADCAST, inet_addr("198.18.0.255"), true},               // same again
        {"eth2", IFF_UP | IFF_BROADCAST, inet_addr("198.18.1.255"), true},
    };
    EXPECT_EQ(BroadcastItem::broadcastsOf(entries), (QStringList{"198.18.0.255", "198.18.1.255"}));
}

} // namespace

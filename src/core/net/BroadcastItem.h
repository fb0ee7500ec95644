#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>

// One discovery target: a single address (type 1), a subnet with its mask (type 2) or an
// address range (type 3). Checks the typed values, keeps the stored form (the user default
// "broadcasts") and hands out the addresses to send to, one at a time.
class BroadcastItem {
public:
    static constexpr std::int64_t kSingle = 1;
    static constexpr std::int64_t kSubnet = 2;
    static constexpr std::int64_t kRange = 3;
    // A range holds at most this many addresses after its first.
    static constexpr std::uint32_t kMaxRangeSpan = 10000;

    // One IPv4 address of an interface, as getifaddrs reports it.
    struct InterfaceAddress {
        QString name;
        unsigned flags = 0;          // IFF_* of the interface
        std::uint32_t broadcast = 0; // network byte order; 0 when the entry has none
        bool hasBroadcast = false;
    };

    BroadcastItem() = default;

    // The address in network byte order when the text is four dot-separated parts and a valid
    // IPv4 address; 0 otherwise (so "0.0.0.0" is invalid too).
    static std::uint32_t isIp(const QString &text);
    // Checks the typed values and fills value1, value2 and look.
    bool validate();
    // The stored form: "look", "type", "value1", "value2", all texts.
    QVariantMap dictionary() const;
    // An item from its stored form; the typed texts stay empty. A range that is reversed or
    // longer than a valid one yields nothing: the store is not trusted for a count.
    static BroadcastItem broadcastItemFromDictionary(const QVariantMap &dictionary);
    // The next address to send to, or a null QString after the last (then it starts again).
    QString enumerate();

    // The broadcast addresses of the interfaces that are up, in order, without loopback ones.
    static QStringList defaultBroadcasts();
    // The same rule over a list of interface addresses: IPv4 entries that are up and have a
    // broadcast address, not point-to-point links, not beginning with "127"; each once.
    static QStringList broadcastsOf(const QList<InterfaceAddress> &addresses);

    // The stored number of an address text: its four bytes in network order read as a
    // little-endian 32-bit integer (a.b.c.d is a + 256 b + 65536 c + 16777216 d).
    static QString storedNumber(std::uint32_t networkOrder);
    static QString dottedText(std::uint32_t hostOrder);

    QString look() const { return look_; }
    void setLook(const QString &v) { look_ = v; }
    QString FirstValue() const { return firstValue_; }
    void setFirstValue(const QString &v) { firstValue_ = v; }
    QString SecondValue() const { return secondValue_; }
    void setSecondValue(const QString &v) { secondValue_ = v; }
    std::int64_t type() const { return type_; }
    void setType(std::int64_t v) { type_ = v; }
    std::uint32_t value1() const { return value1_; }
    void setValue1(std::uint32_t v) { value1_ = v; }
    std::uint32_t value2() const { return value2_; }
    void setValue2(std::uint32_t v) { value2_ = v; }

private:
    std::uint32_t enumerator_ = 0; // host order; 0 before the first address
    std::uint32_t value1_ = 0;     // network order
    std::uint32_t value2_ = 0;     // network order
    QString look_;
    QString firstValue_;
    QString secondValue_;
    std::int64_t type_ = 0;
    bool usable_ = true;
};

#include "core/net/BroadcastItem.h"

#include "core/wire/IntegerValue.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

std::uint32_t BroadcastItem::isIp(const QString &text) {
    if (text.split(QLatin1Char('.')).size() != 4) return 0;
    in_addr address{};
    const QByteArray bytes = text.toLatin1();
    if (inet_aton(bytes.constData(), &address) == 0) return 0;
    return address.s_addr;
}

bool BroadcastItem::validate() {
    value1_ = isIp(firstValue_);
    value2_ = isIp(secondValue_);
    switch (type_) {
    case kSingle:
        if (value1_ == 0) return false;
        look_ = firstValue_;
        return true;
    case kSubnet:
        if (value1_ == 0 || value2_ == 0) return false;
        value1_ &= value2_;
        look_ = firstValue_ + QLatin1Char('/') + secondValue_;
        return true;
    case kRange: {
        if (value1_ == 0 || value2_ == 0) return false;
        const std::uint32_t first = ntohl(value1_);
        const std::uint32_t last = ntohl(value2_);
        if (last < first || last - first > kMaxRangeSpan) return false;
        look_ = firstValue_ + QLatin1Char('-') + secondValue_;
        return true;
    }
    default:
        return true;
    }
}

QString BroadcastItem::storedNumber(std::uint32_t networkOrder) {
    // The bytes as they lie in memory, read little-endian, whatever this machine's order.
    const auto *b = reinterpret_cast<const unsigned char *>(&networkOrder);
    const std::uint32_t value = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                                std::uint32_t(b[3]) << 24;
    return QString::number(value);
}

QString BroadcastItem::dottedText(std::uint32_t hostOrder) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(hostOrder >> 24)
        .arg((hostOrder >> 16) & 0xFF)
        .arg((hostOrder >> 8) & 0xFF)
        .arg(hostOrder & 0xFF);
}

QVariantMap BroadcastItem::dictionary() const {
    return {
        {QStringLiteral("look"), look_},
        {QStringLiteral("type"), QString::number(type_)},
        {QStringLiteral("value1"), storedNumber(value1_)},
        {QStringLiteral("value2"), storedNumber(value2_)},
    };
}

BroadcastItem BroadcastItem::broadcastItemFromDictionary(const QVariantMap &dictionary) {
    BroadcastItem item;
    item.look_ = dictionary.value(QStringLiteral("look")).toString();
    item.type_ = integerValue(dictionary.value(QStringLiteral("type")).toString());
    const auto fromStored = [](const QVariant &v) {
        const std::uint32_t little = std::uint32_t(quint64(integerValue(v.toString())));
        // Back to the bytes in network order.
        std::uint32_t out = 0;
        auto *b = reinterpret_cast<unsigned char *>(&out);
        b[0] = little & 0xFF;
        b[1] = (little >> 8) & 0xFF;
        b[2] = (little >> 16) & 0xFF;
        b[3] = (little >> 24) & 0xFF;
        return out;
    };
    item.value1_ = fromStored(dictionary.value(QStringLiteral("value1")));
    item.value2_ = fromStored(dictionary.value(QStringLiteral("value2")));
    if (item.type_ == kRange) {
        const std::uint32_t first = ntohl(item.value1_);
        const std::uint32_t last = ntohl(item.value2_);
        item.usable_ = last >= first && last - first <= kMaxRangeSpan;
    }
    return item;
}

QString BroadcastItem::enumerate() {
    if (!usable_) return QString();
    std::uint32_t next = 0;
    if (enumerator_ == 0) {
        next = ntohl(value1_);
    } else {
        if (type_ != kRange) {
            enumerator_ = 0;
            return QString();
        }
        next = enumerator_ + 1;
        // The last address of the space has no successor: the range ends there too.
        if (next == 0 || next > ntohl(value2_)) {
            enumerator_ = 0;
            return QString();
        }
    }
    enumerator_ = next;
    if (next == 0) return QString();
    return dottedText(next);
}

QStringList BroadcastItem::broadcastsOf(const QList<InterfaceAddress> &addresses) {
    QStringList out;
    for (const InterfaceAddress &entry : addresses) {
        if (!(entry.flags & IFF_UP) || !(entry.flags & IFF_BROADCAST) || (entry.flags & IFF_POINTOPOINT))
            continue;
        if (!entry.hasBroadcast || entry.broadcast == 0) continue;
        const QString text = dottedText(ntohl(entry.broadcast));
        if (text.startsWith(QLatin1String("127"))) continue;
        if (!out.contains(text)) out.append(text);
    }
    return out;
}

QStringList BroadcastItem::defaultBroadcasts() {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    QList<InterfaceAddress> addresses;
    for (ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress address;
        address.name = QString::fromLocal8Bit(entry->ifa_name);
        address.flags = entry->ifa_flags;
        // On a point-to-point link this member is the peer's address, not a broadcast one.
        if ((entry->ifa_flags & IFF_BROADCAST) && !(entry->ifa_flags & IFF_POINTOPOINT) &&
            entry->ifa_broadaddr && entry->ifa_broadaddr->sa_family == AF_INET) {
            address.broadcast = reinterpret_cast<const sockaddr_in *>(entry->ifa_broadaddr)->sin_addr.s_addr;
            address.hasBroadcast = true;
        }
        addresses.append(address);
    }
    freeifaddrs(list);
    return broadcastsOf(addresses);
}

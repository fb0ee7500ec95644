#include "platform/system/NetlinkChangeFilter.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

namespace {

// The flags that decide whether a link carries traffic.
constexpr unsigned kStateFlags = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

// An address's identity: its link, prefix, local and peer address; its broadcast address apart.
struct AddressNotice {
    QByteArray key;
    QByteArray broadcast;
};

AddressNotice readAddress(const nlmsghdr *message) {
    const auto *info = static_cast<const ifaddrmsg *>(NLMSG_DATA(message));
    AddressNotice notice;
    notice.key.append(reinterpret_cast<const char *>(&info->ifa_index), sizeof info->ifa_index);
    notice.key.append(char(info->ifa_family));
    notice.key.append(char(info->ifa_prefixlen));
    QByteArray local, peer;
    int remaining = int(IFA_PAYLOAD(message));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    for (const rtattr *a = IFA_RTA(info); RTA_OK(a, remaining); a = RTA_NEXT(a, remaining)) {
        const QByteArray value(static_cast<const char *>(RTA_DATA(a)), int(RTA_PAYLOAD(a)));
        if (a->rta_type == IFA_LOCAL)
            local = value;
        else if (a->rta_type == IFA_ADDRESS)
            peer = value;
        else if (a->rta_type == IFA_BROADCAST)
            notice.broadcast = value;
    }
#pragma GCC diagnostic pop
    notice.key.append(char(local.size())).append(local).append(char(peer.size())).append(peer);
    return notice;
}

} // namespace

void NetlinkChangeFilter::clear() {
    links_.clear();
    addresses_.clear();
}

bool NetlinkChangeFilter::apply(const void *data, std::size_t length) { return walk(data, length, true); }

void NetlinkChangeFilter::learn(const void *data, std::size_t length) { walk(data, length, false); }

bool NetlinkChangeFilter::walk(const void *data, std::size_t length, bool report) {
    if (!data || reinterpret_cast<std::uintptr_t>(data) % alignof(nlmsghdr) != 0) return false;
    int remaining = int(length > std::size_t(INT_MAX) ? INT_MAX : length);
    bool changed = false;
    // NLMSG_OK compares the header's unsigned length with the signed rest; clang warns in the macro.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    for (auto *header = static_cast<const nlmsghdr *>(data); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining))
        changed = take(header) || changed;
#pragma GCC diagnostic pop
    return report && changed;
}

bool NetlinkChangeFilter::take(const nlmsghdr *message) {
    switch (message->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return false;
        const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
        const unsigned flags = info->ifi_flags & kStateFlags;
        const auto known = links_.constFind(info->ifi_index);
        if (message->nlmsg_type == RTM_DELLINK) {
            // A link that was never seen may have carried traffic: counted as a change.
            const bool carried = known == links_.constEnd() || *known != 0;
            links_.remove(info->ifi_index);
            // Its addresses went with it.
            const QByteArray index(reinterpret_cast<const char *>(&info->ifi_index), sizeof info->ifi_index);
            for (auto it = addresses_.begin(); it != addresses_.end();)
                it = it.key().startsWith(index) ? addresses_.erase(it) : std::next(it);
            return carried;
        }
        // A link seen for the first time counts only once it can carry traffic.
        const unsigned before = known == links_.constEnd() ? 0 : *known;
        links_.insert(info->ifi_index, flags);
        return flags != before;
    }
    case RTM_NEWADDR:
    case RTM_DELADDR: {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return false;
        const AddressNotice notice = readAddress(message);
        const auto known = addresses_.constFind(notice.key);
        if (message->nlmsg_type == RTM_DELADDR) {
            addresses_.remove(notice.key);
            return true;
        }
        // The same address again (a lifetime refresh) is no change.
        const bool same = known != addresses_.constEnd() && *known == notice.broadcast;
        addresses_.insert(notice.key, notice.broadcast);
        return !same;
    }
    default:
        return false;
    }
}

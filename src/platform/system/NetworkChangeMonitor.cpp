#include "platform/system/NetworkChangeMonitor.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <cstdint>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

NetworkChangeMonitor *instance = nullptr;

// One read at a time; a datagram that does not fit counts as a change.
constexpr std::size_t kBufferSize = 32 * 1024;
// A flood of messages must not hold the main thread; the notifier fires again for the rest.
constexpr int kMaxReadsPerWakeUp = 64;

void destroyInstance() {
    delete instance;
    instance = nullptr;
}

} // namespace

NetworkChangeMonitor &NetworkChangeMonitor::shared() {
    if (!instance) {
        instance = new NetworkChangeMonitor;
        // Gone with the application, while its event dispatcher (which the notifier needs) is.
        qAddPostRoutine(destroyInstance);
    }
    return *instance;
}

NetworkChangeMonitor::NetworkChangeMonitor() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &NetworkChangeMonitor::readEvents);
}

NetworkChangeMonitor::~NetworkChangeMonitor() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

bool NetworkChangeMonitor::isRelevantBatch(const void *data, std::size_t length) {
    if (!data || reinterpret_cast<std::uintptr_t>(data) % alignof(nlmsghdr) != 0) return false;
    int remaining = int(length > std::size_t(INT_MAX) ? INT_MAX : length);
    // NLMSG_OK compares the header's unsigned length with the signed rest; clang warns in the macro.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
    for (auto *header = static_cast<const nlmsghdr *>(data); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
        switch (header->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
        case RTM_NEWADDR:
        case RTM_DELADDR:
            return true;
        default:
            break;
        }
    }
#pragma GCC diagnostic pop
    return false;
}

void NetworkChangeMonitor::readEvents() {
    if (fd_ < 0) return;
    alignas(nlmsghdr) static char buffer[kBufferSize];
    bool relevant = false;
    for (int reads = 0; reads < kMaxReadsPerWakeUp; ++reads) {
        sockaddr_nl sender{};
        socklen_t senderLength = sizeof sender;
        // MSG_TRUNC: the result is the datagram's full length, so a cut one is noticed.
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            // The kernel dropped messages because we were slow: something changed.
            if (errno == ENOBUFS) {
                relevant = true;
                continue;
            }
            break; // EAGAIN: all read
        }
        if (n == 0) break;
        if (sender.nl_pid != 0) continue; // only the kernel speaks for the network
        if (std::size_t(n) > sizeof buffer)
            relevant = true;
        else
            relevant = isRelevantBatch(buffer, std::size_t(n)) || relevant;
    }
    // One signal per batch: the listeners restart things and wait for quiet themselves.
    if (relevant) emit changed();
}

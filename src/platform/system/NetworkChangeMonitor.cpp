#include "platform/system/NetworkChangeMonitor.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <cstdint>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

NetworkChangeMonitor *instance = nullptr;

// One read at a time; a datagram that does not fit counts as a change.
constexpr std::size_t kBufferSize = 32 * 1024;
// A flood of messages must not hold the main thread; the notifier fires again for the rest.
constexpr int kMaxReadsPerWakeUp = 64;
// The longest wait for one part of a dump of the links and addresses.
constexpr int kDumpWaitMs = 500;

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
    // Learned after subscribing, so nothing that changes from here on goes unseen.
    learnState();
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &NetworkChangeMonitor::readEvents);
}

NetworkChangeMonitor::~NetworkChangeMonitor() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

void NetworkChangeMonitor::learnState() {
    filter_.clear();
    // A socket of its own: the replies must not mix with the notices waiting on the other one.
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;
    alignas(nlmsghdr) static char buffer[kBufferSize];
    std::uint32_t sequence = 0;
    for (const unsigned short type : {RTM_GETLINK, RTM_GETADDR}) {
        struct {
            nlmsghdr header;
            rtgenmsg body;
        } request{};
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body);
        request.header.nlmsg_type = type;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = ++sequence;
        request.body.rtgen_family = type == RTM_GETADDR ? AF_INET : AF_UNSPEC;
        if (::send(fd, &request, request.header.nlmsg_len, 0) < 0) break;
        // The kernel answers at once; the bound only keeps a stuck dump from holding the start.
        bool done = false;
        while (!done) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, kDumpWaitMs) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            filter_.learn(buffer, std::size_t(n));
            int remaining = int(n);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
            for (auto *h = reinterpret_cast<const nlmsghdr *>(buffer); NLMSG_OK(h, remaining);
                 h = NLMSG_NEXT(h, remaining))
                if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) done = true;
#pragma GCC diagnostic pop
        }
        if (!done) break;
    }
    ::close(fd);
}

void NetworkChangeMonitor::readEvents() {
    if (fd_ < 0) return;
    alignas(nlmsghdr) static char buffer[kBufferSize];
    bool relevant = false;
    bool lost = false;
    for (int reads = 0; reads < kMaxReadsPerWakeUp; ++reads) {
        sockaddr_nl sender{};
        socklen_t senderLength = sizeof sender;
        // MSG_TRUNC: the result is the datagram's full length, so a cut one is noticed.
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            // The kernel dropped messages because we were slow: something changed, and what
            // is known may be out of date.
            if (errno == ENOBUFS) {
                lost = true;
                continue;
            }
            break; // EAGAIN: all read
        }
        if (n == 0) break;
        if (sender.nl_pid != 0) continue; // only the kernel speaks for the network
        if (std::size_t(n) > sizeof buffer)
            lost = true;
        else
            relevant = filter_.apply(buffer, std::size_t(n)) || relevant;
    }
    if (lost) {
        learnState();
        relevant = true;
    }
    // One signal per batch: the listeners restart things and wait for quiet themselves.
    if (relevant) emit changed();
}

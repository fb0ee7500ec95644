// The way out: "UO" is on the wire, not merely queued, when the delegate's termination returns,
// since the process ends right after it.
#include "core/app/KDTAppDelegate.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "platform/defaults/Defaults.h"

#include <QDeadlineTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(AppShutdown, TheOfflineNoticeHasLeftWhenTerminationReturns) {
    // A socket on loopback stands for the network.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    UDPserver::setDefaultBroadcastsFunction([] { return QStringList{QStringLiteral("127.0.0.1")}; });
    Defaults::standard().removeObject(QStringLiteral("broadcasts"));

    QByteArray received;
    {
        KDTAppDelegate delegate;
        KDTAppDelegate::setShared(&delegate);
        delegate.makeInterfaceObjects(0, ntohs(sa.sin_port));
        delegate.list()->updateMe();
        UserList::setShared(delegate.list());
        UDPserver::setShared(delegate.udpserver());

        delegate.applicationWillTerminate();
        EXPECT_EQ(delegate.udpserver()->pendingSends(), 0);
        EXPECT_TRUE(delegate.terminated());
    } // the servers go here, as they do when the process ends
    char buf[65536];
    const QDeadlineTimer deadline(2000);
    while (received.isEmpty() && !deadline.hasExpired()) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0)
            received = QByteArray(buf, int(n));
        else
            QThread::msleep(5);
    }
    ::close(fd);
    UDPserver::setDefaultBroadcastsFunction({});
    KDTPacket::resetRecentIds();
    const std::optional<PacketArray> packet = KDTPacket::ArrayFromBase64AESdata(received);
    ASSERT_TRUE(packet && !packet->isEmpty()) << received.size() << " bytes";
    EXPECT_EQ(packet->first().toString(), "UO");
}

} // namespace

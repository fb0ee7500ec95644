// Datagrams that have to wait for room in the send buffer: run in a network namespace of this
// test's own, where 198.18.0.1/24 sits on a veth end whose peer stays down and nothing answers
// for 198.18.0.3. Datagrams to it wait in the neighbour table (holding send-buffer room) until
// the address is given up, so a small send buffer fills and the socket must wait until it is
// writable again. The socket is opened at the descriptor limit, where it cannot have a second
// descriptor for its write watch. Nothing leaves the machine.
#include "transport/UdpSocket.h"

#include "support/EventLoopWait.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *kChildEnv = "MURNAVELL_UDP_SENDWAIT_CHILD";

bool runIp(const QStringList &args, QString *out) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("ip", args);
    const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out += "ip " + args.join(' ') + ": " + QString::fromLocal8Bit(p.readAll()) + "\n";
    return ok;
}

class Counter : public UdpSocketDelegate {
public:
    int sent = 0;
    int notSent = 0;
    int closed = 0;
    void udpSocketDidSendDataWithTag(const std::shared_ptr<UdpSocket> &, long) override { ++sent; }
    void udpSocketDidNotSendDataWithTag(const std::shared_ptr<UdpSocket> &, long,
                                        const SocketError &) override {
        ++notSent;
    }
    void udpSocketDidClose(const std::shared_ptr<UdpSocket> &, const SocketError &) override { ++closed; }
};

TEST(UdpSocketSendWait, AFullSendBufferHoldsTheQueueUntilThereIsRoom) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    if (QStandardPaths::findExecutable("ip").isEmpty()) GTEST_SKIP() << "needs the ip tool (iproute2)";
    const QString ns =
        QString("mvudp-%1-%2").arg(::getpid()).arg(QRandomGenerator::global()->bounded(1u << 30));
    QString log;
    struct Cleanup {
        QString ns;
        ~Cleanup() { runIp({"netns", "del", ns}, nullptr); }
    } cleanup{ns};
    ASSERT_TRUE(runIp({"netns", "add", ns}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "link", "set", "lo", "up"}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "link", "add", "sw0", "type", "veth", "peer", "name", "sw1"}, &log))
        << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "addr", "add", "198.18.0.1/24", "dev", "sw0"}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "link", "set", "sw0", "up"}, &log)) << log.toStdString();
    // Give up on an unanswered address after one probe of 20 ms, so the test runs in moments.
    ASSERT_TRUE(runIp({"-n", ns, "ntable", "change", "name", "arp_cache", "dev", "sw0", "retrans", "20",
                       "mcast_probes", "1", "ucast_probes", "0", "app_probes", "0"},
                      &log))
        << log.toStdString();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildEnv, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("ip",
                {"netns", "exec", ns, QCoreApplication::applicationFilePath(),
                 "--gtest_filter=UdpSocketSendWaitChild.DISABLED_Run", "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForStarted(10000));
    const bool finished = child.waitForFinished(60000);
    if (!finished) child.kill(), child.waitForFinished(5000);
    const QByteArray output = child.readAll();
    ASSERT_TRUE(finished) << output.toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST(UdpSocketSendWaitChild, DISABLED_Run) {
    if (qEnvironmentVariableIsEmpty(kChildEnv)) GTEST_SKIP() << "only inside the test's own namespace";
    auto counter = std::make_shared<Counter>();
    auto sock = UdpSocket::create(counter, dispatch::Queue::main());
    sock->setIPv6Enabled(false);
    SocketError err;
    // The runtime's own descriptors first (its reactor is made with the first socket).
    UdpSocket::create(counter, dispatch::Queue::main())->enableReusePort(true, &err);
    // Opened with one descriptor number left: the socket's own, nothing more.
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(lowestFree + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool bound = sock->bindToPort(0, &err);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_TRUE(bound) << err.localizedDescription().toStdString();
    int waited = 0;
    sock->performBlock([&] {
        const int small = 1; // the system's least: room for a few datagrams only
        ::setsockopt(sock->socketFD(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        // Find out that the buffer fills here at all: sends until one would block.
        const QByteArray probe(1000, 'p');
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(9);
        sin.sin_addr.s_addr = htonl(0xC6120003); // 198.18.0.3
        for (int i = 0; i < 64; ++i) {
            if (::sendto(sock->socketFD(), probe.constData(), size_t(probe.size()), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr *>(&sin), sizeof sin) < 0 &&
                errno == EAGAIN) {
                waited = i;
                break;
            }
        }
    });
    ASSERT_GT(waited, 0) << "the send buffer never filled";
    constexpr int kDatagrams = 40;
    for (int i = 0; i < kDatagrams; ++i)
        sock->sendData(QByteArray(1000, char('a' + i % 26)), QStringLiteral("198.18.0.3"), 9, -1, i);
    EXPECT_TRUE(waitUntil([&] { return counter->sent == kDatagrams; }, 30000))
        << counter->sent << " of " << kDatagrams << " sent, " << counter->notSent << " not sent, "
        << counter->closed << " closes";
    EXPECT_EQ(counter->closed, 0);
}

} // namespace

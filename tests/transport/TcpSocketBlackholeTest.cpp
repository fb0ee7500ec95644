// Connects whose SYNs vanish: run in a network namespace of this test's own, where 198.18.0.1/24
// sits on one end of a veth pair whose other end stays down, with a fixed neighbour entry for
// 198.18.0.2 (no ARP failure to turn the silence into an error). Nothing leaves the machine.
#include "TcpTestSupport.h"

#include "platform/dispatch/Queue.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

using namespace tcptest;

namespace {

const char *kChildEnv = "MURNAVELL_TCP_BLACKHOLE_CHILD";

// Outgoing TCP sockets still trying to connect (SYN_SENT) in this namespace.
int synSentSockets() {
    QFile f("/proc/net/tcp");
    if (!f.open(QIODevice::ReadOnly)) return -1;
    int n = 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() > 3 && cols[3] == "02") ++n;
    }
    return n;
}

bool runIp(const QStringList &args, QString *out) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("ip", args);
    const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out += "ip " + args.join(' ') + ": " + QString::fromLocal8Bit(p.readAll()) + "\n";
    return ok;
}

TEST(TcpSocketBlackhole, ConnectTimeoutsInAPrivateNamespace) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    if (QStandardPaths::findExecutable("ip").isEmpty()) GTEST_SKIP() << "needs the ip tool (iproute2)";
    const QString ns =
        QString("mvtcp-%1-%2").arg(::getpid()).arg(QRandomGenerator::global()->bounded(1u << 30));
    QString log;
    struct Cleanup {
        QString ns;
        ~Cleanup() { runIp({"netns", "del", ns}, nullptr); }
    } cleanup{ns};
    ASSERT_TRUE(runIp({"netns", "add", ns}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "link", "set", "lo", "up"}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "link", "add", "bh0", "type", "veth", "peer", "name", "bh1"}, &log))
        << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "addr", "add", "198.18.0.1/24", "dev", "bh0"}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "link", "set", "bh0", "up"}, &log)) << log.toStdString();
    ASSERT_TRUE(runIp({"-n", ns, "neigh", "add", "198.18.0.2", "lladdr", "02:00:00:00:00:02", "dev", "bh0",
                       "nud", "permanent"},
                      &log))
        << log.toStdString();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildEnv, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("ip",
                {"netns", "exec", ns, QCoreApplication::applicationFilePath(),
                 "--gtest_filter=TcpSocketBlackholeChild.DISABLED_Run", "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForStarted(10000));
    const bool finished = child.waitForFinished(100000);
    if (!finished) child.kill(), child.waitForFinished(5000);
    const QByteArray output = child.readAll();
    ASSERT_TRUE(finished) << output.toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// Runs only inside the namespace made above.
TEST(TcpSocketBlackholeChild, DISABLED_Run) {
    if (!qEnvironmentVariableIsSet(kChildEnv) || ::if_nametoindex("bh0") == 0)
        GTEST_SKIP() << "only inside the test's own namespace";
    const uint16_t port = 19771;

    // One attempt: exactly one disconnect with code 3, and the pending descriptor is gone at once.
    {
        const int before = baselineDescriptors();
        auto rec = std::make_shared<Recorder>();
        auto sock = TcpSocket::create(rec, dispatch::Queue::main());
        SocketError err;
        ASSERT_TRUE(sock->connectToHost("198.18.0.2", port, 0.3, &err));
        sock->writeData("never", -1, 1);
        ASSERT_TRUE(rec->waitDisconnect(5000));
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_EQ(synSentSockets(), 0);
        spinFor(300);
        EXPECT_EQ(rec->events, QStringList({"disconnect:TcpSocketErrorDomain:3"}));
        EXPECT_EQ(rec->lastError.localizedDescription(), QString("Attempt to connect to host timed out"));

        // The same socket connects again at once, and the old attempt touches nothing of it.
        RawServer server;
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
        ASSERT_TRUE(server.accept());
        sock->readDataToData(TcpSocket::CRLFData(), 5, 2);
        spinFor(200);
        server.send("still here\r\n");
        ASSERT_TRUE(waitUntil([&] { return !rec->reads.empty(); }));
        EXPECT_EQ(rec->reads.front(), QByteArray("still here\r\n"));
        EXPECT_EQ(rec->disconnects, 1);
        sock->disconnect();
    }

    // 500 attempts in batches, each timing out: no descriptor and no half-open attempt left.
    {
        const int before = baselineDescriptors();
        int wrong = 0;
        for (int batch = 0; batch < 10; ++batch) {
            std::vector<std::shared_ptr<Recorder>> recs;
            std::vector<std::shared_ptr<TcpSocket>> socks;
            for (int i = 0; i < 50; ++i) {
                recs.push_back(std::make_shared<Recorder>());
                socks.push_back(TcpSocket::create(recs.back(), dispatch::Queue::main()));
                SocketError err;
                if (!socks.back()->connectToHost("198.18.0.2", port, 0.05, &err)) ++wrong;
            }
            const bool all = waitUntil(
                [&] {
                    for (auto &r : recs)
                        if (r->disconnects == 0) return false;
                    return true;
                },
                5000);
            if (!all) ++wrong;
            spinFor(20);
            for (auto &r : recs)
                if (r->disconnects != 1 || r->lastError.code() != TcpSocketConnectTimeoutError) ++wrong;
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_EQ(synSentSockets(), 0);
    }

    // A name the resolver cannot find ends in a resolver error (no server is reachable here).
    {
        auto rec = std::make_shared<Recorder>();
        auto sock = TcpSocket::create(rec, dispatch::Queue::main());
        SocketError err;
        ASSERT_TRUE(sock->connectToHost("murnavell-test.invalid", port, 30, &err));
        ASSERT_TRUE(rec->waitDisconnect(25000));
        EXPECT_EQ(rec->lastError.domain(), QString(kTcpSocketGaiErrorDomain));
        EXPECT_NE(rec->lastError.code(), 0);
    }
}

} // namespace

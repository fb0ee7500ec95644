// Broadcast between two network namespaces on one bridge (198.18.0.0/24). Each side is this test
// binary run again inside its namespace, with the hidden peer test below doing one role.
#include "transport/UdpSocket.h"

#include "support/EventLoopWait.h"
#include "support/NetnsLab.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include <cerrno>
#include <cstdio>

namespace {

class PeerRecorder : public UdpSocketDelegate {
public:
    QStringList events;
    void udpSocketDidSendDataWithTag(const std::shared_ptr<UdpSocket> &, long tag) override {
        events << QStringLiteral("sent %1").arg(tag);
    }
    void udpSocketDidNotSendDataWithTag(const std::shared_ptr<UdpSocket> &, long tag,
                                        const SocketError &e) override {
        events << QStringLiteral("notsent %1 %2 %3").arg(tag).arg(e.domain()).arg(e.code());
    }
    void udpSocketDidReceiveData(const std::shared_ptr<UdpSocket> &, QByteArray data, QByteArray from,
                                 std::shared_ptr<void>) override {
        events << QStringLiteral("received %1 %2")
                      .arg(UdpSocket::hostFromAddress(from), QString::fromUtf8(data));
    }
    void udpSocketDidClose(const std::shared_ptr<UdpSocket> &, const SocketError &e) override {
        events << QStringLiteral("closed %1").arg(e.domain());
    }
};

const QString kPayload = QStringLiteral("presence-by-broadcast");

QStringList peerArguments() {
    return {QStringLiteral("--gtest_also_run_disabled_tests"),
            QStringLiteral("--gtest_filter=UdpSocketNetns.DISABLED_BroadcastPeer")};
}

void say(const QString &line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// One side of the broadcast test; runs only when the parent test starts it in a namespace.
TEST(UdpSocketNetns, DISABLED_BroadcastPeer) {
    const QString role = qEnvironmentVariable("MURNAVELL_UDP_ROLE");
    if (role.isEmpty()) GTEST_SKIP() << "started by UdpSocketNetns.BroadcastReachesTheBridge only";
    auto recorder = std::make_shared<PeerRecorder>();
    auto sock = UdpSocket::create(recorder, dispatch::Queue::main());
    sock->setIPv6Enabled(false);
    SocketError err;
    ASSERT_TRUE(sock->enableReusePort(true, &err)) << err.localizedDescription().toStdString();
    if (role == QLatin1String("receive")) {
        ASSERT_TRUE(sock->bindToPort(19771, &err)) << err.localizedDescription().toStdString();
        ASSERT_TRUE(sock->beginReceiving(&err));
        say(QStringLiteral("READY"));
        ASSERT_TRUE(waitUntil([&] { return !recorder->events.isEmpty(); }, 15000));
    } else {
        // Without the broadcast option the system refuses the datagram: only it is lost.
        sock->sendData(kPayload.toUtf8(), QStringLiteral("198.18.0.255"), 19771, -1, 1);
        ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 1; }));
        ASSERT_TRUE(sock->enableBroadcast(true, &err)) << err.localizedDescription().toStdString();
        sock->sendData(kPayload.toUtf8(), QStringLiteral("198.18.0.255"), 19771, -1, 2);
        ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 2; }));
        spinFor(50);
    }
    for (const QString &e : recorder->events) say(e);
}

TEST(UdpSocketNetns, BroadcastReachesTheBridge) {
    QString why;
    if (!NetnsLab::available(&why)) GTEST_SKIP() << "namespace broadcast test skipped: " << why.toStdString();
    NetnsLab lab(2);
    ASSERT_TRUE(lab.ok()) << lab.error().toStdString();
    const QString self = QCoreApplication::applicationFilePath();

    QProcessEnvironment receiveEnv;
    receiveEnv.insert(QStringLiteral("MURNAVELL_UDP_ROLE"), QStringLiteral("receive"));
    QProcess *receiver = lab.run(1, self, peerArguments(), receiveEnv);
    ASSERT_NE(receiver, nullptr);
    QByteArray received;
    ASSERT_TRUE(waitUntil(
        [&] {
            received += receiver->readAllStandardOutput();
            return received.contains("READY") || receiver->state() == QProcess::NotRunning;
        },
        10000));
    ASSERT_TRUE(received.contains("READY"))
        << received.constData() << receiver->readAllStandardError().constData();

    QProcessEnvironment sendEnv;
    sendEnv.insert(QStringLiteral("MURNAVELL_UDP_ROLE"), QStringLiteral("send"));
    const NetnsLab::Result sender = lab.exec(0, QStringList{self} + peerArguments(), 20000, sendEnv);
    EXPECT_EQ(sender.exitCode, 0) << sender.output.constData();
    EXPECT_TRUE(
        sender.output.contains(QStringLiteral("notsent 1 POSIXErrorDomain %1\n").arg(EACCES).toUtf8()))
        << sender.output.constData();
    EXPECT_TRUE(sender.output.contains("sent 2\n")) << sender.output.constData();
    EXPECT_FALSE(sender.output.contains("closed")) << sender.output.constData();

    ASSERT_TRUE(waitUntil(
        [&] {
            received += receiver->readAllStandardOutput();
            return receiver->state() == QProcess::NotRunning;
        },
        20000));
    received += receiver->readAllStandardOutput();
    EXPECT_EQ(receiver->exitCode(), 0) << received.constData();
    const QByteArray want = QStringLiteral("received %1 %2").arg(lab.address(0), kPayload).toUtf8();
    EXPECT_TRUE(received.contains(want)) << "want " << want.constData() << "\n" << received.constData();
}

} // namespace

// The namespace lab itself: reachability, broadcast scope, faults, clean-up and the sweep.
// Traffic is made by this binary re-run inside a namespace as a small UDP child.
#include "support/CopyProcess.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int kPort = 47123;
constexpr int kSilenceMs = 800; // how long a listener waits for what should not come

QProcessEnvironment childEnv(const QString &mode, const QString &address, const QString &payload,
                             int waitMs) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("MV_LAB_MODE"), mode);
    env.insert(QStringLiteral("MV_LAB_ADDR"), address);
    env.insert(QStringLiteral("MV_LAB_PAYLOAD"), payload);
    env.insert(QStringLiteral("MV_LAB_WAIT"), QString::number(waitMs));
    return env;
}

QStringList childArgs() {
    return {QStringLiteral("--gtest_filter=E2eNetnsLabChild.DISABLED_Udp"),
            QStringLiteral("--gtest_also_run_disabled_tests")};
}

// A UDP listener inside one namespace; heard() gives "payload from address" or nothing.
class Listener {
public:
    Listener(NetnsLab &lab, int i, int waitMs) {
        process_ = lab.run(i, QCoreApplication::applicationFilePath(), childArgs(),
                           childEnv(QStringLiteral("recv"), {}, {}, waitMs));
        QDeadlineTimer deadline(10000);
        while (process_ && !out_.contains("READY") && !deadline.hasExpired() &&
               process_->state() == QProcess::Running) {
            process_->waitForReadyRead(50);
            out_ += process_->readAllStandardOutput();
        }
    }
    bool ready() const { return out_.contains("READY"); }
    QString heard() {
        if (!process_) return {};
        process_->waitForFinished(15000);
        out_ += process_->readAllStandardOutput();
        const auto match =
            QRegularExpression(QStringLiteral("GOT (\\S+) FROM (\\S+)")).match(QString::fromUtf8(out_));
        return match.hasMatch() ? match.captured(1) + QStringLiteral(" from ") + match.captured(2)
                                : QString();
    }

private:
    QProcess *process_ = nullptr;
    QByteArray out_;
};

bool sendFrom(NetnsLab &lab, int i, const QString &address, const QString &payload) {
    const auto result = lab.exec(i, QStringList{QCoreApplication::applicationFilePath()} + childArgs(), 15000,
                                 childEnv(QStringLiteral("send"), address, payload, 0));
    return result.output.contains("SENT");
}

QStringList hostNames() {
    return QString::fromUtf8(NetnsLab::host({"ip", "netns", "list"}).output +
                             NetnsLab::host({"ip", "-o", "link", "show"}).output)
        .split(QRegularExpression(QStringLiteral("[\\s:@]+")), Qt::SkipEmptyParts);
}

} // namespace

// Run only as a child: sends one datagram, or waits for one and prints it.
TEST(E2eNetnsLabChild, DISABLED_Udp) {
    const QByteArray mode = qgetenv("MV_LAB_MODE");
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    if (mode == "recv") {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
        std::printf("READY\n");
        std::fflush(stdout);
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, qEnvironmentVariableIntValue("MV_LAB_WAIT")) == 1) {
            char buffer[256];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer - 1, 0,
                                         reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n > 0) {
                buffer[n] = 0;
                std::printf("GOT %s FROM %s\n", buffer, inet_ntoa(from.sin_addr));
            }
        } else {
            std::printf("NOTHING\n");
        }
    } else if (mode == "send") {
        ASSERT_EQ(::inet_pton(AF_INET, qgetenv("MV_LAB_ADDR").constData(), &addr.sin_addr), 1);
        const QByteArray payload = qgetenv("MV_LAB_PAYLOAD");
        if (::sendto(fd, payload.constData(), payload.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                     sizeof addr) == payload.size())
            std::printf("SENT\n");
        else
            std::printf("SENDFAIL %s\n", std::strerror(errno));
    }
    std::fflush(stdout);
    ::close(fd);
}

TEST(E2eNetnsLab, CopiesReachEachOtherAndBroadcastStaysInItsSubnet) {
    SKIP_WITHOUT_NETNS();
    NetnsLab lab(3);
    const int remote = lab.addRemoteCopy();
    ASSERT_TRUE(lab.ok()) << qPrintable(lab.error());
    ASSERT_EQ(remote, 4); // a, b, c, router, remote
    EXPECT_EQ(lab.address(0), "198.18.0.1");
    EXPECT_EQ(lab.address(2), "198.18.0.3");
    EXPECT_EQ(lab.address(remote), "198.18.1.1");

    // Unicast between every pair on the bridge, and across the router both ways.
    const std::vector<std::pair<int, int>> pairs = {{0, 1}, {1, 2}, {2, 0}, {0, remote}, {remote, 1}};
    for (const auto &[from, to] : pairs) {
        SCOPED_TRACE(qPrintable(lab.ns(from) + " -> " + lab.ns(to)));
        Listener listener(lab, to, 5000);
        ASSERT_TRUE(listener.ready());
        ASSERT_TRUE(sendFrom(lab, from, lab.address(to), "hello"));
        EXPECT_EQ(listener.heard(), "hello from " + lab.address(from));
    }

    // A broadcast on the first subnet reaches b and c but not the copy behind the router.
    Listener b(lab, 1, 5000), c(lab, 2, 5000), far(lab, remote, kSilenceMs);
    ASSERT_TRUE(b.ready() && c.ready() && far.ready());
    ASSERT_TRUE(sendFrom(lab, 0, "198.18.0.255", "all"));
    EXPECT_EQ(b.heard(), "all from 198.18.0.1");
    EXPECT_EQ(c.heard(), "all from 198.18.0.1");
    EXPECT_EQ(far.heard(), "");
}

TEST(E2eNetnsLab, LinkDownAndBlackholeCutACopyOff) {
    SKIP_WITHOUT_NETNS();
    if (!NetnsLab::haveNft()) GTEST_SKIP() << "needs nft (nftables)";
    NetnsLab lab(2);
    ASSERT_TRUE(lab.ok()) << qPrintable(lab.error());
    auto reaches = [&](int from, int to, int waitMs) {
        Listener listener(lab, to, waitMs);
        EXPECT_TRUE(listener.ready());
        sendFrom(lab, from, lab.address(to), "x");
        return !listener.heard().isEmpty();
    };
    ASSERT_TRUE(reaches(0, 1, 5000));

    ASSERT_TRUE(lab.linkDown(1));
    EXPECT_FALSE(reaches(0, 1, kSilenceMs));
    ASSERT_TRUE(lab.linkUp(1));
    EXPECT_TRUE(reaches(0, 1, 5000));

    ASSERT_TRUE(lab.blackhole(1));
    EXPECT_FALSE(reaches(0, 1, kSilenceMs));
    EXPECT_FALSE(reaches(1, 0, kSilenceMs));
    // Loopback inside the black-holed namespace still works.
    Listener self(lab, 1, 5000);
    ASSERT_TRUE(self.ready());
    EXPECT_TRUE(sendFrom(lab, 1, "127.0.0.1", "me"));
    EXPECT_EQ(self.heard(), "me from 127.0.0.1");
    ASSERT_TRUE(lab.unblackhole(1));
    EXPECT_TRUE(reaches(1, 0, 5000));
}

TEST(E2eNetnsLab, CopyKeepsItsFoldersAcrossARestart) {
    SKIP_WITHOUT_NETNS();
    NetnsLab lab(1);
    ASSERT_TRUE(lab.ok()) << qPrintable(lab.error());
    // Written aside and renamed, so the test never reads a half-written file.
    QProcess *first = lab.run(
        0, "sh",
        {"-c", "echo $XDG_DATA_HOME $XDG_RUNTIME_DIR > $HOME/m && mv $HOME/m $HOME/mark; exec sleep 60"});
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(lab.folder(0) + "/home/mark"); }, 5000));
    lab.stop(first, 2000);
    EXPECT_EQ(first->state(), QProcess::NotRunning);
    const auto again = lab.exec(0, {"sh", "-c", "cat $HOME/mark"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output.trimmed(), (lab.folder(0) + "/data " + lab.folder(0) + "/run").toUtf8());
}

TEST(E2eNetnsLab, CopyProcessReadsEventsInOrderAndKeepsThem) {
    SKIP_WITHOUT_NETNS();
    NetnsLab lab(1);
    ASSERT_TRUE(lab.ok()) << qPrintable(lab.error());
    // A stand-in copy: echoes each command as an event, with some noise and a line on stderr.
    const char *script =
        "echo started >&2; echo not-json; echo '{\"event\":\"ready\"}'; "
        "while read -r line; do printf '{\"event\":\"echo\",\"line\":\"%s\"}\\n' \"$line\"; done";
    CopyProcess copy(lab.run(0, "sh", {"-c", script}), "a");
    ASSERT_TRUE(copy.running());
    ASSERT_TRUE(copy.waitForEvent("ready", 5000));
    ASSERT_TRUE(copy.send("one"));
    ASSERT_TRUE(copy.send("two\n"));
    auto isEcho = [](const QJsonObject &e) { return e.value("event").toString() == "echo"; };
    const auto first = copy.waitForEvent(isEcho, 5000);
    const auto second = copy.waitForEvent(isEcho, 5000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->value("line").toString(), "one");
    EXPECT_EQ(second->value("line").toString(), "two");
    // Nothing more is coming: a bounded wait gives up, and ends early once the copy is gone.
    EXPECT_FALSE(copy.waitForEvent(isEcho, 300));
    copy.closeInput();
    EXPECT_FALSE(copy.waitForEvent(isEcho, 5000));
    EXPECT_FALSE(copy.running());
    ASSERT_EQ(copy.events().size(), 3u);
    EXPECT_EQ(copy.events()[0].value("event").toString(), "ready");
    EXPECT_EQ(copy.noise(), "not-json\n");
    EXPECT_EQ(copy.standardError(), "started\n");
}

TEST(E2eNetnsLab, DestructionRemovesProcessesNamespacesAndBridges) {
    SKIP_WITHOUT_NETNS();
    QStringList made;
    qint64 pid = 0;
    {
        NetnsLab lab(2);
        lab.addRemoteCopy();
        ASSERT_TRUE(lab.ok()) << qPrintable(lab.error());
        made = lab.namespaces() + lab.bridges();
        // Ignores SIGTERM, so the lab must escalate to SIGKILL.
        QProcess *stubborn = lab.run(3, "sh", {"-c", "trap '' TERM; while :; do sleep 1; done"});
        ASSERT_NE(stubborn, nullptr);
        pid = stubborn->processId();
        const QStringList present = hostNames();
        for (const QString &name : made) EXPECT_TRUE(present.contains(name)) << qPrintable(name);
    }
    ASSERT_EQ(made.size(), 6); // four namespaces, two bridges
    const QStringList after = hostNames();
    for (const QString &name : made) EXPECT_FALSE(after.contains(name)) << qPrintable(name);
    for (const QString &name : after)
        EXPECT_FALSE(name.startsWith(QStringLiteral("mvh%1-").arg(getpid()))) << qPrintable(name);
    EXPECT_FALSE(QFile::exists(QStringLiteral("/proc/%1").arg(pid)));
}

TEST(E2eNetnsLab, SweepRemovesOnlyLeftoversOfEndedRuns) {
    SKIP_WITHOUT_NETNS();
    // A pid that surely belongs to nobody: a child that ended and was reaped.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const QString deadPid = QString::number(child);
    ASSERT_FALSE(QFile::exists("/proc/" + deadPid));
    const QString deadNs = "mv-x-" + deadPid + "-0", deadBridge = "mvb" + deadPid + "-00";
    const QString liveNs = QStringLiteral("mv-x-%1-z").arg(getpid()); // this process is alive
    ASSERT_EQ(NetnsLab::host({"ip", "netns", "add", deadNs}).exitCode, 0);
    ASSERT_EQ(NetnsLab::host({"ip", "link", "add", deadBridge, "type", "bridge"}).exitCode, 0);
    ASSERT_EQ(NetnsLab::host({"ip", "netns", "add", liveNs}).exitCode, 0);

    {
        NetnsLab lab(0);
        ASSERT_TRUE(lab.ok()) << qPrintable(lab.error());
    }
    const QStringList after = hostNames();
    NetnsLab::host({"ip", "netns", "del", liveNs});
    EXPECT_FALSE(after.contains(deadNs));
    EXPECT_FALSE(after.contains(deadBridge));
    EXPECT_TRUE(after.contains(liveNs));
    NetnsLab::host({"ip", "netns", "del", deadNs});
    NetnsLab::host({"ip", "link", "del", deadBridge});
}

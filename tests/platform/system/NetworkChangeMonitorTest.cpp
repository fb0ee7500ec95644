#include "platform/system/NetworkChangeMonitor.h"

#include "support/EventLoopWait.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

namespace {

struct Message {
    unsigned short type;
    unsigned declaredLength; // 0: the real length
    unsigned payload;
};

struct BatchCase {
    const char *name;
    std::vector<Message> messages;
    int cut; // bytes taken off the end of the batch
    bool relevant;
};

// The messages laid out as the kernel does, each padded to NLMSG_ALIGN.
std::vector<unsigned char> batch(const BatchCase &c) {
    std::vector<unsigned char> bytes;
    for (const Message &m : c.messages) {
        nlmsghdr header{};
        header.nlmsg_type = m.type;
        header.nlmsg_len = m.declaredLength ? m.declaredLength : unsigned(NLMSG_LENGTH(m.payload));
        const size_t at = bytes.size();
        bytes.resize(at + NLMSG_SPACE(m.payload));
        std::memcpy(bytes.data() + at, &header, sizeof header);
    }
    bytes.resize(bytes.size() - size_t(c.cut));
    return bytes;
}

bool relevant(const std::vector<unsigned char> &bytes, size_t offset = 0) {
    alignas(nlmsghdr) unsigned char storage[512] = {};
    std::memcpy(storage + offset, bytes.data(), bytes.size());
    return NetworkChangeMonitor::isRelevantBatch(storage + offset, bytes.size());
}

} // namespace

TEST(NetworkChangeMonitorTest, FindsLinkAndAddressChangesAndNeverTrustsLengths) {
    const std::vector<BatchCase> cases = {
        {"new link", {{RTM_NEWLINK, 0, sizeof(ifinfomsg)}}, 0, true},
        {"deleted link", {{RTM_DELLINK, 0, sizeof(ifinfomsg)}}, 0, true},
        {"new address", {{RTM_NEWADDR, 0, sizeof(ifaddrmsg)}}, 0, true},
        {"deleted address", {{RTM_DELADDR, 0, sizeof(ifaddrmsg)}}, 0, true},
        {"route only", {{RTM_NEWROUTE, 0, sizeof(rtmsg)}}, 0, false},
        {"route then address",
         {{RTM_NEWROUTE, 0, sizeof(rtmsg)}, {RTM_DELADDR, 0, sizeof(ifaddrmsg)}},
         0,
         true},
        {"empty", {}, 0, false},
        {"shorter than a header", {{RTM_NEWLINK, 0, 0}}, 8, false},
        {"length past the end", {{RTM_NEWLINK, 4000, sizeof(ifinfomsg)}}, 0, false},
        {"length below a header", {{RTM_NEWLINK, 4, sizeof(ifinfomsg)}}, 0, false},
        {"second message cut",
         {{RTM_NEWROUTE, 0, sizeof(rtmsg)}, {RTM_NEWADDR, 0, sizeof(ifaddrmsg)}},
         4,
         false},
        {"second length past the end",
         {{RTM_NEWROUTE, 0, sizeof(rtmsg)}, {RTM_NEWADDR, 900, sizeof(ifaddrmsg)}},
         0,
         false},
    };
    for (const BatchCase &c : cases) EXPECT_EQ(relevant(batch(c)), c.relevant) << c.name;
    // A misaligned buffer is refused rather than read.
    EXPECT_FALSE(relevant(batch(cases[0]), 1));
    EXPECT_FALSE(NetworkChangeMonitor::isRelevantBatch(nullptr, 64));
}

// Run only as a child inside a namespace of the test's own (the monitor watches the namespace
// of its process): adds and removes links and addresses there.
TEST(NetworkChangeMonitorChild, DISABLED_SeesLinkAndAddressChanges) {
    if (qEnvironmentVariable("MV_MONITOR_CHILD") != QLatin1String("1"))
        GTEST_SKIP() << "only inside its namespace";
    NetworkChangeMonitor &monitor = NetworkChangeMonitor::shared();
    ASSERT_TRUE(monitor.isActive());
    int changes = 0;
    QObject::connect(&monitor, &NetworkChangeMonitor::changed, [&] { ++changes; });
    auto ip = [](const QStringList &args) { return QProcess::execute(QStringLiteral("ip"), args) == 0; };

    spinFor(300);
    EXPECT_EQ(changes, 0) << "nothing changed yet";
    // A route alone is no link or address change.
    ASSERT_TRUE(ip({"route", "add", "blackhole", "198.18.9.0/24"}));
    spinFor(300);
    EXPECT_EQ(changes, 0);

    const std::vector<QStringList> steps = {
        {"link", "add", "mvx0", "type", "veth", "peer", "name", "mvx1"},
        {"addr", "add", "198.18.0.77/24", "dev", "mvx0"},
        {"link", "set", "mvx0", "up"},
        {"addr", "del", "198.18.0.77/24", "dev", "mvx0"},
        {"link", "del", "mvx0"},
    };
    for (const QStringList &step : steps) {
        changes = 0;
        ASSERT_TRUE(ip(step)) << qPrintable(step.join(' '));
        EXPECT_TRUE(waitUntil([&] { return changes > 0; }, 5000)) << qPrintable(step.join(' '));
    }
}

TEST(NetworkChangeMonitorTest, SeesLinkAndAddressChangesInsideANamespace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (makes a network namespace)";
    if (QStandardPaths::findExecutable("ip").isEmpty() &&
        QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin"}).isEmpty())
        GTEST_SKIP() << "needs the ip tool (iproute2)";
    // The end-to-end lab's naming, so its sweep removes a namespace left by a crash.
    const QString ns = QStringLiteral("mv-monitor-%1-m").arg(getpid());
    struct Namespace {
        QString name;
        ~Namespace() { QProcess::execute("ip", {"netns", "del", name}); }
    } guard{ns};
    ASSERT_EQ(QProcess::execute("ip", {"netns", "add", ns}), 0);
    ASSERT_EQ(QProcess::execute("ip", {"netns", "exec", ns, "ip", "link", "set", "lo", "up"}), 0);

    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MV_MONITOR_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start("ip", {"netns", "exec", ns, QCoreApplication::applicationFilePath(),
                       "--gtest_filter=NetworkChangeMonitorChild.DISABLED_SeesLinkAndAddressChanges",
                       "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForStarted(5000));
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(2000);
    }
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << output.constData();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.constData();
}

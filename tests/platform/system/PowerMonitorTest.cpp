#include "platform/system/PowerMonitor.h"

#include "support/EventLoopWait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

// A stand-in for logind's manager: each Inhibit hands out the write end of a pipe and keeps
// the read end, which hangs up once every copy of the lock is closed.
class FakeLogin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    ~FakeLogin() override {
        for (int fd : readEnds) ::close(fd);
    }
    std::vector<QStringList> calls;
    std::vector<int> readEnds;

    bool held(size_t lock) const {
        if (lock >= readEnds.size()) return false;
        pollfd p{readEnds[lock], POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode) {
        calls.push_back({what, who, why, mode});
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return {};
        readEnds.push_back(fds[0]);
        QDBusUnixFileDescriptor lock(fds[1]); // keeps a copy
        ::close(fds[1]);
        return lock;
    }
};

// A private bus from dbus-daemon, with one connection for logind's side and one for ours.
class PowerMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) GTEST_SKIP() << "needs dbus-daemon";
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(daemon_.waitForStarted(5000));
        ASSERT_TRUE(waitUntil([&] { return daemon_.canReadLine(); }, 5000))
            << "dbus-daemon printed no address";
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        login_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, "fake-login"));
        ours_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, "monitor"));
        ASSERT_TRUE(login_->isConnected() && ours_->isConnected());
    }
    void TearDown() override {
        login_.reset();
        ours_.reset();
        QDBusConnection::disconnectFromBus("fake-login");
        QDBusConnection::disconnectFromBus("monitor");
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            if (!daemon_.waitForFinished(3000)) daemon_.kill();
            daemon_.waitForFinished(2000);
        }
    }
    void publishLogin() {
        ASSERT_TRUE(login_->registerObject(kPath, &fake_, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(login_->registerService(kService));
    }
    void prepareForSleep(bool start) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kManager, "PrepareForSleep");
        signal << start;
        ASSERT_TRUE(login_->send(signal));
    }

    QProcess daemon_;
    QString address_;
    std::unique_ptr<QDBusConnection> login_, ours_;
    FakeLogin fake_;
};

} // namespace

TEST_F(PowerMonitorTest, WithoutLogindItStaysSilent) {
    int emitted = 0;
    PowerMonitor monitor(*ours_);
    QObject::connect(&monitor, &PowerMonitor::willSleep, [&] { ++emitted; });
    QObject::connect(&monitor, &PowerMonitor::didWake, [&] { ++emitted; });
    EXPECT_FALSE(monitor.isActive());
    prepareForSleep(true);
    prepareForSleep(false);
    spinFor(300);
    EXPECT_EQ(emitted, 0);
    monitor.releaseSleepDelay(); // harmless without a lock

    const QDBusConnection nowhere = QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "nowhere");
    EXPECT_FALSE(PowerMonitor(nowhere).isActive());
    QDBusConnection::disconnectFromBus("nowhere");
}

TEST_F(PowerMonitorTest, HoldsTheDelayLockUntilReleasedAndRetakesItOnWake) {
    publishLogin();
    std::vector<std::string> log;
    auto monitor = std::make_unique<PowerMonitor>(*ours_);
    QObject::connect(monitor.get(), &PowerMonitor::willSleep,
                     [&] { log.push_back(fake_.held(0) ? "willSleep, locked" : "willSleep, unlocked"); });
    QObject::connect(monitor.get(), &PowerMonitor::didWake, [&] { log.push_back("didWake"); });
    ASSERT_TRUE(monitor->isActive());
    ASSERT_TRUE(waitUntil([&] { return fake_.calls.size() == 1 && fake_.held(0); }, 5000));
    EXPECT_EQ(fake_.calls[0], (QStringList{"sleep", "Murnavell", "Announce going offline", "delay"}));

    prepareForSleep(true);
    ASSERT_TRUE(waitUntil([&] { return !log.empty(); }, 5000));
    // The machine waits for us: the lock is still held after willSleep until we let go.
    spinFor(100);
    EXPECT_TRUE(fake_.held(0));
    monitor->releaseSleepDelay();
    EXPECT_FALSE(fake_.held(0));

    prepareForSleep(false);
    ASSERT_TRUE(waitUntil([&] { return fake_.calls.size() == 2 && fake_.held(1); }, 5000));
    EXPECT_EQ(log, (std::vector<std::string>{"willSleep, locked", "didWake"}));
    // A wake without a sleep before it (sleep cancelled) keeps the one lock it has.
    prepareForSleep(false);
    ASSERT_TRUE(waitUntil([&] { return log.size() == 3; }, 5000));
    spinFor(100);
    EXPECT_EQ(fake_.calls.size(), 2u);

    monitor.reset();
    EXPECT_FALSE(fake_.held(1)) << "the lock is closed with the monitor";
}

TEST_F(PowerMonitorTest, WithNobodyToAnnounceSleepTheLockGoesAtOnce) {
    publishLogin();
    PowerMonitor monitor(*ours_);
    ASSERT_TRUE(monitor.isActive());
    ASSERT_TRUE(waitUntil([&] { return fake_.held(0); }, 5000));
    prepareForSleep(true);
    EXPECT_TRUE(waitUntil([&] { return !fake_.held(0); }, 5000));
}

#include "PowerMonitorTest.moc"

// Keeping the display awake: Inhibit and UnInhibit reach a stand-in screensaver on a private
// bus, also when the release comes before the answer or the object goes first.
#include "platform/system/ScreenSaverInhibitor.h"

#include "support/EventLoopWait.h"

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// The screensaver's side: hands out cookies and remembers what it was asked.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    std::vector<QStringList> inhibits;
    std::vector<uint> uninhibits;

public slots:
    uint Inhibit(const QString &application, const QString &reason) {
        inhibits.push_back({application, reason});
        return 40 + uint(inhibits.size());
    }
    void UnInhibit(uint cookie) { uninhibits.push_back(cookie); }
};

class ScreenSaverInhibitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) GTEST_SKIP() << "needs dbus-daemon";
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(daemon_.waitForStarted(5000));
        ASSERT_TRUE(waitUntil([&] { return daemon_.canReadLine(); }, 5000))
            << "dbus-daemon printed no address";
        const QString address = QString::fromUtf8(daemon_.readLine()).trimmed();
        saver_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "fake-saver"));
        ours_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "inhibitor"));
        ASSERT_TRUE(saver_->isConnected() && ours_->isConnected());
    }
    void TearDown() override {
        saver_.reset();
        ours_.reset();
        QDBusConnection::disconnectFromBus("fake-saver");
        QDBusConnection::disconnectFromBus("inhibitor");
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            if (!daemon_.waitForFinished(3000)) daemon_.kill();
            daemon_.waitForFinished(2000);
        }
    }
    void publish() {
        ASSERT_TRUE(
            saver_->registerObject("/org/freedesktop/ScreenSaver", &fake_, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(saver_->registerService("org.freedesktop.ScreenSaver"));
    }

    QProcess daemon_;
    std::unique_ptr<QDBusConnection> saver_, ours_;
    FakeScreenSaver fake_;
};

TEST_F(ScreenSaverInhibitorTest, HeldFromTheAnswerUntilTheRelease) {
    publish();
    ScreenSaverInhibitor inhibitor("Audio/Video Call Started", *ours_);
    bool answer = false, answered = false;
    QObject::connect(&inhibitor, &ScreenSaverInhibitor::answered, [&](bool held) {
        answered = true;
        answer = held;
    });
    ASSERT_TRUE(waitUntil([&] { return answered; }, 5000));
    EXPECT_TRUE(answer);
    ASSERT_EQ(fake_.inhibits.size(), 1u);
    EXPECT_EQ(fake_.inhibits[0][1], "Audio/Video Call Started");
    EXPECT_FALSE(fake_.inhibits[0][0].isEmpty());
    EXPECT_TRUE(inhibitor.isHeld());
    EXPECT_EQ(inhibitor.cookie(), 41u);

    inhibitor.release();
    inhibitor.release();
    ASSERT_TRUE(waitUntil([&] { return !fake_.uninhibits.empty(); }, 5000));
    spinFor(100);
    EXPECT_EQ(fake_.uninhibits, std::vector<uint>{41});
    EXPECT_FALSE(inhibitor.isHeld());
}

TEST_F(ScreenSaverInhibitorTest, AReleaseOrAnEndBeforeTheAnswerStillLiftsIt) {
    publish();
    {
        ScreenSaverInhibitor early("call", *ours_);
        early.release();
        auto gone = std::make_unique<ScreenSaverInhibitor>("call", *ours_);
        gone.reset();
    }
    ASSERT_TRUE(waitUntil([&] { return fake_.uninhibits.size() == 2; }, 5000));
    EXPECT_EQ(fake_.inhibits.size(), 2u);
    EXPECT_EQ(fake_.uninhibits, (std::vector<uint>{41, 42}));
}

TEST_F(ScreenSaverInhibitorTest, WithoutAScreenSaverNothingIsHeld) {
    ScreenSaverInhibitor inhibitor("call", *ours_);
    bool answered = false, held = true;
    QObject::connect(&inhibitor, &ScreenSaverInhibitor::answered, [&](bool h) {
        answered = true;
        held = h;
    });
    ASSERT_TRUE(waitUntil([&] { return answered; }, 30000));
    EXPECT_FALSE(held);
    EXPECT_FALSE(inhibitor.isHeld());
    inhibitor.release();
    ScreenSaverInhibitor noBus("call", QDBusConnection(QStringLiteral("none")));
    EXPECT_FALSE(noBus.isHeld());
}

} // namespace

#include "ScreenSaverInhibitorTest.moc"

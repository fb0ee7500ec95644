// The hot key through the desktop's shortcuts portal, for real over a private session bus with a
// stand-in portal process: what is asked for, what a press does, refusals, letting go, and the
// desktop's own choice of key shown in the settings.
#include "ui/settings/PortalKeyGrabber.h"
#include "core/app/RegisteredDefaults.h"
#include "platform/defaults/Defaults.h"
#include "support/EventLoopWait.h"
#include "support/Screenshots.h"
#include "ui/settings/HotKeyCodes.h"
#include "ui/settings/HotKeyWorker.h"
#include "ui/settings/SettingsWindow.h"
#include "ui_Settings.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QLabel>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace {

// The portal process and what it said so far.
class Portal {
public:
    ~Portal() { stop(); }
    bool start(const QString &busAddress, const QStringList &args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(MURNAVELL_FAKEPORTAL, args);
        return process.waitForStarted(5000) && waitFor("ready").has_value();
    }
    void stop() {
        if (process.state() == QProcess::NotRunning) return;
        process.closeWriteChannel();
        if (!process.waitForFinished(3000)) process.kill();
        process.waitForFinished(2000);
    }
    // The first line not yet taken that starts with `prefix` (earlier lines stay for later).
    std::optional<QString> waitFor(const QString &prefix, int timeoutMs = 10000) {
        std::optional<QString> found;
        waitUntil(
            [&] {
                while (process.canReadLine()) lines << QString::fromUtf8(process.readLine()).trimmed();
                for (int i = 0; i < lines.size(); ++i)
                    if (lines[i].startsWith(prefix)) {
                        found = lines.takeAt(i);
                        return true;
                    }
                return process.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return found;
    }
    // Runs a command and waits until the portal did it.
    void command(const QString &line) {
        process.write((line + "\n").toUtf8());
        ASSERT_TRUE(waitFor("done " + line.section(' ', 0, 0))) << line.toStdString();
    }
    QStringList lines;
    QProcess process;
};

class PortalKeyGrabberTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) GTEST_SKIP() << "needs dbus-daemon";
        ASSERT_TRUE(dir.isValid());
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(daemon.waitForStarted(5000));
        ASSERT_TRUE(waitUntil([&] { return daemon.canReadLine(); }, 5000))
            << "dbus-daemon printed no address";
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "ours"));
        ASSERT_TRUE(bus->isConnected());
        defaults = std::make_unique<Defaults>(dir.filePath("settings.json"));
        RegisteredDefaults::registerAll(*defaults, 12, "~/Downloads/Murnavell");
        defaults->setValue("enableHotKey", false);
    }
    void TearDown() override {
        settings.reset();
        worker.reset();
        portal.stop();
        bus.reset();
        QDBusConnection::disconnectFromBus("ours");
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            if (!daemon.waitForFinished(3000)) daemon.kill();
            daemon.waitForFinished(2000);
        }
    }
    // A worker holding the settings' hot key through the portal.
    void makeWorker() {
        worker = std::make_unique<HotKeyWorker>(nullptr, defaults.get());
        auto g = PortalKeyGrabber::create(*bus);
        ASSERT_TRUE(g);
        grabber = g.get();
        worker->setGrabber(std::move(g));
        worker->setAction([this] { ++pressed; });
        worker->setEnabledDefaultsKeyPath("enableHotKey");
        worker->setHotKeyDefaultsKeyPath("hotKey");
    }
    // The session asked for and bound with `trigger`; its path.
    QString bound(const QString &trigger) {
        const auto created = portal.waitFor("CreateSession ");
        EXPECT_TRUE(created);
        if (!created) return {};
        const QString session = created->section(' ', 1);
        EXPECT_EQ(portal.waitFor("BindShortcuts "), "BindShortcuts " + session + " hotKey " + trigger);
        EXPECT_TRUE(waitUntil([&] { return grabber->held(); }));
        return session;
    }

    QTemporaryDir dir;
    QProcess daemon;
    QString address;
    std::unique_ptr<QDBusConnection> bus;
    std::unique_ptr<Defaults> defaults;
    Portal portal;
    std::unique_ptr<HotKeyWorker> worker;
    PortalKeyGrabber *grabber = nullptr;
    std::unique_ptr<SettingsWindow> settings;
    int pressed = 0;
};

} // namespace

TEST(PortalTriggerText, TheStoredFormBecomesTheKeysymsTheDesktopKnows) {
    using C = HotKeyCodes;
    const struct {
        std::uint32_t flags;
        int keyCode;
        const char *text;
    } cases[] = {
        {0x60000, 1, "CTRL+SHIFT+s"},         // the registered default
        {0x60000 | 0x100, 1, "CTRL+SHIFT+s"}, // device bits do not count
        {C::Command | C::Option, 49, "ALT+LOGO+space"},
        {0, 96, "F5"}, // a function key alone
        {C::Control, 36, "CTRL+Return"},
        {C::Control, 76, "CTRL+KP_Enter"}, // the keypad's own keys
        {C::Control | C::Option, 18, "CTRL+ALT+1"},
        {C::Control, 10, ""}, // a key this keyboard does not have
    };
    for (const auto &c : cases)
        EXPECT_EQ(PortalKeyGrabber::triggerText(c.flags, c.keyCode), QString(c.text)) << c.text;

    const struct {
        const char *a, *b;
        bool same;
    } pairs[] = {
        {"CTRL+SHIFT+s", "Ctrl+Shift+S", true},      {"CTRL+SHIFT+s", "Shift+Control+s", true},
        {"ALT+LOGO+space", "Super+Alt+Space", true}, {"CTRL+SHIFT+s", "Ctrl+S", false},
        {"CTRL+SHIFT+s", "Ctrl+Shift+D", false},     {"CTRL+SHIFT+s", "", false},
    };
    for (const auto &p : pairs)
        EXPECT_EQ(PortalKeyGrabber::sameTrigger(p.a, p.b), p.same) << p.a << " / " << p.b;
}

TEST_F(PortalKeyGrabberTest, TheStoredKeyIsAskedForAndEachActivationRunsTheAction) {
    ASSERT_TRUE(portal.start(address, {}));
    makeWorker();
    EXPECT_TRUE(worker->available());
    defaults->setValue("enableHotKey", true);
    const QString first = bound("CTRL+SHIFT+s");
    EXPECT_TRUE(worker->registered());
    EXPECT_TRUE(worker->triggerDescription().isEmpty()) << "the desktop gave the key asked for";

    portal.command("activate hotKey");
    EXPECT_TRUE(waitUntil([&] { return pressed == 1; }));
    // Another shortcut's activation is not ours; the next one of ours is.
    portal.command("activate somethingElse");
    portal.command("activate hotKey");
    EXPECT_TRUE(waitUntil([&] { return pressed == 2; }));
    spinFor(50);
    EXPECT_EQ(pressed, 2);

    // A new combination: the old session goes, a new one asks for the new key.
    defaults->setValue("hotKey", QVariantList{HotKeyCodes::Control | HotKeyCodes::Command, 96});
    EXPECT_EQ(portal.waitFor("SessionClose "), "SessionClose " + first);
    const QString second = bound("CTRL+LOGO+F5");
    EXPECT_NE(second, first);

    // Switching the hot key off closes the session; the old session's presses never count.
    defaults->setValue("enableHotKey", false);
    EXPECT_EQ(portal.waitFor("SessionClose "), "SessionClose " + second);
    EXPECT_FALSE(worker->registered());
    portal.command("activate hotKey");
    spinFor(100);
    EXPECT_EQ(pressed, 2);

    // On again, and the worker going (as at quit) lets go too.
    defaults->setValue("enableHotKey", true);
    const QString third = bound("CTRL+LOGO+F5");
    worker.reset();
    EXPECT_EQ(portal.waitFor("SessionClose "), "SessionClose " + third);
}

TEST_F(PortalKeyGrabberTest, APortalThatIsMissingTooOldOrRefusesLeavesTheHotKeyUnavailable) {
    const struct {
        const char *name;
        QStringList args; // empty name of the first: no portal runs at all
        bool offered;     // whether the portal offers global shortcuts at all
        bool sessionMade; // whether a session was made (and so must be closed)
    } cases[] = {
        {"no portal", {"<none>"}, false, false},
        {"no GlobalShortcuts", {"--version", "-1"}, false, false},
        {"version 0", {"--version", "0"}, false, false},
        {"CreateSession fails", {"--fail", "create"}, true, false},
        {"CreateSession refused", {"--refuse", "create"}, true, false},
        {"BindShortcuts fails", {"--fail", "bind"}, true, true},
        {"BindShortcuts refused", {"--refuse", "bind"}, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.args != QStringList{"<none>"}) {
            ASSERT_TRUE(portal.start(address, c.args));
        }
        EXPECT_EQ(bool(HotKeyWorker::grabberFor("wayland", *bus)), c.offered);
        EXPECT_FALSE(HotKeyWorker::grabberFor("offscreen", *bus));
        if (c.offered) {
            makeWorker();
            bool unavailable = false;
            QObject::connect(worker.get(), &HotKeyWorker::availableChanged,
                             [&](bool a) { unavailable = !a; });
            defaults->setValue("enableHotKey", true);
            ASSERT_TRUE(portal.waitFor("CreateSession "));
            EXPECT_TRUE(waitUntil([&] { return unavailable; }));
            EXPECT_FALSE(worker->available());
            EXPECT_FALSE(worker->registered());
            EXPECT_FALSE(worker->taken()) << "a refusal is not another program's key";
            EXPECT_FALSE(grabber->held());
            if (c.sessionMade) {
                EXPECT_TRUE(portal.waitFor("SessionClose "));
            }
            worker.reset();
            defaults->setValue("enableHotKey", false);
        }
        portal.stop();
        portal.lines.clear();
    }
}

TEST_F(PortalKeyGrabberTest, AMalformedHotKeyOpensNoSession) {
    ASSERT_TRUE(portal.start(address, {}));
    defaults->setValue("hotKey", "Ctrl+Shift+S");
    defaults->setValue("enableHotKey", true);
    makeWorker();
    const QVariant malformed[] = {QVariantList{1, 2, 3}, QVariantList{0x60000, 10},
                                  QVariantList{-1, 1},   QVariantList{"a", "b"},
                                  QVariantList{},        QVariant(42)};
    for (const QVariant &value : malformed) defaults->setValue("hotKey", value);
    EXPECT_FALSE(worker->registered());
    EXPECT_TRUE(worker->available());
    // The first session the portal hears of is the one for the good value that follows.
    defaults->setValue("hotKey", QVariantList{0x60000, 1});
    bound("CTRL+SHIFT+s");
    EXPECT_EQ(portal.lines, QStringList()) << "no other request reached the portal";
}

TEST_F(PortalKeyGrabberTest, TheSettingsTellTheKeyTheDesktopChoseAndWhenItTookTheKeyBack) {
    ASSERT_TRUE(portal.start(address, {"--trigger", "Alt+F12"}));
    makeWorker();
    defaults->setValue("enableHotKey", true);
    bound("CTRL+SHIFT+s");
    EXPECT_EQ(worker->triggerDescription(), "Alt+F12");

    settings = std::make_unique<SettingsWindow>(defaults.get());
    Ui::Settings *ui = settings->ui();
    settings->window()->show();
    EXPECT_FALSE(ui->hotKeyUnavailable->isVisible());
    EXPECT_TRUE(ui->hotKeyTrigger->isVisible());
    EXPECT_TRUE(ui->hotKeyTrigger->text().contains("Alt+F12"));
    EXPECT_EQ(ui->hotKeyField->text(), QString::fromUtf8("⌃⇧S")) << "the field keeps the recorded key";
    EXPECT_FALSE(Screenshots::save(settings->window(), "settings", "hotkey-desktop-trigger").isEmpty());

    // The user sets it back to the key asked for in the desktop's own settings: no note.
    portal.command("change Ctrl+Shift+S");
    EXPECT_TRUE(waitUntil([&] { return !ui->hotKeyTrigger->isVisible(); }));
    portal.command("change Ctrl+Alt+M");
    EXPECT_TRUE(waitUntil([&] { return ui->hotKeyTrigger->text().contains("Ctrl+Alt+M"); }));

    // The desktop ends the session: the hot key is unavailable and the settings say so.
    portal.command("close");
    EXPECT_TRUE(waitUntil([&] { return ui->hotKeyUnavailable->isVisible(); }));
    EXPECT_FALSE(ui->hotKeyTrigger->isVisible());
    EXPECT_FALSE(ui->enableHotKey->isEnabled());
    EXPECT_FALSE(worker->registered());
}

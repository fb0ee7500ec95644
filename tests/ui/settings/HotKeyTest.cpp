// The hot key's worker over a stand-in grabber, the key table, and the field that records a
// combination, driven with keys as a user does.
#include "core/app/RegisteredDefaults.h"
#include "platform/defaults/Defaults.h"
#include "ui/settings/HotKeyCodes.h"
#include "ui/settings/HotKeyField.h"
#include "ui/settings/HotKeyWorker.h"
#include "ui/settings/KeyGrabber.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <X11/keysym.h>

namespace {

constexpr std::uint32_t CtrlShift = HotKeyCodes::Control | HotKeyCodes::Shift;

// Records what the worker asks of the key server.
struct FakeGrabber : KeyGrabber {
    QList<QPair<std::uint32_t, int>> grabs;
    int ungrabs = 0;
    bool refuse = false;
    QPair<std::uint32_t, int> elsewhere{0, -1};
    bool held = false;
    bool grab(std::uint32_t flags, int keyCode) override {
        grabs.append({flags, keyCode});
        held = !refuse;
        return held;
    }
    void ungrab() override {
        ++ungrabs;
        held = false;
    }
    bool heldElsewhere(std::uint32_t flags, int keyCode) override {
        return elsewhere == QPair<std::uint32_t, int>(flags & HotKeyCodes::ModifierMask, keyCode);
    }
};

class HotKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        defaults = std::make_unique<Defaults>(dir.filePath("settings.json"));
        RegisteredDefaults::registerAll(*defaults, 12, "~/Downloads/Murnavell");
    }
    // A worker on the test's settings with a fake grabber; the settings arrive in `order`.
    std::unique_ptr<HotKeyWorker> worker(bool enabledFirst = true) {
        auto w = std::make_unique<HotKeyWorker>(nullptr, defaults.get());
        auto g = std::make_unique<FakeGrabber>();
        grabber = g.get();
        w->setGrabber(std::move(g));
        if (enabledFirst) {
            w->setEnabledDefaultsKeyPath("enableHotKey");
            w->setHotKeyDefaultsKeyPath("hotKey");
        } else {
            w->setHotKeyDefaultsKeyPath("hotKey");
            w->setEnabledDefaultsKeyPath("enableHotKey");
        }
        return w;
    }
    QTemporaryDir dir;
    std::unique_ptr<Defaults> defaults;
    FakeGrabber *grabber = nullptr;
};

} // namespace

TEST_F(HotKeyTest, TheTableTranslatesBothWays) {
    EXPECT_EQ(HotKeyCodes::keysymForKeyCode(1), std::uint32_t(XK_s));
    EXPECT_EQ(HotKeyCodes::keyCodeForKeysym(XK_S), 1);
    EXPECT_EQ(HotKeyCodes::keyCodeForKeysym(XK_s), 1);
    EXPECT_EQ(HotKeyCodes::keyCodeForKeysym(XK_KP_Enter), 76);
    EXPECT_EQ(HotKeyCodes::keyCodeForKeysym(XK_Help), 114);
    EXPECT_EQ(HotKeyCodes::keyCodeForKeysym(XK_Shift_L), -1);
    EXPECT_EQ(HotKeyCodes::keysymForKeyCode(10), 0u); // a key code this keyboard does not have
    EXPECT_EQ(HotKeyCodes::keyCodeForQtKey(Qt::Key_Enter, true), 76);
    EXPECT_EQ(HotKeyCodes::keyCodeForQtKey(Qt::Key_5, true), 87);
    EXPECT_EQ(HotKeyCodes::keyCodeForQtKey(Qt::Key_5, false), 23);
    // Every key code of the table comes back from its own keysym and its own Qt key.
    for (int code = 0; code < 128; ++code) {
        const std::uint32_t keysym = HotKeyCodes::keysymForKeyCode(code);
        if (!keysym) continue;
        EXPECT_EQ(HotKeyCodes::keyCodeForKeysym(keysym), code) << code;
        bool keypad = false;
        const int qtKey = HotKeyCodes::qtKeyForKeyCode(code, &keypad);
        EXPECT_EQ(HotKeyCodes::keyCodeForQtKey(qtKey, keypad), code) << code;
    }
    EXPECT_EQ(HotKeyCodes::xModifiers(0x60000 | 0x100), 1 | 4); // device bits do not count
    EXPECT_EQ(HotKeyCodes::flagsFromQt(Qt::AltModifier | Qt::MetaModifier),
              HotKeyCodes::Option | HotKeyCodes::Command);
}

TEST_F(HotKeyTest, TheWorkerHoldsTheKeyExactlyWhileEnabledWhateverTheOrder) {
    for (bool enabledFirst : {true, false}) {
        SCOPED_TRACE(enabledFirst);
        defaults->setValue("enableHotKey", false);
        auto w = worker(enabledFirst);
        EXPECT_FALSE(w->registered());
        EXPECT_TRUE(grabber->grabs.isEmpty());

        defaults->setValue("enableHotKey", true);
        EXPECT_TRUE(w->registered());
        ASSERT_EQ(grabber->grabs.size(), 1);
        EXPECT_EQ(grabber->grabs.last(), qMakePair(CtrlShift, 1));

        // The same two numbers again register nothing new.
        defaults->setValue("hotKey", QVariantList{0x60000, 1});
        EXPECT_EQ(grabber->grabs.size(), 1);

        // A change while disabled is stored, not registered; enabling registers the new one.
        defaults->setValue("enableHotKey", false);
        EXPECT_FALSE(w->registered());
        defaults->setValue("hotKey", QVariantList{0x140000, 96});
        EXPECT_EQ(grabber->grabs.size(), 1);
        EXPECT_EQ(w->hotKey(), (QVariantList{0x140000, 96}));
        defaults->setValue("enableHotKey", true);
        EXPECT_EQ(grabber->grabs.last(), qMakePair(std::uint32_t(0x140000), 96));
        defaults->removeObject("hotKey");
        defaults->removeObject("enableHotKey");
    }
}

TEST_F(HotKeyTest, AMalformedHotKeyMeansNone) {
    auto w = worker();
    ASSERT_TRUE(w->registered());
    const QVariant bad[] = {
        QVariant("ctrl+shift+s"),
        QVariantList{0x60000},
        QVariantList{0x60000, 1, 2},
        QVariantList{0x60000, "S"},
        QVariantList{0x60000, 999},
        QVariantList{-1, 1},
        QVariantList{QVariantMap{{"a", 1}}, 1},
        QVariant(),
    };
    for (const QVariant &value : bad) {
        SCOPED_TRACE(value.toString().toStdString());
        defaults->setValue("hotKey", QVariantList{0x60000, 1});
        ASSERT_TRUE(w->registered());
        const int grabs = int(grabber->grabs.size());
        if (value.isValid())
            defaults->setValue("hotKey", value);
        else
            w->setHotKey(value);
        EXPECT_FALSE(w->registered());
        EXPECT_TRUE(w->hotKey().isEmpty());
        EXPECT_EQ(grabber->grabs.size(), grabs);
        EXPECT_FALSE(grabber->held);
    }
}

TEST_F(HotKeyTest, AGrabRefusedLeavesTheWorkerUnregisteredAndItsEndLetsGo) {
    {
        defaults->setValue("enableHotKey", false);
        auto w = worker();
        grabber->refuse = true;
        defaults->setValue("enableHotKey", true);
        EXPECT_FALSE(w->registered());
        EXPECT_TRUE(w->taken());
        // The field says so as soon as it shows.
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *field = new HotKeyField(&window);
        layout->addWidget(field);
        field->bind("hotKey", defaults.get());
        window.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return field->warningShown(); }));
        grabber->refuse = false;
        defaults->setValue("hotKey", QVariantList{0x60000, 2});
        EXPECT_FALSE(w->taken());
        EXPECT_FALSE(field->warningShown());
    }
    defaults->removeObject("enableHotKey");
    auto w = worker();
    ASSERT_TRUE(grabber->held);
    FakeGrabber *g = grabber;
    int ran = 0;
    w->setAction([&] { ++ran; });
    g->onPressed();
    EXPECT_EQ(ran, 0); // never inside the key's event
    QTest::qWait(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 1);
    w->deregisterHotKey();
    EXPECT_FALSE(g->held);
    EXPECT_EQ(g->ungrabs, 1);
}

TEST_F(HotKeyTest, AcceptedCombinationsAndTheirNames) {
    const struct {
        std::uint32_t flags;
        int code;
        bool accepted;
        QString shown;
    } cases[] = {
        {0x60000, 1, true, QStringLiteral("⌃⇧S")},
        {0x60000 | 0x100, 0, true, QStringLiteral("⌃⇧A")}, // device bits kept, not shown
        {HotKeyCodes::Shift, 0, false, QStringLiteral("⇧A")},
        {0, 0, false, QStringLiteral("A")},
        {HotKeyCodes::Option, 0, false, QStringLiteral("⌥A")},
        {0, 96, true, QStringLiteral("F5")},
        {HotKeyCodes::Shift, 90, true, QString()}, // F20 is accepted but has no name
        {HotKeyCodes::Option, 49, true, QStringLiteral("⌥SPACE BAR")},
        {HotKeyCodes::Option, 53, true, QStringLiteral("⌥⎋")},
        {HotKeyCodes::Command, 36, true, QStringLiteral("⌘↩")},
        {HotKeyCodes::ModifierMask, 123, true, QStringLiteral("⌃⌥⇧⌘←")},
        {HotKeyCodes::Control, 88, true, QStringLiteral("⌃6")},
        {HotKeyCodes::Control, 110, true, QStringLiteral("⌃☰")},
        {HotKeyCodes::Control, -1, true, QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown.toStdString());
        EXPECT_EQ(HotKeyField::validate(c.flags, c.code), c.accepted);
        const QString shown = HotKeyField::getRepresentation(c.flags, c.code);
        EXPECT_EQ(shown, c.shown);
    }
}

// The field in a window with a menu: recording, what is swallowed, when the setting changes,
// and the warning for a combination that is taken.
TEST_F(HotKeyTest, TheFieldRecordsAndStoresAtTheNextStop) {
    QMainWindow window;
    QMenu *file = window.menuBar()->addMenu("File");
    QAction *save = file->addAction("Save As");
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A));
    QWidget central;
    auto *layout = new QVBoxLayout(&central);
    auto *other = new QLineEdit(&central);
    auto *field = new HotKeyField(&central);
    layout->addWidget(other);
    layout->addWidget(field);
    window.setCentralWidget(&central);
    field->bind("hotKey", defaults.get());
    field->setMenus(window.menuBar()->actions());
    window.show();
    QApplication::setActiveWindow(&window);
    EXPECT_EQ(field->text(), QStringLiteral("⌃⇧S"));

    field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus(); }));
    ASSERT_TRUE(field->recording());
    // Swallowed: no modifiers, Shift alone, Option with a letter; Tab and Escape stay in the field.
    QTest::keyClick(field, Qt::Key_A);
    QTest::keyClick(field, Qt::Key_A, Qt::ShiftModifier);
    QTest::keyClick(field, Qt::Key_A, Qt::AltModifier);
    QTest::keyClick(field, Qt::Key_Tab);
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_TRUE(field->hasFocus());
    EXPECT_EQ(field->text(), QStringLiteral("⌃⇧S"));
    EXPECT_TRUE(field->defaultsValues().isEmpty());

    // Ctrl+Shift+A: shown, the focus leaves, kept for the next stop; the menu has it: warning.
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(field->text(), QStringLiteral("⌃⇧A"));
    EXPECT_FALSE(field->hasFocus());
    EXPECT_EQ(field->defaultsValues(), (QVariantList{qulonglong(CtrlShift), 0}));
    EXPECT_TRUE(field->warningShown());
    EXPECT_EQ(defaults->value("hotKey"), (QVariantList{0x60000, 1}));

    // The next recording stores the previous one; F5 alone is accepted and free.
    field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus(); }));
    QTest::keyClick(field, Qt::Key_F5);
    EXPECT_EQ(field->text(), QStringLiteral("F5"));
    EXPECT_FALSE(field->warningShown());
    EXPECT_EQ(defaults->value("hotKey").toList().last().toInt(), 0);

    // Hiding the window stores F5; later values of the setting no longer change the field.
    window.hide();
    EXPECT_EQ(defaults->value("hotKey").toList(), (QVariantList{0, 96}));
    defaults->setValue("hotKey", QVariantList{0x60000, 1});
    EXPECT_EQ(field->text(), QStringLiteral("F5"));
}

TEST_F(HotKeyTest, ACombinationHeldByAnotherProgramWarnsButStaysRecorded) {
    auto w = worker();
    grabber->elsewhere = {HotKeyCodes::Control | HotKeyCodes::Option, 17};
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *field = new HotKeyField(&window);
    layout->addWidget(field);
    field->bind("hotKey", defaults.get());
    field->setMenus({});
    window.show();
    QApplication::setActiveWindow(&window);
    field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus(); }));
    QTest::keyClick(field, Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(field->text(), QStringLiteral("⌃⌥T"));
    EXPECT_TRUE(field->warningShown());
    // Disabling the field stores what was recorded.
    field->setEnabled(false);
    EXPECT_EQ(defaults->value("hotKey").toList(),
              (QVariantList{qulonglong(HotKeyCodes::Control | HotKeyCodes::Option), 17}));
    EXPECT_EQ(grabber->grabs.last(), qMakePair(HotKeyCodes::Control | HotKeyCodes::Option, 17));
}

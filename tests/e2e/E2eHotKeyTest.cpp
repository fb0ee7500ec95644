// The global hot key of the real application under X, pressed with xdotool: it brings the main
// window forward from behind another program's window; a combination recorded in the settings
// takes the place of the old one; the key is let go when the program quits; and a combination
// another program holds is refused, which the settings say beside the field.
#include "support/AppUnderTest.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"
#include "support/XDisplay.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <memory>

#ifndef MURNAVELL_KEYHOLDER
#define MURNAVELL_KEYHOLDER ""
#endif

namespace {

class E2eHotKeyTest : public E2eCopies {
protected:
    void TearDown() override {
        for (auto &p : holders) {
            p->kill();
            p->waitForFinished(3000);
        }
    }
    QProcess *startApp(XDisplay &x) {
        QProcessEnvironment env;
        env.insert("DISPLAY", x.name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("LANG", "en_US.UTF-8");
        return lab->run(0, QString::fromUtf8(MURNAVELL_APP), {}, env);
    }
    // Another program's window titled `title`, holding the combination when one is given.
    // Null unless it is up (and, with a combination, says whether it got it in `grabbed`).
    QProcess *startHolder(XDisplay &x, const QString &title, const QStringList &grab = {},
                          bool *grabbed = nullptr) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", x.name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        p->setProcessEnvironment(env);
        p->start(QString::fromUtf8(MURNAVELL_KEYHOLDER), QStringList{title} + grab);
        QByteArray out;
        if (!waitUntil(
                [&] {
                    p->waitForReadyRead(100);
                    out += p->readAllStandardOutput();
                    return out.contains("ready");
                },
                15000))
            return nullptr;
        if (grabbed) *grabbed = out.contains("grabbed");
        holders.push_back(std::move(p));
        return holders.back().get();
    }
    QString window(XDisplay &x, const QString &name, qint64 pid = 0) {
        QString found;
        waitUntil(
            [&] {
                // Every condition must hold (xdotool takes any one by default).
                QStringList args{"search", "--all", "--onlyvisible"};
                if (pid) args << "--pid" << QString::number(pid);
                // A real window, not the tray's icon (which carries the program's name too).
                for (const QString &id : x.xdotoolLines(args << "--name" << name)) {
                    int width = 0;
                    for (const QString &line : x.xdotoolLines({"getwindowgeometry", "--shell", id}))
                        if (line.startsWith("WIDTH=")) width = line.mid(6).toInt();
                    if (width > 60) {
                        found = id;
                        return true;
                    }
                }
                return false;
            },
            15000);
        return found;
    }
    static QString active(XDisplay &x) { return x.xdotoolLines({"getactivewindow"}).value(0); }
    void screenshot(XDisplay &x, const QString &state) {
        const QString shot = QString::fromUtf8(MURNAVELL_SCREENSHOT_DIR) + "/hotkey-" + state + ".png";
        QDir().mkpath(QFileInfo(shot).path());
        EXPECT_EQ(x.run(QString::fromUtf8(MURNAVELL_SCREENGRAB), {shot}), 0) << qPrintable(shot);
    }
    QVariantList storedHotKey() {
        QFile f(lab->folder(0) + "/config/Murnavell/settings.json");
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QJsonDocument::fromJson(f.readAll()).object().value("hotKey").toArray().toVariantList();
    }
    // The other window in front, then the keys: whether the main window comes forward.
    bool raises(XDisplay &x, const QString &other, const QString &main, const QString &keys, int waitMs) {
        if (!x.xdotool({"windowactivate", "--sync", other})) return false;
        if (!waitUntil([&] { return active(x) == other; }, 5000)) return false;
        spinFor(300);
        x.xdotool({"key", "--clearmodifiers", keys});
        return waitUntil([&] { return active(x) == main; }, waitMs);
    }

    std::vector<std::unique_ptr<QProcess>> holders;
};

TEST_F(E2eHotKeyTest, RaisesTheMainWindowFollowsTheSettingsAndWarnsWhenTaken) {
    SKIP_WITHOUT_LAB();
    if (QString::fromUtf8(MURNAVELL_APP).isEmpty() || QString::fromUtf8(MURNAVELL_KEYHOLDER).isEmpty())
        GTEST_SKIP() << "the application was not built";
    if (const QString tool = XDisplay::missingTool(); !tool.isEmpty())
        GTEST_SKIP() << qPrintable(tool) << " is missing";
    XDisplay x;
    ASSERT_TRUE(x.ok) << x.server.readAllStandardError().constData();
    if (!x.startWindowManager()) GTEST_SKIP() << "no window manager (openbox) to run the windows under";
    lab = std::make_unique<NetnsLab>(1);
    ASSERT_TRUE(lab->ok()) << qPrintable(lab->error());

    QProcess *app = startApp(x);
    ASSERT_NE(app, nullptr);
    const QString main = window(x, "^Murnavell$", app->processId());
    ASSERT_FALSE(main.isEmpty()) << app->readAllStandardError().constData();
    ASSERT_NE(startHolder(x, "Other"), nullptr);
    const QString other = window(x, "^Other$");
    ASSERT_FALSE(other.isEmpty());

    // 1. Ctrl+Shift+S, the registered default, brings the main window from behind the other.
    ASSERT_TRUE(raises(x, other, main, "ctrl+shift+s", 10000))
        << "active " << qPrintable(active(x)) << " main " << qPrintable(main) << " other "
        << qPrintable(other) << app->readAllStandardError().constData();
    screenshot(x, "raised");

    // 2. A new combination recorded in the settings: the old one no longer works, the new one does.
    // Control and Option (0xC0000) with the H key (4). On a loaded machine a key can arrive
    // before the window is ready for it: the user's steps are taken again, at most three times.
    const QVariantList recorded{0xC0000, 4};
    for (int attempt = 0; attempt < 3 && storedHotKey() != recorded; ++attempt) {
        ASSERT_TRUE(x.xdotool({"windowactivate", "--sync", main}));
        spinFor(300 + attempt * 700);
        ASSERT_TRUE(x.xdotool({"key", "--clearmodifiers", "ctrl+comma"}));
        const QString settings = window(x, "^General$", app->processId());
        ASSERT_FALSE(settings.isEmpty());
        // As a user would, should the window manager have kept the focus where it was.
        if (active(x) != settings) x.xdotool({"windowactivate", "--sync", settings});
        ASSERT_TRUE(waitUntil([&] { return active(x) == settings; }, 5000));
        for (const char *keys : {"alt+k", "ctrl+alt+h"}) {
            spinFor(300 + attempt * 700);
            ASSERT_TRUE(x.xdotool({"key", "--clearmodifiers", keys}));
        }
        spinFor(300 + attempt * 700);
        screenshot(x, QString("recorded-%1").arg(attempt));
        // Closed as a user would close it: brought forward, then Ctrl+W.
        x.xdotool({"windowactivate", "--sync", settings});
        waitUntil([&] { return active(x) == settings; }, 5000);
        ASSERT_TRUE(x.xdotool({"key", "--clearmodifiers", "ctrl+w"}));
        waitUntil([&] { return storedHotKey() == recorded; }, 5000);
    }
    ASSERT_EQ(storedHotKey(), recorded)
        << qPrintable(QJsonDocument(QJsonArray::fromVariantList(storedHotKey())).toJson());
    EXPECT_FALSE(raises(x, other, main, "ctrl+shift+s", 1500));
    EXPECT_TRUE(raises(x, other, main, "ctrl+alt+h", 10000));

    // 3. Quitting lets the key go: another program can have it now. Started again, the
    // application cannot, and its settings say so beside the field.
    app->terminate();
    ASSERT_TRUE(app->waitForFinished(15000));
    bool grabbed = false;
    ASSERT_NE(startHolder(x, "Holder", {"0xC0000", "4"}, &grabbed), nullptr);
    EXPECT_TRUE(grabbed);
    app = startApp(x);
    ASSERT_NE(app, nullptr);
    const QString main2 = window(x, "^Murnavell$", app->processId());
    ASSERT_FALSE(main2.isEmpty());
    ASSERT_TRUE(x.xdotool({"windowactivate", "--sync", main2}));
    spinFor(300);
    ASSERT_TRUE(x.xdotool({"key", "--clearmodifiers", "ctrl+comma"}));
    ASSERT_FALSE(window(x, "^General$", app->processId()).isEmpty());
    EXPECT_FALSE(window(x, "^Shortcut used by another action$", app->processId()).isEmpty());
    screenshot(x, "taken");
}

} // namespace

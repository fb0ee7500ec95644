// A folder dropped on a conversation of the real application under X: two copies of the
// application (A and B) and a driver copy (C) in their own namespaces, A's link slowed so the
// transfer takes a while. The folder is dragged from a window of another program onto B's
// conversation window on A; both copies show the transfer's progress in their conversation, the
// files arrive intact at B, and a click on B's "Open folder" hands the transfer's folder to the
// desktop (a recording xdg-open on B's PATH).
#include "support/E2eAppCopies.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

class E2eTransferViewTest : public E2eAppCopies {
protected:
    E2eTransferViewTest() { shotPrefix = "conversation-e2e-transfer-"; }
    static QString transferStates(const QString &store) {
        return queryStore(store,
                          "SELECT group_concat(transferState) FROM log_entries WHERE kind = 'FileTransfer'");
    }
};

TEST_F(E2eTransferViewTest, DroppedFolderShowsProgressOnBothSidesAndOpenFolderOpensIt) {
    XDisplay x;
    // B's desktop opens folders through a recording xdg-open.
    QTemporaryDir desktop;
    ASSERT_TRUE(desktop.isValid());
    const QString bin = desktop.filePath("bin");
    const QString opened = desktop.filePath("xdg-open.log");
    ASSERT_TRUE(QDir().mkpath(bin));
    {
        QFile script(bin + "/xdg-open");
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + opened.toUtf8() + "'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                              QFile::ExeOther);
    }

    ASSERT_TRUE(setUpCopies(x, 2, 9, [&](int i) {
        QProcessEnvironment env;
        if (i == 1) env.insert("PATH", bin + ":" + qEnvironmentVariable("PATH"));
        return env;
    })) << qPrintable(diagnostics());
    QProcess *a = procs[0], *b = procs[1];
    const QString bId = ids[1];

    // B's window on A: a held message from B, delivered by C.
    const QString aWindow =
        conversationWith(x, 0, bId, QStringLiteral("the quarterly folder is coming"), "7000000456", 20000);
    ASSERT_FALSE(aWindow.isEmpty()) << a->readAllStandardError().constData();

    // A folder of three files, 24 MB in all, and A's link slowed to about 12 Mbit/s (some 16 s).
    const QString folder = lab->folder(0) + "/home/Quarterly";
    QMap<QString, QByteArray> sums;
    for (const QString &name :
         {QStringLiteral("summary.txt"), QStringLiteral("tables/q1.bin"), QStringLiteral("tables/q2.bin")}) {
        QByteArray data(name.endsWith(".txt") ? 4096 : 12 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator gen(quint32(name.size()));
        for (char &ch : data) ch = char(gen.generate());
        QDir().mkpath(QFileInfo(folder + "/" + name).path());
        QFile out(folder + "/" + name);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(data);
        sums.insert(name, QCryptographicHash::hash(data, QCryptographicHash::Sha256));
    }
    const auto slowed =
        lab->exec(0, {"sh", "-c",
                      "dev=$(ls /sys/class/net | grep -v '^lo$' | head -n1); "
                      "tc qdisc add dev \"$dev\" root tbf rate 12mbit burst 32kb latency 800ms"});
    ASSERT_EQ(slowed.exitCode, 0) << slowed.output.constData();

    // The folder dragged from another program's window onto the conversation.
    QProcess source;
    QProcessEnvironment sourceEnv = QProcessEnvironment::systemEnvironment();
    sourceEnv.insert("DISPLAY", x.name);
    source.setProcessEnvironment(sourceEnv);
    source.start(QString::fromUtf8(MURNAVELL_DRAGSOURCE), {folder});
    ASSERT_TRUE(source.waitForStarted(5000));
    QStringList sourceWindows;
    ASSERT_TRUE(waitUntil(
        [&] {
            sourceWindows = x.xdotoolLines({"search", "--onlyvisible", "--name", "^drag source$"});
            return !sourceWindows.isEmpty();
        },
        10000));
    x.xdotool({"windowmove", sourceWindows.first(), "840", "600"});
    spinFor(1000);
    const QRect from = x.geometry(sourceWindows.first());
    const QRect to = x.geometry(aWindow);
    ASSERT_TRUE(from.isValid() && to.isValid());
    ASSERT_TRUE(
        x.xdotool({"mousemove", QString::number(from.center().x()), QString::number(from.center().y())}));
    spinFor(300);
    ASSERT_TRUE(x.xdotool({"mousedown", "1"}));
    spinFor(300);
    // The drag follows the pointer in steps, as a hand moves it.
    for (int step = 1; step <= 12; ++step) {
        const QPoint p =
            from.center() + (QPoint(to.center().x(), to.top() + to.height() / 3) - from.center()) * step / 12;
        x.xdotool({"mousemove", QString::number(p.x()), QString::number(p.y())});
        spinFor(80);
    }
    spinFor(400);
    screenshot(x, "dragging");
    ASSERT_TRUE(x.xdotool({"mouseup", "1"}));

    // B's conversation opens with the incoming transfer; both copies show it running (each
    // window raised in turn for its screenshot), while B's last file is still on its way.
    QStringList bWindows;
    ASSERT_TRUE(waitUntil([&] { return !(bWindows = conversationWindows(x, b)).isEmpty(); }, 20000))
        << "drag source: " << source.readAllStandardOutput().constData()
        << "\nA: " << a->readAllStandardError().constData()
        << "\nB: " << b->readAllStandardError().constData();
    const QString bWindow = bWindows.first();
    spinFor(2000);
    for (const auto &[window, side] : {std::pair{aWindow, "sender"}, std::pair{bWindow, "receiver"}}) {
        x.xdotool({"windowactivate", "--sync", window});
        spinFor(700);
        screenshot(x, QStringLiteral("progress-") + side);
    }
    EXPECT_NE(transferStates(storeOf(1)), "6") << "the transfer ended before the screenshots of its progress";

    // The files arrive intact.
    QString received;
    ASSERT_TRUE(waitUntil(
        [&] { return transferStates(storeOf(1)) == "6" && transferStates(storeOf(0)) == "6"; }, 60000))
        << "A: " << qPrintable(transferStates(storeOf(0)))
        << " B: " << qPrintable(transferStates(storeOf(1)));
    QDirIterator it(lab->folder(1), {"Quarterly"}, QDir::Dirs, QDirIterator::Subdirectories);
    while (it.hasNext()) received = it.next();
    ASSERT_FALSE(received.isEmpty());
    for (auto i = sums.cbegin(); i != sums.cend(); ++i) {
        QFile in(received + "/" + i.key());
        ASSERT_TRUE(in.open(QIODevice::ReadOnly)) << qPrintable(in.fileName());
        EXPECT_EQ(QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256), i.value())
            << qPrintable(i.key());
    }
    // "Open folder" is the one word on the screen in the link colour (the tray icon in the top
    // right corner aside). B's windows are brought forward in turn until it shows; then it is
    // clicked.
    QRect word;
    const auto findWord = [&word](const QString &shot) {
        const QImage screen(shot);
        const QRect tray(screen.width() - 48, 0, 48, 48);
        word = QRect();
        for (int yy = 0; yy < screen.height(); ++yy)
            for (int xx = 0; xx < screen.width(); ++xx) {
                const QColor p = screen.pixelColor(xx, yy);
                if (p.blue() > 180 && p.red() < 70 && p.green() < 70 && !tray.contains(xx, yy))
                    word |= QRect(xx, yy, 1, 1);
            }
        return word.isValid();
    };
    QStringList candidates = {bWindow};
    candidates += x.xdotoolLines({"search", "--onlyvisible", "--pid", QString::number(b->processId())});
    for (const QString &w : candidates) {
        x.xdotool({"windowactivate", "--sync", w});
        spinFor(800);
        if (findWord(screenshot(x, "complete"))) break;
    }
    ASSERT_TRUE(word.isValid()) << "no link-coloured word on the screen";
    EXPECT_LT(word.height(), 30);
    EXPECT_LT(word.width(), 200);
    ASSERT_TRUE(
        x.xdotool({"mousemove", QString::number(word.center().x()), QString::number(word.center().y())}));
    spinFor(300);
    ASSERT_TRUE(x.xdotool({"click", "1"}));
    QString logged;
    ASSERT_TRUE(waitUntil(
        [&] {
            QFile log(opened);
            if (log.open(QIODevice::ReadOnly)) logged = QString::fromUtf8(log.readAll()).trimmed();
            return !logged.isEmpty();
        },
        10000))
        << b->readAllStandardError().constData();
    EXPECT_EQ(QUrl(logged).toLocalFile(), QFileInfo(received).absolutePath()) << qPrintable(logged);

    source.kill();
    source.waitForFinished(3000);
    lab->stop(a, 8000);
    lab->stop(b, 8000);
}

} // namespace

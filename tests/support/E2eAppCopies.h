#pragma once

// The common ground of the end-to-end tests of the application under X: a display with its
// window manager, a lab whose first copies run the application and whose last runs the test
// driver with presence on, the ids the driver heard them announce, their windows found by
// process and title, and a conversation window opened on a copy by a held message that the
// driver's namespace delivers. Header-only: the programs it starts are named by each test's
// build (AppUnderTest.h).
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "support/AppUnderTest.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"
#include "support/XDisplay.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <gtest/gtest.h>

#include <functional>

class E2eAppCopies : public E2eCopies {
protected:
    void SetUp() override {
        SKIP_WITHOUT_LAB();
        if (QString::fromUtf8(MURNAVELL_APP).isEmpty()) GTEST_SKIP() << "the application was not built";
        if (const QString tool = XDisplay::missingTool(); !tool.isEmpty())
            GTEST_SKIP() << qPrintable(tool) << " is missing";
        if (QStandardPaths::findExecutable("openbox").isEmpty())
            GTEST_SKIP() << "no window manager (openbox) to run the windows under";
    }

    // The display's window manager, a lab of `apps` + 1 copies, the driver in the last (user
    // `userIdIn(series, apps)`) and the application in each of the others, started in turn, each
    // known by the id the driver heard it announce. `extra` adds variables for copy i.
    ::testing::AssertionResult setUpCopies(XDisplay &x, int apps, int series,
                                           const std::function<QProcessEnvironment(int)> &extra = {}) {
        if (!x.ok) return ::testing::AssertionFailure() << x.server.readAllStandardError().constData();
        if (!x.startWindowManager()) return ::testing::AssertionFailure() << "openbox did not start";
        lab = std::make_unique<NetnsLab>(apps + 1);
        if (!lab->ok()) return ::testing::AssertionFailure() << qPrintable(lab->error());
        driverIndex = apps;
        driverId = E2eCopies::userIdIn(series, apps);
        driver = startWithPresence(driverIndex, driverId);
        if (!driver) return ::testing::AssertionFailure() << "the driver did not start";
        QStringList known{driverId};
        for (int i = 0; i < apps; ++i) {
            QProcess *app = startApp(i, x, extra ? extra(i) : QProcessEnvironment());
            if (!app) return ::testing::AssertionFailure() << "copy " << i << " did not start";
            procs.append(app);
            const QString id = newPeer(driver, known);
            if (id.isEmpty())
                return ::testing::AssertionFailure()
                       << "copy " << i << " was not heard" << qPrintable(diagnostics());
            known.append(id);
            ids.append(id);
        }
        return ::testing::AssertionSuccess();
    }

    // The application in copy i on the display, with the extra variables.
    QProcess *startApp(int i, XDisplay &x, const QProcessEnvironment &extra = {}) {
        QProcessEnvironment env;
        env.insert("DISPLAY", x.name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("LANG", "en_US.UTF-8");
        for (const QString &key : extra.keys()) env.insert(key, extra.value(key));
        return lab->run(i, QString::fromUtf8(MURNAVELL_APP), {}, env);
    }
    QString storeOf(int i) const { return lab->folder(i) + "/data/Murnavell/Murnavell-v2.storedata"; }

    // The id of the first user announced to the driver that is none of `known`.
    static QString newPeer(CopyProcess *driver, const QStringList &known, int timeoutMs = 30000) {
        const auto heard = driver->waitForEvent(
            [&](const QJsonObject &e) {
                return e.value("event") == "presence" && !known.contains(e.value("from").toString());
            },
            timeoutMs);
        return heard ? heard->value("from").toString() : QString();
    }

    // The visible windows of a copy's process titled `title` or "<something> - <title>". The
    // search matches process and name together; each hit is checked by its whole title.
    static QStringList windows(XDisplay &x, QProcess *app, const QString &title) {
        QStringList found;
        for (const QString &w : x.xdotoolLines({"search", "--all", "--onlyvisible", "--pid",
                                                QString::number(app->processId()), "--name", title + "$"})) {
            const QString name = x.xdotoolLines({"getwindowname", w}).join(QString());
            if (name == title || name.endsWith(" - " + title)) found.append(w);
        }
        return found;
    }
    // The conversation windows of a copy's process, those whose title also holds `part` when given.
    static QStringList conversationWindows(XDisplay &x, QProcess *app, const QString &part = {}) {
        QStringList found;
        for (const QString &w : windows(x, app, "Conversation"))
            if (part.isEmpty() || x.xdotoolLines({"getwindowname", w}).join(QString()).contains(part))
                found.append(w);
        return found;
    }

    // Copy `appIndex`'s conversation window with user `with`, opened by a message `text` (number
    // `number`) from that user which the driver holds and hands on over the messaging port,
    // asked again until the window shows; empty when none opened within the bound.
    QString conversationWith(XDisplay &x, int appIndex, const QString &with, const QString &text,
                             const QString &number, int timeoutMs = 30000) {
        const PacketArray held{"TSFM",
                               number,
                               QString::number(QDateTime::currentSecsSinceEpoch()),
                               driverId,
                               "*",
                               ids.value(appIndex),
                               encodeTextField(text),
                               with};
        const QByteArray frame = KDTPacket::PlainPackeFromArray(held) + "\r\n";
        QStringList found;
        waitUntil(
            [&] {
                lab->exec(driverIndex,
                          {"python3", "-c",
                           "import socket,sys; s=socket.create_connection((sys.argv[2],19771),5); "
                           "s.sendall(bytes.fromhex(sys.argv[1])); s.settimeout(5); s.recv(4096)",
                           QString::fromLatin1(frame.toHex()), lab->address(appIndex)});
                spinFor(500);
                found = conversationWindows(x, procs.value(appIndex));
                return !found.isEmpty();
            },
            timeoutMs);
        return found.value(0);
    }

    // The whole display as build/screenshots/<shotPrefix><state>.png; the path written.
    QString screenshot(XDisplay &x, const QString &state) {
        const QString shot = QString::fromUtf8(MURNAVELL_SCREENSHOT_DIR) + "/" + shotPrefix + state + ".png";
        QDir().mkpath(QFileInfo(shot).path());
        EXPECT_EQ(x.run(QString::fromUtf8(MURNAVELL_SCREENGRAB), {shot}), 0) << qPrintable(shot);
        return shot;
    }

    // The driver's state and what each application printed, for failure messages.
    QString diagnostics() {
        QString out = driver ? driver->diagnostics() : QString();
        for (int i = 0; i < procs.size(); ++i)
            out += QString("\ncopy %1 (%2): %3")
                       .arg(i)
                       .arg(ids.value(i), QString::fromUtf8(procs[i]->readAllStandardError().right(3000)));
        return out;
    }

    QString shotPrefix;
    CopyProcess *driver = nullptr;
    int driverIndex = -1;
    QString driverId;
    QList<QProcess *> procs;
    QStringList ids;
};

#pragma once

// A real X server (Xvfb) for the application's windows, typed into and clicked with xdotool.
#include "support/EventLoopWait.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>

// A real X server (Xvfb) with a tray host (trayer) docked in the top right corner, for as long
// as the object lives. The tray is as wide as one icon, so the application's item sits at
// (width - 12, 12).
class XDisplay {
public:
    static constexpr int Width = 1024, Height = 768, TraySize = 24;

    static QString missingTool() {
        for (const char *tool : {"Xvfb", "trayer", "xdotool"})
            if (QStandardPaths::findExecutable(tool).isEmpty()) return QString::fromLatin1(tool);
        return {};
    }
    XDisplay() {
        for (int n = 90 + int(QCoreApplication::applicationPid() % 100); n < 400; ++n)
            if (!QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n)) &&
                !QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n))) {
                number = n;
                break;
            }
        name = QString(":%1").arg(number);
        server.start("Xvfb",
                     {name, "-screen", "0", QString("%1x%2x24").arg(Width).arg(Height), "-nolisten", "tcp"});
        ok = server.waitForStarted(5000) &&
             waitUntil([&] { return QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(number)); }, 10000);
        if (!ok) return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        tray.setProcessEnvironment(env);
        tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                              QString::number(TraySize), "--height", QString::number(TraySize),
                              "--transparent", "false", "--tint", "0x303030", "--SetDockType", "true"});
        ok = tray.waitForStarted(5000);
    }
    // A window manager (openbox) on the display, as on a desktop: windows get the focus when
    // they open or are activated. False when it is not installed or did not start.
    bool startWindowManager() {
        if (QStandardPaths::findExecutable("openbox").isEmpty()) return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        wm.setProcessEnvironment(env);
        wm.start("openbox", {"--sm-disable"});
        return wm.waitForStarted(5000) &&
               waitUntil(
                   [&] {
                       return run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}) == 0 &&
                              wm.state() == QProcess::Running;
                   },
                   5000);
    }
    ~XDisplay() {
        for (QProcess *p : {&wm, &tray, &server}) {
            if (p->state() == QProcess::NotRunning) continue;
            p->terminate();
            if (!p->waitForFinished(3000)) {
                p->kill();
                p->waitForFinished(2000);
            }
        }
    }
    // Runs a tool on this display, bounded.
    int run(const QString &program, const QStringList &args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(2000);
            return -1;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    bool xdotool(const QStringList &args) { return run("xdotool", args) == 0; }
    // What xdotool prints, one entry a line (window ids of a search); empty on failure.
    QStringList xdotoolLines(const QStringList &args) {
        return output("xdotool", args).split(u'\n', Qt::SkipEmptyParts);
    }
    // What a tool run on this display prints, bounded; empty on failure.
    QString output(const QString &program, const QStringList &args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(2000);
            return {};
        }
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    // x, y, width and height of a window's contents on the screen (empty when it is gone).
    QRect geometry(const QString &window) {
        QRect r;
        for (const QString &line : xdotoolLines({"getwindowgeometry", "--shell", window})) {
            const QStringList kv = line.split('=');
            if (kv.size() != 2) continue;
            const int v = kv[1].toInt();
            if (kv[0] == "X") r.moveLeft(v);
            if (kv[0] == "Y") r.moveTop(v);
            if (kv[0] == "WIDTH") r.setWidth(v);
            if (kv[0] == "HEIGHT") r.setHeight(v);
        }
        return r;
    }

    int number = 0;
    QString name;
    QProcess server, tray, wm;
    bool ok = false;
};

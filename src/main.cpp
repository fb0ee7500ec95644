// Murnavell: the application. Start-up and shut-down belong to the application delegate; this
// only makes the application object, the delegate and the main interface in their order.
#include "calls/CallWindow.h"
#include "core/app/KDTAppDelegate.h"
#include "platform/dispatch/DescriptorLimit.h"
#include "platform/strings/StringsTranslator.h"
#include "platform/system/TerminationSignals.h"
#include "ui/main/MainInterface.h"

#include <QApplication>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv) {
    // With no display to show windows on, the program still takes part in the network.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fprintf(stderr, "murnavell: no display found; running without windows (offscreen platform)\n");
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Every connection holds a descriptor: room for many peers before any socket opens.
    dispatch::DescriptorLimit::raiseToHardLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Murnavell"));
    QApplication::setOrganizationName(QStringLiteral("Murnavell"));
    QApplication::setApplicationVersion(QStringLiteral(MURNAVELL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.murnavell.Murnavell"));
    StringsTranslator translator;
    QApplication::installTranslator(&translator);

    // SIGTERM, SIGINT and the end of the session all take the orderly way out.
    TerminationSignals termination;

    KDTAppDelegate::initialize();
    KDTAppDelegate delegate;
    KDTAppDelegate::setShared(&delegate);
    if (!delegate.init()) {
        std::fprintf(stderr, "murnavell: another copy is still running and did not quit (%s); exiting\n",
                     qPrintable(delegate.initError()));
        return 1;
    }
    QObject::connect(&termination, &TerminationSignals::received, &delegate,
                     [&delegate] { delegate.terminate(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &delegate,
                     [&delegate] { delegate.applicationShouldTerminate(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        if (!delegate.terminated()) {
            delegate.applicationShouldTerminate();
            delegate.applicationWillTerminate();
        }
    });

    delegate.makeInterfaceObjects();
    MainInterface mainInterface(&delegate);
    CallWindow::install();
    delegate.applicationDidFinishLaunching();
    const int code = QApplication::exec();
    return code;
}

// Another program on the test's X display: a plain window with a title, and optionally a global
// key grab of its own (a combination in the stored form of "hotKey"). Prints "grabbed" or
// "refused" once the grab was tried, then "ready"; runs until it is ended.
#include "ui/settings/XKeyGrabber.h"

#include <QApplication>
#include <QLabel>

#include <cstdio>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    QLabel window(QStringLiteral("Another program"));
    window.setWindowTitle(args.value(1, QStringLiteral("Other")));
    window.resize(640, 480);
    std::unique_ptr<XKeyGrabber> grabber;
    if (args.size() >= 4) {
        grabber = XKeyGrabber::create();
        const bool ok = grabber && grabber->grab(args.at(2).toUInt(nullptr, 0), args.at(3).toInt());
        std::printf("%s\n", ok ? "grabbed" : "refused");
    }
    window.show();
    std::printf("ready\n");
    std::fflush(stdout);
    return QApplication::exec();
}

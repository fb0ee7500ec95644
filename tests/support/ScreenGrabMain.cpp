// Writes what an X display shows (the whole screen) as a PNG: `murnavell_screengrab out.png`
// with DISPLAY set. Tests under Xvfb use it for screenshots of the real application, menus
// included.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: murnavell_screengrab <file.png>\n");
        return 2;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) return 1;
    return screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}

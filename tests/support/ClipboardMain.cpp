// Prints the text on an X display's clipboard: `murnavell_clipboard` with DISPLAY set. Tests
// under Xvfb read back through it what a field of the application holds (select all, copy).
#include <QClipboard>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    std::fputs(QGuiApplication::clipboard()->text().toUtf8().constData(), stdout);
    return 0;
}

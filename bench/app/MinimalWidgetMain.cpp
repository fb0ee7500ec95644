// The baseline of the start-up benchmark: the least a Qt widget program does before it can say
// something on the network. It shows a main window and, at the first turn of its event loop,
// sends one datagram to the address given (port 19771); then it waits to be ended.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (argc < 2) return 2;
    const QByteArray target = argv[1];
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("Hello")));
    window.show();
    QTimer::singleShot(0, [target] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(19771);
        ::inet_pton(AF_INET, target.constData(), &to.sin_addr);
        const char hello[] = "UI";
        ::sendto(fd, hello, sizeof hello - 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        ::close(fd);
    });
    return QApplication::exec();
}

// A window that drags files, as a file manager would: `murnavell_dragsource <path>...` with
// DISPLAY set shows a small window titled "drag source"; pressing the mouse on it starts a drag of
// the paths as a list of file URLs. Tests under Xvfb move the pointer with xdotool to drop them.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWidget>

#include <cstdio>

namespace {

class DragSource : public QWidget {
public:
    explicit DragSource(QList<QUrl> urls) : m_urls(std::move(urls)) {
        setWindowTitle(QStringLiteral("drag source"));
        resize(160, 120);
    }

protected:
    void mousePressEvent(QMouseEvent *) override {
        auto *drag = new QDrag(this);
        auto *data = new QMimeData;
        data->setUrls(m_urls);
        drag->setMimeData(data);
        const Qt::DropAction done = drag->exec(Qt::CopyAction);
        std::printf("drop %s\n", done == Qt::CopyAction ? "copied" : "ignored");
        std::fflush(stdout);
    }

private:
    QList<QUrl> m_urls;
};

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: murnavell_dragsource <path>...\n");
        return 2;
    }
    QList<QUrl> urls;
    for (int i = 1; i < argc; ++i) urls.append(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i])));
    DragSource source(urls);
    source.show();
    return app.exec();
}

#include "ui/main/About.h"

#include "platform/strings/Strings.h"
#include "ui/main/Customizer.h"
#include "ui_About.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPointer>
#include <QShortcut>

namespace {
QPointer<About> &sharedAbout() {
    static QPointer<About> about;
    return about;
}
} // namespace

About::About() : m_ui(std::make_unique<Ui::About>()) {
    m_window = new QWidget(nullptr, Qt::Window);
    m_ui->setupUi(m_window);
    m_window->setAttribute(Qt::WA_QuitOnClose, false);
    QFont title = m_ui->productName->font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.4);
    m_ui->productName->setFont(title);
    for (const QKeySequence &key : {QKeySequence(QKeySequence::Close), QKeySequence(Qt::Key_Escape)})
        connect(new QShortcut(key, m_window), &QShortcut::activated, m_window, &QWidget::close);
    Customizer::customizeWindow(m_window);
    m_window->adjustSize();
    m_window->setFixedSize(m_window->sizeHint());
}

About::~About() { delete m_window; }

About *About::shared() {
    QPointer<About> &about = sharedAbout();
    if (!about) {
        about = new About;
        // Its window goes with the application, before the widgets' world ends.
        connect(qApp, &QCoreApplication::aboutToQuit, about, [] { delete sharedAbout().data(); });
    }
    return about;
}

void About::show() {
    About *about = shared();
    about->m_ui->versionString->setText(Customizer::productName +
                                        Strings::format(Strings::localized(QStringLiteral(" for Linux v%@")),
                                                        {QCoreApplication::applicationVersion()}));
    about->m_window->show();
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    about->m_window->raise();
    about->m_window->activateWindow();
}

#include "ui/main/MainInterface.h"

#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/strings/Strings.h"
#include "ui/conversation/ConversationWindows.h"
#include "ui/settings/HotKeyWorker.h"
#include "ui/system/PlaySound.h"
#include "ui_MainWindow.h"
#include "ui_StatusPanel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDialog>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

namespace {

QString text(const char *english) { return Strings::localized(QString::fromUtf8(english)); }

QString imageNameForStatus(const QString &status) {
    if (status == QLatin1String("0")) return QStringLiteral("Normal");
    if (status == QLatin1String("1")) return QStringLiteral("Dnd");
    if (status == QLatin1String("2")) return QStringLiteral("Away");
    return QStringLiteral("Offline");
}

} // namespace

QIcon MainInterface::image(const QString &name) {
    return QIcon(QStringLiteral(":/images/") + name + QStringLiteral(".svg"));
}

QIcon MainInterface::statusIcon(const QString &status) { return image(imageNameForStatus(status)); }

QString MainInterface::statusName(const QString &status) {
    if (status == QLatin1String("0")) return text("Available");
    if (status == QLatin1String("1")) return text("Busy");
    if (status == QLatin1String("2")) return text("Away");
    return text("Offline");
}

MainInterface::MainInterface(KDTAppDelegate *delegate, QObject *parent)
    : QObject(parent), m_delegate(delegate), m_ui(std::make_unique<Ui::MainWindow>()),
      m_panelUi(std::make_unique<Ui::StatusPanel>()) {
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("org.murnavell.Murnavell"), image("Murnavell")));
    // The tray keeps the program reachable; without one, closing the window only minimizes it.
    QApplication::setQuitOnLastWindowClosed(false);

    m_window = new QMainWindow;
    m_ui->setupUi(m_window);
    m_window->installEventFilter(this);

    m_statusMatrix = new QButtonGroup(this);
    m_statusMatrix->setExclusive(true);
    const struct {
        QToolButton *button;
        int tag;
        const char *status;
    } cells[] = {{m_ui->statusAvailable, Available, "0"},
                 {m_ui->statusBusy, Busy, "1"},
                 {m_ui->statusAway, Away, "2"}};
    for (const auto &cell : cells) {
        cell.button->setIcon(statusIcon(QString::fromLatin1(cell.status)));
        m_statusMatrix->addButton(cell.button, cell.tag);
    }
    connect(m_statusMatrix, &QButtonGroup::idClicked, this, &MainInterface::statusChosen);

    connect(m_ui->actionQuit, &QAction::triggered, this, [this] { m_delegate->terminate(); });
    connect(m_ui->actionMainWindow, &QAction::triggered, this, [this] { m_delegate->restoreWindow(); });
    connect(m_ui->actionClose, &QAction::triggered, this, [] {
        if (QWidget *w = QApplication::activeWindow()) w->close();
    });

    m_panel = new QDialog(m_window);
    m_panelUi->setupUi(m_panel);
    m_panel->setWindowModality(Qt::WindowModal);
    connect(m_panelUi->setStatusButton, &QPushButton::clicked, this, &MainInterface::setStatusButton);
    connect(m_panelUi->statusCancelButton, &QPushButton::clicked, this, &MainInterface::statusCancelButton);
    // Escape and the window's close button cancel, as the cancel button does.
    connect(m_panel, &QDialog::rejected, this, [this] {
        if (m_sheetTag >= 0) statusCancelButton();
    });
    // An edit by the user stops the countdown (the sheet fills and empties the text with the
    // signal blocked).
    connect(m_panelUi->statusText, &QTextEdit::textChanged, this, [this] { m_stopped = true; });
    m_countdownTimer = new QTimer(this);
    m_countdownTimer->setInterval(1000);
    connect(m_countdownTimer, &QTimer::timeout, this, &MainInterface::updateSeconds);

    // The status menu, which also carries what a dock menu would.
    m_statusMenu = new QMenu(m_window);
    m_statusMenu->setObjectName(QStringLiteral("statusMenu"));
    const struct {
        int tag;
        const char *title;
        const char *status;
    } items[] = {{Available, "Available", "0"}, {Busy, "Busy", "1"}, {Away, "Away", "2"}};
    for (const auto &item : items) {
        QAction *action =
            m_statusMenu->addAction(statusIcon(QString::fromLatin1(item.status)), text(item.title));
        action->setData(item.tag);
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, tag = item.tag] {
            selectTag(tag);
            statusChosen(tag);
        });
    }
    m_statusMenu->addSeparator();
    QAction *show = m_statusMenu->addAction(text("Show Murnavell"));
    show->setData(int(ShowWindowTag));
    connect(show, &QAction::triggered, this, [this] { m_delegate->restoreWindow(); });
    m_statusMenu->addSeparator();
    QAction *quit = m_statusMenu->addAction(text("Quit Murnavell"));
    quit->setData(int(QuitTag));
    connect(quit, &QAction::triggered, this, [this] { m_delegate->terminate(); });

    m_hotKey = new HotKeyWorker(this);
    m_hotKey->setEnabledDefaultsKeyPath(QStringLiteral("enableHotKey"));
    m_hotKey->setHotKeyDefaultsKeyPath(QStringLiteral("hotKey"));

    AppInterface::install(this);
}

MainInterface::~MainInterface() {
    if (AppInterface::current() == this) AppInterface::install(nullptr);
    delete m_window; // the panel and the menu with it
}

int MainInterface::statusMatrixTag() const { return m_statusMatrix->checkedId(); }

bool MainInterface::hasTray() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

void MainInterface::createStatusItem() {
    // Without a tray host the main window is the way in (see the close rule below).
    if (m_tray || !hasTray()) return;
    m_tray = new QSystemTrayIcon(image("AppIcon"), this);
    m_tray->setContextMenu(m_statusMenu);
    m_tray->setToolTip(QStringLiteral("Murnavell"));
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A click on the item brings the window back, as re-opening the application does.
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            m_delegate->applicationShouldHandleReopen(m_window->isVisible());
    });
    m_tray->show();
}

void MainInterface::selectTag(int tag) {
    if (QAbstractButton *button = m_statusMatrix->button(tag)) button->setChecked(true);
}

void MainInterface::updateMenuStates(int tag) {
    for (QAction *action : m_statusMenu->actions())
        if (action->isCheckable()) action->setChecked(action->data().toInt() == tag);
    if (m_tray) {
        const QAbstractButton *button = m_statusMatrix->button(tag);
        m_tray->setToolTip(button ? QStringLiteral("Murnavell — %1").arg(button->text())
                                  : QStringLiteral("Murnavell"));
    }
}

void MainInterface::watchMe() {
    Me *me = Me::current();
    if (!me || m_watchedMe == me) return;
    m_watchedMe = me;
    // Auto-away and the network change the status too; the selector follows.
    connect(me, &ManagedObject::attributeChanged, this, [this](const QString &key) {
        if (key == QLatin1String("status") && m_sheetTag < 0) statusMatrixSelectionChanged();
    });
}

void MainInterface::statusMatrixSelectionChanged() {
    watchMe();
    Me *me = Me::current();
    const int tag = me ? me->status().toInt() : Available;
    selectTag(tag);
    updateMenuStates(tag);
}

void MainInterface::statusChosen(int tag) {
    if (tag == Available) {
        if (Me *me = Me::current()) me->setStatus(QStringLiteral("0"));
        updateMenuStates(tag);
        return;
    }
    if (tag != Busy && tag != Away) return;
    // The status needs a text first; it changes only when the sheet is confirmed.
    const Defaults &defaults = Defaults::standard();
    m_sheetTag = tag;
    {
        const QSignalBlocker filling(m_panelUi->statusText);
        m_panelUi->statusText->setPlainText(defaults.stringForKey(
            tag == Away ? QStringLiteral("awayMessage") : QStringLiteral("busyMessage")));
    }
    m_stopped = false;
    m_countdown = CountdownStart;
    m_panelUi->setStatusButton->setText(text("Set Status"));
    m_countdownTimer->start();
    updateMenuStates(tag);
    m_panel->open();
    m_panelUi->setStatusButton->setFocus();
}

void MainInterface::updateSeconds() {
    if (m_stopped) {
        m_panelUi->setStatusButton->setText(text("Set Status"));
        m_countdown = CountdownStart;
        m_countdownTimer->stop();
    } else if (m_countdown == -1) {
        setStatusButton();
    } else {
        m_panelUi->setStatusButton->setText(
            Strings::format(text("%@ [%ld]"), {text("Set Status"), m_countdown}));
        --m_countdown;
    }
}

void MainInterface::setStatusButton() {
    if (m_sheetTag < 0) return;
    m_stopped = true;
    m_countdownTimer->stop();
    const int tag = m_sheetTag;
    Defaults::standard().setValue(tag == Away ? QStringLiteral("awayMessage") : QStringLiteral("busyMessage"),
                                  m_panelUi->statusText->toPlainText());
    if (Me *me = Me::current()) me->setStatus(QString::number(tag));
    closePanel();
    statusMatrixSelectionChanged();
}

void MainInterface::statusCancelButton() {
    if (m_sheetTag < 0) return;
    m_stopped = true;
    m_countdownTimer->stop();
    closePanel();
    statusMatrixSelectionChanged();
}

void MainInterface::closePanel() {
    m_sheetTag = -1;
    {
        const QSignalBlocker emptying(m_panelUi->statusText);
        m_panelUi->statusText->clear();
    }
    m_panelUi->setStatusButton->setText(text("Set Status"));
    if (m_panel->isVisible()) m_panel->done(QDialog::Accepted);
}

void MainInterface::setMenuImageSize(int points) {
    // Menus draw their images at the style's small icon size; a tray menu follows the desktop.
    Q_UNUSED(points);
}

void MainInterface::setHotKeyAction(std::function<void()> action) { m_hotKey->setAction(std::move(action)); }

void MainInterface::customize() { m_window->setWindowTitle(QStringLiteral("Murnavell")); }

void MainInterface::showMainWindow() {
    m_window->show();
    // Nothing can be raised where nothing is shown.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    m_window->raise();
    m_window->activateWindow();
}

void MainInterface::restoreWindow() {
    if (m_window->isMinimized()) m_window->showNormal();
    showMainWindow();
}

void MainInterface::playSound(const QString &name) { PlaySound::Play(name); }

// --- Conversation windows ---

void MainInterface::startConversation(User *user, bool incoming) {
    ConversationWindows::startConversation(user, incoming);
}

bool MainInterface::isMainAndKeyWindow(QObject *window) {
    return ConversationWindows::isMainAndKeyWindow(window);
}

void MainInterface::bringForward(QObject *window, bool keepFocus) {
    ConversationWindows::bringForward(window, keepFocus);
}

QObject *MainInterface::openChatWindow(Chat *chat, bool incoming) {
    return ConversationWindows::openChatWindow(chat, incoming);
}

Chat *MainInterface::usersJoinedToRoom(QObject *window, const QList<User *> &users, const QString &roomId) {
    return ConversationWindows::usersJoinedToRoom(window, users, roomId);
}

void MainInterface::userLeftRoom(QObject *window, User *user) {
    ConversationWindows::userLeftRoom(window, user);
}

bool MainInterface::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_window) {
        switch (event->type()) {
        case QEvent::WindowActivate:
            m_delegate->windowDidBecomeKey();
            break;
        case QEvent::WindowDeactivate:
            m_delegate->windowDidResignKey();
            break;
        case QEvent::Close:
            // Closing hides the window; the program goes on. Without a tray it stays in the
            // task bar so that it can be found again.
            if (!hasTray() && !m_delegate->terminated()) {
                event->ignore();
                m_window->showMinimized();
                return true;
            }
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

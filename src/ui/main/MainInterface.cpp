#include "ui/main/MainInterface.h"

#include "core/model/Group.h"
#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"
#include "ui/conversation/Conversation.h"
#include "ui/conversation/MassMessage.h"
#include "ui/history/HistoryViewer.h"
#include "ui/main/NSOutlineViewSubClass.h"
#include "ui/main/OutlineViewDataSource.h"
#include "ui/main/UserCard.h"
#include "ui/main/UserInformationCard.h"
#include "ui/system/MessageBoxSheet.h"

#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/runloop/Timer.h"
#include "platform/strings/Strings.h"
#include "ui/conversation/ConversationWindows.h"
#include "ui/main/About.h"
#include "ui/main/Customizer.h"
#include "ui/settings/SettingsWindow.h"
#include "ui/settings/HotKeyWorker.h"
#include "ui/system/PlaySound.h"
#include "ui_MainWindow.h"
#include "ui_StatusPanel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPainter>
#include <QUrl>
#include <QDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QToolButton>

namespace {

Q_LOGGING_CATEGORY(lcMain, "murnavell.ui.main")

std::function<void()> &aboutOpener() {
    static std::function<void()> opener;
    return opener;
}

std::function<void(const QString &)> &settingsOpener() {
    static std::function<void(const QString &)> opener;
    return opener;
}

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
    // The About and settings windows of the run, unless others were given (tests).
    if (!aboutOpener()) setAboutOpener([] { About::show(); });
    if (!settingsOpener()) setSettingsOpener([](const QString &tab) { SettingsWindow::showTab(tab); });
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

    setUpTree();
    setUpCommands();
    watchRoster();

    m_hotKey = new HotKeyWorker(this);
    m_hotKey->setEnabledDefaultsKeyPath(QStringLiteral("enableHotKey"));
    m_hotKey->setHotKeyDefaultsKeyPath(QStringLiteral("hotKey"));

    AppInterface::install(this);
}

MainInterface::~MainInterface() {
    if (AppInterface::current() == this) AppInterface::install(nullptr);
    Group::setOutline(nullptr);
    UserCard::closeCurrent();
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
    updateStatusImages();
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
        if (key != QLatin1String("status")) return;
        updateStatusImages();
        if (m_sheetTag < 0) statusMatrixSelectionChanged();
    });
    updateStatusImages();
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
    // One countdown at a time: one left from an earlier opening ends here.
    stopCountdownTimer();
    m_countdownTimer = Timer::scheduled(m_countdownInterval, true, [this](Timer *) { updateSeconds(); }, this);
    updateMenuStates(tag);
    m_panel->open();
    m_panelUi->setStatusButton->setFocus();
}

void MainInterface::updateSeconds() {
    if (m_stopped) {
        m_panelUi->setStatusButton->setText(text("Set Status"));
        m_countdown = CountdownStart;
        stopCountdownTimer();
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
    stopCountdownTimer();
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
    stopCountdownTimer();
    closePanel();
    statusMatrixSelectionChanged();
}

void MainInterface::stopCountdownTimer() {
    if (!m_countdownTimer) return;
    m_countdownTimer->invalidate();
    m_countdownTimer->deleteLater();
    m_countdownTimer = nullptr;
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

void MainInterface::customize() {
    m_window->setWindowTitle(QStringLiteral("Murnavell"));
    Customizer::customizeMenu(m_window->menuBar());
    Customizer::customizeWindow(m_window);
}

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

// --- the tree ---

NSOutlineViewSubClass *MainInterface::outlineView() const { return m_ui->outlineView; }

OutlineViewDataSource *MainInterface::userListDataSource() {
    auto *ui = dynamic_cast<MainInterface *>(AppInterface::current());
    return ui ? ui->m_dataSource : nullptr;
}

void MainInterface::setUpTree() {
    m_dataSource = new OutlineViewDataSource(nullptr, this);
    NSOutlineViewSubClass *tree = m_ui->outlineView;
    tree->setDataSource(m_dataSource);
    tree->setAutosaveName(QStringLiteral("UserTree"));
    Group::setOutline(this);
    if (!UserCard::hasMaker()) UserInformationCard::install();
    connect(tree, &NSOutlineViewSubClass::doubleAction, this, [this](const QModelIndex &index) {
        if (dynamic_cast<User *>(m_dataSource->itemForIndex(index))) StartConversation();
    });
    connect(m_dataSource, &OutlineViewDataSource::selectionFlagsChanged, this, &MainInterface::updateCommands);
    // The flags stay the same from one online user to another, the local user among them.
    connect(tree->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainInterface::updateCommands);
}

void MainInterface::reloadAndExpand(Group *group) {
    m_dataSource->reloadData();
    const QModelIndex index = m_dataSource->indexForItem(group);
    if (index.isValid()) m_ui->outlineView->expand(index);
}

void MainInterface::closeUserCard() { UserCard::closeCurrent(); }

User *MainInterface::selectedUser() const { return dynamic_cast<User *>(m_ui->outlineView->selectedItem()); }

Group *MainInterface::selectedGroup() const { return dynamic_cast<Group *>(m_ui->outlineView->selectedItem()); }

// --- commands ---

void MainInterface::setUpCommands() {
    Ui::MainWindow &ui = *m_ui;
    const struct {
        QAction *action;
        void (MainInterface::*slot)();
    } commands[] = {{ui.actionAbout, &MainInterface::about},
                    {ui.actionOpenReceivedFilesFolder, &MainInterface::openReceivedFilesFolder},
                    {ui.actionStartConversation, &MainInterface::StartConversation},
                    {ui.actionStartGroupConversation, &MainInterface::StartGroupConversation},
                    {ui.actionAddGroup, &MainInterface::AddGroup},
                    {ui.actionRenameGroup, &MainInterface::renameGroup},
                    {ui.actionRemoveGroup, &MainInterface::removeGroup},
                    {ui.actionDeleteUser, &MainInterface::deleteUser},
                    {ui.actionSendFiles, &MainInterface::sendFiles},
                    {ui.actionShowHistory, &MainInterface::ShowHistory}};
    for (const auto &command : commands) connect(command.action, &QAction::triggered, this, command.slot);
    connect(ui.actionSettings, &QAction::triggered, this, [this] { ShowSettings(m_ui->actionSettings); });
    // With nothing selected the composer starts with the online users.
    ui.actionOpenMassMessage->setData(int(MassMessage::SelectOnlineTag));
    connect(ui.actionOpenMassMessage, &QAction::triggered, this,
            [this] { openMassMessage(m_ui->actionOpenMassMessage->data().toInt()); });
    connect(ui.actionGetInfo, &QAction::triggered, ui.outlineView, &NSOutlineViewSubClass::GetInfo);
    connect(ui.signInButton, &QPushButton::clicked, this, &MainInterface::signInButtonClicked);
    // Commands on a row act on the window's tree, also while the focus is in it.
    for (QAction *action : {ui.actionStartConversation, ui.actionStartGroupConversation, ui.actionSendFiles,
                            ui.actionGetInfo, ui.actionRenameGroup, ui.actionRemoveGroup, ui.actionDeleteUser})
        action->setShortcutContext(Qt::WindowShortcut);
    ui.actionDeleteUser->setShortcut(QKeySequence::Delete);

    // The tree's context menus: below the rows, on a group, on a user.
    m_globalMenu = new QMenu(m_window);
    m_globalMenu->setObjectName(QStringLiteral("globalMenu"));
    m_globalMenu->addAction(ui.actionAddGroup);
    m_globalMenu->addAction(ui.actionOpenMassMessage);
    m_globalMenu->addAction(ui.actionShowHistory);
    m_globalMenu->addAction(ui.actionOpenReceivedFilesFolder);
    m_groupMenu = new QMenu(m_window);
    m_groupMenu->setObjectName(QStringLiteral("groupMenu"));
    m_groupMenu->addAction(ui.actionStartGroupConversation);
    m_groupMenu->addSeparator();
    m_groupMenu->addAction(ui.actionRenameGroup);
    m_groupMenu->addAction(ui.actionRemoveGroup);
    m_groupMenu->addSeparator();
    m_groupMenu->addAction(ui.actionAddGroup);
    m_userMenu = new QMenu(m_window);
    m_userMenu->setObjectName(QStringLiteral("userMenu"));
    m_userMenu->addAction(ui.actionStartConversation);
    m_userMenu->addAction(ui.actionSendFiles);
    m_userMenu->addAction(ui.actionGetInfo);
    m_userMenu->addSeparator();
    m_groupsList = m_userMenu->addMenu(text("Move to Group"));
    m_groupsList->setObjectName(QStringLiteral("groupsList"));
    m_userMenu->addSeparator();
    m_userMenu->addAction(ui.actionDeleteUser);
    ui.outlineView->setGlobalMenu(m_globalMenu);
    ui.outlineView->setGroupMenu(m_groupMenu);
    ui.outlineView->setUserMenu(m_userMenu);
    ui.outlineView->setGroupsList(m_groupsList);

    m_settingsItem = ui.actionSettings;
    connect(ui.applicationMenu, &QMenu::aboutToShow, this, &MainInterface::updateCommands);
    connect(m_userMenu, &QMenu::aboutToShow, this, &MainInterface::updateCommands);
    updateCommands();
}

void MainInterface::updateCommands() {
    const OutlineViewDataSource &tree = *m_dataSource;
    Ui::MainWindow &ui = *m_ui;
    ui.actionStartConversation->setEnabled(tree.canStartConversationWithSelection());
    ui.actionStartGroupConversation->setEnabled(tree.canStartGroupConversationWithSelection());
    ui.actionRenameGroup->setEnabled(tree.isGroupSelected());
    ui.actionRemoveGroup->setEnabled(tree.isGroupSelected());
    ui.actionSendFiles->setEnabled(tree.isOnlineUserSelected());
    ui.actionGetInfo->setEnabled(tree.isUserSelected() && NSOutlineViewSubClass::canGetInfo());
    ui.actionGetInfo->setVisible(NSOutlineViewSubClass::canGetInfo());
    // The local user is never removed.
    ui.actionDeleteUser->setEnabled(tree.isUserSelected() && selectedUser() != Me::current());
    m_settingsItem->setVisible(bool(settingsOpener()));
}

void MainInterface::setAboutOpener(std::function<void()> opener) { aboutOpener() = std::move(opener); }

void MainInterface::setSettingsOpener(std::function<void(const QString &)> opener) {
    settingsOpener() = std::move(opener);
}

void MainInterface::about() {
    if (aboutOpener()) {
        aboutOpener()();
        return;
    }
    QMessageBox::about(m_window, text("About Murnavell"),
                       QStringLiteral("Murnavell %1").arg(QCoreApplication::applicationVersion()));
}

QString MainInterface::settingsTabFor(QObject *sender) {
    if (qobject_cast<Conversation *>(sender)) return QStringLiteral("Messaging");
    const QVariant tag = sender ? (qobject_cast<QAction *>(sender) ? qobject_cast<QAction *>(sender)->data()
                                                                   : sender->property("tag"))
                                : QVariant();
    if (tag.isValid() && tag.toInt() == UserInfoSettingsTag) return QStringLiteral("User Info");
    return QStringLiteral("General");
}

void MainInterface::ShowSettings(QObject *sender) {
    if (settingsOpener()) settingsOpener()(settingsTabFor(sender));
}

void MainInterface::openReceivedFilesFolder() {
    QString path = Defaults::standard().stringForKey(QStringLiteral("fileTransferPath"));
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/"))) path.replace(0, 1, QDir::homePath());
    // Nothing opens a folder that is not there.
    if (path.isEmpty() || !QFileInfo(path).isDir()) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void MainInterface::StartConversation() {
    if (User *user = selectedUser()) user->StartConversation(false);
}

void MainInterface::StartGroupConversation() {
    Group *group = selectedGroup();
    if (!group) return;
    QList<User *> users;
    for (User *user : group->onlineUsers())
        if (!user->removed() && user != Me::current()) users << user;
    if (!users.isEmpty()) ConversationWindows::startGroupConversation(users);
}

void MainInterface::AddGroup() {
    UserList *list = UserList::shared();
    Group *group = list ? list->AddNewGroup() : nullptr;
    if (!group) return;
    m_dataSource->reloadData();
    const QModelIndex index = m_dataSource->indexForItem(group);
    if (index.isValid()) startGroupRenaming(index.row());
}

void MainInterface::renameGroup() {
    const QModelIndex index = m_dataSource->indexForItem(selectedGroup());
    if (index.isValid()) startGroupRenaming(index.row());
}

void MainInterface::startGroupRenaming(int row) {
    const QModelIndex index = m_dataSource->index(row, 0);
    if (!index.isValid() || !dynamic_cast<Group *>(m_dataSource->itemForIndex(index))) return;
    NSOutlineViewSubClass *tree = m_ui->outlineView;
    tree->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    tree->setCurrentIndex(index);
    tree->scrollTo(index);
    tree->edit(index);
}

void MainInterface::removeGroup() {
    QPointer<Group> group = selectedGroup();
    if (!group) return;
    MessageBoxSheet::requestConfirmation(3, m_window, [this, group] {
        if (group) removeGroupObject(group);
    });
}

void MainInterface::removeGroupObject(Group *group) {
    ManagedObjectContext *context = m_dataSource->context();
    if (!group || group->isDeleted() || !context) return;
    const QList<User *> users = group->users();
    context->deleteObject(group);
    // Its users go to "General" (made again if it was the one deleted), so none is lost.
    if (!users.isEmpty())
        if (Group *general = Group::general(context))
            for (User *user : users) user->setGroup(general);
    StoreError error;
    if (context->hasChanges() && !context->save(&error))
        qCWarning(lcMain).noquote() << "the deleted group was not saved:" << error.message;
    m_dataSource->reloadData();
}

void MainInterface::deleteUser() {
    QPointer<User> user = selectedUser();
    if (!user || user == Me::current()) return;
    MessageBoxSheet::requestConfirmation(2, m_window, [this, user] {
        if (user) removeUser(user);
    });
}

void MainInterface::removeUser(User *user) {
    ManagedObjectContext *context = m_dataSource->context();
    if (!user || user->isDeleted() || !context) return;
    // The local user is never removed, not even through a stale selection.
    if (user == Me::current() || dynamic_cast<Me *>(user)) return;
    // A user with a history, or with messages held for or from them, stays in the store, out of
    // the tree.
    if (user->logEntriesNumber() > 0 || !user->offlineMessages().isEmpty() || !user->offlineMessagesSent().isEmpty())
        user->setRemoved(true);
    else
        context->deleteObject(user);
    StoreError error;
    if (context->hasChanges() && !context->save(&error))
        qCWarning(lcMain).noquote() << "the removed user was not saved:" << error.message;
}

void MainInterface::openMassMessage(int tag) {
    MassMessage::openMassMessage(m_dataSource->selectedItems(), tag);
}

void MainInterface::ShowHistory() { HistoryViewer::initAndShow(nullptr); }

void MainInterface::sendFiles() {
    if (User *user = selectedUser()) Conversation::showFileTransferPanel(m_window, user);
}

// --- networking stopped by another copy ---

void MainInterface::watchRoster() {
    UserList *list = UserList::shared();
    if (!list) return;
    connect(list, &UserList::networkingChanged, this, [this, list](bool on) {
        if (on)
            startEverything();
        else
            stopEverything(list->otherCopyAddress());
    });
    if (list->networkingStopped()) stopEverything(list->otherCopyAddress());
}

void MainInterface::stopEverything(const QString &otherCopyAddress) {
    UserCard::closeCurrent();
    m_ui->outlineView->hide();
    m_ui->errorMessage->setText(
        otherCopyAddress.isEmpty()
            ? text("Another copy of Murnavell is running with your user ID, so this one stopped networking.")
            : Strings::format(text("Another copy of Murnavell is running with your user ID at %@, so this one "
                                   "stopped networking."),
                              {otherCopyAddress}));
    m_ui->errorMessage->show();
    m_ui->signInButton->show();
}

void MainInterface::startEverything() {
    m_ui->signInButton->hide();
    m_ui->errorMessage->hide();
    m_ui->outlineView->show();
}

void MainInterface::signInButtonClicked() {
    if (UserList *list = UserList::shared()) list->signInButtonClicked();
}

// --- images of the status ---

QIcon MainInterface::statusApplicationImage(const QString &status) {
    QIcon out;
    const QIcon app = image(QStringLiteral("AppIcon"));
    const QIcon badge = statusIcon(status);
    for (int size : {16, 22, 24, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        app.paint(&painter, 0, 0, size, size);
        badge.paint(&painter, size / 2, size / 2, size / 2, size / 2);
        painter.end();
        out.addPixmap(pixmap);
    }
    return out;
}

void MainInterface::updateStatusImages() {
    Me *me = Me::current();
    const QIcon icon = statusApplicationImage(me ? me->status() : QStringLiteral("0"));
    m_window->setWindowIcon(icon);
    if (m_tray) m_tray->setIcon(icon);
}

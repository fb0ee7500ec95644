#pragma once

#include "core/app/AppInterface.h"
#include "core/model/UserTreeOutline.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class Group;
class HotKeyWorker;
class KDTAppDelegate;
class NSOutlineViewSubClass;
class OutlineViewDataSource;
class Timer;
class QAction;
class QButtonGroup;
class QDialog;
class QMainWindow;
class QMenu;
class QSystemTrayIcon;
class User;

namespace Ui {
class MainWindow;
class StatusPanel;
} // namespace Ui

// What the main interface file holds: the main window with its status selector and user tree,
// the status panel, the status-bar item (a tray icon whose menu also carries the dock menu's
// items) and the hot-key worker, and the answers to what the core asks of the windows. Made
// before launch completes and installed as the application's AppInterface; it owns its windows
// and lives as long as the application.
//
// Where no tray host runs, the main window is the way in: it opens at start and closing it
// only minimizes it.
//
// It is also the main window's controller: the commands of its menus, of the tree's context
// menus and of the tray menu, the status sheet, and the stop of networking when another copy
// uses our id.
class MainInterface : public QObject, public AppInterface, public UserTreeOutline {
    Q_OBJECT
public:
    // Statuses as the selector's and the menus' tags.
    enum Tag { Available = 0, Busy = 1, Away = 2, ShowWindowTag = 10, QuitTag = 11, ReceivedFilesTag = 12 };
    // The tag of a command that opens the settings on the "User Info" tab.
    static constexpr int UserInfoSettingsTag = 99;
    // The sheet's countdown starts here and confirms one tick after it shows 0.
    static constexpr int CountdownStart = 9;

    explicit MainInterface(KDTAppDelegate *delegate, QObject *parent = nullptr);
    ~MainInterface() override;

    // The status images by status code ("0", "1", "2", "10"), and the named images.
    static QIcon statusIcon(const QString &status);
    // The status's word as a user reads it ("Available", "Busy", "Away", "Offline").
    static QString statusName(const QString &status);
    static QIcon image(const QString &name);

    // The application's image with the status image in its lower right quarter.
    static QIcon statusApplicationImage(const QString &status);

    QMainWindow *window() const { return m_window; }
    NSOutlineViewSubClass *outlineView() const;
    OutlineViewDataSource *dataSource() const { return m_dataSource; }
    // The main tree's data source of the installed interface, if any.
    static OutlineViewDataSource *userListDataSource();
    QDialog *statusPanel() const { return m_panel; }
    QMenu *statusMenu() const { return m_statusMenu; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    HotKeyWorker *hotKeyWorker() const { return m_hotKey; }
    // The selected tag of the status selector (-1 for none).
    int statusMatrixTag() const;
    // Whether the desktop has a tray to put the status-bar item in.
    bool hasTray() const;

    // AppInterface.
    void createStatusItem() override;
    void statusMatrixSelectionChanged() override;
    void setMenuImageSize(int points) override;
    void setHotKeyAction(std::function<void()> action) override;
    void customize() override;
    void showMainWindow() override;
    void restoreWindow() override;
    void playSound(const QString &name) override;
    // The conversation windows (ui/conversation/ConversationWindows).
    void startConversation(User *user, bool incoming) override;
    bool isMainAndKeyWindow(QObject *window) override;
    void bringForward(QObject *window, bool keepFocus) override;
    QObject *openChatWindow(Chat *chat, bool incoming) override;
    Chat *usersJoinedToRoom(QObject *window, const QList<User *> &users, const QString &roomId) override;
    void userLeftRoom(QObject *window, User *user) override;
    void closeUserCard() override;
    // UserTreeOutline.
    void reloadAndExpand(Group *group) override;

    // A click on a cell of the status selector, or a status item of the menus.
    void statusChosen(int tag);
    // The status sheet's buttons and its countdown.
    void setStatusButton();
    void statusCancelButton();
    void updateSeconds();
    // The countdown's timer while one runs, and its interval (tests make it long and tick by hand).
    Timer *countdownTimer() const { return m_countdownTimer; }
    void setCountdownInterval(double seconds) { m_countdownInterval = seconds; }

    // The commands. Those on a selected row do nothing without one.
    void about();
    void openReceivedFilesFolder();
    void ShowSettings(QObject *sender);
    void StartConversation();
    void StartGroupConversation();
    void AddGroup();
    void renameGroup();
    void removeGroup();
    void deleteUser();
    void sendFiles();
    // The mass-message composer for the selected rows or, with none, by the sender's tag; the
    // history window with nothing chosen.
    void openMassMessage(int tag);
    void ShowHistory();
    void startGroupRenaming(int row);
    // What the confirmations of deleteUser and removeGroup do.
    void removeUser(User *user);
    void removeGroupObject(Group *group);
    // The settings tab a command opens: "Messaging" from a conversation, "User Info" for tag 99,
    // "General" otherwise.
    static QString settingsTabFor(QObject *sender);
    // How the About box and the settings window are opened, once they exist; until then About
    // shows a plain box and the settings command is hidden.
    static void setAboutOpener(std::function<void()> opener);
    static void setSettingsOpener(std::function<void(const QString &tabName)> opener);

    // Networking stopped for another copy with our id (its address), and started again.
    void stopEverything(const QString &otherCopyAddress);
    void startEverything();
    void signInButtonClicked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void selectTag(int tag);
    void updateMenuStates(int tag);
    void watchMe();
    void closePanel();
    void stopCountdownTimer();
    void setUpTree();
    void setUpCommands();
    void updateCommands();
    void updateStatusImages();
    void watchRoster();
    User *selectedUser() const;
    Group *selectedGroup() const;

    KDTAppDelegate *m_delegate;
    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<Ui::StatusPanel> m_panelUi;
    QMainWindow *m_window = nullptr;
    QDialog *m_panel = nullptr;
    QButtonGroup *m_statusMatrix = nullptr;
    QMenu *m_statusMenu = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    HotKeyWorker *m_hotKey = nullptr;
    OutlineViewDataSource *m_dataSource = nullptr;
    QMenu *m_globalMenu = nullptr;
    QMenu *m_userMenu = nullptr;
    QMenu *m_groupMenu = nullptr;
    QMenu *m_groupsList = nullptr;
    QAction *m_settingsItem = nullptr;
    Timer *m_countdownTimer = nullptr;
    double m_countdownInterval = 1.0;
    int m_countdown = CountdownStart;
    bool m_stopped = false;
    int m_sheetTag = -1;
    QPointer<User> m_watchedMe;
};

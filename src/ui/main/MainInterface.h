#pragma once

#include "core/app/AppInterface.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class HotKeyWorker;
class KDTAppDelegate;
class QAction;
class QButtonGroup;
class QDialog;
class QMainWindow;
class QMenu;
class QSystemTrayIcon;
class QTimer;
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
class MainInterface : public QObject, public AppInterface {
    Q_OBJECT
public:
    // Statuses as the selector's and the menus' tags.
    enum Tag { Available = 0, Busy = 1, Away = 2, ShowWindowTag = 10, QuitTag = 11 };
    // The sheet's countdown starts here and confirms one tick after it shows 0.
    static constexpr int CountdownStart = 9;

    explicit MainInterface(KDTAppDelegate *delegate, QObject *parent = nullptr);
    ~MainInterface() override;

    // The status images by status code ("0", "1", "2", "10"), and the named images.
    static QIcon statusIcon(const QString &status);
    // The status's word as a user reads it ("Available", "Busy", "Away", "Offline").
    static QString statusName(const QString &status);
    static QIcon image(const QString &name);

    QMainWindow *window() const { return m_window; }
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

    // A click on a cell of the status selector, or a status item of the menus.
    void statusChosen(int tag);
    // The status sheet's buttons and its countdown.
    void setStatusButton();
    void statusCancelButton();
    void updateSeconds();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void selectTag(int tag);
    void updateMenuStates(int tag);
    void watchMe();
    void closePanel();

    KDTAppDelegate *m_delegate;
    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<Ui::StatusPanel> m_panelUi;
    QMainWindow *m_window = nullptr;
    QDialog *m_panel = nullptr;
    QButtonGroup *m_statusMatrix = nullptr;
    QMenu *m_statusMenu = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    HotKeyWorker *m_hotKey = nullptr;
    QTimer *m_countdownTimer = nullptr;
    int m_countdown = CountdownStart;
    bool m_stopped = false;
    int m_sheetTag = -1;
    QPointer<User> m_watchedMe;
};

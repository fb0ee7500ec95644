#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class Defaults;
class QAction;
class QActionGroup;
class QButtonGroup;
class QDialog;
class QLabel;
class QLineEdit;
class QMainWindow;
class QStringListModel;
class QToolBar;
class QWidget;

namespace Ui {
class Settings;
} // namespace Ui

// The settings window: three tabs ("General", "Messaging", "User Info") chosen in its tool bar,
// controls that edit the settings at once and follow changes made elsewhere, the received-files
// folder, the extra discovery targets ("broadcasts") with their add window, and the local user's
// details. One is made on first use and kept for the run; it owns its window.
class SettingsWindow : public QObject {
    Q_OBJECT
public:
    static const QString General, Messaging, UserInfo;
    // The menu item that opens the "User Info" tab carries this tag.
    static constexpr int UserInfoTag = 99;

    // On `defaults` (the standard settings when null).
    explicit SettingsWindow(Defaults *defaults = nullptr, QObject *parent = nullptr);
    ~SettingsWindow() override;

    // The window of the run, made on first use (deleted when the application quits).
    static SettingsWindow *shared();
    // The tab for a sender: "Messaging" from a conversation window controller (a QObject of class
    // Conversation), "User Info" from a sender whose "tag" property, or an action whose data, is
    // 99, else "General".
    static QString tabNameForSender(const QObject *sender);
    // Shows the window of the run on the sender's tab.
    static void ShowSettings(const QObject *sender);
    // Shows the window of the run on a tab.
    static void showTab(const QString &tabName);

    QMainWindow *window() const { return m_window; }
    Ui::Settings *ui() const { return m_ui.get(); }
    QToolBar *toolbar() const { return m_toolbar; }
    QAction *toolbarItem(const QString &identifier) const;

    QString tabName() const { return m_tabName; }
    // Chooses the tab shown (at once when the window is loaded).
    void setTabName(const QString &tabName);
    void showWindow();

    // The tool bar's item was clicked: the user-id field shows only for "User Info" chosen with
    // Alt (Option) held.
    void ValidateItem(QAction *item);
    bool animate() const { return m_animate; }

    // The targets list: segment 0 opens the add window, segment 1 removes the selected targets.
    void segmentedButtonClick(int segment);
    QDialog *addWindow() const { return m_addWindow; }
    QButtonGroup *addBroadcastRadios() const { return m_radios; }
    QLineEdit *addBroadcastField1() const { return m_field1; }
    QLineEdit *addBroadcastField2() const { return m_field2; }
    QLabel *addBroadcastLabel1() const { return m_label1; }
    QLabel *addBroadcastLabel2() const { return m_label2; }
    // The radio of the add window: the labels and tips of the fields, and the second one shown
    // for a subnet or a range.
    void NetwokRadioButton(int tag);
    QStringListModel *broadcastsModel() const { return m_broadcasts; }
    // What adding a target does besides storing it: announce the local user to every target
    // again (the presence server's refresh by default).
    void setAnnounce(std::function<void()> announce) { m_announce = std::move(announce); }
    // Why a target typed into the add window is refused, or empty when it is accepted.
    static QString refusal(qint64 type, const QString &first, const QString &second);

    // Opens the folder chooser as a sheet on the window.
    void BrowseFileTransferPath();

    bool playSoundsOnAnyMessages() const { return m_playSoundsOnAnyMessages; }
    void updateSoundsOnAnyMessage();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void windowDidLoad();
    void resizeOnOpen();
    void fitToTab(bool animated);
    void addWindowFinished(int result);
    void refreshBroadcasts();
    void updateRemoveSegment();
    void bindControls();
    void bindUser();
    void showUser();
    void commitUser();
    void windowWillClose();

    Defaults *m_defaults;
    std::unique_ptr<Ui::Settings> m_ui;
    QMainWindow *m_window = nullptr;
    QToolBar *m_toolbar = nullptr;
    QActionGroup *m_items = nullptr;
    QString m_tabName;
    bool m_animate = false;
    bool m_altPressed = false;
    bool m_playSoundsOnAnyMessages = true;

    QDialog *m_addWindow = nullptr;
    QButtonGroup *m_radios = nullptr;
    QLabel *m_label1 = nullptr, *m_label2 = nullptr;
    QLineEdit *m_field1 = nullptr, *m_field2 = nullptr;
    QStringListModel *m_broadcasts = nullptr;
    std::function<void()> m_announce;
    QPointer<QObject> m_watchedMe;
    bool m_fillingUser = false;
};

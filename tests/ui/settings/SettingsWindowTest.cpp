// The settings window: its tabs and who chooses them, controls bound to their settings both
// ways, the discovery targets and their add window, the received-files folder, the local user's
// details, and a screenshot of each tab.
#include "ui/settings/SettingsWindow.h"
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "core/model/Me.h"
#include "core/net/BroadcastItem.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/Screenshots.h"
#include "ui_Settings.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

class SettingsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        defaults = std::make_unique<Defaults>(dir.filePath("settings.json"));
        RegisteredDefaults::registerAll(*defaults, 12, "~/Downloads/Murnavell");
        settings = std::make_unique<SettingsWindow>(defaults.get());
        settings->setAnnounce([this] { ++announced; });
        ui = settings->ui();
    }
    void TearDown() override {
        settings.reset();
        Me::setCurrent(nullptr);
        KDTAppDelegate::setShared(nullptr);
        delegate.reset();
        if (!oldDataHome.isNull()) qputenv("XDG_DATA_HOME", oldDataHome);
    }
    // A local user in a store of the test's own.
    Me *makeMe() {
        oldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dir.filePath("data").toLocal8Bit());
        delegate = std::make_unique<KDTAppDelegate>();
        KDTAppDelegate::setShared(delegate.get());
        Me *me = delegate->managedObjectContext()->insert<Me>();
        me->setUserId("A123456789");
        me->setName("Ada Lovelace");
        me->setJobTitle("Analyst");
        Me::setCurrent(me);
        return me;
    }
    QToolButton *toolButton(const QString &id) {
        return qobject_cast<QToolButton *>(settings->toolbar()->widgetForAction(settings->toolbarItem(id)));
    }
    // Fills the add window and presses Add (or Cancel).
    void add(int radio, const QString &first, const QString &second, bool confirm = true) {
        settings->segmentedButtonClick(0);
        QDialog *w = settings->addWindow();
        EXPECT_TRUE(w->isVisible());
        settings->addBroadcastRadios()->button(radio)->click();
        settings->addBroadcastField1()->setText(first);
        settings->addBroadcastField2()->setText(second);
        w->findChild<QPushButton *>(confirm ? "addButton" : "cancelButton")->click();
        EXPECT_FALSE(w->isVisible());
    }
    QStringList looks() const {
        QStringList l;
        for (const QVariant &t : defaults->arrayForKey("broadcasts")) l << t.toMap().value("look").toString();
        return l;
    }
    QMessageBox *refusal() { return settings->window()->findChild<QMessageBox *>("refusal"); }

    QTemporaryDir dir;
    std::unique_ptr<Defaults> defaults;
    std::unique_ptr<SettingsWindow> settings;
    std::unique_ptr<KDTAppDelegate> delegate;
    QByteArray oldDataHome;
    Ui::Settings *ui = nullptr;
    int announced = 0;
};

} // namespace

TEST_F(SettingsWindowTest, TheTabFollowsWhoAsked) {
    QObject menuItem;
    menuItem.setProperty("tag", 99);
    QObject otherItem;
    otherItem.setProperty("tag", 3);
    QAction userInfoAction;
    userInfoAction.setData(99);
    QAction plainAction;
    const struct {
        const QObject *sender;
        QString tab;
    } cases[] = {{nullptr, "General"},
                 {&menuItem, "User Info"},
                 {&otherItem, "General"},
                 {&userInfoAction, "User Info"},
                 {&plainAction, "General"}};
    for (const auto &c : cases) EXPECT_EQ(SettingsWindow::tabNameForSender(c.sender), c.tab);

    for (const QString &tab :
         {SettingsWindow::Messaging, SettingsWindow::UserInfo, SettingsWindow::General}) {
        settings->setTabName(tab);
        EXPECT_EQ(settings->tabName(), tab);
        EXPECT_TRUE(settings->toolbarItem(tab)->isChecked());
        EXPECT_EQ(ui->tabView->currentWidget()->objectName(), QString(tab).remove(' '));
    }
    // The first fit is never animated; later ones are, while the window shows.
    EXPECT_TRUE(settings->animate());
    settings->setTabName("Nonsense");
    EXPECT_EQ(settings->tabName(), SettingsWindow::General);
}

TEST_F(SettingsWindowTest, ClickingTheToolBarChoosesTheTabAndAltShowsTheUserId) {
    settings->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(settings->window()));
    QTest::mouseClick(toolButton(SettingsWindow::Messaging), Qt::LeftButton);
    EXPECT_EQ(ui->tabView->currentWidget(), ui->Messaging);
    QTest::mouseClick(toolButton(SettingsWindow::UserInfo), Qt::LeftButton);
    EXPECT_EQ(ui->tabView->currentWidget(), ui->UserInfo);
    EXPECT_TRUE(ui->userId->isHidden());
    QTest::mouseClick(toolButton(SettingsWindow::UserInfo), Qt::LeftButton, Qt::AltModifier);
    EXPECT_FALSE(ui->userId->isHidden());
    EXPECT_FALSE(ui->userIdLabel->isHidden());
    QTest::mouseClick(toolButton(SettingsWindow::UserInfo), Qt::LeftButton);
    EXPECT_TRUE(ui->userId->isHidden());
    // Never wider than the screen, whatever the tool bar asks for.
    const QRect screen = settings->window()->screen()->availableGeometry();
    EXPECT_LE(settings->window()->width(), screen.width());
    EXPECT_GE(settings->window()->width(), settings->toolbar()->sizeHint().width());
}

TEST_F(SettingsWindowTest, ControlsAndSettingsFollowEachOther) {
    const struct {
        QCheckBox *box;
        const char *key;
    } checks[] = {{ui->hideOfflineUsers, "hideOfflineUsers"},
                  {ui->fileTransferAutoAccept, "fileTransferAutoAccept"},
                  {ui->keepFocus, "keepFocus"},
                  {ui->playOnIncoming, "sounds.onIncoming"},
                  {ui->soundsOnCall, "sounds.onCall"},
                  {ui->enableHotKey, "enableHotKey"}};
    for (const auto &c : checks) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.box->isChecked(), defaults->boolForKey(c.key));
        const bool before = c.box->isChecked();
        c.box->setChecked(!before); // as a click does
        EXPECT_EQ(defaults->boolForKey(c.key), !before);
        defaults->setValue(c.key, before);
        EXPECT_EQ(c.box->isChecked(), before);
    }
    // Numbers and choices.
    ui->fontSize->setValue(24);
    EXPECT_EQ(defaults->integerForKey("fontSize"), 24);
    defaults->setValue("autoAwayMinutes", 25);
    EXPECT_EQ(ui->autoAwayMinutes->value(), 25);
    EXPECT_EQ(ui->SendMessageKey->currentIndex(), 0);
    ui->SendMessageKey->setCurrentIndex(1);
    EXPECT_EQ(defaults->integerForKey("SendMessageKey"), 0);
    defaults->setValue("minimizeMessages", 1);
    EXPECT_EQ(ui->minimizeMessages->currentIndex(), 1);
    ui->encoding->setCurrentIndex(0);
    EXPECT_EQ(defaults->integerForKey("encoding"), 11);
    defaults->setValue("encoding", 15);
    EXPECT_EQ(ui->encoding->currentIndex(), 4);
    ui->soundsAnyTime->setChecked(true);
    EXPECT_EQ(defaults->integerForKey("sounds.anyTime"), 1);
    // Several lines in a status text.
    ui->awayMessage->setFocus();
    ui->awayMessage->clear();
    QTest::keyClicks(ui->awayMessage, "Out");
    QTest::keyClick(ui->awayMessage, Qt::Key_Return);
    QTest::keyClicks(ui->awayMessage, "Back at 3");
    EXPECT_EQ(defaults->stringForKey("awayMessage"), "Out\nBack at 3");

    // The "also in front" switch only makes sense while a message sound is on.
    ui->playOnIncoming->setChecked(false);
    ui->playonBroadcast->setChecked(false);
    EXPECT_FALSE(settings->playSoundsOnAnyMessages());
    EXPECT_FALSE(ui->soundsAnyTime->isEnabled());
    defaults->setValue("sounds.onBroadcast", true);
    EXPECT_TRUE(settings->playSoundsOnAnyMessages());
    EXPECT_TRUE(ui->soundsAnyTime->isEnabled());
}

TEST_F(SettingsWindowTest, TheAddWindowValidatesTargets) {
    const struct {
        int radio;
        QString first, second;
        QString look; // added, or empty
        bool refused; // a message says why
    } cases[] = {
        {1, "192.168.1.10", "", "192.168.1.10", false},
        {1, "10.1", "", "10.1.0.0", false},
        {1, "", "", "", true},
        {2, "192.168.1.77", "255.255.255.0", "192.168.1.77/255.255.255.0", false},
        {2, "192.168.1.77", "", "", true},
        {3, "10.0.0.1", "10.0.0.5", "10.0.0.1-10.0.0.5", false},
        {3, "10.1.0.1", "10.1.39.17", "10.1.0.1-10.1.39.17", false}, // 10000 after the first
        {3, "10.2.0.1", "10.2.39.18", "", true},                     // 10001 after: too long
        {3, "10.3.0.5", "10.3.0.1", "", true},                       // reversed
        {1, "192.168.1.10", "", "", false},                          // already there
    };
    QStringList expected;
    int announcements = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(qPrintable(c.first + " " + c.second));
        add(c.radio, c.first, c.second);
        if (!c.look.isEmpty()) {
            expected << c.look;
            ++announcements;
        }
        EXPECT_EQ(looks(), expected);
        EXPECT_EQ(announced, announcements);
        QMessageBox *box = refusal();
        EXPECT_EQ(box != nullptr, c.refused);
        if (box) {
            EXPECT_FALSE(box->text().isEmpty());
            if (c.radio == 3 && c.second == "10.2.39.18") {
                EXPECT_TRUE(box->text().contains("10001"));
            }
            box->close();
            delete box;
        }
    }
    EXPECT_EQ(settings->broadcastsModel()->stringList(), expected);
    // What was stored is what the presence server will read back.
    const QVariantMap subnet = defaults->arrayForKey("broadcasts").at(2).toMap();
    EXPECT_EQ(subnet.value("value1").toString(),
              BroadcastItem::storedNumber(BroadcastItem::isIp("192.168.1.0")));

    // Cancel adds nothing, even a valid target.
    add(1, "172.16.0.1", "", false);
    EXPECT_EQ(looks(), expected);
    EXPECT_EQ(announced, announcements);
}

TEST_F(SettingsWindowTest, TheRadioShowsTheSecondFieldAndRemoveNeedsASelection) {
    settings->showWindow();
    settings->segmentedButtonClick(0);
    QDialog *w = settings->addWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    EXPECT_TRUE(settings->addBroadcastField2()->isHidden());
    const int small = w->height();
    settings->addBroadcastRadios()->button(2)->click();
    EXPECT_FALSE(settings->addBroadcastField2()->isHidden());
    EXPECT_EQ(settings->addBroadcastLabel1()->text(), "Subnet/IP address:");
    EXPECT_EQ(settings->addBroadcastField2()->toolTip(), "Example: 255.255.255.0");
    EXPECT_GT(w->height(), small);
    Screenshots::save(w, "settings-add-target", "subnet");
    settings->addBroadcastRadios()->button(3)->click();
    EXPECT_EQ(settings->addBroadcastLabel2()->text(), "Last IP address:");
    settings->addBroadcastRadios()->button(1)->click();
    EXPECT_TRUE(settings->addBroadcastField2()->isHidden());
    EXPECT_EQ(w->height(), small);
    QTest::keyClick(w, Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());

    add(1, "10.9.9.9", "");
    add(1, "10.9.9.10", "");
    add(1, "10.9.9.11", "");
    EXPECT_FALSE(ui->removeBroadcastButton->isEnabled());
    ui->broadcastsList->selectionModel()->select(settings->broadcastsModel()->index(0),
                                                 QItemSelectionModel::Select);
    ui->broadcastsList->selectionModel()->select(settings->broadcastsModel()->index(2),
                                                 QItemSelectionModel::Select);
    EXPECT_TRUE(ui->removeBroadcastButton->isEnabled());
    QTest::mouseClick(ui->removeBroadcastButton, Qt::LeftButton);
    EXPECT_EQ(looks(), QStringList{"10.9.9.10"});
    EXPECT_FALSE(ui->removeBroadcastButton->isEnabled());
}

TEST_F(SettingsWindowTest, TheChosenFolderItselfIsStored) {
    const QString chosen = dir.filePath("Received/Inbox");
    ASSERT_TRUE(QDir().mkpath(chosen));
    for (bool confirm : {false, true}) {
        SCOPED_TRACE(confirm);
        settings->BrowseFileTransferPath();
        auto *panel = settings->window()->findChild<QFileDialog *>("fileTransferPanel");
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
        panel->setDirectory(dir.filePath("Received"));
        panel->selectFile(chosen);
        // As the panel's buttons do.
        QMetaObject::invokeMethod(panel, confirm ? "accept" : "reject", Qt::DirectConnection);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(defaults->stringForKey("fileTransferPath"), confirm ? chosen : "~/Downloads/Murnavell");
        EXPECT_EQ(ui->fileTransferPath->text(), defaults->stringForKey("fileTransferPath"));
    }
}

TEST_F(SettingsWindowTest, TheUserInfoTabEditsTheLocalUser) {
    Me *me = makeMe();
    settings = std::make_unique<SettingsWindow>(defaults.get());
    ui = settings->ui();
    EXPECT_EQ(ui->name->text(), "Ada Lovelace");
    EXPECT_EQ(ui->jobTitle->text(), "Analyst");
    EXPECT_EQ(ui->userId->text(), "A123456789");
    ui->department->setText("Engines");
    emit ui->department->editingFinished();
    EXPECT_EQ(me->department(), "Engines");
    // A change made elsewhere shows.
    me->setFirstName("Augusta");
    EXPECT_EQ(ui->firstName->text(), "Augusta");
    // An emptied id or name is not taken.
    ui->userId->setText("");
    emit ui->userId->editingFinished();
    EXPECT_EQ(me->userId(), "A123456789");
    EXPECT_EQ(ui->userId->text(), "A123456789");
    ui->additionalInformation->setPlainText("Room 4\nfloor 2");
    EXPECT_EQ(me->additionalInformation(), "Room 4\nfloor 2");
}

TEST_F(SettingsWindowTest, ScreenshotsOfEachTab) {
    makeMe();
    settings = std::make_unique<SettingsWindow>(defaults.get());
    defaults->setValue(
        "broadcasts",
        QVariantList{QVariantMap{
            {"look", "10.0.0.1-10.0.0.50"}, {"type", "3"}, {"value1", "16777226"}, {"value2", "838860810"}}});
    settings->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(settings->window()));
    for (const QString &tab :
         {SettingsWindow::General, SettingsWindow::Messaging, SettingsWindow::UserInfo}) {
        settings->setTabName(tab);
        QTest::qWait(250); // the fit's animation
        EXPECT_FALSE(
            Screenshots::save(settings->window(), "settings", QString(tab).toLower().remove(' ')).isEmpty());
    }
}

// The main window over a store of its own, driven as a user drives it: the tree's menus, the
// modifier clicks, drops, the hover card, renaming, the groups kept open, the commands on a
// selected row and their rules, the stop for another copy with our id, and screenshots of the
// window in every status, light and dark.
#include "ui/main/MainInterface.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/net/UserList.h"
#include "main/TreeFixture.h"
#include "support/EventLoopWait.h"
#include "support/Screenshots.h"
#include "ui/conversation/MassMessage.h"
#include "ui/history/HistoryViewer.h"
#include "ui/main/GroupAndUserNameFormatter.h"
#include "ui/main/NSOutlineViewSubClass.h"
#include "ui/main/UserCard.h"
#include "ui/main/UserInformationCard.h"
#include "ui/userinfo/UserInformationWindow.h"
#include "ui/system/MessageBoxSheet.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>
#include <QUrl>

namespace {

// A card that records what the tree asks of it.
class RecordingCard : public UserCard {
public:
    explicit RecordingCard(User *user) : m_user(user) { ++made; }
    ~RecordingCard() override = default;
    User *user() const override { return m_user; }
    QWidget *window() const override { return nullptr; }
    void showAsToolTip(const QPoint &origin) override { shownAt = origin; }
    void closeToolTip() override {
        ++closed;
        UserCard::forget(this);
        delete this;
    }
    void shouldCloseToolTip() override { closeToolTip(); }
    static inline int made = 0, closed = 0;
    static inline QPoint shownAt;

private:
    User *m_user;
};

class MainWindowTest : public TreeFixture {
protected:
    void SetUp() override {
        TreeFixture::SetUp();
        Defaults::standard().removeObject(NSOutlineViewSubClass::expandedItemsKey("UserTree"));
        for (int kind = 0; kind < MessageBoxSheet::KindCount; ++kind)
            Defaults::standard().removeObject(MessageBoxSheet::suppressionKey(kind));
        roster.setContext(ctx);
        UserList::setShared(&roster);
        sales = group("Sales");
        support = group("Support");
        general = Group::general(ctx);
        local = me("Me Myself", general);
        roster.setMe(local);
        ann = user("Ann", sales);
        bob = user("Bob", sales, "1");
        bob->setStatusString("In a meeting until 3");
        cid = user("Cid", support, "2");
        cid->setStatusString("Lunch");
        dan = user("Dan", support, "10");
        eve = user("Eve", general);
        save();
        RecordingCard::made = RecordingCard::closed = 0;
    }
    void TearDown() override {
        UserCard::closeCurrent();
        UserCard::setMaker({});
        OutlineViewDataSource::clearDraggedItems();
        OutlineViewDataSource::setFileSender({});
        UserList::setNetworkingSwitch({});
        tester.reset();
        ui.reset();
        UserList::setShared(nullptr);
        Defaults::standard().removeObject(NSOutlineViewSubClass::expandedItemsKey("UserTree"));
        TreeFixture::TearDown();
    }
    void open() {
        ui = std::make_unique<MainInterface>(delegate.get());
        tester = std::make_unique<QAbstractItemModelTester>(
            ui->dataSource(), QAbstractItemModelTester::FailureReportingMode::Warning);
        ui->statusMatrixSelectionChanged();
        ui->showMainWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(ui->window()));
        tree()->expandAll();
    }
    void save() {
        StoreError error;
        ASSERT_TRUE(ctx->save(&error)) << qPrintable(error.message);
    }
    NSOutlineViewSubClass *tree() { return ui->outlineView(); }
    QModelIndex at(TreeItem *item) { return ui->dataSource()->indexForItem(item); }
    QPoint center(TreeItem *item) { return tree()->visualRect(at(item)).center(); }
    QPoint belowRows() { return QPoint(20, tree()->viewport()->height() - 3); }
    QStringList selectedNames() {
        QStringList names;
        for (TreeItem *item : ui->dataSource()->selectedItems()) names << item->name();
        return names;
    }
    void click(TreeItem *item, Qt::KeyboardModifiers modifiers = {}) {
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, modifiers, item ? center(item) : belowRows());
    }
    // An editor of a row is open.
    bool editing() {
        for (QLineEdit *field : tree()->viewport()->findChildren<QLineEdit *>())
            if (field->isVisible()) return true;
        return false;
    }
    QAction *command(const char *name) { return ui->window()->findChild<QAction *>(QString::fromLatin1(name)); }
    // Answers the newest confirmation sheet with its first button.
    void confirm() {
        ASSERT_FALSE(MessageBoxSheet::openSheets().isEmpty());
        MessageBoxSheet::openSheets().last()->alertDidEnd(MessageBoxSheet::FirstButtonReturn);
    }

    UserList roster;
    Group *sales = nullptr, *support = nullptr, *general = nullptr;
    Me *local = nullptr;
    User *ann = nullptr, *bob = nullptr, *cid = nullptr, *dan = nullptr, *eve = nullptr;
    std::unique_ptr<MainInterface> ui;
    std::unique_ptr<QAbstractItemModelTester> tester;
    ModelComplaints complaints;
};

TEST_F(MainWindowTest, ContextMenusSelectTheirRowAndTheGroupListCarriesTheGroupItself) {
    Group *twin = group("Sales"); // two groups may share a name
    save();
    open();
    tree()->selectionModel()->select(at(ann), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    tree()->selectionModel()->select(at(cid), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    EXPECT_EQ(tree()->menuForEvent(belowRows()), tree()->globalMenu());
    EXPECT_TRUE(selectedNames().isEmpty());
    EXPECT_EQ(tree()->menuForEvent(center(support)), tree()->groupMenu());
    EXPECT_EQ(selectedNames(), QStringList{"Support"});
    EXPECT_EQ(tree()->menuForEvent(center(cid)), tree()->userMenu());
    EXPECT_EQ(selectedNames(), QStringList{"Cid"});
    EXPECT_EQ(tree()->rightClickedUser(), cid);

    // Every group but Cid's own, by name; both groups called "Sales".
    QStringList titles;
    for (QAction *item : tree()->groupsList()->actions()) titles << item->text();
    EXPECT_EQ(titles, (QStringList{"General", "Sales", "Sales"}));
    // The second "Sales" is the twin (groups of one name keep their order of creation).
    tree()->groupsList()->actions().at(2)->trigger();
    EXPECT_EQ(cid->group(), twin);
    EXPECT_FALSE(ctx->hasChanges()); // the move is saved
    tree()->menuForEvent(center(cid));
    tree()->groupsList()->actions().at(1)->trigger();
    EXPECT_EQ(cid->group(), sales);
    EXPECT_TRUE(complaints.list().isEmpty()) << qPrintable(complaints.list().join('\n'));
}

TEST_F(MainWindowTest, ModifierClicksAddOrTakeAwayOneRow) {
    open();
    const struct {
        TreeItem *row;
        Qt::KeyboardModifiers modifiers;
        QStringList selected;
    } steps[] = {
        {ann, {}, {"Ann"}},
        {cid, Qt::ControlModifier, {"Ann", "Cid"}},
        {sales, Qt::ShiftModifier, {"Sales", "Ann", "Cid"}},
        {ann, Qt::ControlModifier, {"Sales", "Cid"}},
        {nullptr, Qt::ControlModifier, {"Sales", "Cid"}}, // below the rows: nothing changes
        {sales, Qt::ShiftModifier, {"Cid"}},
        {cid, Qt::MetaModifier, {}},
        {bob, {}, {"Bob"}},
    };
    for (const auto &step : steps) {
        click(step.row, step.modifiers);
        EXPECT_EQ(selectedNames(), step.selected) << qPrintable(step.row ? step.row->name() : "below");
    }
}

TEST_F(MainWindowTest, RightClicksNeverRenameLeftClicksOnASelectedGroupDo) {
    open();
    click(support);
    QTest::mouseClick(tree()->viewport(), Qt::RightButton, {}, center(support));
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    EXPECT_FALSE(editing());
    // A user's name is never edited here.
    click(ann);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    click(ann);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    EXPECT_FALSE(editing());
    click(support);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    click(support); // renaming starts once no double click can follow
    EXPECT_TRUE(waitUntil([&] { return editing(); }));
}

TEST_F(MainWindowTest, RenamingAGroupInPlaceReSortsAndAnEmptyNameKeepsTheOldOne) {
    open();
    tree()->selectionModel()->select(at(support), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    command("actionRenameGroup")->trigger();
    auto *field = tree()->viewport()->findChild<QLineEdit *>();
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->selectedText(), "Support"); // all of it, ready to be typed over
    QTest::keyClicks(field, "Accounts: A/B");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return rows(*ui->dataSource()).value(0).startsWith("Accounts: A/B:"); }));
    EXPECT_EQ(support->name(), "Accounts: A/B"); // group names keep every character
    EXPECT_EQ(selectedNames(), QStringList{"Accounts: A/B"});
    EXPECT_TRUE(tree()->isExpanded(at(support)));

    command("actionRenameGroup")->trigger();
    field = tree()->viewport()->findChild<QLineEdit *>();
    ASSERT_NE(field, nullptr);
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(field->text(), "");
    QTest::keyClick(field, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_EQ(support->name(), "Accounts: A/B");
    EXPECT_TRUE(complaints.list().isEmpty()) << qPrintable(complaints.list().join('\n'));
}

TEST_F(MainWindowTest, UserNamesLoseTheTenForbiddenCharactersAsTheyAreTyped) {
    const struct {
        const char *typed;
        const char *shown;
    } cases[] = {
        {"Ann Smith", "Ann Smith"},
        {"50% <off> a:b \"q\" c/d e\\f g|h why? *star*", "50 off ab q cd ef gh why star"},
        {"%<>:\"/\\|?*", ""},
        {"Лена 王", "Лена 王"},
    };
    GroupAndUserNameFormatter formatter(true);
    QLineEdit field;
    formatter.attach(&field);
    // Typed one key at a time, as a keyboard of any layout sends them.
    auto type = [&](const QString &text) {
        for (QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(&field, &press);
        }
    };
    for (const auto &c : cases) {
        field.clear();
        type(QString::fromUtf8(c.typed));
        EXPECT_EQ(field.text(), QString::fromUtf8(c.shown)) << c.typed;
    }
    // A character typed in the middle is dropped with the cursor where it was.
    field.setText("AnnSmith");
    field.setCursorPosition(3);
    type("/ ");
    EXPECT_EQ(field.text(), "Ann Smith");
    EXPECT_EQ(field.cursorPosition(), 4);
    // An emptied name gives back the one before editing.
    formatter.textShouldBeginEditing("Ann");
    EXPECT_EQ(formatter.getObjectValue(""), "Ann");
    EXPECT_EQ(formatter.getObjectValue("Anna"), "Anna");
    EXPECT_EQ(formatter.stringForObjectValue(QString()), QString());
    EXPECT_EQ(formatter.stringForObjectValue("a|b"), "ab");
    GroupAndUserNameFormatter groups(false);
    EXPECT_EQ(groups.stringForObjectValue("a|b"), "a|b");
}

TEST_F(MainWindowTest, DropsOnTheViewFollowTheRules) {
    QList<std::pair<QStringList, User *>> sent;
    OutlineViewDataSource::setFileSender([&](const QStringList &paths, User *to) {
        sent.append({paths, to});
        return true;
    });
    open();
    auto drop = [&](QMimeData *data, const QPoint &at) {
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
        QApplication::sendEvent(tree()->viewport(), &enter);
        QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
        QApplication::sendEvent(tree()->viewport(), &move);
        if (!move.isAccepted()) return false;
        QDropEvent dropped(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
        QApplication::sendEvent(tree()->viewport(), &dropped);
        return dropped.isAccepted();
    };
    auto files = [] {
        auto *data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile("/tmp/report.pdf")});
        return std::unique_ptr<QMimeData>(data);
    };
    auto users = [&](QList<TreeItem *> items) {
        OutlineViewDataSource::setDraggedItems(items);
        QModelIndexList indexes;
        for (TreeItem *item : items) indexes << at(item);
        return std::unique_ptr<QMimeData>(ui->dataSource()->mimeData(indexes));
    };

    EXPECT_TRUE(drop(files().get(), center(ann)));
    EXPECT_FALSE(drop(files().get(), center(dan))); // offline
    EXPECT_FALSE(drop(files().get(), center(sales)));
    ASSERT_EQ(sent.size(), 1);
    EXPECT_EQ(sent.first().first, QStringList{"/tmp/report.pdf"});
    EXPECT_EQ(sent.first().second, ann);

    EXPECT_FALSE(drop(users({support}).get(), center(sales))); // groups never move
    EXPECT_FALSE(drop(users({ann, support}).get(), center(general)));
    EXPECT_TRUE(drop(users({ann}).get(), center(cid))); // onto a user: into its group
    EXPECT_EQ(ann->group(), support);
    EXPECT_TRUE(drop(users({ann, bob}).get(), center(general)));
    EXPECT_EQ(ann->group(), general);
    EXPECT_EQ(bob->group(), general);
    EXPECT_FALSE(ctx->hasChanges());
    OutlineViewDataSource::clearDraggedItems();
    EXPECT_TRUE(complaints.list().isEmpty()) << qPrintable(complaints.list().join('\n'));
}

TEST_F(MainWindowTest, TheCardShowsForAUserNeverForAGroupOrDuringADrag) {
    UserCard::setMaker([](User *user) { return new RecordingCard(user); });
    open();
    auto hover = [&](const QPoint &at) {
        QHelpEvent help(QEvent::ToolTip, at, tree()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(tree()->viewport(), &help);
    };
    hover(center(ann));
    ASSERT_NE(UserCard::current(), nullptr);
    EXPECT_EQ(UserCard::current()->user(), ann);
    EXPECT_EQ(RecordingCard::shownAt, tree()->viewport()->mapToGlobal(center(ann) + QPoint(-2, 2)));
    hover(center(ann) + QPoint(3, 0)); // still on Ann: the same card
    EXPECT_EQ(RecordingCard::made, 1);
    hover(center(sales));
    EXPECT_EQ(RecordingCard::made, 1);
    hover(center(bob)); // another user: a new card
    EXPECT_EQ(RecordingCard::made, 2);
    EXPECT_EQ(RecordingCard::closed, 1);
    EXPECT_EQ(UserCard::current()->user(), bob);

    OutlineViewDataSource::setDraggedItems({ann});
    hover(center(cid));
    EXPECT_EQ(UserCard::current(), nullptr);
    EXPECT_EQ(RecordingCard::made, 2);
    OutlineViewDataSource::clearDraggedItems();

    hover(center(cid));
    ASSERT_NE(UserCard::current(), nullptr);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(tree()->viewport(), &leave);
    EXPECT_EQ(UserCard::current(), nullptr);
}

TEST_F(MainWindowTest, TheUserInformationWindowsCardIsTheTreesCard) {
    UserInformationCard::install(); // without servers it asks nobody for details
    open();
    auto hover = [&](const QPoint &at) {
        QHelpEvent help(QEvent::ToolTip, at, tree()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(tree()->viewport(), &help);
    };
    hover(center(cid));
    UserInformationWindow *card = UserInformationWindow::currentCard();
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->user(), cid);
    EXPECT_TRUE(card->isCard());
    hover(center(support));
    EXPECT_EQ(UserInformationWindow::currentCard(), card);
    UserCard::closeCurrent();
    EXPECT_EQ(UserInformationWindow::currentCard(), nullptr);
}

TEST_F(MainWindowTest, OpenGroupsStayOpenAcrossReloadsAndRestartsByName) {
    open();
    tree()->collapseAll();
    tree()->expand(at(support));
    ui->dataSource()->reloadData();
    EXPECT_TRUE(tree()->isExpanded(at(support)));
    EXPECT_FALSE(tree()->isExpanded(at(sales)));
    ui.reset();
    tester.reset();

    ui = std::make_unique<MainInterface>(delegate.get());
    EXPECT_TRUE(tree()->isExpanded(at(support)));
    EXPECT_FALSE(tree()->isExpanded(at(sales)));
    EXPECT_FALSE(tree()->isExpanded(at(general)));
}

TEST_F(MainWindowTest, RemovingUsersAndGroups) {
    User *historian = user("Hal", sales);
    auto *line = ctx->insert<Message>();
    line->setMessage("hello");
    line->addUserObject(historian);
    User *author = user("Ida", sales, "10");
    auto *held = ctx->insert<MessageForForwarding>();
    held->setSender(author);
    User *waiting = user("Jo", sales, "10");
    auto *heldFor = ctx->insert<MessageForForwarding>();
    heldFor->addRecipientsObject(waiting);
    save();
    open();

    const struct {
        User *who;
        bool deleted, removed;
    } cases[] = {
        {ann, true, false}, {historian, false, true}, {author, false, true}, {waiting, false, true},
    };
    for (const auto &c : cases) {
        const QString name = c.who->name();
        QPointer<User> who(c.who);
        click(c.who);
        EXPECT_TRUE(command("actionDeleteUser")->isEnabled());
        command("actionDeleteUser")->trigger();
        confirm();
        EXPECT_EQ(!who || who->isDeleted(), c.deleted) << qPrintable(name);
        if (!c.deleted) {
            EXPECT_EQ(who->removed(), c.removed) << qPrintable(name);
        }
        EXPECT_FALSE(ctx->hasChanges()) << qPrintable(name);
        ASSERT_TRUE(waitUntil([&] { return !rows(*ui->dataSource()).join(",").contains(name); }))
            << qPrintable(name);
    }
    // Never the local user: no command, no sheet, and a stale call does nothing.
    click(local);
    EXPECT_FALSE(command("actionDeleteUser")->isEnabled());
    command("actionDeleteUser")->trigger();
    EXPECT_TRUE(MessageBoxSheet::openSheets().isEmpty());
    ui->removeUser(local);
    EXPECT_FALSE(local->isDeleted());
    EXPECT_FALSE(local->removed());
    // Without a selection nothing asks.
    tree()->clearSelection();
    command("actionDeleteUser")->trigger();
    command("actionRemoveGroup")->trigger();
    EXPECT_TRUE(MessageBoxSheet::openSheets().isEmpty());

    // A deleted group's users go to "General", and that is saved.
    click(support);
    command("actionRemoveGroup")->trigger();
    confirm();
    EXPECT_TRUE(support->isDeleted());
    EXPECT_EQ(cid->group(), general);
    EXPECT_EQ(dan->group(), general);
    EXPECT_FALSE(ctx->hasChanges());
    // Deleting "General" itself gives its users a new "General".
    click(general);
    command("actionRemoveGroup")->trigger();
    confirm();
    ASSERT_NE(cid->group(), nullptr);
    EXPECT_EQ(cid->group()->name(), "General");
    EXPECT_FALSE(cid->group()->isDeleted());
    EXPECT_EQ(local->group(), cid->group());
    EXPECT_TRUE(waitUntil([&] { return rows(*ui->dataSource()).join(",").contains("Cid"); }));
    EXPECT_TRUE(complaints.list().isEmpty()) << qPrintable(complaints.list().join('\n'));
}

TEST_F(MainWindowTest, CommandsFollowTheSelection) {
    open();
    const struct {
        TreeItem *row;
        QStringList enabled;
    } cases[] = {
        {ann, {"actionStartConversation", "actionSendFiles", "actionDeleteUser"}},
        {local, {"actionStartConversation", "actionSendFiles"}},
        {dan, {"actionStartConversation", "actionDeleteUser"}},
        {sales, {"actionStartGroupConversation", "actionRenameGroup", "actionRemoveGroup"}},
        {nullptr, {}},
    };
    const QStringList all{"actionStartConversation", "actionStartGroupConversation", "actionSendFiles",
                          "actionRenameGroup", "actionRemoveGroup", "actionDeleteUser"};
    for (const auto &c : cases) {
        click(c.row);
        QStringList enabled;
        for (const QString &name : all)
            if (command(name.toLatin1().constData())->isEnabled()) enabled << name;
        EXPECT_EQ(enabled, c.enabled) << qPrintable(c.row ? c.row->name() : "none");
    }
}

TEST_F(MainWindowTest, NewGroupStartsRenamingIt) {
    open();
    command("actionAddGroup")->trigger();
    auto *field = tree()->viewport()->findChild<QLineEdit *>();
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->text(), "New Group");
    QTest::keyClicks(field, "Design");
    QTest::keyClick(field, Qt::Key_Return);
    // Renamed, and sorted into its place.
    EXPECT_TRUE(waitUntil([&] { return rows(*ui->dataSource()).first() == "Design: "; }))
        << qPrintable(rows(*ui->dataSource()).join('\n'));
}

TEST_F(MainWindowTest, MassMessageTakesTheSelectionOrTheOnlineUsersAndHistoryOpensEmpty) {
    open();
    tree()->clearSelection();
    command("actionOpenMassMessage")->trigger();
    ASSERT_EQ(MassMessage::all().size(), 1);
    QStringList chosen;
    for (User *u : MassMessage::all().first()->selectedUsers()) chosen << u->name();
    chosen.sort();
    EXPECT_EQ(chosen, (QStringList{"Ann", "Bob", "Cid", "Eve"})); // online, never oneself
    click(sales);
    command("actionOpenMassMessage")->trigger();
    ASSERT_EQ(MassMessage::all().size(), 2);
    chosen.clear();
    for (User *u : MassMessage::all().last()->selectedUsers()) chosen << u->name();
    chosen.sort();
    EXPECT_EQ(chosen, (QStringList{"Ann", "Bob"}));
    for (MassMessage *m : MassMessage::all()) delete m;

    const qsizetype before = HistoryViewer::all().size();
    command("actionShowHistory")->trigger();
    EXPECT_EQ(HistoryViewer::all().size(), before + 1);
    for (HistoryViewer *h : HistoryViewer::all()) delete h;
}

TEST_F(MainWindowTest, SettingsTabsByCommand) {
    QStringList opened;
    MainInterface::setSettingsOpener([&](const QString &tab) { opened << tab; });
    open();
    QAction userInfo;
    userInfo.setData(MainInterface::UserInfoSettingsTag);
    QAction other;
    other.setData(2);
    ui->ShowSettings(&userInfo);
    ui->ShowSettings(&other);
    ui->ShowSettings(nullptr);
    command("actionSettings")->trigger();
    MainInterface::setSettingsOpener({});
    EXPECT_EQ(opened, (QStringList{"User Info", "General", "General", "General"}));
}

TEST_F(MainWindowTest, AnotherCopyWithOurIdStopsNetworkingVisiblyUntilSignIn) {
    QList<bool> switched;
    UserList::setNetworkingSwitch([&](bool on) { switched << on; });
    open();
    auto *message = ui->window()->findChild<QLabel *>("errorMessage");
    auto *signIn = ui->window()->findChild<QPushButton *>("signInButton");
    ASSERT_TRUE(message && signIn);
    EXPECT_FALSE(message->isVisible());
    EXPECT_FALSE(signIn->isVisible());

    // The roster hears our id with another session number from 198.18.0.7.
    QStringList packet(15, "*");
    packet[0] = "SS";
    packet[1] = "0";
    packet[3] = local->userId();
    packet[8] = QString::number(local->sessionId() + 1);
    packet.last() = "198.18.0.7";
    EXPECT_EQ(roster.UpdateUserDataWithUDP(packet), nullptr);
    EXPECT_FALSE(tree()->isVisible());
    EXPECT_TRUE(message->isVisible());
    EXPECT_TRUE(message->text().contains("198.18.0.7")) << qPrintable(message->text());
    EXPECT_TRUE(signIn->isVisible());
    EXPECT_EQ(switched, QList<bool>{false});
    EXPECT_FALSE(Screenshots::save(ui->window(), "main-window", "stopped").isEmpty());

    QTest::mouseClick(signIn, Qt::LeftButton);
    EXPECT_EQ(switched, (QList<bool>{false, true}));
    EXPECT_FALSE(roster.networkingStopped());
    EXPECT_TRUE(tree()->isVisible());
    EXPECT_FALSE(message->isVisible());
    EXPECT_FALSE(signIn->isVisible());
}

TEST_F(MainWindowTest, ScreenshotsOfEveryStatusLightAndDark) {
    User *fay = user("Fay Okonkwo-Lindqvist", general, "1");
    fay->setStatusString("Presenting the quarterly numbers");
    save();
    open();
    ui->window()->resize(340, 460);
    click(bob);
    QApplication::processEvents();
    EXPECT_FALSE(Screenshots::save(ui->window(), "main-window", "three-groups-light").isEmpty());

    const QPalette light = QApplication::palette();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::WindowText, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Text, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Highlight, QColor(0x2a, 0x6f, 0xc9));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
    QApplication::setPalette(dark);
    QApplication::processEvents();
    EXPECT_FALSE(Screenshots::save(ui->window(), "main-window", "three-groups-dark").isEmpty());
    QApplication::setPalette(light);

    // The tray menu as it opens, with the current status ticked.
    ui->statusMenu()->popup(QPoint(100, 100));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ui->statusMenu()));
    EXPECT_FALSE(Screenshots::save(ui->statusMenu(), "tray-menu", "available").isEmpty());
    ui->statusMenu()->close();
    // The user menu with its group list.
    QMenu *menu = tree()->menuForEvent(center(ann));
    menu->popup(tree()->viewport()->mapToGlobal(center(ann)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
    EXPECT_FALSE(Screenshots::save(menu, "user-menu", "ann").isEmpty());
    menu->close();
}

} // namespace

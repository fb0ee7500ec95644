// The mass-message composer as a user works it: boxes on the tree (a group with some chosen is
// mixed), the quick selections, and Return sending one mass message to the chosen and closing.
#include "ui/conversation/MassMessage.h"
#include "main/SelectionTreeSupport.h"
#include "main/TreeFixture.h"
#include "support/Screenshots.h"

#include "core/model/LogQuery.h"
#include "core/model/Message.h"
#include "core/net/UserList.h"
#include "ui/conversation/TextViewForSending.h"
#include "ui/main/SelectionTree.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPointer>
#include <QToolButton>

namespace {

class MassMessageTest : public TreeFixture {
protected:
    void SetUp() override {
        TreeFixture::SetUp();
        sales = group("Sales");
        development = group("Development");
        ann = user("Ann", sales);
        ben = user("Ben", sales, "1");
        cid = user("Cid", sales, "2");
        dan = user("Dan", development);
        eve = user("Eve", development, "10");
        gone = user("Gone", development);
        gone->setRemoved(true);
        local = me("Me Myself", development);
        UserList::setShared(&roster);
    }
    void TearDown() override {
        for (MassMessage *m : MassMessage::all()) delete m;
        UserList::setShared(nullptr);
        TreeFixture::TearDown();
    }
    MassMessage *open(const QList<TreeItem *> &rows, int tag = MassMessage::SelectNobodyTag) {
        MassMessage *composer = MassMessage::openMassMessage(rows, tag);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(composer->window()));
        return composer;
    }
    Qt::CheckState box(MassMessage *composer, const TreeItem *item) {
        return Qt::CheckState(
            composer->tree()->dataSource()->indexForItem(item).data(Qt::CheckStateRole).toInt());
    }
    QModelIndex at(MassMessage *composer, const TreeItem *item) {
        return composer->tree()->dataSource()->indexForItem(item);
    }
    static QSet<User *> chosen(MassMessage *composer) {
        const QList<User *> users = composer->selectedUsers();
        return QSet<User *>(users.begin(), users.end());
    }
    // The mass messages the local user stored, newest first, with their recipients.
    QList<Message *> massMessages() {
        QList<Message *> out;
        for (User *u : {ann, ben, cid, dan, eve})
            for (LogEntry *e : LogQuery::newest(u, 10))
                if (auto *m = dynamic_cast<Message *>(e); m && m->mass() && !out.contains(m)) out << m;
        return out;
    }

    UserList roster;
    Group *sales = nullptr, *development = nullptr;
    User *ann = nullptr, *ben = nullptr, *cid = nullptr, *dan = nullptr, *eve = nullptr, *gone = nullptr;
    Me *local = nullptr;
};

TEST_F(MassMessageTest, AGroupWithSomeUsersTickedIsMixedAndItsBoxTicksAllOfThem) {
    MassMessage *composer = open({});
    QTreeView *view = composer->tree()->view();
    clickCheckBox(view, at(composer, ann));
    EXPECT_EQ(box(composer, sales), Qt::PartiallyChecked);
    clickCheckBox(view, at(composer, cid));
    EXPECT_EQ(box(composer, sales), Qt::PartiallyChecked);
    EXPECT_EQ(chosen(composer), QSet<User *>({ann, cid}));

    clickCheckBox(view, at(composer, sales));
    EXPECT_EQ(box(composer, sales), Qt::Checked);
    EXPECT_EQ(chosen(composer), QSet<User *>({ann, ben, cid}));
    EXPECT_EQ(box(composer, ben), Qt::Checked);
    EXPECT_EQ(box(composer, development), Qt::Unchecked);

    clickCheckBox(view, at(composer, sales));
    EXPECT_TRUE(chosen(composer).isEmpty());
    EXPECT_EQ(box(composer, ann), Qt::Unchecked);
}

TEST_F(MassMessageTest, ChosenRowsOfTheMainTreeAndQuickSelectionsChooseTheRightPeople) {
    const QSet<User *> everyone{ann, ben, cid, dan, eve};
    const QSet<User *> online{ann, ben, cid, dan};
    // Opened from the main tree: the selected rows (a group stands for its shown users, the
    // local user is never chosen), or with none the command's quick selection.
    const struct {
        const char *what;
        QList<TreeItem *> rows;
        int tag;
        QSet<User *> expected;
    } openings[] = {
        {"group Sales", {sales}, MassMessage::SelectEveryoneTag, {ann, ben, cid}},
        {"user and me", {dan, local}, MassMessage::SelectOnlineTag, {dan}},
        {"no row, online", {}, MassMessage::SelectOnlineTag, online},
        {"no row, everyone", {}, MassMessage::SelectEveryoneTag, everyone},
        {"no row, nobody", {}, MassMessage::SelectNobodyTag, {}},
    };
    for (const auto &c : openings) {
        SCOPED_TRACE(c.what);
        MassMessage *composer = open(c.rows, c.tag);
        EXPECT_EQ(chosen(composer), c.expected);
        delete composer;
    }

    // The quick selections of the window, through its menu and its buttons; each starts afresh.
    MassMessage *composer = open({ann});
    EXPECT_EQ(box(composer, sales), Qt::PartiallyChecked);
    const struct {
        const char *action;
        bool byButton;
        QSet<User *> expected;
        Qt::CheckState sales, development;
    } picks[] = {
        {"actionSelectOnline", false, online, Qt::Checked, Qt::PartiallyChecked},
        {"actionSelectNobody", true, {}, Qt::Unchecked, Qt::Unchecked},
        {"actionSelectEveryone", false, everyone, Qt::Checked, Qt::PartiallyChecked},
        {"actionSelectNobody", false, {}, Qt::Unchecked, Qt::Unchecked},
        {"actionSelectOnline", true, online, Qt::Checked, Qt::PartiallyChecked},
    };
    for (const auto &p : picks) {
        SCOPED_TRACE(p.action);
        auto *action = composer->window()->findChild<QAction *>(p.action);
        ASSERT_NE(action, nullptr);
        if (p.byButton) {
            QToolButton *button = nullptr;
            for (auto *b : composer->window()->findChildren<QToolButton *>())
                if (b->defaultAction() == action) button = b;
            ASSERT_NE(button, nullptr);
            QTest::mouseClick(button, Qt::LeftButton);
        } else {
            action->trigger();
        }
        EXPECT_EQ(chosen(composer), p.expected);
        EXPECT_EQ(box(composer, sales), p.sales);
        // The local user is shown in Development but never chosen: that box is never full.
        EXPECT_EQ(box(composer, development), p.development);
    }
    EXPECT_FALSE(composer->selection().contains(local));
    EXPECT_FALSE(composer->selection().contains(gone));
}

TEST_F(MassMessageTest, ReturnSendsOneMassMessageToTheChosenAndClosesTheWindow) {
    QPointer<MassMessage> composer = open({ann, dan});
    ASSERT_TRUE(Screenshots::save(composer->window(), "mass-message", "two-chosen").size());
    QPointer<QMainWindow> window = composer->window();
    TextViewForSending *field = composer->messageTextView();
    EXPECT_TRUE(field->mass());
    QTest::keyClicks(field, "Lunch at noon");
    QTest::keyClick(field, Qt::Key_Return);

    const QList<Message *> sent = massMessages();
    ASSERT_EQ(sent.size(), 1);
    EXPECT_EQ(sent.first()->message(), "Lunch at noon");
    EXPECT_FALSE(sent.first()->incoming());
    const QList<User *> recipients = sent.first()->user();
    EXPECT_EQ(QSet<User *>(recipients.begin(), recipients.end()), QSet<User *>({ann, dan}));
    EXPECT_FALSE(window && window->isVisible());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(composer.isNull());
    EXPECT_TRUE(window.isNull());

    // With nobody chosen the text goes nowhere, and the window still closes.
    composer = open({});
    QTest::keyClicks(composer->messageTextView(), "to nobody");
    QTest::keyClick(composer->messageTextView(), Qt::Key_Return);
    EXPECT_EQ(massMessages().size(), 1);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(composer.isNull());

    // An empty field sends nothing and keeps the window.
    composer = open({ann});
    QTest::keyClick(composer->messageTextView(), Qt::Key_Return);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(composer.isNull());
    EXPECT_TRUE(composer->window()->isVisible());
    EXPECT_EQ(massMessages().size(), 1);
}

} // namespace

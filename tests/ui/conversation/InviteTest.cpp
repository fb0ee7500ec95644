// The invite sheet as a user works it: only online colleagues outside the exclusion are offered,
// Add hands over the ticked ones, Close or Escape none, and a live call is mentioned.
#include "ui/conversation/Invite.h"
#include "main/SelectionTreeSupport.h"
#include "main/TreeFixture.h"
#include "support/EventLoopWait.h"
#include "support/Screenshots.h"
#include "ui/main/OutlineViewDataSource.h"
#include "ui/main/SelectionTree.h"

#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>

namespace {

class InviteTest : public TreeFixture {
protected:
    void SetUp() override {
        TreeFixture::SetUp();
        sales = group("Sales");
        development = group("Development");
        ann = user("Ann", sales);
        ben = user("Ben", sales, "2");
        cid = user("Cid", sales, "10");
        dan = user("Dan", development, "1");
        local = me("Me Myself", development);
        window.resize(500, 400);
        window.show();
    }
    Invite *open(bool hasCall = false) {
        Invite *invite =
            Invite::returnInvited({ben, local}, &window, hasCall, [this](const QList<User *> &users) {
                invited = users;
                ++calls;
            });
        sheet = invite->window();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet));
        return invite;
    }
    QModelIndex at(Invite *invite, const TreeItem *item) {
        return invite->tree()->dataSource()->indexForItem(item);
    }

    QMainWindow window;
    Group *sales = nullptr, *development = nullptr;
    User *ann = nullptr, *ben = nullptr, *cid = nullptr, *dan = nullptr;
    Me *local = nullptr;
    QList<User *> invited;
    int calls = 0;
    QPointer<QDialog> sheet;
};

TEST_F(InviteTest, OffersOnlineColleaguesOutsideTheExclusionAndAddHandsOverTheTicked) {
    Invite *invite = open();
    EXPECT_EQ(rows(*invite->tree()->dataSource()), QStringList({"Development: Dan", "Sales: Ann"}));
    EXPECT_FALSE(sheet->findChild<QLabel *>("callLabel")->isVisible());
    QTreeView *view = invite->tree()->view();
    clickCheckBox(view, at(invite, ann));
    pressSpaceOn(view, at(invite, dan));
    EXPECT_EQ(at(invite, development).data(Qt::CheckStateRole).toInt(), Qt::Checked);
    EXPECT_FALSE(Screenshots::save(sheet, "invite-sheet", "two-ticked").isEmpty());

    QTest::mouseClick(sheet->findChild<QPushButton *>("AddButton"), Qt::LeftButton);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(QSet<User *>(invited.begin(), invited.end()), QSet<User *>({ann, dan}));
    EXPECT_TRUE(waitUntil([&] { return sheet.isNull(); }));
}

TEST_F(InviteTest, CloseAndEscapeHandOverNobodyEvenAfterTicking) {
    const struct {
        const char *name;
        std::function<void(QDialog *)> leave;
    } ways[] = {
        {"Close",
         [](QDialog *d) { QTest::mouseClick(d->findChild<QPushButton *>("CloseButton"), Qt::LeftButton); }},
        {"Escape", [](QDialog *d) { QTest::keyClick(d, Qt::Key_Escape); }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        calls = 0;
        invited = {ann};
        Invite *invite = open();
        clickCheckBox(invite->tree()->view(), at(invite, ann));
        EXPECT_EQ(invite->selectedUsers(), QList<User *>{ann});
        way.leave(sheet);
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(invited.isEmpty());
        EXPECT_TRUE(waitUntil([&] { return sheet.isNull(); }));
    }
}

TEST_F(InviteTest, ALiveCallIsMentioned) {
    open(true);
    EXPECT_TRUE(sheet->findChild<QLabel *>("callLabel")->isVisible());
    EXPECT_FALSE(Screenshots::save(sheet, "invite-sheet", "with-call").isEmpty());
    sheet->reject();
    EXPECT_EQ(calls, 1);
}

} // namespace

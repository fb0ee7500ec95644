// The check boxes of a selection tree: a group shows all, some or none of its shown users, a
// click on a mixed group chooses all of them, and a group handed in stands for its users.
#include "ui/main/CheckBoxSubClass.h"
#include "main/SelectionTreeSupport.h"
#include "main/TreeFixture.h"
#include "platform/notify/NotificationCenter.h"
#include "ui/main/SelectionTree.h"

namespace {

class CheckBoxSubClassTest : public TreeFixture {
protected:
    void SetUp() override {
        TreeFixture::SetUp();
        sales = group("Sales");
        ann = user("Ann", sales);
        ben = user("Ben", sales);
        cid = user("Cid", sales, "2");
        gone = user("Gone", sales, "10");
        view.show();
    }
    Qt::CheckState box(SelectionTree &tree, const TreeItem *item) {
        return Qt::CheckState(tree.dataSource()->indexForItem(item).data(Qt::CheckStateRole).toInt());
    }

    Group *sales = nullptr;
    User *ann = nullptr, *ben = nullptr, *cid = nullptr, *gone = nullptr;
    QTreeView view;
    QSet<TreeItem *> selection;
};

TEST_F(CheckBoxSubClassTest, AGroupWithSomeChosenIsMixedAndAClickChoosesAllOfItsShownUsers) {
    selection = {ann, ben};
    SelectionTree tree(&view, &selection, this, QList<User *>{}, nullptr);
    EXPECT_EQ(box(tree, sales), Qt::PartiallyChecked);
    EXPECT_EQ(box(tree, cid), Qt::Unchecked);

    clickCheckBox(&view, tree.dataSource()->indexForItem(sales));
    EXPECT_EQ(selection, QSet<TreeItem *>({ann, ben, cid})); // the offline user is not shown
    EXPECT_EQ(box(tree, sales), Qt::Checked);
    EXPECT_EQ(box(tree, cid), Qt::Checked);

    pressSpaceOn(&view, tree.dataSource()->indexForItem(sales));
    EXPECT_TRUE(selection.isEmpty());
    EXPECT_EQ(box(tree, ann), Qt::Unchecked);
}

TEST_F(CheckBoxSubClassTest, AGroupHandedInStandsForItsShownUsersAndEveryBoxFollowsTheWindow) {
    selection = {sales};
    SelectionTree tree(&view, &selection, this, std::nullopt, nullptr);
    EXPECT_EQ(selection, QSet<TreeItem *>({ann, ben, cid, gone}));
    EXPECT_EQ(box(tree, sales), Qt::Checked);

    // The window changes its selection and says so: the boxes follow.
    selection.remove(ben);
    NotificationCenter::defaultCenter().post("selectionUpdated", this);
    EXPECT_EQ(box(tree, sales), Qt::PartiallyChecked);
    EXPECT_EQ(box(tree, ben), Qt::Unchecked);
}

} // namespace

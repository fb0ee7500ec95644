// The user tree's model under QAbstractItemModelTester: its order and filters, live re-sorting
// of every group a burst touched, moves by menu and by drag, the drop rules, the selection flags,
// and 1,000 users going on- and offline at random with the rows checked against the store.
#include "ui/main/OutlineViewDataSource.h"
#include "main/TreeFixture.h"
#include "support/EventLoopWait.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTreeView>
#include <QUrl>

#include <array>
#include <functional>

namespace {

// The tree as a view knows it: rebuilt only from the model's signals (inserts, removals, moves,
// layout changes through the persistent indexes, resets), never by asking for counts.
class RowMirror : public QObject {
public:
    explicit RowMirror(OutlineViewDataSource *model) : m_model(model) {
        reset();
        connect(model, &QAbstractItemModel::modelReset, this, &RowMirror::reset);
        connect(model, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex &parent, int first, int last) {
                    for (int row = first; row <= last; ++row) {
                        if (!parent.isValid())
                            m_top.insert(row, node(m_model->index(row, 0)));
                        else
                            m_top[parent.row()].users.insert(row, item(m_model->index(row, 0, parent)));
                    }
                });
        connect(model, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex &parent, int first, int last) {
                    if (!parent.isValid())
                        m_top.remove(first, last - first + 1);
                    else
                        m_top[parent.row()].users.remove(first, last - first + 1);
                });
        connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this,
                [this](const QModelIndex &from, int first, int last, const QModelIndex &to, int row) {
                    m_move = {from.row(), first, last, to.row(), row};
                });
        connect(model, &QAbstractItemModel::rowsMoved, this, [this] {
            auto &source = m_top[m_move.from].users;
            auto &target = m_top[m_move.to].users;
            const QList<TreeItem *> moving = source.mid(m_move.first, m_move.last - m_move.first + 1);
            int row = m_move.row;
            if (m_move.from == m_move.to && row > m_move.last) row -= int(moving.size());
            source.remove(m_move.first, moving.size());
            for (TreeItem *t : moving) target.insert(row++, t);
        });
        connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, [this] {
            m_before.clear();
            for (int g = 0; g < m_top.size(); ++g) {
                const QModelIndex group = m_model->index(g, 0);
                QList<QPersistentModelIndex> users;
                for (int u = 0; u < m_top[g].users.size(); ++u)
                    users << QPersistentModelIndex(m_model->index(u, 0, group));
                m_before.append({QPersistentModelIndex(group), users});
            }
        });
        connect(model, &QAbstractItemModel::layoutChanged, this, [this] {
            QList<Node> after(m_top.size());
            for (int g = 0; g < m_top.size(); ++g) {
                const int row = m_before[g].first.row();
                if (row < 0 || row >= after.size()) return fail();
                after[row].item = m_top[g].item;
                after[row].users.resize(m_top[g].users.size());
            }
            for (int g = 0; g < m_top.size(); ++g)
                for (int u = 0; u < m_top[g].users.size(); ++u) {
                    const QPersistentModelIndex &now = m_before[g].second[u];
                    const int parent = now.parent().row(), row = now.row();
                    if (parent < 0 || parent >= after.size() || row < 0 || row >= after[parent].users.size())
                        return fail();
                    after[parent].users[row] = m_top[g].users[u];
                }
            m_top = after;
        });
    }
    // The rows in the fixture's form.
    QStringList rows() const {
        QStringList lines;
        for (const Node &n : m_top) {
            QStringList users;
            for (TreeItem *t : n.users) {
                auto *u = static_cast<User *>(t);
                users << (u->userOffline() ? QStringLiteral("~") : QString()) + u->name();
            }
            lines << n.item->name() + QStringLiteral(": ") + users.join(QStringLiteral(", "));
        }
        return m_broken ? QStringList{"persistent indexes lost"} : lines;
    }

private:
    struct Node {
        TreeItem *item = nullptr;
        QList<TreeItem *> users;
    };
    struct Move {
        int from = 0, first = 0, last = 0, to = 0, row = 0;
    };
    TreeItem *item(const QModelIndex &index) const { return m_model->itemForIndex(index); }
    Node node(const QModelIndex &group) const {
        Node n{item(group), {}};
        for (int u = 0; u < m_model->rowCount(group); ++u) n.users << item(m_model->index(u, 0, group));
        return n;
    }
    void reset() {
        m_top.clear();
        for (int g = 0; g < m_model->rowCount(); ++g) m_top << node(m_model->index(g, 0));
    }
    void fail() { m_broken = true; }

    OutlineViewDataSource *m_model;
    QList<Node> m_top;
    Move m_move;
    QList<std::pair<QPersistentModelIndex, QList<QPersistentModelIndex>>> m_before;
    bool m_broken = false;
};

class OutlineViewDataSourceTest : public TreeFixture {
protected:
    void SetUp() override {
        TreeFixture::SetUp();
        alpha = group("Alpha");
        beta = group("beta");
        gamma = group("gamma");
        bob = user("bob", alpha);
        anna = user("Anna", alpha, "10");
        carl = user("carl", alpha, "1");
        dora = user("dora", alpha);
        dora->setRemoved(true);
        eve = user("Eve", beta, "10");
    }
    // A model with a view and the tester on it, and a proxy that knows the rows only from what
    // the model signalled: the rows the view was told.
    void makeModel() {
        model = std::make_unique<OutlineViewDataSource>(ctx);
        tester = std::make_unique<QAbstractItemModelTester>(
            model.get(), QAbstractItemModelTester::FailureReportingMode::Warning);
        view = std::make_unique<QTreeView>();
        model->setOutlineView(view.get());
        view->expandAll();
        told = std::make_unique<RowMirror>(model.get());
    }
    // The rows, checked against what the view was told.
    QStringList shown() {
        const QStringList now = rows(*model);
        EXPECT_EQ(told->rows(), now) << "the model's rows differ from what it signalled";
        return now;
    }
    void TearDown() override {
        told.reset();
        view.reset();
        tester.reset();
        model.reset();
        EXPECT_TRUE(complaints.list().isEmpty()) << complaints.list().join("\n").toStdString();
        TreeFixture::TearDown();
    }
    QModelIndex at(const TreeItem *item) { return model->indexForItem(item); }
    void select(const QList<TreeItem *> &items) {
        QItemSelection selection;
        for (TreeItem *item : items) selection.select(at(item), at(item));
        view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    }
    bool settled() {
        return waitUntil([&] { return !model->resortPending(); }, 2000);
    }

    ModelComplaints complaints;
    Group *alpha = nullptr, *beta = nullptr, *gamma = nullptr;
    User *bob = nullptr, *anna = nullptr, *carl = nullptr, *dora = nullptr, *eve = nullptr;
    std::unique_ptr<OutlineViewDataSource> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
    std::unique_ptr<QTreeView> view;
    std::unique_ptr<RowMirror> told;
};

TEST_F(OutlineViewDataSourceTest, GroupsByNameUsersOnlineFirstThenByNameAndTheFilters) {
    const struct {
        const char *name;
        bool hideOffline;
        bool exclude;
        QStringList expected;
    } cases[] = {
        {"all", false, false, {"Alpha: bob, carl, ~Anna", "beta: ~Eve", "gamma: "}},
        {"offline hidden", true, false, {"Alpha: bob, carl", "beta: ", "gamma: "}},
        {"selection sheet", false, true, {"Alpha: bob", "beta: ", "gamma: "}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Defaults::standard().setValue("hideOfflineUsers", c.hideOffline);
        makeModel();
        if (c.exclude) model->setExcludedUser({carl});
        EXPECT_EQ(shown(), c.expected);
        told.reset();
        view.reset();
        tester.reset();
        model.reset();
    }
}

TEST_F(OutlineViewDataSourceTest, ABurstReSortsEveryGroupItTouchedOnce) {
    makeModel();
    QSignalSpy updates(model.get(), &OutlineViewDataSource::treeUpdated);
    QSignalSpy resets(model.get(), &QAbstractItemModel::modelReset);
    select({carl});
    User *zed = user("zed", gamma);
    ASSERT_TRUE(settled());
    updates.clear();

    // One burst: a change in each of the three groups, and a group renamed.
    carl->setStatus("10");
    eve->setStatus("0");
    zed->setName("Aaron");
    user("Bea", gamma);
    beta->setName("Zulu");
    EXPECT_TRUE(model->resortPending());
    ASSERT_TRUE(settled());

    EXPECT_EQ(shown(), QStringList({"Alpha: bob, ~Anna, ~carl", "gamma: Aaron, Bea", "Zulu: Eve"}));
    EXPECT_EQ(updates.size(), 1);
    EXPECT_EQ(resets.size(), 0);
    EXPECT_EQ(model->selectedItems(), QList<TreeItem *>{carl}); // the selection moved with its row
}

TEST_F(OutlineViewDataSourceTest, HidingOfflineUsersMakesThemLeaveAndGivesGroupsToThoseWithout) {
    makeModel();
    anna->setGroup(nullptr);
    Defaults::standard().setValue("hideOfflineUsers", true);
    EXPECT_EQ(anna->group(), Group::general(ctx));
    bob->setStatus("10");
    ASSERT_TRUE(settled());
    EXPECT_EQ(shown(), QStringList({"Alpha: carl", "beta: ", "gamma: ", "General: "}));
    Defaults::standard().setValue("hideOfflineUsers", false);
    EXPECT_EQ(shown(), QStringList({"Alpha: carl, ~bob", "beta: ~Eve", "gamma: ", "General: ~Anna"}));
}

TEST_F(OutlineViewDataSourceTest, MovesByMenuAndByDragKeepTheRowsAndTheSelectionAndAreSaved) {
    makeModel();
    select({bob});
    QSignalSpy resets(model.get(), &QAbstractItemModel::modelReset);
    model->moveUsers({bob}, beta);
    EXPECT_EQ(bob->group(), beta);
    EXPECT_FALSE(ctx->hasChanges());
    EXPECT_EQ(shown(), QStringList({"Alpha: carl, ~Anna", "beta: bob, ~Eve", "gamma: "}));
    EXPECT_EQ(model->selectedItems(), QList<TreeItem *>{bob});

    // Dragged onto a user: into that user's group.
    User *zed = user("zed", gamma);
    ASSERT_TRUE(settled());
    OutlineViewDataSource::setDraggedItems({carl});
    std::unique_ptr<QMimeData> data(model->mimeData({at(carl)}));
    EXPECT_EQ(data->text(), "carl");
    EXPECT_TRUE(model->dropMimeData(data.get(), Qt::MoveAction, -1, -1, at(zed)));
    OutlineViewDataSource::clearDraggedItems();
    EXPECT_EQ(carl->group(), gamma);
    EXPECT_EQ(shown(), QStringList({"Alpha: ~Anna", "beta: bob, ~Eve", "gamma: carl, zed"}));
    EXPECT_EQ(resets.size(), 0);

    // A user whose row the view was never told about: everything is reloaded instead.
    User *fresh = user("fresh", alpha);
    model->moveUsers({fresh}, beta);
    EXPECT_EQ(resets.size(), 1);
    EXPECT_EQ(shown(), QStringList({"Alpha: ~Anna", "beta: bob, fresh, ~Eve", "gamma: carl, zed"}));
    EXPECT_FALSE(ctx->hasChanges());
}

TEST_F(OutlineViewDataSourceTest, DropRulesInTheirOrder) {
    makeModel();
    std::pair<QStringList, User *> sent;
    OutlineViewDataSource::setFileSender([&](const QStringList &paths, User *to) {
        sent = {paths, to};
        return true;
    });
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/tmp/report.pdf")});
    auto users = [&](const QList<TreeItem *> &items) {
        OutlineViewDataSource::setDraggedItems(items);
        return model->mimeData({at(items.first())});
    };
    const QModelIndex none;
    const struct {
        const char *name;
        std::function<QMimeData *()> data;
        QModelIndex parent;
        int row;
        bool accepted;
    } cases[] = {
        {"files on an online user", [&] { return &files; }, at(bob), -1, true},
        {"files on an offline user", [&] { return &files; }, at(anna), -1, false},
        {"files on a group", [&] { return &files; }, at(alpha), -1, false},
        {"files between users", [&] { return &files; }, at(alpha), 1, false},
        {"files on the empty area", [&] { return &files; }, none, -1, false},
        {"a user on a group", [&] { return users({bob}); }, at(beta), -1, true},
        {"a user between users", [&] { return users({bob}); }, at(alpha), 1, false},
        {"a user on a user", [&] { return users({bob}); }, at(eve), -1, true},
        {"a user between groups", [&] { return users({bob}); }, none, 1, false},
        {"a group and a user",
         [&] {
             return users({alpha, bob});
         },
         at(beta), -1, false},
        {"a group on a user", [&] { return users({gamma}); }, at(eve), -1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QMimeData *data = c.data();
        EXPECT_EQ(model->canDropMimeData(data, Qt::MoveAction, c.row, -1, c.parent), c.accepted);
        if (data != &files) delete data;
        OutlineViewDataSource::clearDraggedItems();
    }
    // Tree items from anywhere but a drag of this program are not taken.
    std::unique_ptr<QMimeData> stranger(model->mimeData({at(bob)}));
    EXPECT_FALSE(model->canDropMimeData(stranger.get(), Qt::MoveAction, -1, -1, at(beta)));

    EXPECT_TRUE(model->dropMimeData(&files, Qt::CopyAction, -1, -1, at(bob)));
    EXPECT_EQ(sent.first, QStringList{"/tmp/report.pdf"});
    EXPECT_EQ(sent.second, bob);
    OutlineViewDataSource::setFileSender({});
}

TEST_F(OutlineViewDataSourceTest, SelectionFlags) {
    Defaults::standard().setValue("hideOfflineUsers", true);
    makeModel();
    const struct {
        const char *name;
        QList<TreeItem *> items;
        // group, user, empty group, conversation, group conversation, online user
        std::array<bool, 6> flags;
    } cases[] = {
        {"nothing", {}, {false, false, false, false, false, false}},
        {"a group with an online user", {alpha}, {true, false, false, false, true, false}},
        {"a group whose users are offline and hidden", {beta}, {true, false, true, false, false, false}},
        {"an online user", {bob}, {false, true, false, true, false, true}},
        {"two rows", {alpha, bob}, {false, false, false, false, false, false}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        select(c.items);
        const std::array<bool, 6> flags{model->isGroupSelected(),
                                        model->isUserSelected(),
                                        model->isEmptyGroupSelected(),
                                        model->canStartConversationWithSelection(),
                                        model->canStartGroupConversationWithSelection(),
                                        model->isOnlineUserSelected()};
        EXPECT_EQ(flags, c.flags);
    }
    // An offline user is offered a conversation, not a call or transfer.
    Defaults::standard().setValue("hideOfflineUsers", false);
    select({anna});
    EXPECT_TRUE(model->canStartConversationWithSelection());
    EXPECT_FALSE(model->isOnlineUserSelected());
    // The flags follow the user, not only the selection.
    select({bob});
    bob->setStatus("10");
    ASSERT_TRUE(settled());
    EXPECT_FALSE(model->isOnlineUserSelected());
}

// 1,000 users in 20 groups go on- and offline at random; now and then one is renamed, moved or
// removed. After every step the rows are what the store says they must be.
TEST_F(OutlineViewDataSourceTest, RowsFollowTheStoreThroughRandomChanges) {
    QList<Group *> groups;
    QList<User *> users;
    for (int g = 0; g < 20; ++g) groups << group(QStringLiteral("Group %1").arg(g, 2, 10, QLatin1Char('0')));
    QRandomGenerator random(20240601);
    for (int u = 0; u < 1000; ++u)
        users << user(QStringLiteral("user %1").arg(random.bounded(100000)), groups.at(u % 20),
                      random.bounded(2) ? "0" : "10");
    makeModel();

    auto expected = [&] {
        QList<Group *> sorted;
        for (Group *g : ctx->fetch<Group>()) sorted << g;
        std::sort(sorted.begin(), sorted.end(), [](const Group *a, const Group *b) {
            const int c = a->name().compare(b->name(), Qt::CaseInsensitive);
            return c != 0 ? c < 0 : a->rowId() < b->rowId();
        });
        QStringList lines;
        for (Group *g : sorted) {
            QList<User *> members;
            for (User *u : g->users())
                if (!u->removed()) members << u;
            std::sort(members.begin(), members.end(), [](const User *a, const User *b) {
                if (a->userOffline() != b->userOffline()) return !a->userOffline();
                const int c = a->name().compare(b->name(), Qt::CaseInsensitive);
                return c != 0 ? c < 0 : a->rowId() < b->rowId();
            });
            QStringList names;
            for (User *u : members) names << (u->userOffline() ? "~" : "") + u->name();
            lines << g->name() + ": " + names.join(", ");
        }
        return lines;
    };

    for (int step = 0; step < 40; ++step) {
        SCOPED_TRACE(step);
        for (int change = 0; change < 25; ++change) {
            User *u = users.at(random.bounded(int(users.size())));
            switch (random.bounded(20)) {
            case 0:
                u->setName(QStringLiteral("renamed %1").arg(random.bounded(100000)));
                break;
            case 1:
                model->moveUsers({u}, groups.at(random.bounded(20)));
                break;
            case 2:
                u->setGroup(groups.at(random.bounded(20)));
                break;
            case 3:
                u->setRemoved(!u->removed());
                break;
            default:
                u->setStatus(u->userOffline() ? "0" : "10");
            }
        }
        model->delayedGroupResort();
        ASSERT_EQ(shown(), expected());
        ASSERT_FALSE(HasFailure());
        ASSERT_TRUE(complaints.list().isEmpty()) << complaints.list().first().toStdString();
    }
}

} // namespace

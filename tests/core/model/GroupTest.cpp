#include "core/model/Group.h"
#include "ModelTestSupport.h"
#include "core/model/User.h"
#include "core/model/UserTreeOutline.h"

#include <QCoreApplication>

#include <functional>
#include <utility>
#include <vector>

namespace {

class RecordingOutline : public UserTreeOutline {
public:
    void reloadAndExpand(Group *group) override { groups.append(group); }
    QList<Group *> groups;
};

class ModelGroupTest : public StoreFixture {
protected:
    void TearDown() override {
        Group::setOutline(nullptr);
        StoreFixture::TearDown();
    }
};

TEST_F(ModelGroupTest, GeneralIsMadeOnceAndTheTreeIsToldAfterwards) {
    RecordingOutline outline;
    Group::setOutline(&outline);
    Group *first = Group::general(ctx.get());
    Group *second = Group::general(ctx.get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->name(), "General");
    EXPECT_EQ(first->icon(), "Group");
    EXPECT_FALSE(first->userOffline());
    EXPECT_TRUE(outline.groups.isEmpty()); // on the main thread's next turn, not inside the call
    QCoreApplication::processEvents();
    EXPECT_EQ(outline.groups, (QList<Group *>{first}));
    save();
    EXPECT_EQ(sql("SELECT count(*) FROM tree_items WHERE kind = 'Group' AND name = 'General'"), 1);
    reopen();
    Group *stored = Group::general(ctx.get());
    EXPECT_EQ(ctx->fetch<Group>(), (QList<Group *>{stored}));
    EXPECT_FALSE(ctx->hasChanges());
}

TEST_F(ModelGroupTest, FirstUserReadBackWithoutGroupMakesGeneral) {
    for (const char *id : {"A1", "A2"}) ctx->insert<User>()->setUserId(id);
    save();
    reopen();
    const QList<Group *> groups = ctx->fetch<Group>();
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups.first()->users().size(), 2);
}

TEST_F(ModelGroupTest, OnlineUsersAreTheMembersNotOffline) {
    Group *g = ctx->insert<Group>();
    User *a = ctx->insert<User>();
    User *b = ctx->insert<User>();
    User *c = ctx->insert<User>();
    g->addOnlineUsersObject(a);
    g->addUsersObject(b);
    c->setGroup(g);
    b->setStatus("10");
    EXPECT_EQ(g->users(), (QList<User *>{a, b, c}));
    EXPECT_EQ(g->onlineUsers(), (QList<User *>{a, c}));
    a->setStatus("10");
    EXPECT_EQ(g->onlineUsers(), (QList<User *>{c}));
    g->removeOnlineUsersObject(c);
    EXPECT_EQ(c->group(), nullptr);
    EXPECT_TRUE(g->onlineUsers().isEmpty());
}

TEST_F(ModelGroupTest, MovingAUserKeepsBothGroupsInStep) {
    Group *g1 = ctx->insert<Group>();
    Group *g2 = ctx->insert<Group>();
    User *u = ctx->insert<User>();
    u->setGroup(g1);
    g2->addUsersObject(u);
    EXPECT_EQ(u->group(), g2);
    EXPECT_TRUE(g1->users().isEmpty());
    EXPECT_EQ(g2->users(), (QList<User *>{u}));
}

// Every way into a group, again and back, leaves each member in exactly one list, once.
TEST_F(ModelGroupTest, AUserIsListedOnceWhicheverWayItJoinsAgain) {
    Group *g1 = ctx->insert<Group>();
    Group *g2 = ctx->insert<Group>();
    User *u = ctx->insert<User>();
    User *v = ctx->insert<User>();
    const std::vector<std::pair<const char *, std::function<void()>>> steps = {
        {"set", [&] { u->setGroup(g1); }},
        {"set again", [&] { u->setGroup(g1); }},
        {"added though there", [&] { g1->addUsersObject(u); }},
        {"second member", [&] { v->setGroup(g1); }},
        {"moved", [&] { u->setGroup(g2); }},
        {"moved back by the group", [&] { g1->addUsersObject(u); }},
        {"left", [&] { u->setGroup(nullptr); }},
        {"back", [&] { u->setGroup(g1); }},
    };
    for (const auto &[name, step] : steps) {
        step();
        for (Group *g : {g1, g2}) {
            const QList<User *> members = g->users();
            for (User *m : {u, v})
                EXPECT_EQ(members.count(m), m->group() == g ? 1 : 0) << name;
        }
    }
}

} // namespace

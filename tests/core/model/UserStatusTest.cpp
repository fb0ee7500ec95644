#include "ModelTestSupport.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"

namespace {

class ModelUserStatusTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        MessageForForwarding::setSendOnUserInHandler([this](User *u) { forwarded.push_back(u); });
    }
    void TearDown() override {
        MessageForForwarding::setSendOnUserInHandler({});
        StoreFixture::TearDown();
    }
    std::vector<User *> forwarded;
};

struct StatusCase {
    const char *code;
    bool wasOffline;
    bool wasRemoved;
    // expected
    QString statusString;
    QString idleTime;
    QString icon;
    bool noticePosted;
    bool offline;
    bool removed;
    bool inGeneral;
    bool seenRefreshed; // also: the forwarding check ran
};

TEST_F(ModelUserStatusTest, SetStatusFollowsTheFourSteps) {
    const QList<StatusCase> cases = {
        {"0", true, false, "", "123", "Normal", true, false, false, false, true},
        {"0", false, false, "", "123", "Normal", false, false, false, false, true},
        {"2", false, false, "busy text", "123", "Away", false, false, false, false, true},
        {"2", true, false, "busy text", "123", "Away", true, false, false, false, true},
        {"1", false, false, "busy text", "", "Dnd", false, false, false, false, true},
        {"7", false, false, "busy text", "", "Dnd", false, false, false, false, true},
        {"10", false, false, "busy text", "", "Offline", true, true, false, false, false},
        {"10", true, false, "busy text", "", "Offline", false, true, false, false, false},
        {"0", true, true, "", "123", "Normal", true, false, false, true, true},
        {"10", false, true, "busy text", "", "Offline", true, true, false, true, false},
        {"1", false, true, "busy text", "", "Dnd", false, false, true, false, true},
    };
    for (const StatusCase &c : cases) {
        SCOPED_TRACE(std::string(c.code) + (c.wasOffline ? " offline" : " online") +
                     (c.wasRemoved ? " removed" : ""));
        User *u = ctx->insert<User>();
        const QDateTime inserted = now;
        u->setStatusString("busy text");
        u->setIdleTime("123");
        u->setUserOffline(c.wasOffline);
        u->setRemoved(c.wasRemoved);
        forwarded.clear();
        now = now.addSecs(10);
        NoticeRecorder notices("userChangedHisOfflineStatus");

        u->setStatus(c.code);

        EXPECT_EQ(u->status(), c.code);
        EXPECT_EQ(u->statusString(), c.statusString);
        EXPECT_EQ(u->idleTime(), c.idleTime);
        EXPECT_EQ(u->icon(), c.icon);
        EXPECT_EQ(notices.count(u), c.noticePosted ? 1 : 0);
        EXPECT_EQ(u->userOffline(), c.offline);
        EXPECT_EQ(u->removed(), c.removed);
        EXPECT_EQ(u->group() != nullptr, c.inGeneral);
        if (c.inGeneral) {
            EXPECT_EQ(u->group()->name(), "General");
        }
        EXPECT_EQ(u->seenLastTime(), c.seenRefreshed ? now : inserted);
        EXPECT_EQ(forwarded, c.seenRefreshed ? std::vector<User *>{u} : std::vector<User *>{});
    }
}

TEST_F(ModelUserStatusTest, SameStatusTwicePostsOnceButChecksForwardingTwice) {
    User *u = ctx->insert<User>();
    u->setUserOffline(true);
    NoticeRecorder notices("userChangedHisOfflineStatus");
    u->setStatus("0");
    u->setStatus("0");
    EXPECT_EQ(notices.count(u), 1);
    EXPECT_EQ(forwarded, (std::vector<User *>{u, u}));
}

TEST_F(ModelUserStatusTest, InsertedUserStartsWithItsDefaults) {
    User *u = ctx->insert<User>();
    EXPECT_TRUE(u->isUser());
    EXPECT_EQ(u->canCallCache(), -1);
    EXPECT_EQ(u->seenLastTime(), now);
    EXPECT_EQ(u->icon(), "Dnd"); // online flag NO with no status yet
    EXPECT_EQ(Group::findByName(ctx.get(), "General"), nullptr);
}

TEST_F(ModelUserStatusTest, NameNoticeOnlyOnRealChange) {
    User *u = ctx->insert<User>();
    NoticeRecorder notices("userChangedHisName");
    QStringList keys;
    QObject::connect(u, &ManagedObject::attributeChanged, [&](const QString &key, const QVariant &old) {
        if (key == "name") keys << old.toString();
    });
    u->setName("Ann");
    u->setName("Ann");
    u->setName("Bob");
    EXPECT_EQ(notices.count(u), 2);
    EXPECT_EQ(keys, (QStringList{"", "Ann"}));
}

TEST_F(ModelUserStatusTest, UsersReadBackStartOffline) {
    User *online = ctx->insert<User>();
    online->setUserId("A1");
    online->setStatus("0");
    online->setStatusString("here");
    online->setIdleTime("5");
    User *away = ctx->insert<User>();
    away->setUserId("A2");
    away->setStatus("2");
    User *offline = ctx->insert<User>();
    offline->setUserId("A3");
    offline->setStatus("10");
    Me *me = ctx->insert<Me>();
    me->setUserId("A0");
    me->setStatus("1");
    save();

    now = now.addSecs(60);
    NoticeRecorder notices("userChangedHisOfflineStatus");
    reopen();
    forwarded.clear();
    User *a1 = User::findByUserId(ctx.get(), "A1");
    User *a2 = User::findByUserId(ctx.get(), "A2");
    User *a3 = User::findByUserId(ctx.get(), "A3");
    User *a0 = User::findByUserId(ctx.get(), "A0");
    ASSERT_TRUE(a1 && a2 && a3 && a0);
    for (User *u : {a1, a2, a3}) {
        EXPECT_EQ(u->status(), "10");
        EXPECT_TRUE(u->userOffline());
        EXPECT_EQ(u->icon(), "Offline");
        EXPECT_EQ(u->idleTime(), "");
        EXPECT_EQ(u->canCallCache(), -1);
        ASSERT_NE(u->group(), nullptr);
        EXPECT_EQ(u->group()->name(), "General");
    }
    EXPECT_EQ(a1->statusString(), "here");
    // Posted for those that were online, once each; never for the one already offline.
    EXPECT_EQ(notices.objects, (std::vector<const void *>{a1, a2}));
    // The local user ignores "10" and keeps its status.
    ASSERT_NE(dynamic_cast<Me *>(a0), nullptr);
    EXPECT_EQ(a0->status(), "1");
    EXPECT_FALSE(a0->userOffline());
    EXPECT_EQ(a0->icon(), "Dnd");
    EXPECT_EQ(ctx->fetch<Group>().size(), 1);
}

TEST_F(ModelUserStatusTest, UserSeenWithinHalfASecondKeepsItsStatus) {
    const QList<std::pair<int, QString>> cases = {{400, "0"},   {500, "0"},  {501, "10"},
                                                  {5000, "10"}, {-400, "0"}, {-501, "10"}};
    for (const auto &[delay, expected] : cases) {
        SCOPED_TRACE(delay);
        ctx.reset();
        QFile::remove(path());
        reopen();
        const QDateTime start = now;
        User *u = ctx->insert<User>();
        u->setUserId("A1");
        u->setStatus("0");
        save();
        now = start.addMSecs(delay);
        reopen();
        User *back = User::findByUserId(ctx.get(), "A1");
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->status(), expected);
        EXPECT_EQ(back->icon(), expected == "0" ? "Normal" : "Offline");
        now = start;
    }
}

TEST_F(ModelUserStatusTest, OnlyTheRostersLocalUserIgnoresOffline) {
    Me *current = ctx->insert<Me>();
    Me *former = ctx->insert<Me>();
    for (Me *me : {current, former}) me->setStatus("0");
    current->setStatus("10");
    former->setStatus("10");
    EXPECT_EQ(current->status(), "0");
    EXPECT_EQ(former->status(), "0"); // no roster yet: every Me row ignores it
    Me::setCurrent(current);
    current->setStatus("10");
    former->setStatus("10");
    Me::setCurrent(nullptr);
    EXPECT_EQ(current->status(), "0");
    EXPECT_EQ(former->status(), "10");
    EXPECT_TRUE(former->userOffline());
}

TEST_F(ModelUserStatusTest, UserWithoutSeenTimeComesBackOffline) {
    User *u = ctx->insert<User>();
    u->setUserId("A1");
    u->setStatus("0");
    u->setSeenLastTime({});
    save();
    reopen();
    EXPECT_EQ(User::findByUserId(ctx.get(), "A1")->status(), "10");
}

TEST_F(ModelUserStatusTest, RemovedUserWithoutGroupStaysOutOfGeneralOnFetch) {
    User *u = ctx->insert<User>();
    u->setUserId("A1");
    u->setRemoved(true);
    u->setUserOffline(true);
    u->setValue("status", "10");
    save();
    reopen();
    User *back = User::findByUserId(ctx.get(), "A1");
    EXPECT_EQ(back->group(), nullptr);
    EXPECT_TRUE(back->removed());
    EXPECT_EQ(Group::findByName(ctx.get(), "General"), nullptr);
}

} // namespace

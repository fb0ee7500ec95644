// What the page posts and what the call does with it, who is in a call and how it grows into a
// chat call, leaving with and without peers, and the end of every call when the program quits.
#include "CallTestSupport.h"
#include "core/model/Chat.h"
#include "core/model/Message.h"
#include "core/model/ModelTestSupport.h"
#include "core/model/SystemMessage.h"
#include "platform/defaults/Defaults.h"
#include "platform/notify/NotificationCenter.h"

#include <gtest/gtest.h>

namespace {

class CallMembershipTest : public CallFixture {
protected:
    // An outgoing call with Bob whose page is ready.
    Call *readyCallWithBob() {
        Call *call = Call::initCallForUser(bob, nullptr);
        viewOf(call)->pagePosts("ready");
        return call;
    }
};

TEST_F(CallMembershipTest, EveryMessageThePagePosts) {
    Call *call = readyCallWithBob();
    FakeCallView *view = viewOf(call);

    view->pagePosts("settings", R"({"camera":{"id":"c1","label":"Cam"}})");
    EXPECT_EQ(Defaults::standard().value("CallInternals").toString(),
              R"({"camera":{"id":"c1","label":"Cam"}})");
    view->pagePosts("minWidth", "412");
    EXPECT_EQ(view->minWidth, 412);
    view->pagePosts("minWidth", "wide");
    EXPECT_EQ(view->minWidth, 412);
    view->pagePosts("privacy", "Camera");
    view->pagePosts("privacy", "x-apple.systempreferences:anything");
    EXPECT_EQ(view->privacy, QStringList{"Camera"});
    view->pagePosts("conversation");
    ASSERT_EQ(view->conversations.size(), 1u);
    EXPECT_EQ(view->conversations[0].first, bob);
    view->pagePosts("invite");
    EXPECT_TRUE(static_cast<bool>(view->inviteDone));
    view->pagePosts("leave");
    ASSERT_EQ(view->confirmations.size(), 1u);
    EXPECT_EQ(view->confirmations[0].kind, Call::LeaveCallKind);
    // The posts arrive as the bridge hands them over: the first element the name, the last the data.
    call->didReceiveScriptMessage({"minWidth", "ignored", "500"});
    EXPECT_EQ(view->minWidth, 500);
    call->didReceiveScriptMessage({});
}

TEST_F(CallMembershipTest, TheSettingsTheyChoseComeBackInTheNextPage) {
    Defaults::standard().setValue("CallInternals", R"({"speakers":{"id":"s'1","label":"</script>"}})");
    Call *call = Call::initCallForUser(bob, nullptr);
    EXPECT_TRUE(viewOf(call)->page.contains(
        "const SETTINGS_TEXT = " + CallPage::jsString(R"({"speakers":{"id":"s'1","label":"</script>"}})") +
        ";"));
}

TEST_F(CallMembershipTest, AnOutgoingCallAddsItsUserAndOnlyUsersWhoCanCall) {
    User *old = peer("A000000009", "Old");
    old->setVersion("4.2");
    old->setOSversion("Mac OS X Version 10.13.6");
    Chat *room = Chat::createWithUsers({bob, carol, old}, "77");
    Call *call = Call::initCallForUser(nullptr, room);
    FakeCallView *view = viewOf(call);
    EXPECT_EQ(call->peers(), (QList<User *>{bob, carol}));
    EXPECT_EQ(view->title, "Bob, Carol - Call");
    view->pagePosts("ready");
    EXPECT_EQ(view->delivered("add"),
              (QStringList{"\"A000000002\\u0008Bob\"", "\"A000000003\\u0008Carol\""}));
    call->callUser(bob);
    call->callUser(me);
    call->callUser(old);
    EXPECT_EQ(view->delivered("add").size(), 2);
}

TEST_F(CallMembershipTest, ANewcomerTurnsAOneToOneCallIntoAChatCall) {
    Call *call = readyCallWithBob();
    FakeCallView *view = viewOf(call);
    NoticeRecorder joins("chatMembersChanged");
    view->pagePosts("nameIn", "A999999999\r\nStranger");  // unknown: ignored
    view->pagePosts("nameIn", bob->userId() + "\r\nBob"); // already a peer
    EXPECT_EQ(call->chat(), nullptr);

    view->pagePosts("nameIn", carol->userId() + "\r\nCarol");
    ASSERT_NE(call->chat(), nullptr);
    EXPECT_EQ(call->user(), nullptr);
    EXPECT_EQ(call->chat()->currentUsers(), (QList<User *>{carol, bob}));
    EXPECT_EQ(call->peers(), (QList<User *>{bob, carol}));
    EXPECT_EQ(view->title, "Bob, Carol - Call");

    // The call now follows the chat's log: a line written there reaches the page, a system line does not.
    Message *line = call->chat()->sendMessage("hello \"all\"");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(view->delivered("message"),
              QStringList{CallPage::jsString("A000000001\bAlice\bhello \"all\"")});
    SystemMessage::addText("note", call->chat(), false);
    NotificationCenter::defaultCenter().post("logUpdated", call->chat());
    EXPECT_EQ(view->delivered("message").size(), 1);
}

TEST_F(CallMembershipTest, ThePeerOfAOneToOneCallCallingBackIsOnlyAPeerAgain) {
    Call *call = readyCallWithBob();
    Call::aCallPeerClosedCall(closed(bob, call->callId()));
    EXPECT_TRUE(call->peers().isEmpty());
    viewOf(call)->pagePosts("nameIn", bob->userId() + "\r\nBob");
    EXPECT_EQ(call->peers(), QList<User *>{bob});
    EXPECT_EQ(call->chat(), nullptr);
    EXPECT_EQ(call->user(), bob);
    // And its conversation's lines reach the page again.
    bob->SendMessage("back again");
    EXPECT_EQ(viewOf(call)->delivered("message"),
              QStringList{CallPage::jsString("A000000001\bAlice\bback again")});
}

TEST_F(CallMembershipTest, InvitingLeavesOutPeersTheLocalUserAndWhoCannotCall) {
    User *old = peer("A000000009", "Old");
    old->setVersion("4.2");
    old->setOSversion("Mac OS X Version 10.13.6");
    User *away = callable("A000000010", "Dave");
    Call *call = readyCallWithBob();
    FakeCallView *view = viewOf(call);
    view->pagePosts("invite");
    EXPECT_EQ(view->delivered("enableWindow"), QStringList{"\"0\""});
    EXPECT_TRUE(view->excluded.contains(bob));
    EXPECT_TRUE(view->excluded.contains(me));
    EXPECT_TRUE(view->excluded.contains(old));
    EXPECT_FALSE(view->excluded.contains(carol));
    EXPECT_FALSE(view->excluded.contains(away));

    view->inviteClose();
    view->inviteDone({carol, away});
    EXPECT_EQ(view->delivered("enableWindow"), (QStringList{"\"0\"", "\"0\"", "\"1\""}));
    ASSERT_NE(call->chat(), nullptr);
    EXPECT_EQ(call->chat()->currentUsers(), (QList<User *>{carol, away, bob}));
    EXPECT_EQ(call->peers(), (QList<User *>{bob, carol, away}));
    EXPECT_EQ(view->delivered("add").size(), 3);

    // Inviting nobody changes nothing but the page is enabled again.
    view->pagePosts("invite");
    view->inviteClose();
    view->inviteDone({});
    EXPECT_EQ(call->peers().size(), 3);
    EXPECT_EQ(view->delivered("enableWindow").last(), "\"1\"");
}

TEST_F(CallMembershipTest, ARoomTheConversationGrewIsFollowedByItsCall) {
    Call *call = readyCallWithBob();
    Chat *room = Chat::createWithUsers({bob, carol}, "808");
    call->conversationAddedUsers({carol}, room);
    EXPECT_EQ(call->chat(), room);
    EXPECT_EQ(call->user(), nullptr);
    EXPECT_EQ(call->peers(), (QList<User *>{bob, carol}));
    EXPECT_EQ(viewOf(call)->title, "Bob, Carol - Call");
    // Leaving the room's conversation ends its call.
    Call::closeCallWithChat(room);
    EXPECT_TRUE(call->isClosed());
    EXPECT_EQ(sentWord("TRTCACTIONCALLCLOSED").size(), 2u);
}

TEST_F(CallMembershipTest, LeavingWithPeersAsksFirstAndTellsEveryPeer) {
    Call *call = readyCallWithBob();
    call->callUser(carol);
    FakeCallView *view = viewOf(call);
    EXPECT_FALSE(call->windowShouldClose());
    ASSERT_EQ(view->confirmations.size(), 1u);
    view->answer(false);
    EXPECT_FALSE(call->isClosed());
    EXPECT_EQ(view->delivered("enableWindow"), (QStringList{"\"0\"", "\"1\""}));
    EXPECT_TRUE(sent.empty());

    EXPECT_FALSE(call->windowShouldClose());
    view->answer(true);
    EXPECT_TRUE(call->isClosed());
    EXPECT_TRUE(view->closed);
    EXPECT_GE(view->detached, 1);
    const auto out = sentWord("TRTCACTIONCALLCLOSED");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].to, bob);
    EXPECT_EQ(out[0].field(6), call->callId());
    EXPECT_EQ(out[1].to, carol);
    EXPECT_TRUE(Call::liveCalls().isEmpty());
    EXPECT_FALSE(Call::isWhereAnyOngoingCall());
    // A closed call takes nothing more.
    EXPECT_FALSE(call->postToJsMessage("name", "x"));
}

TEST_F(CallMembershipTest, AnIncomingCallClosedBeforeReadyAsksAndThenTellsTheCaller) {
    Call::aCallReceivedSomeData(data(bob, offer(bob->userId()), "88"));
    Call *call = Call::liveCalls().first();
    FakeCallView *view = viewOf(call);
    EXPECT_FALSE(call->windowShouldClose());
    EXPECT_FALSE(view->ringing);
    view->answer(true);
    ASSERT_EQ(sentWord("TRTCACTIONCALLCLOSED").size(), 1u);
    EXPECT_EQ(sentWord("TRTCACTIONCALLCLOSED")[0].field(6), "88");
}

TEST_F(CallMembershipTest, WithoutPeersTheWindowClosesAtOnce) {
    Call *call = readyCallWithBob();
    Call::aCallPeerClosedCall(closed(bob, call->callId()));
    EXPECT_TRUE(call->windowShouldClose());
    EXPECT_TRUE(viewOf(call)->confirmations.empty());
    EXPECT_TRUE(call->isClosed());
}

TEST_F(CallMembershipTest, QuittingEndsEveryCallAndTellsEveryPeer) {
    Call *one = readyCallWithBob();
    Call *two = Call::initCallForUser(carol, nullptr);
    Call::onApplicationTerminate();
    EXPECT_TRUE(one->isClosed());
    EXPECT_TRUE(two->isClosed());
    const auto out = sentWord("TRTCACTIONCALLCLOSED");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].to, bob);
    EXPECT_EQ(out[1].to, carol);
    // While the program quits no call opens.
    Call::aCallReceivedSomeData(data(bob, offer(bob->userId()), "90"));
    EXPECT_TRUE(Call::liveCalls().isEmpty());
    Call::setTerminating(false);
}

TEST_F(CallMembershipTest, APageThatNeverGetsReadyEndsTheCallWithALine) {
    Call::setReadyTimeout(50);
    Call *call = Call::initCallForUser(bob, nullptr);
    const QPointer<Call> guard(call);
    ASSERT_TRUE(waitUntil([&] { return !guard || guard->isClosed(); }, 3000));
    ASSERT_EQ(sentWord("TRTCACTIONCALLCLOSED").size(), 1u);
    const QList<LogEntry *> log = bob->lastLogEnties(1);
    ASSERT_EQ(log.size(), 1);
    auto *line = dynamic_cast<SystemMessage *>(log.first());
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->error());
    EXPECT_FALSE(line->text().isEmpty());
}

TEST_F(CallMembershipTest, ThePageLearnsNamesDeniedDevicesAndColours) {
    Call::setCameraDenied(true);
    Call *call = Call::initCallForUser(bob, nullptr);
    FakeCallView *view = viewOf(call);
    view->palette = {{"textColor", "rgba(1,1,1,1.00)"}};
    view->pagePosts("almostReady");
    EXPECT_TRUE(view->scripts.contains("macPrivacyDisable('Camera');"));
    EXPECT_FALSE(view->scripts.contains("macPrivacyDisable('Microphone');"));
    view->pagePosts("ready");
    me->setName("Alice \"A\" Smith");
    bob->setName("Robert");
    carol->setName("Caroline"); // no peer of this call
    EXPECT_EQ(view->delivered("name"), (QStringList{"\"Alice\"", "\"Alice \\\"A\\\" Smith\""}));
    EXPECT_EQ(view->delivered("rename"), QStringList{"\"A000000002\\u0008Robert\""});
    EXPECT_EQ(view->title, "Robert - Call");
    call->appearanceChanged();
    EXPECT_EQ(view->scripts.last(), CallPage::colourScript(view->palette));
    call->hideDropdowns();
    EXPECT_EQ(view->scripts.last(), "DeviceButton.hideAllDropdows();");
}

} // namespace

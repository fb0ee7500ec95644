// Call signalling: which call a packet reaches, the calls and rooms a packet opens, the ring,
// the page's first offer, refusals and peers leaving, and what is dropped (yet answered).
#include "CallTestSupport.h"
#include "core/model/Chat.h"
#include "core/model/SystemMessage.h"
#include "core/net/TCPserver.h"
#include "platform/defaults/Defaults.h"

#include <gtest/gtest.h>

namespace {

class CallSignallingTest : public CallFixture {};

QStringList texts(const PacketArray &a) {
    QStringList out;
    for (const PacketField &f : a) out.append(f.toString());
    return out;
}

TEST_F(CallSignallingTest, APacketReachesTheCallOfItsChatThenItsIdThenItsUser) {
    Chat *room = Chat::createWithUsers({bob, carol}, QStringLiteral("42"));
    Call *chatCall = Call::create(nullptr, room, QStringLiteral("100"), false);
    Call *bobCall = Call::create(bob, nullptr, QStringLiteral("200"), false);
    Call *carolCall = Call::create(carol, nullptr, QStringLiteral("300"), false);

    // By chat, whatever the id; the call takes the id.
    EXPECT_EQ(Call::findCallWithUser(carol, room, QStringLiteral("555")), chatCall);
    EXPECT_EQ(chatCall->callId(), "555");
    // By id when no call has the chat.
    Chat *other = Chat::createWithUsers({bob}, QStringLiteral("43"));
    EXPECT_EQ(Call::findCallWithUser(carol, other, QStringLiteral("200")), bobCall);
    EXPECT_EQ(bobCall->callId(), "200");
    // With a chat given, never by user.
    EXPECT_EQ(Call::findCallWithUser(bob, other, QStringLiteral("999")), nullptr);
    // By user, taking the id.
    EXPECT_EQ(Call::findCallWithUser(carol, nullptr, QStringLiteral("301")), carolCall);
    EXPECT_EQ(carolCall->callId(), "301");
    EXPECT_EQ(Call::findCallWithUser(carol, nullptr), carolCall);
    EXPECT_EQ(carolCall->callId(), "301");
    EXPECT_EQ(Call::findCallWithUser(nullptr, nullptr, QStringLiteral("1")), nullptr);
    EXPECT_EQ(Call::liveCalls().size(), 3);
    EXPECT_TRUE(Call::isWhereAnyOngoingCall());
}

TEST_F(CallSignallingTest, AnIncomingCallRingsKeepsTheFirstOfferAndQueuesUntilReady) {
    const PacketArray request = data(bob, offer(bob->userId()), QStringLiteral("77"));
    const PacketArray reply = Call::aCallReceivedSomeData(request);
    EXPECT_EQ(texts(reply), (QStringList{"TRTCACTIONRECV", "*", "pc-alice", "A000000001", "*", "A000000002",
                                         "0", "77\r\n0"}));
    ASSERT_EQ(Call::liveCalls().size(), 1);
    Call *call = Call::liveCalls().first();
    FakeCallView *view = viewOf(call);
    EXPECT_EQ(call->callId(), "77");
    EXPECT_EQ(call->user(), bob);
    EXPECT_EQ(call->peers(), QList<User *>{bob});
    EXPECT_TRUE(call->initiallyIncomingCall());
    EXPECT_TRUE(view->ringing);
    EXPECT_TRUE(view->shown);
    EXPECT_EQ(view->title, "Bob - Call");
    EXPECT_EQ(call->initialIncomingOfferStorage(), offer(bob->userId()));
    // Nothing reached the page before it is ready; the page's base is the fixed origin.
    EXPECT_TRUE(view->scripts.isEmpty());
    EXPECT_EQ(view->baseUrl, QUrl("https://call.murnavell.localhost/"));
    EXPECT_EQ(call->messagesQueue().size(), 3);

    view->pagePosts("almostReady");
    ASSERT_EQ(view->scripts.size(), 2);
    EXPECT_EQ(view->scripts[0], "document.body.oncontextmenu = e => e.preventDefault();");
    EXPECT_EQ(view->delivered("callers_name"), QStringList{*CallPage::jsObject(offer(bob->userId()))});
    view->scripts.clear();

    view->pagePosts("ready");
    EXPECT_EQ(view->scripts.size(), 3);
    EXPECT_EQ(view->delivered("uid"), QStringList{"\"A000000001\""});
    EXPECT_EQ(view->delivered("name"), QStringList{"\"Alice\""});
    EXPECT_EQ(view->delivered("rtc_msg"), QStringList{*CallPage::jsObject(offer(bob->userId()))});
    EXPECT_TRUE(view->scripts[0].contains("\"uid\"") && view->scripts[2].contains("\"rtc_msg\""));
    EXPECT_TRUE(call->messagesQueue().isEmpty());
    // The ring goes on until the user answers: the page's first text to the caller.
    EXPECT_TRUE(view->ringing);
    view->pagePosts(bob->userId(), QStringLiteral(R"({"type":"answer"})"));
    EXPECT_FALSE(view->ringing);
    ASSERT_EQ(sentWord("TRTCACTION").size(), 1u);

    // After "ready" the page gets everything at once.
    Call::aCallReceivedSomeData(data(bob, QStringLiteral(R"({"type":"state"})"), QStringLiteral("77")));
    EXPECT_EQ(view->delivered("rtc_msg").size(), 2);
}

TEST_F(CallSignallingTest, TheSoundSettingsDecideTheRing) {
    const struct {
        bool enabled, onCall, rings;
    } cases[] = {{true, true, true}, {true, false, false}, {false, true, false}};
    int id = 10;
    for (const auto &c : cases) {
        Defaults::standard().setValue("sounds.enabled", c.enabled);
        Defaults::standard().setValue("sounds.onCall", c.onCall);
        Call::aCallReceivedSomeData(data(bob, offer(bob->userId()), QString::number(++id)));
        ASSERT_EQ(Call::liveCalls().size(), 1);
        Call *call = Call::liveCalls().first();
        EXPECT_EQ(viewOf(call)->ringing, c.rings);
        call->windowClose();
    }
}

TEST_F(CallSignallingTest, AnotherIdFromTheSamePeerReachesTheCallAndBecomesItsId) {
    Call *call = Call::initCallForUser(bob, nullptr);
    ASSERT_NE(call, nullptr);
    Call::aCallReceivedSomeData(data(bob, offer(bob->userId()), QStringLiteral("9876")));
    EXPECT_EQ(Call::liveCalls(), QList<Call *>{call});
    EXPECT_EQ(call->callId(), "9876");
    EXPECT_EQ(FakeCallView::made(), 1);
    // The call button of the conversation brings the same call forward.
    EXPECT_EQ(Call::initCallForUser(bob, nullptr), call);
    EXPECT_EQ(viewOf(call)->raised, 1);
    EXPECT_EQ(FakeCallView::made(), 1);
}

TEST_F(CallSignallingTest, AnUnknownRoomIsMadeWithTheSenderAndRingsAsAChatCall) {
    Call::aCallReceivedSomeData(data(bob, offer(bob->userId()), QStringLiteral("5"), QStringLiteral("42")));
    Chat *room = Chat::findByChatRoomId(QStringLiteral("42"));
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(room->currentUsers(), QList<User *>{bob});
    ASSERT_EQ(Call::liveCalls().size(), 1);
    Call *call = Call::liveCalls().first();
    EXPECT_EQ(call->chat(), room);
    EXPECT_EQ(call->user(), nullptr);
    EXPECT_EQ(call->peers(), QList<User *>{bob});

    // A one-to-one call with Carol learns the room Carol announces, and stays one-to-one.
    Call *carolCall = Call::create(carol, nullptr, QStringLiteral("6"), false);
    Call::aCallReceivedSomeData(
        data(carol, offer(carol->userId()), QStringLiteral("6"), QStringLiteral("43")));
    EXPECT_EQ(carolCall->roomId(), "43");
    EXPECT_EQ(carolCall->user(), carol);
    EXPECT_EQ(Call::liveCalls().size(), 2);
}

TEST_F(CallSignallingTest, WhatCannotBeReadOpensNothingAndIsStillAnswered) {
    User *stranger = nullptr;
    const struct {
        const char *what;
        PacketArray packet;
    } cases[] = {
        {"unknown sender",
         {"TRTCACTION", "*", "pc", "A999999999", "*", "A000000001",
          CallPacket::encodePayload(offer("A999999999")), "1\r\n0"}},
        {"the local user as sender",
         {"TRTCACTION", "*", "pc", "A000000001", "*", "A000000001", CallPacket::encodePayload(offer("x")),
          "1\r\n0"}},
        {"no CR LF",
         {"TRTCACTION", "*", "pc", "A000000002", "*", "A000000001",
          CallPacket::encodePayload(offer("A000000002")), "1"}},
        {"odd length", {"TRTCACTION", "*", "pc", "A000000002", "*", "A000000001", "QUJD", "1\r\n42"}},
        {"not Base64",
         {"TRTCACTION", "*", "pc", "A000000002", "*", "A000000001", "});alert(1);({", "1\r\n42"}},
        {"not an object",
         {"TRTCACTION", "*", "pc", "A000000002", "*", "A000000001",
          CallPacket::encodePayload("});alert(1);({"), "1\r\n42"}},
        {"short", {"TRTCACTION", "*", "pc", "A000000002"}},
    };
    (void)stranger;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const PacketArray reply = Call::aCallReceivedSomeData(c.packet);
        EXPECT_EQ(reply.value(0).toString(), "TRTCACTIONRECV");
        EXPECT_EQ(reply.value(6).toString(), "0");
        EXPECT_EQ(reply.value(7).toString(), c.packet.value(7).toString());
        EXPECT_TRUE(Call::liveCalls().isEmpty());
        EXPECT_EQ(Chat::findByChatRoomId(QStringLiteral("42")), nullptr);
    }
    EXPECT_EQ(FakeCallView::made(), 0);
}

TEST_F(CallSignallingTest, ARefusalWritesTheErrorLineAndTakesThePeerOut) {
    Call *call = Call::initCallForUser(bob, nullptr);
    FakeCallView *view = viewOf(call);
    view->pagePosts("ready");
    call->callUser(carol);
    const QString callField = call->callId() + "\r\n0";

    // "0" needs nothing; an unknown call or a user who is no peer changes nothing.
    Call::aCallReceivedPacketReply(
        {"TRTCACTIONRECV", "*", "pc", bob->userId(), "*", "A000000001", "0", callField});
    Call::aCallReceivedPacketReply(
        {"TRTCACTIONRECV", "*", "pc", bob->userId(), "*", "A000000001", "1", "123\r\n0"});
    Call::aCallReceivedPacketReply(
        {"TRTCACTIONRECV", "*", "pc", "A999999999", "*", "A000000001", "1", callField});
    EXPECT_EQ(call->peers().size(), 2);
    EXPECT_TRUE(view->delivered("left").isEmpty());

    // "1" from Bob, with TCPserver's dispatch in between.
    TCPserver server(0, 0, false);
    Call::registerHandlers(server);
    EXPECT_TRUE(server
                    .dispatch({"TRTCACTIONRECV", "*", "pc", bob->userId(), "*", "A000000001", "1", callField},
                              "127.0.0.1")
                    .isEmpty());
    EXPECT_EQ(call->peers(), QList<User *>{carol});
    EXPECT_EQ(view->delivered("left"), QStringList{"\"A000000002\""});
    const QString line =
        "Bob is unable to accept your call due to restrictions imposed by the system administrator.";
    EXPECT_EQ(view->delivered("message"), QStringList{CallPage::jsString("A000000002\bBob\b" + line)});
    const QList<LogEntry *> log = bob->lastLogEnties(1);
    ASSERT_EQ(log.size(), 1);
    auto *system = dynamic_cast<SystemMessage *>(log.first());
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(system->text(), line);
    EXPECT_TRUE(system->error());
}

TEST_F(CallSignallingTest, ThePeerClosingAnUnansweredIncomingCallClosesItsWindow) {
    Call::aCallReceivedSomeData(data(bob, offer(bob->userId()), QStringLiteral("31")));
    Call *call = Call::liveCalls().first();
    FakeCallView *view = viewOf(call);
    view->pagePosts("ready");
    // Someone who is no peer, and an unknown call, change nothing; each is answered.
    EXPECT_EQ(texts(Call::aCallPeerClosedCall(closed(carol, "31"))),
              (QStringList{"TRTCACTIONCALLCLOSEDRECV", "*", "pc-alice", "A000000001", "*", "A000000003", "*",
                           "*"}));
    EXPECT_FALSE(Call::aCallPeerClosedCall(closed(bob, "32")).isEmpty());
    EXPECT_FALSE(call->isClosed());

    Call::aCallPeerClosedCall(closed(bob, "31"));
    EXPECT_TRUE(view->closed);
    EXPECT_FALSE(view->ringing);
    EXPECT_TRUE(Call::liveCalls().isEmpty());
    EXPECT_TRUE(sentWord("TRTCACTIONCALLCLOSED").empty()); // nobody left to tell
}

TEST_F(CallSignallingTest, AnAnsweredCallStaysOpenWhenTheLastPeerLeaves) {
    Call *call = Call::initCallForUser(bob, nullptr);
    FakeCallView *view = viewOf(call);
    view->pagePosts("ready");
    Call::aCallPeerClosedCall(closed(bob, call->callId()));
    EXPECT_FALSE(view->closed);
    EXPECT_TRUE(call->peers().isEmpty());
    EXPECT_EQ(view->title, "Call");
    EXPECT_EQ(view->delivered("left"), QStringList{"\"A000000002\""});
}

TEST_F(CallSignallingTest, TheLastPeerLeavingBeforeThePageIsReadyClosesTheCall) {
    Call *call = Call::initCallForUser(bob, nullptr);
    Call::aCallPeerClosedCall(closed(bob, call->callId()));
    EXPECT_TRUE(viewOf(call)->closed);
    EXPECT_TRUE(Call::liveCalls().isEmpty());
}

TEST_F(CallSignallingTest, PageTextsTravelToTheirPeerWithTheCallAndRoom) {
    Call *call = Call::initCallForUser(bob, nullptr);
    FakeCallView *view = viewOf(call);
    view->pagePosts("ready");
    EXPECT_EQ(view->delivered("add"), QStringList{"\"A000000002\\u0008Bob\""});
    const QString text = QStringLiteral(R"({"v":1,"type":"offer","name":"Ann ✓ 😀"})");
    view->pagePosts(bob->userId(), text);
    view->pagePosts(QStringLiteral("A999999999"), text); // nobody this copy knows
    view->pagePosts(QStringLiteral("A000000001"), text); // the local user
    const auto out = sentWord("TRTCACTION");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, bob);
    EXPECT_EQ(out[0].field(5), bob->userId());
    EXPECT_EQ(CallPacket::decodePayload(out[0].field(6)), text);
    EXPECT_EQ(out[0].field(7), call->callId() + "\r\n0");

    Chat *room = Chat::createWithUsers({bob, carol}, QStringLiteral("4242"));
    Call *chatCall = Call::initCallForUser(nullptr, room);
    EXPECT_EQ(chatCall->peers(), (QList<User *>{bob, carol}));
    viewOf(chatCall)->pagePosts(carol->userId(), text);
    EXPECT_EQ(sentWord("TRTCACTION").back().field(7), chatCall->callId() + "\r\n4242");
}

TEST_F(CallSignallingTest, ThePacketsTakeTheRoadThroughTheServersDispatch) {
    TCPserver server(0, 0, false);
    Call::registerHandlers(server);
    const PacketArray reply = server.dispatch(data(bob, offer(bob->userId()), "61"), "127.0.0.1");
    EXPECT_EQ(reply.value(0).toString(), "TRTCACTIONRECV");
    ASSERT_EQ(Call::liveCalls().size(), 1);
    viewOf(Call::liveCalls().first())->pagePosts("ready");
    EXPECT_EQ(server.dispatch(closed(bob, "61"), "127.0.0.1").value(0).toString(),
              "TRTCACTIONCALLCLOSEDRECV");
    EXPECT_TRUE(Call::liveCalls().isEmpty());
}

} // namespace

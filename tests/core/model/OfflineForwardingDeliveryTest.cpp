// Deliveries of held copies through the TCP server to a raw peer on loopback: only the
// recipient's own "TMR" drops it from the copy; every other outcome keeps the copy.
#include "core/model/OfflineForwardingSupport.h"
#include "core/net/TCPserver.h"

namespace {

const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");

QByteArray line(const PacketArray &fields) { return KDTPacket::PlainPackeFromArray(fields) + "\r\n"; }

class OfflineForwardingDeliveryTest : public ForwardingFixture {
protected:
    void SetUp() override {
        ForwardingFixture::SetUp();
        MessageForForwarding::setPacketSender({}); // through the TCP server
        server = std::make_unique<TCPserver>(0, TCPserver::DefaultPort, false);
        TCPserver::setShared(server.get());
        ASSERT_TRUE(server->isListening());
        bob = peer(kBob, QStringLiteral("Bob"));
        carol = peer(kCarol, QStringLiteral("Carol"));
        scheduled.clear();
    }
    void TearDown() override {
        TCPserver::setShared(nullptr);
        server.reset();
        ForwardingFixture::TearDown();
    }
    std::unique_ptr<TCPserver> server;
    User *bob = nullptr, *carol = nullptr;
};

struct OutcomeCase {
    const char *what;
    QByteArray reply;  // what the peer answers; empty: it closes without a word
    bool peerListens;  // false: nobody at the port
    bool confirmed;    // Carol leaves the copy
    bool carolOffline; // the failure set her offline
};

TEST_F(OfflineForwardingDeliveryTest, OnlyTheRecipientsOwnReceiptConfirmsADelivery) {
    const QList<OutcomeCase> cases = {
        {"the recipient's receipt", line({"TMR", "*", "pc", kCarol, "*", "A000000001", "*", "*"}), true, true,
         false},
        {"a receipt from another user there",
         line({"TMR", "*", "pc", "A000000066", "*", "A000000001", "*", "*"}), true, false, true},
        {"a receipt without an id", line({"TMR", "*", "pc", "*", "*", "A000000001", "*", "*"}), true, false,
         true},
        {"an answer that is no receipt", line({"TSI", "*", "pc", kCarol, "*", "A000000001", "x", "*"}), true,
         false, true},
        {"closed without an answer", QByteArray(), true, false, false},
        {"nobody listening", QByteArray(), false, false, true},
    };
    for (const OutcomeCase &c : cases) {
        SCOPED_TRACE(c.what);
        carol->setStatus(QStringLiteral("0"));
        scheduled.clear();
        MessageForForwarding *copy = hold(321, bob, {carol, bob}, 1'700'000'000, QStringLiteral("kept safe"));
        saveContextIfChanged();
        std::unique_ptr<rawnet::OneShotPeer> peerSide;
        if (c.peerListens) {
            peerSide = std::make_unique<rawnet::OneShotPeer>(c.reply);
            server->setConnectPort(peerSide->port());
        } else {
            rawnet::OneShotPeer gone;
            server->setConnectPort(gone.port()); // closed again at once
        }
        int delivered = 0, failed = 0;
        auto c1 = QObject::connect(server.get(), &TCPserver::delivered, [&] { ++delivered; });
        auto c2 = QObject::connect(server.get(), &TCPserver::deliveryFailed, [&] { ++failed; });
        MessageForForwarding::sendWithPredicate(
            [copy](const MessageForForwarding *m) { return m == copy; }); // Bob's delivery is not under test
        ASSERT_GE(scheduled.size(), 1u);
        scheduled.front().block();
        scheduled.clear();
        ASSERT_TRUE(waitUntil([&] { return server->outgoingConnectionCount() == 0; }, 25000));
        spinFor(20);
        QObject::disconnect(c1);
        QObject::disconnect(c2);
        if (peerSide) {
            const QStringList request = readBack(peerSide->request().chopped(2));
            EXPECT_EQ(request, (QStringList{"TSFM", "321", "1700003600", me->userId(), "Bob", kCarol,
                                            "kept safe", kBob}));
        }
        EXPECT_EQ(delivered, c.confirmed ? 1 : 0);
        EXPECT_FALSE(copy->isDeleted()); // Bob still waits for it
        EXPECT_EQ(copy->recipients().contains(carol), !c.confirmed);
        EXPECT_EQ(carol->userOffline(), c.carolOffline);
        EXPECT_FALSE(ctx->hasChanges());
        ctx->deleteObject(copy);
        saveContextIfChanged();
    }
}

TEST_F(OfflineForwardingDeliveryTest, TheLastRecipientsReceiptDeletesTheCopy) {
    rawnet::OneShotPeer peerSide(line({"TMR", "*", "pc", kCarol, "*", "A000000001", "*", "*"}));
    server->setConnectPort(peerSide.port());
    MessageForForwarding *copy = hold(322, bob, {carol}, 1'700'000'000);
    saveContextIfChanged();
    MessageForForwarding::sendOnTimer();
    ASSERT_EQ(scheduled.size(), 1u);
    runScheduled();
    ASSERT_TRUE(
        waitUntil([&] { return copy->isDeleted() && server->outgoingConnectionCount() == 0; }, 10000));
    EXPECT_FALSE(ctx->hasChanges());
    EXPECT_TRUE(MessageForForwarding::findByMessageId(ctx, 322).isEmpty());
}

} // namespace

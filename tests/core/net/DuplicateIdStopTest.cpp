// Networking stopped because another copy uses the local user's id stays stopped whatever would
// restart it, until the user signs in again; after that the rule holds as before.
#include "PresenceTestSupport.h"

#include "core/net/TCPserver.h"
#include "platform/runloop/Timer.h"

#include <functional>

namespace {

// The type words of the frames.
QStringList words(const QList<QByteArray> &frames) {
    QStringList out;
    for (const QByteArray &frame : frames) {
        KDTPacket::resetRecentIds();
        const std::optional<PacketArray> array = KDTPacket::ArrayFromBase64AESdata(frame);
        out << (array && !array->isEmpty() ? array->first().toString() : QStringLiteral("?"));
    }
    return out;
}

class DuplicateIdStopTest : public PresenceFixture {
protected:
    void SetUp() override {
        PresenceFixture::SetUp();
        ASSERT_TRUE(peer.ok());
        UDPserver::setDefaultBroadcastsFunction([] { return QStringList{QStringLiteral("127.0.0.1")}; });
        server = std::make_unique<UDPserver>(0, peer.port());
        tcp = std::make_unique<TCPserver>(0, 0, false);
        TCPserver::setShared(tcp.get());
        QObject::connect(list.get(), &UserList::networkingChanged, list.get(),
                         [this](bool on) { changes.push_back(on); });
        ASSERT_TRUE(tcp->isListening());
        ASSERT_TRUE(server->isWorking());
        // The listener's start began presence work: its "UI" went out.
        ASSERT_EQ(words(peer.collect(1)), QStringList{QStringLiteral("UI")});
    }
    void TearDown() override {
        TCPserver::setShared(nullptr);
        tcp.reset();
        PresenceFixture::TearDown();
    }
    // A datagram from another copy that uses the local user's id.
    void duplicateHeard() {
        KDTPacket::resetRecentIds();
        list->UpdateUserDataWithUDP(presence(
            QStringLiteral("UI"), QStringLiteral("0"), me->userId(), QStringLiteral("*"),
            QStringLiteral("Twin"), QString::number(me->sessionId() + 1), QStringLiteral("127.0.0.9")));
    }
    // Whether a refresh from a peer is answered: the copy hears and speaks on UDP.
    bool answersPresence() {
        peer.take();
        if (server->receivePort() == 0) return false;
        RawPeer other;
        PacketArray rl;
        for (const QString &f :
             presence(QStringLiteral("RL"), QStringLiteral("0"), QStringLiteral("A700000001"),
                      QStringLiteral("*"), QStringLiteral("Peer"), QStringLiteral("5"), QString()))
            rl << PacketField(f);
        rl.removeLast();
        KDTPacket::resetRecentIds();
        other.sendTo(server->receivePort(), KDTPacket::PlainPackeFromArray(rl));
        return !peer.collect(1, 400).isEmpty();
    }
    bool networkingOn() { return tcp->isListening() || server->isWorking() || answersPresence(); }

    RawPeer peer;
    std::unique_ptr<TCPserver> tcp;
    std::vector<bool> changes;
};

TEST_F(DuplicateIdStopTest, NothingButTheSignInEndsTheStop) {
    duplicateHeard();
    ASSERT_TRUE(list->networkingStopped());
    EXPECT_FALSE(networkingOn());

    struct Restart {
        const char *what;
        std::function<void()> run;
    };
    const std::vector<Restart> restarts = {
        {"a network change 5 s later",
         [&] {
             tcp->run5secondTimer();
             ASSERT_NE(tcp->networkChangeTimer(), nullptr);
             tcp->networkChangeTimer()->fire();
         }},
        {"the listeners restarted directly", [&] { tcp->adaptersChanged(); }},
        {"a wake", [&] { tcp->onSystemPowerChange(false); }},
        {"the timer 120 s after a sleep",
         [&] {
             tcp->onSystemPowerChange(true);
             ASSERT_NE(tcp->postSleepRestartTimer(), nullptr);
             tcp->postSleepRestartTimer()->fire();
         }},
        {"the listen retry", [&] { tcp->turnONserver(); }},
        {"a socket rebuild that was pending",
         [&] {
             server->resetSocketsWithDelay();
             ASSERT_NE(server->resetTimer(), nullptr);
             server->resetTimer()->fire();
         }},
        {"presence work begun", [&] { server->beginWork(); }},
    };
    for (const Restart &r : restarts) {
        r.run();
        EXPECT_TRUE(list->networkingStopped()) << r.what;
        EXPECT_FALSE(tcp->isListening()) << r.what;
        EXPECT_FALSE(server->isWorking()) << r.what;
        EXPECT_FALSE(answersPresence()) << r.what;
    }
    // Another duplicate while stopped changes nothing and is not announced twice.
    duplicateHeard();
    EXPECT_FALSE(networkingOn());
    EXPECT_EQ(changes, std::vector<bool>{false});

    // The user's sign-in: everything runs again, with a fresh announcement.
    list->signInButtonClicked();
    EXPECT_FALSE(list->networkingStopped());
    EXPECT_TRUE(tcp->isListening());
    EXPECT_TRUE(server->isWorking());
    EXPECT_EQ(words(peer.collect(1)), QStringList{QStringLiteral("UI")});
    EXPECT_TRUE(answersPresence());
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));

    // And the rule holds for the next duplicate, after any restart in between.
    tcp->adaptersChanged();
    duplicateHeard();
    EXPECT_TRUE(list->networkingStopped());
    EXPECT_FALSE(networkingOn());
    EXPECT_EQ(changes, (std::vector<bool>{false, true, false}));
}

} // namespace

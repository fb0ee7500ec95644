#include "core/net/TCPserver.h"
#include "core/net/TCPserverTestSupport.h"
#include "core/wire/KDTAES.h"
#include "core/wire/TextCodec.h"
#include "core/wire/UserInfoPacket.h"
#include "support/FileSizeLimit.h"
#include "transport/SocketError.h"
#include "transport/TcpSocket.h"

#include <QTimeZone>

namespace {

const QString kBob = QStringLiteral("A000000002");

QStringList texts(const PacketArray &a) {
    QStringList out;
    for (const PacketField &f : a) out.append(f.toString());
    return out;
}

QByteArray line(const PacketArray &fields) { return KDTPacket::PlainPackeFromArray(fields) + "\r\n"; }

// The fields of a reply line, or nullopt.
std::optional<PacketArray> readBack(const QByteArray &reply) {
    return KDTPacket::ArrayFromBase64AESdata(reply);
}

class TCPserverTest : public MessagingFixture {
protected:
    void SetUp() override {
        MessagingFixture::SetUp();
        server = std::make_unique<TCPserver>(0, TCPserver::DefaultPort, false);
        TCPserver::setShared(server.get());
        ASSERT_TRUE(server->isListening());
        port = server->listeningPort();
        ASSERT_NE(port, 0);
        bob = peer(kBob, QStringLiteral("Bob"));
    }
    void TearDown() override {
        TCPserver::setShared(nullptr);
        server.reset();
        Timer::setNowFunction({});
        MessagingFixture::TearDown();
    }
    PacketArray tsm(const QString &id, const QString &text = QStringLiteral("hi")) {
        return {"TSM", id, "pc-bob", kBob, "*", me->userId(), encodeTextFieldFor(text), "*"};
    }
    static PacketField encodeTextFieldFor(const QString &text);

    std::unique_ptr<TCPserver> server;
    std::uint16_t port = 0;
    User *bob = nullptr;
};

PacketField TCPserverTest::encodeTextFieldFor(const QString &text) { return encodeTextField(text); }

struct RouteCase {
    const char *word;
    QString expectedReply; // empty: the connection closes without a frame
};

TEST_F(TCPserverTest, TheDispatchTableAnswersEachWord) {
    // Later work plugs into these rows; the test's handlers answer with a marker word.
    QStringList reached;
    for (const QString &word : TCPserver::pluggableWords())
        server->setHandler(word, [&reached, word](const PacketArray &, const QString &) {
            reached.append(word);
            return PacketArray{word + QStringLiteral("-ANSWER"), "*", "pc", "A000000001", "*", "*", "*", "*"};
        });
    const QList<RouteCase> cases = {
        {"TSM", "TMR"},
        {"TMM", "TMR"},
        {"TSOM", "TMR"},
        {"TSFM", "TMR"},
        {"TSOMM", "TMR"},
        {"TSFMM", "TMR"},
        {"TRI", "TSI"},
        {"TSI", ""},
        {"TMR", ""},
        {"TRTCACTION", "TRTCACTION-ANSWER"},
        {"TRTCACTIONCALLCLOSED", "TRTCACTIONCALLCLOSED-ANSWER"},
        {"TRTCACTIONRECV", ""},
        {"CRJR", "CRJR-ANSWER"},
        {"CRGRR", ""},
        {"CRGRI", "CRGRI-ANSWER"},
        {"CRSM", "CRSM-ANSWER"},
        {"CRLR", "CRLR-ANSWER"},
        {"CRRR", ""},
        {"CRSMR", ""},
        {"CRLRR", ""},
        {"TRTCACTIONCALLCLOSEDRECV", ""},
        {"NOSUCHWORD", ""},
    };
    int id = 1000;
    for (const RouteCase &c : cases) {
        SCOPED_TRACE(c.word);
        const PacketArray request = {c.word, QString::number(++id), "pc-bob", kBob,
                                     "*",    me->userId(),          "x",      "*"};
        const QByteArray reply = rawnet::exchange(port, line(request));
        if (c.expectedReply.isEmpty()) {
            EXPECT_TRUE(reply.isEmpty()) << reply.toStdString();
            continue;
        }
        ASSERT_TRUE(reply.endsWith("\r\n"));
        const std::optional<PacketArray> fields = readBack(reply);
        ASSERT_TRUE(fields);
        EXPECT_EQ(fields->at(0).toString(), c.expectedReply);
    }
    EXPECT_EQ(reached, (QStringList{"TRTCACTION", "TRTCACTIONCALLCLOSED", "TRTCACTIONRECV", "CRJR", "CRGRR",
                                    "CRGRI", "CRSM", "CRLR"}));
    EXPECT_TRUE(waitUntil([&] { return server->acceptedConnectionCount() == 0; }));
}

TEST_F(TCPserverTest, ReceiptAndInfoRepliesByteForByte) {
    const QByteArray tmr = rawnet::exchange(port, line(tsm("4242", QStringLiteral("Привет 😀"))));
    const std::optional<PacketArray> receipt = readBack(tmr);
    ASSERT_TRUE(receipt);
    EXPECT_EQ(texts(*receipt), (QStringList{"TMR", "*", "pc-alice", "A000000001", "*", kBob, "*", "*"}));
    Message *stored = Message::findByMessageId(ctx, 4242);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->message(), QStringLiteral("Привет 😀"));
    EXPECT_FALSE(stored->isInserted()); // saved before the reply

    // "TRI" for the local user from a known user: the "TSI" with the block.
    const PacketArray tri = {"TRI", "*", "pc-bob", kBob, "*", me->userId(), "*", "*"};
    const std::optional<PacketArray> tsi = readBack(rawnet::exchange(port, line(tri)));
    ASSERT_TRUE(tsi);
    const auto values = [this](const QString &key) {
        const QVariant v = me->value(key);
        return v.isValid() && !v.isNull() ? v.toString() : QString();
    };
    const PacketArray expected = UserInfoPacket::MyUserInfoFor(values, kBob, bob->UTF8compatible());
    EXPECT_EQ(texts(*tsi), texts(expected));
    // For another user: closed. From an unknown user: the line end alone.
    const PacketArray triOther = {"TRI", "*", "pc-bob", kBob, "*", "A000000077", "*", "*"};
    EXPECT_EQ(rawnet::exchange(port, line(triOther)), QByteArray());
    const PacketArray triUnknown = {"TRI", "*", "pc-x", "A000000066", "*", me->userId(), "*", "*"};
    EXPECT_EQ(rawnet::exchange(port, line(triUnknown)), QByteArray("\r\n"));
}

TEST_F(TCPserverTest, BadInputClosesTheConnectionAndStoresNothing) {
    const QByteArray good = line(tsm("5151"));
    struct Case {
        const char *what;
        QByteArray bytes;
    };
    // A hand-over reads the author's name in field 7; "TSM" and "TMM" would take seven fields.
    const PacketArray seven = {"TSOM", kBob, "5252", kBob, "1700000000", me->userId(), "x"};
    // Seven fields cannot be framed by the writer: build the frame by hand.
    PacketArray raw = {"8", "1234567"};
    raw.append(seven);
    raw.append(PacketField(QByteArray(1, '\0')));
    const QByteArray shortFrame = KDTAES::encryptArrayForPacket(raw) + "\r\n";
    ASSERT_TRUE(rawnet::exchange(port, good).endsWith("\r\n"));
    const int before = all<Message>().size();
    const QList<Case> cases = {
        {"garbage", QByteArray("this is no frame\x1f\x1f\r\n")},
        {"a repeated frame", good},
        {"a hand-over of seven fields", shortFrame},
        {"an empty line", QByteArray("\r\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bool closed = false;
        EXPECT_EQ(rawnet::exchange(port, c.bytes, &closed), QByteArray());
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(all<Message>().size(), before);
    EXPECT_FALSE(User::messageIdExists(ctx, 5252));
}

TEST_F(TCPserverTest, AMessageThatCannotBeStoredIsRefusedWithAReset) {
    ASSERT_TRUE(saveContextIfChanged());
    {
        FileSizeLimit diskFull;
        ASSERT_TRUE(diskFull.active());
        // No receipt, and no orderly close either: that would tell the sender we are there and
        // took nothing, and it would neither keep nor hand over its message.
        const rawnet::ExchangeEnd end = rawnet::exchangeWithEnd(port, line(tsm("5353")));
        EXPECT_TRUE(end.reply.isEmpty()) << end.reply.toStdString();
        EXPECT_TRUE(end.reset);
    }
    EXPECT_FALSE(User::messageIdExists(ctx, 5353));
    // Asked again with room on the disk: stored, then answered.
    const std::optional<PacketArray> receipt = readBack(rawnet::exchange(port, line(tsm("5353"))));
    ASSERT_TRUE(receipt);
    EXPECT_EQ(receipt->at(0).toString(), QStringLiteral("TMR"));
    ASSERT_NE(Message::findByMessageId(ctx, 5353), nullptr);
    EXPECT_FALSE(Message::findByMessageId(ctx, 5353)->isInserted());
}

TEST_F(TCPserverTest, SevenFieldMessagesAreStoredAndAnswered) {
    for (const char *word : {"TSM", "TMM"}) {
        SCOPED_TRACE(word);
        const qint64 id = word == QLatin1String("TSM") ? 5454 : 5455;
        // Seven fields cannot be framed by the writer: build the frame by hand.
        PacketArray raw = {"8", QString::number(1234000 + id)}; // the fields and the NUL
        raw.append(PacketArray{word, QString::number(id), "pc-bob", kBob, "*", me->userId(), "seven"});
        raw.append(PacketField(QByteArray(1, '\0')));
        const std::optional<PacketArray> receipt =
            readBack(rawnet::exchange(port, KDTAES::encryptArrayForPacket(raw) + "\r\n"));
        ASSERT_TRUE(receipt);
        EXPECT_EQ(texts(*receipt), (QStringList{"TMR", "*", "pc-alice", "A000000001", "*", kBob, "*", "*"}));
        Message *m = Message::findByMessageId(ctx, id);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->message(), QStringLiteral("seven"));
    }
}

TEST_F(TCPserverTest, ALineWithoutLineEndIsBounded) {
    // More than the bound, without CR LF: the server closes instead of buffering it all.
    QByteArray big(int(TCPserver::MaxLineLength) + 1024 * 1024, 'A');
    auto future = std::async(std::launch::async, [this, &big] {
        const int fd = rawnet::connectLoopback(port);
        const bool sent = rawnet::sendAll(fd, big);
        const QByteArray rest = rawnet::readUntilClosed(fd, 3000);
        ::close(fd);
        return !sent || rest.isEmpty();
    });
    ASSERT_TRUE(waitUntil(
        [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
    EXPECT_TRUE(future.get());
    EXPECT_TRUE(waitUntil([&] { return server->acceptedConnectionCount() == 0; }));
    EXPECT_TRUE(all<Message>().isEmpty());
}

TEST_F(TCPserverTest, AtTheCapConnectionsWaitInsteadOfBeingClosed) {
    const int extra = 8;
    std::vector<int> fds;
    // From many hosts, each within what one host may hold.
    for (int i = 0; i < TCPserver::MaxAcceptedConnections + extra; ++i) {
        const QByteArray source = "127.0.1." + QByteArray::number(1 + i / 4);
        fds.push_back(rawnet::connectLoopbackFrom(port, source.constData()));
    }
    ASSERT_EQ(std::count(fds.begin(), fds.end(), -1), 0);
    EXPECT_TRUE(
        waitUntil([&] { return server->acceptedConnectionCount() == TCPserver::MaxAcceptedConnections; }));
    spinFor(200);
    EXPECT_EQ(server->acceptedConnectionCount(), TCPserver::MaxAcceptedConnections);
    // Nobody was closed: the extra ones wait in the backlog.
    int closedByServer = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        char c;
        if (::poll(&p, 1, 0) > 0 && ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0) ++closedByServer;
    }
    EXPECT_EQ(closedByServer, 0);
    // The waiting ones send their messages; as held ones go, they are taken in and answered.
    const std::vector<int> waiting(fds.end() - extra, fds.end());
    for (int i = 0; i < extra; ++i) rawnet::sendAll(waiting[i], line(tsm(QString::number(5600 + i))));
    for (int i = 0; i < extra; ++i) ::close(fds[i]);
    auto answers = std::async(std::launch::async, [&waiting] {
        QList<QByteArray> out;
        for (int fd : waiting) out.append(rawnet::readUntilClosed(fd, 8000));
        return out;
    });
    ASSERT_TRUE(waitUntil(
        [&] { return answers.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000));
    const QList<QByteArray> replies = answers.get();
    for (int i = 0; i < extra; ++i) {
        SCOPED_TRACE(i);
        const std::optional<PacketArray> receipt = readBack(replies.at(i));
        ASSERT_TRUE(receipt);
        EXPECT_EQ(receipt->at(0).toString(), QStringLiteral("TMR"));
        EXPECT_NE(Message::findByMessageId(ctx, 5600 + i), nullptr);
    }
    for (int fd : fds) ::close(fd);
    EXPECT_TRUE(waitUntil([&] { return server->acceptedConnectionCount() == 0; }));
}

struct DeliveryCase {
    const char *what;
    QString replySender; // field 3 of the "TMR"; empty: no reply
    bool delivered;
    bool reset = false; // the peer resets the connection instead of closing it
};

TEST_F(TCPserverTest, OnlyTheRecipientsReceiptConfirmsADelivery) {
    const QList<DeliveryCase> cases = {
        {"the recipient", kBob, true},
        {"a lenient peer", "*", true},
        {"another user at that address", "A000000055", false},
        {"a peer that could not store it", "", false, true},
    };
    for (const DeliveryCase &c : cases) {
        SCOPED_TRACE(c.what);
        rawnet::OneShotPeer peerSide({}, 1, c.reset);
        peerSide.replyFor = [&c](const QByteArray &) {
            if (c.replySender.isEmpty()) return QByteArray();
            return line({"TMR", "*", "pc-bob", c.replySender, "*", "A000000001", "*", "*"});
        };
        server->setConnectPort(peerSide.port());
        bob->setStatus(QStringLiteral("0"));
        handOvers.clear();
        int delivered = 0, failed = 0;
        auto c1 = QObject::connect(server.get(), &TCPserver::delivered, [&] { ++delivered; });
        auto c2 = QObject::connect(server.get(), &TCPserver::deliveryFailed, [&] { ++failed; });
        Message *m = bob->SendMessage(QStringLiteral("Привет 👋"));
        ASSERT_TRUE(
            waitUntil([&] { return delivered + failed == 1 && server->outgoingConnectionCount() == 0; }));
        QObject::disconnect(c1);
        QObject::disconnect(c2);
        // What went out, field by field.
        const std::optional<PacketArray> sent = readBack(peerSide.request());
        ASSERT_TRUE(sent);
        EXPECT_EQ(texts(*sent), (QStringList{"TSM", QString::number(m->messageId()), "pc-alice", "A000000001",
                                             "*", kBob, "Привет 👋", "*"}));
        EXPECT_EQ(delivered, c.delivered ? 1 : 0);
        EXPECT_EQ(bob->userOffline(), !c.delivered);
        // Confirmed: the author's copy that waited for the receipt is gone.
        if (c.delivered) {
            EXPECT_TRUE(MessageForForwarding::findByMessageId(ctx, m->messageId()).isEmpty());
        }
        EXPECT_EQ(handOvers.size(), c.delivered ? 1u : 2u); // the send's own check, then the failure's
        if (!c.delivered) {
            EXPECT_EQ(bob->status(), QStringLiteral("10"));
            EXPECT_EQ(handOvers.back().second, m);
        }
    }
}

TEST_F(TCPserverTest, FailedConnectionsMarkTheRecipientOffline) {
    struct Case {
        const char *what;
        QString ip;
        std::uint16_t port;
    };
    // A port nobody listens on (taken and released), and no address at all.
    std::uint16_t closedPort = 0;
    {
        rawnet::OneShotPeer gone;
        closedPort = gone.port();
    }
    const QList<Case> cases = {
        {"refused", "127.0.0.1", closedPort},
        {"no address", "", closedPort},
        {"not an address", "no such host name.invalid", closedPort},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bob->setIp(c.ip);
        bob->setStatus(QStringLiteral("0"));
        server->setConnectPort(c.port);
        handOvers.clear();
        Message *m = bob->SendMessage(QStringLiteral("lost?"));
        ASSERT_TRUE(waitUntil([&] { return bob->userOffline() && server->outgoingConnectionCount() == 0; }));
        EXPECT_EQ(bob->status(), QStringLiteral("10"));
        ASSERT_EQ(handOvers.size(), 2u);
        EXPECT_EQ(handOvers.back().second, m);
        EXPECT_NE(Message::findByMessageId(ctx, m->messageId()), nullptr); // the history keeps it
    }
}

TEST_F(TCPserverTest, AMassMessageKeepsACopyForAnOnlineRecipientWhoseHandOverFailedAtOnce) {
    // Carol is offline; Bob looks online but has no address, so the hand-over of Carol's copy
    // to him fails within the call, before his own packet goes out.
    User::setOfflineHandOverHandler({}); // the real hand-over
    User *carol = peer(QStringLiteral("A000000003"), QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
    bob->setIp(QString());
    Message *m = bob->SendMessage(QStringLiteral("for you both"), QList<User *>{bob, carol});
    ASSERT_NE(m, nullptr);
    ASSERT_TRUE(waitUntil([&] { return server->outgoingConnectionCount() == 0; }));
    EXPECT_TRUE(bob->userOffline());
    // A copy waits for each of them, saved.
    QStringList heldFor;
    for (MessageForForwarding *held : all<MessageForForwarding>()) {
        if (held->isDeleted()) continue;
        EXPECT_FALSE(held->hasChanges());
        for (const User *u : held->recipients()) heldFor.append(u->name());
    }
    heldFor.sort();
    EXPECT_EQ(heldFor, (QStringList{QStringLiteral("Bob"), QStringLiteral("Carol")}));
}

TEST_F(TCPserverTest, AnArrayWithoutFrameStillSendsTheLineEnd) {
    rawnet::OneShotPeer peerSide;
    server->setConnectPort(peerSide.port());
    PacketArray noFrame = User::infoRequestPacket(bob);
    noFrame[5] = QString(); // an empty field: no frame can be made
    server->SendTCPpacket(KDTPacket::PlainPackeFromArray(noFrame), bob, nullptr);
    ASSERT_TRUE(waitUntil([&] { return peerSide.done() && server->outgoingConnectionCount() == 0; }));
    EXPECT_EQ(peerSide.request(), QByteArray("\r\n"));
    EXPECT_FALSE(bob->userOffline()); // the peer closed: nothing is known about it
}

TEST_F(TCPserverTest, APeerThatClosesWithoutReplyIsNotMarkedAndGetsTheMessageLater) {
    std::vector<std::pair<QStringList, User *>> runSent;
    MessageForForwarding::setPacketSender([&](const QByteArray &frame, User *to, ManagedObject *) {
        QStringList fields;
        if (const auto a = KDTPacket::ArrayFromBase64AESdata(frame)) fields = texts(*a);
        runSent.push_back({fields, to});
    });
    MessageForForwarding::setScheduler([](int, std::function<void()> block) { block(); });
    rawnet::OneShotPeer peerSide; // reads the line, answers nothing
    server->setConnectPort(peerSide.port());
    Message *m = bob->SendMessage(QStringLiteral("x"));
    // While its own delivery is under way, a run leaves the message to it.
    MessageForForwarding::sendOnTimer();
    EXPECT_TRUE(runSent.empty());
    ASSERT_TRUE(waitUntil([&] { return peerSide.done() && server->outgoingConnectionCount() == 0; }));
    EXPECT_FALSE(bob->userOffline());
    // No receipt: the author's copy still waits for Bob, and the next run delivers it.
    MessageForForwarding::sendOnTimer();
    ASSERT_EQ(runSent.size(), 1u);
    EXPECT_EQ(runSent[0].second, bob);
    EXPECT_EQ(runSent[0].first.value(0), QStringLiteral("TSFM"));
    EXPECT_EQ(runSent[0].first.value(1), QString::number(m->messageId()));
    MessageForForwarding::setPacketSender({});
    MessageForForwarding::setScheduler({});
    MessageForForwarding::resetPendingDeliveries();
}

TEST_F(TCPserverTest, DisconnectErrorsAreClassifiedByDomainAndCode) {
    struct Case {
        SocketError error;
        bool offline;
    };
    const QList<Case> cases = {
        {SocketError(), false},
        {SocketError(kTcpSocketErrorDomain, TcpSocketClosedError, "closed"), false},
        {SocketError(kTcpSocketErrorDomain, TcpSocketNoError, "none"), false},
        {SocketError(kTcpSocketPosixErrorDomain, 7, "Argument list too long"), true},
        {SocketError(kTcpSocketPosixErrorDomain, 111, "Connection refused"), true},
        {SocketError(kTcpSocketErrorDomain, TcpSocketConnectTimeoutError, "timeout"), true},
        {SocketError(kTcpSocketErrorDomain, TcpSocketReadTimeoutError, "timeout"), true},
        {SocketError(kTcpSocketErrorDomain, TcpSocketReadMaxedOutError, "too long"), true},
        {SocketError(kTcpSocketGaiErrorDomain, 7, "lookup"), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE((c.error.domain() + QLatin1Char(' ') + QString::number(c.error.code())).toStdString());
        EXPECT_EQ(TCPserver::isOfflineError(c.error), c.offline);
    }
}

TEST_F(TCPserverTest, AHeldCopyLosesTheRecipientThatConfirmed) {
    User *carol = peer(QStringLiteral("A000000003"), QStringLiteral("Carol"));
    auto *held = ctx->insert<MessageForForwarding>();
    held->setMessageId(77);
    held->addRecipientsObject(bob);
    held->addRecipientsObject(carol);
    saveContextIfChanged();
    for (User *recipient : {bob, carol}) {
        rawnet::OneShotPeer peerSide(
            line({"TMR", "*", "pc", recipient->userId(), "*", "A000000001", "*", "*"}));
        server->setConnectPort(peerSide.port());
        server->SendTCPpacket(line(tsm("78")).chopped(2), recipient, held);
        ASSERT_TRUE(waitUntil([&] { return peerSide.done() && server->outgoingConnectionCount() == 0; }));
    }
    EXPECT_TRUE(held->isDeleted());
    EXPECT_TRUE(MessageForForwarding::findByMessageId(ctx, 77).isEmpty());
}

TEST_F(TCPserverTest, AnEmptyAnswerToAnInformationRequestIsAskedAgainAFewTimes) {
    server->setInfoRetryDelay(0.02);
    const auto bobsBlock = [this] {
        const auto values = [](const QString &key) -> QString {
            if (key == QLatin1String("status")) return QStringLiteral("0");
            if (key == QLatin1String("userId")) return QStringLiteral("A000000002");
            if (key == QLatin1String("pc")) return QStringLiteral("pc-bob");
            if (key == QLatin1String("version")) return QStringLiteral("10.7");
            return QString();
        };
        return line(UserInfoPacket::MyUserInfoFor(values, me->userId(), true));
    };
    struct Case {
        const char *what;
        int emptyAnswers; // before the block; -1: the peer closes without a word
        int requests;     // that reach the peer in all
        bool learned;
    };
    const QList<Case> cases = {
        {"known at the third request", 2, 3, true},
        {"never known: asked a bounded number of times", 99, 1 + TCPserver::InfoRequestRetries, false},
        {"a peer that closes is not asked again", -1, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bob->setVersion(QString());
        std::atomic<int> seen{0};
        rawnet::OneShotPeer peerSide({}, 1 + TCPserver::InfoRequestRetries + 1);
        peerSide.replyFor = [&](const QByteArray &) {
            const int n = ++seen;
            if (c.emptyAnswers < 0) return QByteArray();
            return n <= c.emptyAnswers ? QByteArray("\r\n") : bobsBlock();
        };
        server->setConnectPort(peerSide.port());
        bob->RequestUserInfo();
        // Every request that is due (after 0.02 + 0.04 + 0.08 s at the most), then a while more
        // in which no further one may come.
        waitUntil([&] { return seen.load() >= c.requests; }, 10000);
        spinFor(600);
        EXPECT_EQ(seen.load(), c.requests);
        EXPECT_EQ(bob->version() == QLatin1String("10.7"), c.learned);
        EXPECT_FALSE(bob->userOffline());
    }
}

TEST_F(TCPserverTest, InformationAppliesTheStatusFirst) {
    // Setting a status clears the idle time ("1") or the status text ("0"); the block's own
    // values of those keys must win whatever order the keys come in.
    struct Case {
        const char *status;
        const char *idle;
        const char *text;
    };
    for (const Case &c :
         {Case{"1", "1234", "in a meeting"}, Case{"0", "", "at lunch"}, Case{"2", "60000", "away"}}) {
        SCOPED_TRACE(c.status);
        bob->setStatus(QStringLiteral("10"));
        const auto values = [&c](const QString &key) -> QString {
            if (key == QLatin1String("status")) return QString::fromUtf8(c.status);
            if (key == QLatin1String("idleTime")) return QString::fromUtf8(c.idle);
            if (key == QLatin1String("statusString")) return QString::fromUtf8(c.text);
            if (key == QLatin1String("version")) return QStringLiteral("10.4");
            if (key == QLatin1String("userId")) return QStringLiteral("A000000002");
            if (key == QLatin1String("pc")) return QStringLiteral("pc-bob2");
            return QString();
        };
        bob->canCall();
        server->userInfoReceived(UserInfoPacket::MyUserInfoFor(values, QStringLiteral("A000000001"), true));
        EXPECT_EQ(bob->status(), QString::fromUtf8(c.status));
        EXPECT_EQ(bob->idleTime(), QString::fromUtf8(c.idle));
        EXPECT_EQ(bob->statusString(), QString::fromUtf8(c.text));
        EXPECT_EQ(bob->version(), QStringLiteral("10.4"));
        EXPECT_EQ(bob->pc(), QStringLiteral("pc-bob2"));
        EXPECT_EQ(bob->canCallCache(), -1);
    }
}

TEST_F(TCPserverTest, ASecondStartIsQuiet) {
    int starts = 0;
    server->setFileServerAdapterChanged([&] { ++starts; });
    EXPECT_TRUE(server->turnONserver());
    EXPECT_TRUE(server->turnONserver());
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(server->networkChangeTimer(), nullptr); // no retry armed
    EXPECT_EQ(server->listeningPort(), port);
    EXPECT_TRUE(rawnet::exchange(port, line(tsm("6161"))).endsWith("\r\n"));
}

TEST_F(TCPserverTest, AFailedListenIsRetriedFiveSecondsLater) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
    Timer::setNowFunction([&] { return now; });
    // The port is taken by the fixture's server.
    TCPserver second(port, TCPserver::DefaultPort, false);
    EXPECT_FALSE(second.isListening());
    ASSERT_NE(second.networkChangeTimer(), nullptr);
    EXPECT_EQ(second.networkChangeTimer()->fireDate(), now.addSecs(5));
    second.networkChangeTimer()->fire(); // still taken: armed again
    EXPECT_FALSE(second.isListening());
    ASSERT_NE(second.networkChangeTimer(), nullptr);
    EXPECT_TRUE(second.networkChangeTimer()->isValid());
    TCPserver::setShared(nullptr);
    server.reset();
    second.networkChangeTimer()->fire();
    EXPECT_TRUE(second.isListening());
    EXPECT_EQ(second.listeningPort(), port);
}

TEST_F(TCPserverTest, ABurstOfNetworkChangesRestartsOnceFiveSecondsAfterTheLast) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
    Timer::setNowFunction([&] { return now; });
    int starts = 0;
    server->setFileServerAdapterChanged([&] { ++starts; });
    Timer *first = nullptr;
    for (int i = 0; i < 10; ++i) {
        server->run5secondTimer();
        if (!first) first = server->networkChangeTimer();
        EXPECT_EQ(server->networkChangeTimer(), first);
        now = now.addMSecs(300);
    }
    const QDateTime last = now.addMSecs(-300);
    EXPECT_EQ(first->fireDate(), last.addSecs(5));
    EXPECT_EQ(starts, 0);
    first->fire();
    EXPECT_EQ(starts, 1);
    EXPECT_FALSE(first->isValid());
    EXPECT_TRUE(server->isListening());
    // The next change arms a fresh timer.
    server->run5secondTimer();
    EXPECT_NE(server->networkChangeTimer(), nullptr);
    EXPECT_TRUE(server->networkChangeTimer()->isValid());
}

TEST_F(TCPserverTest, SleepStopsListeningAndAStaleRestartIsIgnored) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
    Timer::setNowFunction([&] { return now; });
    int starts = 0;
    server->setFileServerAdapterChanged([&] { ++starts; });
    server->onSystemPowerChange(true);
    EXPECT_FALSE(server->isListening());
    Timer *restart = server->postSleepRestartTimer();
    ASSERT_NE(restart, nullptr);
    EXPECT_EQ(restart->fireDate(), now.addSecs(120));
    // Woken long after the timer's date: only the wake notice restarts.
    now = now.addSecs(200);
    restart->fire();
    EXPECT_FALSE(server->isListening());
    server->onSystemPowerChange(false);
    EXPECT_TRUE(server->isListening());
    EXPECT_EQ(starts, 1);
    // A timer that fires on time restarts by itself.
    server->onSystemPowerChange(true);
    now = now.addSecs(120);
    server->postSleepRestartTimer()->fire();
    EXPECT_TRUE(server->isListening());
}

} // namespace

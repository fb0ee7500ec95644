// What a host can make the file port hold: chunk buffers only while a transfer moves data, and
// a bounded number of incoming connections, the rest waiting in the backlog.
#include "TransferTestSupport.h"

#include <future>
#include <vector>

namespace {

class FILEserverLimitsTest : public TransferFixture {
protected:
    void SetUp() override {
        TransferFixture::SetUp();
        QObject::connect(ctx, &ManagedObjectContext::objectInserted, ctx, [this](ManagedObject *o) {
            if (auto *t = dynamic_cast<FileTransfer *>(o)) made.append(t);
        });
    }
    void TearDown() override {
        for (int fd : peers)
            if (fd >= 0) ::close(fd);
        FileTransfer::setIdleTimeoutForTesting(0);
        TransferFixture::TearDown();
    }
    // Every transfer made in the test has ended and holds no chunk buffer.
    bool noBufferHeld() const {
        for (const QPointer<FileTransfer> &t : made)
            if (t && (t->socket() || t->chunkBuffersHeld() != 0)) return false;
        return true;
    }
    int incomingMade() const {
        int n = 0;
        for (const QPointer<FileTransfer> &t : made)
            if (t && t->incoming()) ++n;
        return n;
    }
    int openIdle(int count) {
        int opened = 0;
        for (int i = 0; i < count; ++i) {
            const int fd = rawpeer::connectLoopback(receiver->listeningPort());
            if (fd >= 0) ++opened;
            peers.push_back(fd);
        }
        return opened;
    }

    // Runs a raw peer's part on a thread of its own while the main loop serves the servers.
    template <class F> auto offMain(F part) {
        auto future = std::async(std::launch::async, part);
        waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                  30000);
        return future.get();
    }

    QList<QPointer<FileTransfer>> made;
    std::vector<int> peers;
};

QByteArray requestRecord(bool withSender) {
    QStringList pairs{"CONTENT-TYPE", "FILESENDREQUEST", "SESSID", "1", "SESSAES", "1"};
    if (withSender)
        pairs << "FROM-ID"
              << "A000000009";
    pairs << "FILES-NUMBER"
          << "1"
          << "FILES-TOTALSIZE"
          << "5000000"
          << "ISFILESWIDE"
          << "1";
    return HeaderRecord::prepare(pairs, false);
}

// Each way a transfer can end, on either side: none keeps a chunk buffer (nor a socket).
TEST_F(FILEserverLimitsTest, NoWayOutOfATransferKeepsItsChunkBuffer) {
    FileTransfer::setIdleTimeoutForTesting(1.0);
    const QByteArray big = randomBytes(2 * FileTransfer::ChunkSize + 7, 11);
    ASSERT_TRUE(writeFile(sourceRoot() + "/big.bin", big));
    ASSERT_TRUE(QDir().mkpath(sourceRoot() + "/EmptyFolder"));
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });

    struct Case {
        const char *name;
        std::function<void()> run;
    };
    const std::vector<Case> cases = {
        {"completed transfer",
         [&] {
             ASSERT_TRUE(sender->outgoingFiles({sourceRoot() + "/big.bin"}, bob));
             ASSERT_TRUE(waitUntil([&] { return incoming && ended(incoming); }, 20000));
         }},
        {"empty selection",
         [&] { EXPECT_FALSE(sender->outgoingFiles({sourceRoot() + "/EmptyFolder"}, bob)); }},
        {"connect that fails at once",
         [&] {
             bob->setIp(QStringLiteral("not an address"));
             sender->outgoingFiles({sourceRoot() + "/big.bin"}, bob);
             bob->setIp(QStringLiteral("127.0.0.1"));
         }},
        {"connect refused",
         [&] {
             std::uint16_t closedPort = 0;
             ::close(rawpeer::listenLoopback(&closedPort));
             sender->setConnectPort(closedPort);
             ASSERT_TRUE(sender->outgoingFiles({sourceRoot() + "/big.bin"}, bob));
             sender->setConnectPort(receiver->listeningPort());
         }},
        {"request without a sender",
         [&] {
             const std::uint16_t port = receiver->listeningPort();
             EXPECT_EQ(offMain([port] {
                           const int fd = rawpeer::connectLoopback(port);
                           rawpeer::sendAll(fd, requestRecord(false));
                           const int end = rawpeer::waitForEnd(fd);
                           ::close(fd);
                           return end;
                       }),
                       0);
         }},
        {"peer gone in the middle of a chunk",
         [&] {
             const std::uint16_t port = receiver->listeningPort();
             const int fd = rawpeer::connectLoopback(port);
             ASSERT_TRUE(offMain([fd] {
                 QByteArray answer, fileAnswer;
                 return rawpeer::sendAll(fd, requestRecord(true)) && rawpeer::readLine(fd, &answer) &&
                        rawpeer::sendAll(fd,
                                         HeaderRecord::prepare({"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH",
                                                                "", "FILE-NAME", "cut.bin", "FILE-SIZE",
                                                                "5000000", "FILE-PERMISSIONS", "420"},
                                                               false)) &&
                        rawpeer::readLine(fd, &fileAnswer) && rawpeer::sendAll(fd, QByteArray(1000, 'x'));
             }));
             ASSERT_TRUE(
                 waitUntil([&] { return incoming && incoming->chunkBuffersHeld() > 0; }));
             rawpeer::resetAndClose(fd);
         }},
        {"peer that says nothing",
         [&] {
             const std::uint16_t port = receiver->listeningPort();
             // Let go after the idle time.
             EXPECT_NE(offMain([port] {
                           const int fd = rawpeer::connectLoopback(port);
                           const int end = rawpeer::waitForEnd(fd);
                           ::close(fd);
                           return end;
                       }),
                       -1);
         }},
    };
    for (const Case &c : cases) {
        c.run();
        EXPECT_TRUE(waitUntil([&] { return noBufferHeld(); }, 10000)) << c.name;
    }
    EXPECT_GE(made.size(), 6);
}

// At the cap the listener takes no more: later connections wait and are served, in order, as
// places free up. A real transfer behind idle connections is delayed, never refused.
TEST_F(FILEserverLimitsTest, IncomingConnectionsBeyondTheCapWaitAndAreServedWhenPlacesFree) {
    FileTransfer::setIdleTimeoutForTesting(30.0);
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    constexpr int cap = 4;
    receiver->setMaxIncomingConnectionsForTesting(cap);
    receiver->adapterChanged();
    ASSERT_TRUE(receiver->isListening());
    sender->setConnectPort(receiver->listeningPort());

    ASSERT_EQ(openIdle(cap + 6), cap + 6);
    ASSERT_TRUE(waitUntil([&] { return receiver->openIncomingConnections() == cap; }));
    spinFor(300);
    EXPECT_EQ(receiver->openIncomingConnections(), cap);
    EXPECT_EQ(incomingMade(), cap);

    // Three leave: three of the waiting ones take their places.
    for (int i = 0; i < 3; ++i) {
        ::close(peers[size_t(i)]);
        peers[size_t(i)] = -1;
    }
    EXPECT_TRUE(waitUntil([&] { return incomingMade() == cap + 3; }));
    spinFor(200);
    EXPECT_EQ(receiver->openIncomingConnections(), cap);
    EXPECT_EQ(incomingMade(), cap + 3);

    // A transfer behind the idle ones is only delayed.
    const QByteArray data = randomBytes(100000, 12);
    ASSERT_TRUE(writeFile(sourceRoot() + "/late.txt", data));
    ASSERT_TRUE(sender->outgoingFiles({sourceRoot() + "/late.txt"}, bob));
    spinFor(300);
    EXPECT_EQ(incoming, nullptr);
    for (int &fd : peers) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    ASSERT_TRUE(waitUntil([&] { return incoming && ended(incoming); }, 20000));
    EXPECT_EQ(incoming->transferState(), FileTransfer::Complete);
    EXPECT_EQ(readFile(incoming->folderPath().toLocalFile() + "/late.txt"), data);
    EXPECT_TRUE(waitUntil([&] { return receiver->openIncomingConnections() == 0; }));
}

// One host holds at most its share of the places, however many connections it opens: the
// rest are closed at once, and another host is still served.
TEST_F(FILEserverLimitsTest, OneAddressHoldsAtMostItsShareOfThePlaces) {
    FileTransfer::setIdleTimeoutForTesting(30.0);
    startServers([](FileTransfer *t) { t->ContinueTransfer(FileTransfer::Transferring); });
    const int share = FILEserver::MaxIncomingPerAddress;
    const auto connectFrom = [&](const char *source) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        a.sin_port = htons(receiver->listeningPort());
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        peers.push_back(fd);
        return fd;
    };
    std::vector<int> first;
    for (int i = 0; i < share + 4; ++i) first.push_back(connectFrom("127.0.0.7"));
    ASSERT_TRUE(std::all_of(first.begin(), first.end(), [](int fd) { return fd >= 0; }));
    // The connections beyond the share are closed unread; those within it stay open.
    const auto closedByServer = [](int fd) {
        char c;
        return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    };
    ASSERT_TRUE(waitUntil([&] {
        return std::count_if(first.begin(), first.end(), closedByServer) == 4;
    }));
    EXPECT_EQ(receiver->openIncomingConnections(), share);
    EXPECT_EQ(incomingMade(), share);

    // Another host is served at once, and a place freed is the first host's again.
    ASSERT_GE(connectFrom("127.0.0.8"), 0);
    EXPECT_TRUE(waitUntil([&] { return receiver->openIncomingConnections() == share + 1; }));
    const auto open = std::find_if(first.begin(), first.end(), [&](int fd) { return !closedByServer(fd); });
    ASSERT_NE(open, first.end());
    ::close(*open);
    std::replace(peers.begin(), peers.end(), *open, -1);
    EXPECT_TRUE(waitUntil([&] { return receiver->openIncomingConnections() == share; }));
    const int again = connectFrom("127.0.0.7");
    ASSERT_GE(again, 0);
    EXPECT_TRUE(waitUntil([&] { return receiver->openIncomingConnections() == share + 1; }));
    spinFor(200);
    EXPECT_FALSE(closedByServer(again));
}

} // namespace

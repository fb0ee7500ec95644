// Read and write engine against raw POSIX peers on 127.0.0.1.
#include "TcpTestSupport.h"

#include "platform/dispatch/Queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

using namespace tcptest;

namespace {

struct Client {
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    std::shared_ptr<TcpSocket> sock = TcpSocket::create(rec, dispatch::Queue::main());
    RawServer server;

    bool connect(double timeout = 5) {
        SocketError err;
        return sock->connectToHost("127.0.0.1", server.port(), timeout, &err) && server.accept();
    }
};

QString enc(const QByteArray &b) { return QString::fromLatin1(b.toPercentEncoding()); }

struct TermCase {
    const char *name;
    QByteArray terminator;
    size_t maxLength;
    int reads;                      // terminator reads queued, tags 1..n
    std::vector<QByteArray> chunks; // sent one after another, each as its own segment
    bool closeAfter;
    QStringList expected; // without partial callbacks
};

class TerminatorReads : public ::testing::TestWithParam<TermCase> {};

TEST_P(TerminatorReads, DeliverExactlyUpToTheTerminator) {
    const TermCase &c = GetParam();
    Client cl;
    cl.rec->recordPartials = false;
    ASSERT_TRUE(cl.connect());
    for (int i = 1; i <= c.reads; ++i) cl.sock->readDataToData(c.terminator, 5, c.maxLength, i);
    for (const QByteArray &chunk : c.chunks) {
        cl.server.send(chunk);
        spinFor(60);
    }
    if (c.closeAfter) cl.server.closePeer();
    ASSERT_TRUE(waitUntil([&] { return cl.rec->events.size() >= c.expected.size(); }, 3000))
        << cl.rec->events.join(" ").toStdString();
    spinFor(100);
    EXPECT_EQ(cl.rec->events, c.expected);
}

const QByteArray CRLF("\r\n");

INSTANTIATE_TEST_SUITE_P(
    Table, TerminatorReads,
    ::testing::Values(TermCase{"SplitCrLf",
                               CRLF,
                               0,
                               1,
                               {"hello\r", "\nrest"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("hello\r\n")}},
                      TermCase{"TwoLinesOneSegment",
                               CRLF,
                               0,
                               2,
                               {"a\r\nbb\r\n"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("a\r\n"), "read:2:" + enc("bb\r\n")}},
                      TermCase{"LongTerminatorStraddles",
                               "\r\n\r\n",
                               0,
                               1,
                               {"head\r\n", "\r", "\nbody"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("head\r\n\r\n")}},
                      TermCase{"FalsePrefixes",
                               "ABAB",
                               0,
                               1,
                               {"xABA", "ABABy"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("xABAABAB")}},
                      TermCase{"FalsePrefixesOneSegment",
                               "ABAB",
                               0,
                               2,
                               {"ABAABABABAB"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("ABAABAB"), "read:2:" + enc("ABAB")}},
                      TermCase{"MaxLengthEqual",
                               CRLF,
                               6,
                               1,
                               {"abcd\r\n"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("abcd\r\n")}},
                      TermCase{"MaxLengthEqualSplit",
                               CRLF,
                               6,
                               1,
                               {"abcd\r", "\n"},
                               false,
                               {"connect:127.0.0.1", "read:1:" + enc("abcd\r\n")}},
                      TermCase{"MaxLengthOneLess",
                               CRLF,
                               5,
                               1,
                               {"abcd\r\n"},
                               false,
                               {"connect:127.0.0.1", "disconnect:TcpSocketErrorDomain:6"}},
                      TermCase{"MaxLengthOneLessSplit",
                               CRLF,
                               5,
                               1,
                               {"ab", "cd\r", "\n"},
                               false,
                               {"connect:127.0.0.1", "disconnect:TcpSocketErrorDomain:6"}},
                      TermCase{"LineThenEnd",
                               CRLF,
                               0,
                               2,
                               {"last\r\n"},
                               true,
                               {"connect:127.0.0.1", "read:1:" + enc("last\r\n"),
                                "disconnect:TcpSocketErrorDomain:7"}},
                      TermCase{"UnfinishedLineAtEnd",
                               CRLF,
                               0,
                               1,
                               {"no end"},
                               true,
                               {"connect:127.0.0.1", "disconnect:TcpSocketErrorDomain:7"}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace {

TEST(TcpSocketRead, SplitLineGivesOnePartialWithItsTag) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.sock->readDataToData(TcpSocket::CRLFData(), -1, 9);
    ASSERT_TRUE(waitUntil([&] { return cl.rec->events.size() == 1; }));
    cl.server.send("hello\r");
    // The rest is sent only once the first piece has been reported, however slow the machine.
    ASSERT_TRUE(waitUntil([&] { return cl.rec->events.size() >= 2; }))
        << cl.rec->events.join(" ").toStdString();
    cl.server.send("\n");
    ASSERT_TRUE(waitUntil([&] { return cl.rec->events.size() >= 3; }));
    spinFor(50);
    EXPECT_EQ(cl.rec->events.mid(1), QStringList({"partial:9:6", "read:9:" + enc("hello\r\n")}));
}

struct LengthCase {
    const char *name;
    QByteArray initial; // caller's buffer before the read
    size_t offset;
    size_t length;
    QByteArray expectedBuffer;
};

class LengthReads : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LengthReads, LandInTheCallersBufferAtTheOffset) {
    const LengthCase &c = GetParam();
    Client cl;
    ASSERT_TRUE(cl.connect());
    QByteArray buffer = c.initial;
    cl.sock->readDataToLength(c.length, -1, &buffer, c.offset, 1);
    const QByteArray payload = QByteArray("0123456789abcdef").left(qsizetype(c.length));
    cl.server.send(payload.left(2));
    // The first piece is reported before the rest is sent (however slow the machine).
    EXPECT_TRUE(waitUntil([&] { return cl.rec->events.contains("partial:1:2"); }))
        << cl.rec->events.join(" ").toStdString();
    cl.server.send(payload.mid(2) + "tail");
    ASSERT_TRUE(waitUntil([&] { return !cl.rec->reads.empty(); }));
    EXPECT_EQ(cl.rec->reads.front(), payload);
    EXPECT_EQ(buffer, c.expectedBuffer);
    // The bytes after the length stay for the next read.
    cl.sock->readDataToLength(4, -1, 2);
    ASSERT_TRUE(waitUntil([&] { return cl.rec->reads.size() == 2; }));
    EXPECT_EQ(cl.rec->reads.back(), QByteArray("tail"));
}

INSTANTIATE_TEST_SUITE_P(Table, LengthReads,
                         ::testing::Values(LengthCase{"EmptyBufferGrows", {}, 0, 5, "01234"},
                                           LengthCase{"AppendAtEnd", "XYZ", 3, 5, "XYZ01234"},
                                           LengthCase{"InsideKeepsLength", "xxxxxxxxxx", 2, 4, "xx0123xxxx"},
                                           LengthCase{"PastEndGrows", "xxxx", 2, 6, "xx012345"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(TcpSocketRead, BadRequestsAreIgnored) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    QByteArray small("ab");
    cl.sock->readDataToLength(0, -1, 1);
    cl.sock->readDataToData(QByteArray(), -1, 2);
    cl.sock->readDataToData(CRLF, -1, 1, 3);        // maxLength below the terminator's length
    cl.sock->readDataToLength(3, -1, &small, 3, 4); // offset past the buffer
    cl.sock->writeData(QByteArray(), -1, 5);
    cl.sock->readDataToData(CRLF, -1, 6);
    cl.server.send("x\r\n");
    ASSERT_TRUE(waitUntil([&] { return !cl.rec->reads.empty(); }));
    spinFor(50);
    EXPECT_EQ(cl.rec->events.mid(1), QStringList({"read:6:" + enc("x\r\n")}));
}

TEST(TcpSocketRead, TimeoutCountsFromDequeueAndClosesWithCode4) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.sock->readDataToLength(3, -1, 1);
    cl.sock->readDataToData(CRLF, 0.3, 2); // would long have expired if timed from the request
    spinFor(600);
    cl.server.send("abc");
    ASSERT_TRUE(cl.rec->waitDisconnect());
    spinFor(50);
    EXPECT_EQ(cl.rec->events.mid(1),
              QStringList({"read:1:abc", "readTimeout:2:0.3", "disconnect:TcpSocketErrorDomain:4"}));
    EXPECT_EQ(cl.rec->lastError.localizedDescription(), QString("Read operation timed out"));
}

TEST(TcpSocketRead, DelegateExtensionKeepsTheReadAlive) {
    Client cl;
    cl.rec->readTimeoutAnswer = [](long, double elapsed) { return elapsed < 0.5 ? 0.6 : 0.0; };
    ASSERT_TRUE(cl.connect());
    cl.sock->readDataToData(CRLF, 0.3, 1);
    // The line comes only once the delegate has extended the read (a loaded machine may be late
    // with the time-out, so it is waited for rather than slept past).
    ASSERT_TRUE(waitUntil([&] { return cl.rec->events.contains("readTimeout:1:0.3"); }));
    cl.server.send("late\r\n");
    ASSERT_TRUE(waitUntil([&] { return !cl.rec->reads.empty(); }));
    spinFor(700); // past the extended bound: the completed read leaves no timer behind
    EXPECT_EQ(cl.rec->events.mid(1), QStringList({"readTimeout:1:0.3", "read:1:" + enc("late\r\n")}));
    EXPECT_TRUE(cl.sock->isConnected());
}

TEST(TcpSocketWrite, WriteTimeoutClosesWithCode5) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    // The peer never reads: the kernel buffers fill and the write cannot finish.
    cl.sock->writeData(QByteArray(64 * 1024 * 1024, 'w'), 0.5, 7);
    ASSERT_TRUE(cl.rec->waitDisconnect(5000));
    EXPECT_EQ(cl.rec->events.last(), QString("disconnect:TcpSocketErrorDomain:5"));
    EXPECT_TRUE(cl.rec->events.contains("writeTimeout:7:0.5"));
    EXPECT_FALSE(cl.rec->events.contains("write:7"));
}

TEST(TcpSocketWrite, OrderThenDisconnectAfterWriting) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.sock->readDataToData(CRLF, -1, 99); // still current at the close: dropped without a callback
    cl.sock->writeData("one ", -1, 1);
    cl.sock->writeData("two ", -1, 2);
    cl.sock->writeData("three", -1, 3);
    cl.sock->disconnectAfterWriting();
    cl.sock->writeData("four", -1, 4); // after the call: dropped
    EXPECT_EQ(cl.server.readAll(), QByteArray("one two three"));
    ASSERT_TRUE(cl.rec->waitDisconnect());
    spinFor(50);
    EXPECT_EQ(cl.rec->events.mid(1), QStringList({"write:1", "write:2", "write:3", "disconnect"}));
}

TEST(TcpSocketWrite, WriteToAGonePeerGivesAnErrorNotASignal) {
    // The default disposition: a SIGPIPE would end this test program.
    struct sigaction old {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, &old);
    Client cl;
    cl.sock->setAutoDisconnectOnClosedReadStream(false); // half-duplex: keep writing after the peer's end
    ASSERT_TRUE(cl.connect());
    cl.server.closePeer();
    ASSERT_TRUE(waitUntil([&] { return cl.rec->events.contains("readClosed"); }));
    // The first write draws a reset from the closed peer; a later one then fails with EPIPE,
    // which raises SIGPIPE unless the send suppresses it.
    for (int i = 0; i < 50 && cl.rec->disconnects == 0; ++i) {
        cl.sock->writeData(QByteArray(1024, 'x'), -1, i);
        spinFor(20);
    }
    ASSERT_TRUE(cl.rec->waitDisconnect());
    EXPECT_EQ(cl.rec->disconnects, 1);
    EXPECT_EQ(cl.rec->lastError.domain(), QString(kTcpSocketPosixErrorDomain));
    EXPECT_EQ(cl.rec->lastError.code(), EPIPE);
    EXPECT_EQ(cl.rec->lastError.userInfo().value("NSLocalizedFailureReason").toString(),
              QString("Error in write() function"));
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(TcpSocketRead, ResetWithReadPendingEndsOnce) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.sock->readDataToData(CRLF, -1, 1);
    cl.server.resetPeer();
    ASSERT_TRUE(cl.rec->waitDisconnect());
    spinFor(100);
    EXPECT_EQ(cl.rec->disconnects, 1);
    // A reset, not the peer's orderly close: a caller waiting for an answer must tell them apart.
    EXPECT_EQ(cl.rec->lastError.domain(), QString(kTcpSocketPosixErrorDomain));
    EXPECT_EQ(cl.rec->lastError.code(), ECONNRESET);
    EXPECT_TRUE(cl.rec->reads.empty());
}

TEST(TcpSocketRead, EndOfStreamWithNoReadOutstandingGivesCode7) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.server.closePeer();
    ASSERT_TRUE(cl.rec->waitDisconnect());
    EXPECT_EQ(cl.rec->lastError.code(), 7);
    EXPECT_EQ(cl.rec->lastError.localizedDescription(), QString("Socket closed by remote peer"));
}

TEST(TcpSocketRead, ChunkedLengthReadsSeeNoFalseEnd) {
    // The file transfer's pattern: the peer sends a chunk once asked, the reader asks for the
    // next chunk once the last one arrived, from another thread than the socket's.
    constexpr size_t kChunk = 786432;
    auto rec = std::make_shared<Recorder>();
    rec->recordPartials = false;
    auto delegateQueue = dispatch::Queue::create("tcp-chunked");
    auto sock = TcpSocket::create(rec, delegateQueue);
    RawServer server;
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    std::atomic<int> allowed{0};
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const QByteArray chunk(qsizetype(kChunk), 'c');
        int sentChunks = 0;
        while (!stop.load()) {
            if (sentChunks < allowed.load()) {
                qsizetype off = 0;
                while (off < chunk.size()) {
                    const ssize_t n = ::send(server.peer(), chunk.constData() + off,
                                             size_t(chunk.size() - off), MSG_NOSIGNAL);
                    if (n <= 0) return;
                    off += n;
                }
                ++sentChunks;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int completed = 0;
    for (int i = 0; i < 40; ++i) {
        ++allowed;
        QByteArray buffer;
        sock->readDataToLength(kChunk, 10, &buffer, 0, i);
        const bool ok = waitUntil(
            [&] {
                bool r = false;
                delegateQueue->sync([&] { r = int(rec->reads.size()) > i || rec->disconnects > 0; });
                return r;
            },
            10000);
        bool ended = false;
        delegateQueue->sync([&] { ended = rec->disconnects > 0; });
        if (!ok || ended) break;
        ++completed;
    }
    stop = true;
    peer.join();
    EXPECT_EQ(completed, 40);
    delegateQueue->sync([&] { EXPECT_EQ(rec->disconnects, 0) << rec->events.join(" ").toStdString(); });
}

TEST(TcpSocketRead, BytesThatArrivedWhileNoReadWasQueuedAreNotForgotten) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.server.send(QByteArray(1000, 'A'));
    spinFor(100); // seen, but no read takes it: the read source rests
    cl.server.send(QByteArray(1000, 'B'));
    spinFor(100); // arrives while nothing watches the descriptor
    cl.sock->readDataToLength(2000, 5, 1);
    ASSERT_TRUE(waitUntil([&] { return !cl.rec->reads.empty() || cl.rec->disconnects > 0; }, 3000))
        << cl.rec->events.join(" ").toStdString();
    ASSERT_FALSE(cl.rec->reads.empty());
    EXPECT_EQ(cl.rec->reads.front(), QByteArray(1000, 'A') + QByteArray(1000, 'B'));
}

TEST(TcpSocketRead, ReadAvailableTakesWhatCame) {
    Client cl;
    ASSERT_TRUE(cl.connect());
    cl.server.send("some bytes");
    spinFor(80);
    cl.sock->readDataWithTimeout(-1, 1);
    ASSERT_TRUE(waitUntil([&] { return !cl.rec->reads.empty(); }));
    EXPECT_EQ(cl.rec->reads.front(), QByteArray("some bytes"));
}

} // namespace

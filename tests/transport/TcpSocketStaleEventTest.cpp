// A read event whose bytes an earlier pass already took is stale; bytes that arrive just then
// make the descriptor readable again, which must not be taken for the peer's end of stream.
#include "TcpTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace tcptest;

namespace {

// Counts completed reads and ends, from the delegate queue.
class Counter : public TcpSocketDelegate {
public:
    std::atomic<int> reads{0};
    std::atomic<int> disconnects{0};
    std::atomic<qint64> bytes{0};
    void socketDidReadData(const std::shared_ptr<TcpSocket> &, const QByteArray &data, long) override {
        bytes += data.size();
        ++reads;
    }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &, const SocketError &) override {
        ++disconnects;
    }
};

} // namespace

TEST(TcpSocketRead, StreamedLengthReadsNeverSeeAFalseEnd) {
    // The file transfer's pattern at length: the next chunk is allowed just before it is asked
    // for, so it often arrives while the request is on its way and the event it caused goes
    // stale under more bytes.
    constexpr int kReads = 400;
    constexpr qsizetype kChunk = 786432;
    auto counter = std::make_shared<Counter>();
    auto sock = TcpSocket::create(counter, dispatch::Queue::create("tcp-stale"));
    RawServer server;
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    std::atomic<int> allowed{0};
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const QByteArray chunk(kChunk, 's');
        int sent = 0;
        while (!stop.load()) {
            if (sent == allowed.load()) {
                std::this_thread::yield();
                continue;
            }
            for (qsizetype off = 0; off < chunk.size();) {
                const ssize_t n =
                    ::send(server.peer(), chunk.constData() + off, size_t(chunk.size() - off), MSG_NOSIGNAL);
                if (n <= 0) return;
                off += n;
            }
            ++sent;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < kReads && counter->disconnects.load() == 0; ++i) {
        ++allowed;
        QByteArray buffer; // a fresh caller buffer per chunk
        sock->readDataToLength(size_t(kChunk), -1, &buffer, 0, i);
        while (counter->reads.load() <= i && counter->disconnects.load() == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        if (counter->reads.load() <= i) break;
    }
    const int reads = counter->reads.load(), ends = counter->disconnects.load();
    const qint64 bytes = counter->bytes.load();
    stop = true;
    ::shutdown(server.peer(), SHUT_RDWR); // a peer still sending to a reader that stopped
    peer.join();
    EXPECT_EQ(ends, 0) << "ended after " << reads << " reads";
    EXPECT_EQ(reads, kReads);
    EXPECT_EQ(bytes, qint64(kReads) * kChunk);
    sock->disconnect();
}

// The TCP socket's read engine over arbitrary segmenting: the input chooses a few read requests
// (to a terminator, with and without a maximum length, to a length, whatever is there; into the
// socket's buffers or a caller's at an offset), a byte stream, how the stream is cut into
// segments, and whether the peer closes afterwards. The segments go over a real loopback
// connection one by one, each only after the engine has taken the one before, and every
// callback is checked against what the requests must deliver from the stream as a whole.
#include "FuzzLoopback.h"
#include "FuzzSupport.h"

#include "platform/dispatch/Queue.h"
#include "transport/TcpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Reads the input front to back; past its end every value is 0.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    QByteArray bytes(std::size_t n) {
        QByteArray out;
        while (n-- > 0) out.append(char(byte()));
        return out;
    }
    QByteArray rest() {
        const QByteArray out(reinterpret_cast<const char *>(data_ + pos_),
                             qsizetype(size_ - std::min(pos_, size_)));
        pos_ = size_;
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

enum class Kind { Terminator, Length, Available };

struct Request {
    Kind kind = Kind::Terminator;
    QByteArray terminator;
    size_t maxLength = 0;
    size_t length = 0;
    bool callerBuffer = false;
    size_t offset = 0;
    std::unique_ptr<QByteArray> buffer; // the caller's, when callerBuffer
    QByteArray prefill;                 // what the caller's buffer held before the read
};

const QByteArray kPrefill("0123456789abcdef");

Request parseRequest(Input &in) {
    Request r;
    const std::uint8_t kind = in.byte();
    switch (kind % 4) {
    case 0: // any terminator, maybe bounded
        r.kind = Kind::Terminator;
        r.terminator = in.bytes(1 + in.byte() % 4);
        if (const std::uint8_t m = in.byte(); m % 2) r.maxLength = m / 2;
        break;
    case 1:
        r.kind = Kind::Length;
        r.length = 1 + ((size_t(in.byte()) << 8) | in.byte()) % 2048;
        break;
    case 2:
        r.kind = Kind::Available;
        r.maxLength = in.byte() % 65;
        break;
    default: // the messenger's own: a line
        r.kind = Kind::Terminator;
        r.terminator = TcpSocket::CRLFData();
        break;
    }
    if (kind & 0x80) {
        r.callerBuffer = true;
        r.offset = (kind >> 4) % 4;
        r.prefill = kPrefill.left(qsizetype(r.offset + (kind >> 2) % 3));
        r.buffer = std::make_unique<QByteArray>(r.prefill);
    }
    return r;
}

// The engine ignores these without a word.
bool ignored(const Request &r) {
    return r.kind == Kind::Terminator && r.maxLength > 0 && r.maxLength < size_t(r.terminator.size());
}

void issue(TcpSocket &sock, Request &r, long tag) {
    switch (r.kind) {
    case Kind::Terminator:
        if (r.callerBuffer)
            sock.readDataToData(r.terminator, -1, r.buffer.get(), r.offset, r.maxLength, tag);
        else
            sock.readDataToData(r.terminator, -1, r.maxLength, tag);
        break;
    case Kind::Length:
        if (r.callerBuffer)
            sock.readDataToLength(r.length, -1, r.buffer.get(), r.offset, tag);
        else
            sock.readDataToLength(r.length, -1, tag);
        break;
    case Kind::Available:
        if (r.callerBuffer)
            sock.readDataWithTimeout(-1, r.buffer.get(), r.offset, r.maxLength, tag);
        else
            sock.readDataWithTimeout(-1, nullptr, 0, r.maxLength, tag);
        break;
    }
}

struct Event {
    enum Type { Read, Partial, Disconnect } type;
    long tag = 0;
    QByteArray data;
    size_t length = 0;
    SocketError error;
};

class Recorder : public TcpSocketDelegate {
public:
    void socketDidReadData(const std::shared_ptr<TcpSocket> &, const QByteArray &data, long tag) override {
        add({Event::Read, tag, data, 0, {}});
    }
    void socketDidReadPartialDataOfLength(const std::shared_ptr<TcpSocket> &, size_t n, long tag) override {
        add({Event::Partial, tag, {}, n, {}});
    }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &, const SocketError &err) override {
        add({Event::Disconnect, 0, {}, 0, err});
    }

    void reset() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Waits (bounded) until the condition over the events holds, looked at under the lock
    // rather than over a copy. Also looked at again every `poll`: the kernel's byte count
    // changes without an event. The socket's threads get the processor meanwhile, instead of
    // a loop that copies the events and yields (which, with every thread on one processor,
    // mostly ran itself and filled the sanitizer's heap).
    template <typename F>
    bool waitFor(F condition, std::chrono::milliseconds bound,
                 std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        std::unique_lock lock(mutex_);
        while (!condition(events_)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            cv_.wait_for(lock, poll);
        }
        return true;
    }

private:
    void add(Event e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

int g_listener = -1;
uint16_t g_port = 0;
std::shared_ptr<Recorder> g_recorder;
std::shared_ptr<dispatch::Queue> g_delegateQueue;

int reads(const std::vector<Event> &events) {
    int n = 0;
    for (const Event &e : events) n += e.type == Event::Read;
    return n;
}

bool disconnected(const std::vector<Event> &events) {
    for (const Event &e : events)
        if (e.type == Event::Disconnect) return true;
    return false;
}

size_t kernelBytes(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? size_t(n) : 0;
}

// What the requests must deliver from the whole stream, one after another: the bytes of each
// completed read; `stop` is the first request that cannot complete, with the error it ends in
// (code 6 for a bound reached without the terminator, 0 for one that waits for more).
struct Expected {
    std::vector<QByteArray> delivered;
    size_t stop = SIZE_MAX;
    int stopCode = 0;
};

// Read-available requests take whatever had arrived; `actual` tells how much they did.
Expected model(const std::vector<Request *> &requests, const QByteArray &stream,
               const std::vector<QByteArray> &actual) {
    Expected out;
    qsizetype pos = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        const Request &r = *requests[i];
        const qsizetype left = stream.size() - pos;
        if (r.kind == Kind::Length) {
            if (left < qsizetype(r.length)) return out.stop = i, out;
            out.delivered.push_back(stream.mid(pos, qsizetype(r.length)));
            pos += qsizetype(r.length);
        } else if (r.kind == Kind::Available) {
            if (left == 0 || i >= actual.size()) return out.stop = i, out;
            const qsizetype took = actual[i].size();
            if (took == 0 || took > left || (r.maxLength > 0 && took > qsizetype(r.maxLength)))
                return out.stop = i, out; // not a valid taking: the comparison below fails
            out.delivered.push_back(stream.mid(pos, took));
            pos += took;
        } else {
            const qsizetype at = stream.indexOf(r.terminator, pos);
            const qsizetype end = at < 0 ? -1 : at + r.terminator.size();
            if (end >= 0 && (r.maxLength == 0 || end - pos <= qsizetype(r.maxLength))) {
                out.delivered.push_back(stream.mid(pos, end - pos));
                pos = end;
                continue;
            }
            out.stop = i;
            if (r.maxLength > 0 && left >= qsizetype(r.maxLength)) out.stopCode = TcpSocketReadMaxedOutError;
            return out;
        }
    }
    return out;
}

} // namespace

void fuzzTargetSetUp() {
    std::signal(SIGPIPE, SIG_IGN);
    g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(g_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (::bind(g_listener, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0 ||
        ::listen(g_listener, 16) < 0 ||
        ::getsockname(g_listener, reinterpret_cast<sockaddr *>(&sin), &len) < 0)
        fuzzFail("loopback listener", __FILE__, __LINE__);
    g_port = ntohs(sin.sin_port);
    g_recorder = std::make_shared<Recorder>();
    g_delegateQueue = dispatch::Queue::create("fuzz-delegate");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const bool peerCloses = flags & 1;
    std::vector<Request> requests(1 + in.byte() % 6);
    for (Request &r : requests) r = parseRequest(in);
    std::vector<size_t> cuts(1 + in.byte() % 12);
    for (size_t &c : cuts) c = 1 + in.byte();
    const QByteArray stream = in.rest();

    // A fresh connection: the peer writes, the socket reads.
    const int writer = fuzzConnect(g_port);
    const int readerFd = fuzzAccept(g_listener);
    FUZZ_CHECK(readerFd >= 0);
    int on = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    g_recorder->reset();
    SocketError err;
    auto sock = TcpSocket::socketFromConnectedSocketFD(readerFd, g_recorder, g_delegateQueue, nullptr, &err);
    FUZZ_CHECK(sock);
    std::vector<Request *> live;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (ignored(requests[i])) continue;
        live.push_back(&requests[i]);
        issue(*sock, requests[i], long(live.size() - 1));
    }
    const int wanted = int(live.size());

    // Everything the socket did so far has reached the delegate.
    auto settle = [&] {
        sock->performBlock([] {});
        g_delegateQueue->sync([] {});
    };
    // Segment by segment, each once the engine has taken the one before (or cannot take more).
    qsizetype pos = 0;
    for (size_t c = 0; pos < stream.size(); c = (c + 1) % cuts.size()) {
        const qsizetype n = std::min<qsizetype>(qsizetype(cuts[c]), stream.size() - pos);
        // A socket that closed itself (a bound reached) resets the connection.
        ssize_t sent;
        // The fuzzer's timer signal may cut a send short.
        while ((sent = ::send(writer, stream.constData() + pos, size_t(n), MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        if (sent != n) break;
        pos += n;
        // Bytes waiting while a read is queued must be taken.
        FUZZ_CHECK(g_recorder->waitFor(
            [&](const std::vector<Event> &events) {
                return disconnected(events) || reads(events) == wanted || kernelBytes(readerFd) == 0;
            },
            std::chrono::seconds(5), std::chrono::microseconds(50)));
        settle();
    }
    if (peerCloses) ::shutdown(writer, SHUT_WR);
    settle();

    std::vector<QByteArray> actual;
    auto collect = [&] {
        actual.clear();
        for (const Event &e : g_recorder->events())
            if (e.type == Event::Read) actual.push_back(e.data);
    };
    collect();
    const Expected expected = model(live, stream, actual);
    // A bound reached, or the peer's end with a read still waiting, closes the socket.
    if (expected.stopCode != 0 || (peerCloses && expected.stop != SIZE_MAX))
        FUZZ_CHECK(g_recorder->waitFor([](const std::vector<Event> &events) { return disconnected(events); },
                                       std::chrono::seconds(5)));
    sock->disconnect();
    FUZZ_CHECK(g_recorder->waitFor([](const std::vector<Event> &events) { return disconnected(events); },
                                   std::chrono::seconds(5)));
    sock.reset();
    // A reset, not an orderly close: no connection lingers in TIME_WAIT, so the loopback
    // ports never run out however many inputs run.
    const linger reset{1, 0};
    ::setsockopt(writer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(writer);

    // The callbacks against the model.
    const std::vector<Event> events = g_recorder->events();
    collect();
    FUZZ_CHECK(actual.size() == expected.delivered.size());
    std::vector<size_t> partial(live.size(), 0);
    size_t nextRead = 0;
    int disconnects = 0;
    for (const Event &e : events) {
        FUZZ_CHECK(disconnects == 0); // nothing after the end
        if (e.type == Event::Disconnect) {
            ++disconnects;
            if (expected.stopCode != 0) {
                FUZZ_CHECK(e.error.domain() == QLatin1String(kTcpSocketErrorDomain));
                FUZZ_CHECK(e.error.code() == expected.stopCode);
            } else if (peerCloses && expected.stop != SIZE_MAX) {
                FUZZ_CHECK(e.error.code() == TcpSocketClosedError);
            }
            continue;
        }
        FUZZ_CHECK(e.tag >= 0 && size_t(e.tag) < live.size());
        if (e.type == Event::Partial) {
            FUZZ_CHECK(size_t(e.tag) == nextRead); // progress of the read being served
            partial[size_t(e.tag)] += e.length;
            continue;
        }
        FUZZ_CHECK(size_t(e.tag) == nextRead);
        const Request &r = *live[nextRead];
        const QByteArray &want = expected.delivered[nextRead];
        FUZZ_CHECK(e.data == want);
        FUZZ_CHECK(partial[nextRead] <= size_t(want.size()));
        if (r.callerBuffer) {
            // In the caller's buffer at its offset, with what was before the offset untouched.
            FUZZ_CHECK(r.buffer->left(qsizetype(r.offset)) == r.prefill.left(qsizetype(r.offset)));
            FUZZ_CHECK(r.buffer->mid(qsizetype(r.offset), want.size()) == want);
        }
        ++nextRead;
    }
    FUZZ_CHECK(disconnects == 1);
    return 0;
}

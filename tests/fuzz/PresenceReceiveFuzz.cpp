// The presence server as it runs: its receiving socket open on loopback, each input sent to it
// as a datagram by a peer, and then as the fields of a frame (joined by 0xA6, made into a frame
// as a peer would), so the socket's read, the server's onReceive and everything behind it run.
// The server's answers go to the peer, which reads and drops them; broadcasts go to loopback.
#include "FuzzLoopback.h"
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/model/User.h"
#include "core/net/UDPserver.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "platform/runloop/Timer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int peer = -1;

UDPserver &server() {
    static UDPserver *s = [] {
        // The peer: where the server sends, and where the datagrams come from.
        peer = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (peer < 0 || ::bind(peer, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::getsockname(peer, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            fuzzFail("peer socket", __FILE__, __LINE__);
        UDPserver::setDefaultBroadcastsFunction([] { return QStringList{QStringLiteral("127.0.0.1")}; });
        auto *made = new UDPserver(0, ntohs(a.sin_port));
        // The server installs its own typing sender; nothing may leave.
        User::setTypingNoticeSender([](User *) {});
        return made;
    }();
    return *s;
}

QByteArray frameOf(const QByteArray &joinedFields) {
    const qsizetype fieldCount = joinedFields.count('\xa6') + 1;
    const QByteArray plain =
        QByteArray::number(fieldCount + 1) + "\xa6" + "4299996\xa6" + joinedFields + "\xa6" + '\0';
    return KDTAES::encryptDataToData(plain).toBase64() + QByteArray("\x1f\x1f");
}

void sendToServer(const QByteArray &datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server().receivePort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int before = server().receivedDatagrams();
    fuzzRunUntil([&] {
        const ssize_t sent = ::sendto(peer, datagram.constData(), size_t(datagram.size()), 0,
                                      reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (sent == datagram.size()) return true;
        // A full buffer takes it once the server has read; anything else is a broken harness.
        if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENOBUFS))
            fuzzFail("send datagram", __FILE__, __LINE__);
        return false;
    });
    fuzzRunUntil([&] { return server().receivedDatagrams() > before; });
}

// Reads and drops what the server sent to the peer.
void dropAnswers() {
    char buf[65536];
    while (::recv(peer, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
}

} // namespace

void fuzzTargetSetUp() {
    FuzzWorld::setUpProcess();
    server();
    FuzzWorld::drain();
    FUZZ_CHECK(server().receivePort() != 0);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A datagram carries at most this much; the kernel refuses more.
    if (size > 65000) return 0;
    const QByteArray bytes = fuzzBytes(data, size);
    {
        FuzzWorld world;
        KDTPacket::resetRecentIds();
        // An empty datagram carries nothing a socket hands on.
        if (!bytes.isEmpty()) sendToServer(bytes);
        KDTPacket::resetRecentIds();
        sendToServer(frameOf(bytes));
        fuzzRunUntil([] {
            dropAnswers();
            return server().pendingSends() == 0;
        });
    }
    // Timers never fire here; the follow-ups of the refreshes this input asked for go with it.
    for (Timer *timer : server().findChildren<Timer *>()) delete timer;
    FuzzWorld::drain();
    return 0;
}

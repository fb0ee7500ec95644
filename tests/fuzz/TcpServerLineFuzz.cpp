// The messaging server's own read of a line, over a real loopback connection, both ways:
//  - a peer connects and sends the line; the server reads it to CR LF, dispatches it, answers
//    and closes (its own didRead, not a copy of its checks);
//  - the server delivers a held copy to a peer that answers with the line, so the handling of a
//    peer's "TMR" (and of every answer that is not one) runs on a connection carrying a copy.
// The first byte chooses whether the rest goes as it is or as the fields of a frame (joined by
// 0xA6, made into a frame as a peer would), so the handlers behind the read are reached too.
#include "FuzzLoopback.h"
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/app/AppContext.h"
#include "core/model/Chat.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/net/TCPserver.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"


#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int listenFd = -1;
std::uint16_t peerPort = 0;

TCPserver &server() {
    static TCPserver *s = [] {
        // The peer that the server's deliveries reach, on loopback.
        listenFd = fuzzListen(&peerPort);
        auto *made = new TCPserver(0, peerPort, false);
        Chat::registerHandlers(*made);
        return made;
    }();
    return *s;
}

QByteArray frameOf(const QByteArray &joinedFields) {
    const qsizetype fieldCount = joinedFields.count('\xa6') + 1;
    const QByteArray plain =
        QByteArray::number(fieldCount + 1) + "\xa6" + "4299997\xa6" + joinedFields + "\xa6" + '\0';
    return KDTAES::encryptDataToData(plain).toBase64() + QByteArray("\x1f\x1f");
}

} // namespace

void fuzzTargetSetUp() {
    FuzzWorld::setUpProcess();
    server();
    FuzzWorld::drain();
    FUZZ_CHECK(server().isListening());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const QByteArray rest = fuzzBytes(data + 1, size - 1);
    const QByteArray line = ((data[0] & 1) ? frameOf(rest) : rest) + "\r\n";
    FuzzWorld world;
    TCPserver::setShared(&server());

    // A peer's line to the server.
    const int client = fuzzConnect(server().listeningPort());
    fuzzSendAll(client, line);
    fuzzRunUntilReady(client, POLLIN | POLLRDHUP, [&] { return fuzzClosedBy(client); });
    ::close(client);
    fuzzRunUntil([] { return server().acceptedConnectionCount() == 0; });

    // The same line as a peer's answer to the delivery of a held copy.
    world.carol()->setIp(QStringLiteral("127.0.0.1"));
    world.carol()->setStatus(QStringLiteral("0"));
    const QList<MessageForForwarding *> held =
        MessageForForwarding::findByMessageId(world.context(), FuzzWorld::kHeldId);
    FUZZ_CHECK(!held.isEmpty());
    server().SendTCPpacket(frameOf("TSFM\xa6"
                                   "777\xa6"
                                   "1700000000\xa6"
                                   "A000000001\xa6"
                                   "Bob\xa6"
                                   "A000000003\xa6"
                                   "held\xa6"
                                   "A000000002"),
                           world.carol(), held.first());
    int peer = -1;
    fuzzRunUntilReady(listenFd, POLLIN, [&] { return (peer = fuzzAccept(listenFd)) >= 0; });
    QByteArray request;
    fuzzRunUntilReady(peer, POLLIN | POLLRDHUP, [&] {
        char buf[4096];
        const ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) request.append(buf, n);
        return request.contains("\r\n") || n == 0;
    });
    // The answer may carry the packet id the server read a moment ago.
    KDTPacket::resetRecentIds();
    fuzzSendAll(peer, line);
    fuzzRunUntil([] { return server().outgoingConnectionCount() == 0; });
    ::close(peer);
    saveContextIfChanged();
    TCPserver::setShared(nullptr);
    return 0;
}

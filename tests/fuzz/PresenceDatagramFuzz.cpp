// The presence server on a received datagram, and through it the roster's update from
// presence and the "UOMFR" notice that drops held copies. The input is the fields joined by
// 0xA6, made into a frame as a peer would send it; the raw input is handed over as a datagram
// too. The server's sockets are closed before the first input, so answers go nowhere.
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/model/User.h"
#include "core/net/UDPserver.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "platform/runloop/Timer.h"

#include <QThread>

namespace {
UDPserver &server() {
    static UDPserver *s = [] {
        auto *made = new UDPserver(0, 0);
        made->endWork();
        made->closeBothUDPsockets();
        // The sending socket closes on its own queue once nothing is left to send.
        for (int i = 0; i < 100; ++i) {
            FuzzWorld::drain();
            QThread::msleep(2);
        }
        // The server installs its own typing sender; nothing may leave.
        User::setTypingNoticeSender([](User *) {});
        return made;
    }();
    return *s;
}

QByteArray frameOf(const QByteArray &joinedFields) {
    const qsizetype fieldCount = joinedFields.count('\xa6') + 1;
    const QByteArray plain =
        QByteArray::number(fieldCount + 1) + "\xa6" + "4299998\xa6" + joinedFields + "\xa6" + '\0';
    return KDTAES::encryptDataToData(plain).toBase64() + QByteArray("\x1f\x1f");
}
} // namespace

void fuzzTargetSetUp() {
    FuzzWorld::setUpProcess();
    server();
    FuzzWorld::drain();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    FuzzWorld world;
    KDTPacket::resetRecentIds();
    server().handleDatagram(bytes, QStringLiteral("127.0.0.2"));
    KDTPacket::resetRecentIds();
    server().handleDatagram(frameOf(bytes), QStringLiteral("127.0.0.2"));
    FUZZ_CHECK(server().pendingSends() == 0);
    FuzzWorld::drain();
    // Timers never fire here; the follow-ups of the refreshes this input asked for go with it.
    for (Timer *timer : server().findChildren<Timer *>()) delete timer;
    return 0;
}

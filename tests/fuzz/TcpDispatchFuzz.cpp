// The messaging server's dispatch on a received packet: the input is the fields joined by
// 0xA6, put into a frame and read back as the server reads a line, so the handlers get the
// arrays a peer can make them see (field 6 of a message decoded as text, short frames
// rejected). Every handler runs against a fresh store with a local user and a few known users;
// no socket is opened, the listener being off from the start.
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/app/AppContext.h"
#include "core/model/Chat.h"
#include "core/model/Message.h"
#include "core/net/TCPserver.h"
#include "core/wire/KDTPacket.h"

namespace {
TCPserver &server() {
    static TCPserver *s = [] {
        // Port 0 and no system watch; switched off at once, so it never listens while inputs run.
        auto *made = new TCPserver(0, 0, false);
        made->turnOffserver();
        Chat::registerHandlers(*made);
        return made;
    }();
    return *s;
}
} // namespace

void fuzzTargetSetUp() {
    FuzzWorld::setUpProcess();
    server();
    FuzzWorld::drain();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::optional<PacketArray> fields = FuzzWorld::readFields(fuzzBytes(data, size));
    if (!fields) return 0;
    FuzzWorld world;
    FUZZ_CHECK(!server().isListening());
    const QString word = fields->at(0).toString();
    // As the server's read does: a short message packet is dropped, a receipt is not dispatched.
    if (Message::messageWords().contains(word) && fields->size() < Message::fieldsNeeded(word)) return 0;
    if (word == QLatin1String("TMR")) return 0;
    const PacketArray reply = server().dispatch(*fields, QStringLiteral("127.0.0.2"));
    saveContextIfChanged();
    if (!reply.isEmpty()) KDTPacket::PlainPackeFromArray(reply);
    FuzzWorld::drain();
    return 0;
}

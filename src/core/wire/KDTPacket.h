#pragma once

#include "core/wire/PacketField.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// Wire frames: build one from a packet array, read one back, and drop repeated frames.
class KDTPacket {
public:
    // The frame bytes, or an empty QByteArray when the array has fewer than 8 elements or an
    // empty one (then nothing is sent).
    static QByteArray PlainPackeFromArray(const PacketArray &array);
    // The fields (field 0 the type word), or nullopt when the frame is rejected.
    static std::optional<PacketArray> ArrayFromBase64AESdata(const QByteArray &bytes);
    // True and recorded when the id is not among the last 60 accepted ids.
    static bool CanContinueWithId(const QString &packetId);

    // Tests: forget the accepted ids; replace the id source (nullptr restores the random one).
    static void resetRecentIds();
    static void setIdSource(std::function<std::uint32_t()> source);
};

#pragma once

// Small helpers shared by the frame, cipher and information-block tests.

#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/PacketField.h"
#include "core/wire/TextCodec.h"
#include "platform/defaults/Defaults.h"

#include <QByteArray>
#include <QList>

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>

// Readable failure output. Internal linkage, so other test files may print these types their way.
static inline void PrintTo(const QByteArray &bytes, std::ostream *os) {
    *os << "hex:" << bytes.toHex(' ').constData();
}
static inline void PrintTo(const QString &text, std::ostream *os) {
    *os << '"' << text.toUtf8().constData() << '"';
}
static inline void PrintTo(const PacketField &field, std::ostream *os) {
    if (field.isData()) {
        *os << "data ";
        PrintTo(field.toData(), os);
    } else {
        PrintTo(field.toString(), os);
    }
}

namespace frametest {

inline const QByteArray kSep("\xA6", 1);
inline const QByteArray kNul("\0", 1);
inline const QByteArray kEndMark("\x1F\x1F", 2);

// Every test starts from Western (Windows-1252), whatever an earlier test switched to.
inline void useWesternEncoding() {
    Defaults::standard().setValue(QStringLiteral("encoding"), 12);
    resetLegacyTextEncodingCache();
}

// Plaintext elements joined by 0xA6, as the writer lays them out.
inline QByteArray joined(std::initializer_list<QByteArray> elements) {
    return QList<QByteArray>(elements).join(kSep);
}

// A frame around an arbitrary plaintext.
inline QByteArray frameOf(const QByteArray &plain) {
    return KDTAES::encryptDataToData(plain).toBase64() + kEndMark;
}

// The plaintext of a written frame with its PKCS#7 padding checked and removed; a marker text
// when the frame is not well formed, so a comparison fails visibly.
inline QByteArray plainOf(const QByteArray &frame) {
    if (!frame.endsWith(kEndMark)) return "<no end mark>";
    const QByteArray ciphertext = QByteArray::fromBase64(frame.chopped(2));
    if (ciphertext.isEmpty() || ciphertext.size() % 16 != 0) return "<ragged ciphertext>";
    QByteArray plain = KDTAES::decryptDataToData(ciphertext).left(ciphertext.size());
    const int pad = static_cast<unsigned char>(plain.back());
    if (pad < 1 || pad > 16) return "<bad padding>";
    for (qsizetype i = plain.size() - pad; i < plain.size(); ++i)
        if (static_cast<unsigned char>(plain.at(i)) != pad) return "<bad padding>";
    plain.chop(pad);
    return plain;
}

// The usual information request: 8 fields of the common layout.
inline PacketArray infoRequest() { return {"TRI", "*", "pc-1", "A123", "*", "A456", "*", "*"}; }

class WireTest : public ::testing::Test {
protected:
    void SetUp() override {
        useWesternEncoding();
        KDTPacket::resetRecentIds();
        KDTPacket::setIdSource(nullptr);
    }
    void TearDown() override {
        KDTPacket::setIdSource(nullptr);
        KDTPacket::resetRecentIds();
    }

    // Ids from a counter, so every frame of a test is new to the reader.
    void countIdsFrom(std::uint32_t first) {
        KDTPacket::setIdSource([next = first]() mutable { return next++; });
    }
};

} // namespace frametest

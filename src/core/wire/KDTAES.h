#pragma once

#include "core/wire/PacketField.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// AES-256-CBC (zero IV) under the fixed packet key: the frame cipher, field joining and
// splitting, and a cipher for single strings.
class KDTAES {
public:
    // The 32 key bytes shared by every copy.
    static const QByteArray &packetKey();

    static QByteArray oneByteData(std::uint8_t byte);

    // PKCS#7-padded ciphertext; empty when the cipher fails.
    static QByteArray encryptDataToData(const QByteArray &data);
    // The decrypted bytes, padding included, followed by zero bytes: input length + 16 bytes.
    static QByteArray decryptDataToData(const QByteArray &data);

    static QByteArray encryptString(const QString &text, bool forceUtf);
    // A null QString when forcedUtf is set and the bytes are not UTF-8.
    static QString decryptString(const QByteArray &data, bool forcedUtf);

    // Joins count, id, fields and NUL with 0xA6, encrypts, Base64-encodes and appends 0x1F 0x1F.
    // The array must already hold count and id in front and the NUL element (the data 0x00) last.
    // Empty when the cipher fails, so nothing is sent.
    static QByteArray encryptArrayForPacket(const PacketArray &array);
    // Decrypts Base64-decoded ciphertext and splits it into decoded elements (count and id
    // included); empty optional when nothing usable comes out.
    static std::optional<PacketArray> decryptStringToArray(const QByteArray &ciphertext);
};

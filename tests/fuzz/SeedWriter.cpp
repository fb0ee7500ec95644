// Writes the seed inputs of the fuzz targets into <folder>/frame_reader and
// <folder>/userinfo_parser: frames made by the frame writer, the plaintext behind them (the
// frame reader target also reads its input as plaintext), information blocks made by the block
// writer, and a few odd inputs. Run again after a change of the wire format.
#include "FuzzSupport.h"

#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "core/wire/UserInfoPacket.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <cstdio>

namespace {
QString g_root;

void put(const char *target, const char *name, const QByteArray &bytes) {
    QDir().mkpath(g_root + '/' + target);
    QFile file(g_root + '/' + target + '/' + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s/%s\n", target, name);
        std::exit(1);
    }
}

// The plaintext of a written frame: Base64 text before the end mark, decrypted, up to and
// including the NUL element.
QByteArray plaintextOf(const QByteArray &frame) {
    const QByteArray text = frame.left(frame.indexOf("\x1f\x1f"));
    const QByteArray plain = KDTAES::decryptDataToData(QByteArray::fromBase64(text));
    return plain.left(plain.indexOf('\0') + 1);
}

QByteArray frameOf(const PacketArray &fields) {
    const QByteArray frame = KDTPacket::PlainPackeFromArray(fields);
    if (frame.isEmpty()) {
        std::fprintf(stderr, "the writer made no frame of a %s array\n",
                     qPrintable(fields.value(0).toString()));
        std::exit(1);
    }
    return frame;
}

const QMap<QString, QString> kMe = {
    {"pc", "pc-alpha"},           {"userId", "A123456789"}, {"logonUser", "alice"},    {"version", "0.1.0"},
    {"statusString", "At lunch"}, {"firstName", "Alice"},   {"lastName", "Lindqvist"}, {"jobTitle", "R|D"},
    {"department", "Qualität"},   {"status", "0"},          {"idleTime", "0"},         {"isOnTS", "0"},
    {"oSversion", "Linux 6.1"},
};

QString me(const QString &key) { return kMe.value(key); }
} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    fuzzSetUp();
    g_root = QString::fromLocal8Bit(argv[1]);
    std::uint32_t nextId = 4200001;
    KDTPacket::setIdSource([&nextId] { return nextId++; });

    const PacketArray tri = {"TRI", "*", "pc-alpha", "A123456789", "*", "A987654321", "*", "*"};
    const PacketArray tsm = {"TSM",
                             "5551234",
                             "pc-alpha",
                             "A123456789",
                             "Alice",
                             "A987654321",
                             encodeTextField(QString::fromUtf8("Hi ¦ there, Цена 5€ 😀")),
                             "*"};
    const PacketArray tsiUtf = UserInfoPacket::MyUserInfoFor(me, "A987654321", true);
    const PacketArray tsiLegacy = UserInfoPacket::MyUserInfoFor(me, "A987654321", false);

    const QByteArray triFrame = frameOf(tri);
    put("frame_reader", "tri.frame", triFrame);
    put("frame_reader", "tsm.frame", frameOf(tsm));
    put("frame_reader", "tsi-utf8.frame", frameOf(tsiUtf));
    put("frame_reader", "tsi-legacy.frame", frameOf(tsiLegacy));
    put("frame_reader", "tri-start-mark-crlf.frame", "  " + frameOf(tri) + "\r\n");
    put("frame_reader", "tri.plain", plaintextOf(triFrame));
    put("frame_reader", "tsm.plain", plaintextOf(frameOf(tsm)));
    put("frame_reader", "tsi-utf8.plain", plaintextOf(frameOf(tsiUtf)));
    // Odd inputs: nothing, only marks, a cut frame, a count that does not match, too few fields.
    put("frame_reader", "empty", QByteArray());
    put("frame_reader", "marks-only", "  \x1f\x1f\r\n");
    put("frame_reader", "cut.frame", triFrame.left(triFrame.size() / 2) + "\x1f\x1f");
    put("frame_reader", "count-mismatch.plain",
        QByteArray("7\xa6"
                   "4200100\xa6TRI\xa6*\xa6pc\xa6") +
            '\0');
    put("frame_reader", "six-fields.plain",
        QByteArray("7\xa6"
                   "4200101\xa6TRI\xa6*\xa6pc\xa6u\xa6*\xa6u\xa6") +
            '\0');

    const QByteArray blockUtf = UserInfoPacket::_myInfoFieldForUtf(me, true).toData();
    const QByteArray blockLegacy = encodeLegacyText(UserInfoPacket::_myInfoFieldForUtf(me, false).toString());
    put("userinfo_parser", "block23-utf8", blockUtf);
    put("userinfo_parser", "block23-legacy", blockLegacy);
    put("userinfo_parser", "block22", blockUtf.left(blockUtf.lastIndexOf('|', blockUtf.size() - 2) + 1));
    put("userinfo_parser", "block24-last-not-empty", blockUtf + "extra");
    put("userinfo_parser", "empty", QByteArray());
    put("userinfo_parser", "text-field", encodeTextField(QString::fromUtf8("Grüße ¦ 😀")));
    put("userinfo_parser", "cp1251-legacy", QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2"));
    put("userinfo_parser", "utf8-four-byte-text-field", QByteArray("ok \xf0\x9f\x98\x80\x1f"));
    std::printf("seeds written to %s\n", argv[1]);
    return 0;
}

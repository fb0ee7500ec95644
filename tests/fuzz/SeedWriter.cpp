// Writes the seed inputs of the fuzz targets into <folder>/<target>: frames made by the frame
// writer, the plaintext behind them (the frame reader target also reads its input as
// plaintext), information blocks made by the block writer, the fields of the writer's frames
// for the dispatch and presence targets, header pieces as the transfer writer makes them, and
// a few odd inputs. Run again after a change of the wire format.
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/model/Me.h"
#include "core/net/UDPserver.h"
#include "core/wire/KDTAES.h"
#include "core/wire/KDTPacket.h"
#include "core/wire/TextCodec.h"
#include "core/wire/UserInfoPacket.h"
#include "transfer/HeaderRecord.h"

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

// The fields of a written frame as the dispatch and presence targets take them: the plaintext
// without the count, the id and the NUL element.
QByteArray joinedFieldsOf(const PacketArray &fields) {
    QByteArray plain = plaintextOf(frameOf(fields));
    plain.chop(2); // the separator and the NUL
    const qsizetype afterCount = plain.indexOf('\xa6');
    return plain.mid(plain.indexOf('\xa6', afterCount + 1) + 1);
}

// The plaintext of a header record's pieces, 0x1F between them, as the transfer target takes it.
QByteArray headerPiecesOf(const QStringList &pairs) {
    QByteArray out;
    for (const QByteArray &piece : HeaderRecord::prepare(pairs, true).split('\x1f')) {
        if (piece.startsWith('\r')) break;
        if (!out.isEmpty()) out += '\x1f';
        const QByteArray plain = KDTAES::decryptDataToData(QByteArray::fromBase64(piece));
        // The cipher's text ends at its NUL; what follows is padding.
        out += plain.left(plain.contains('\0') ? plain.indexOf('\0') : plain.size());
    }
    return out;
}

void writeDispatchSeeds() {
    const QString a = FuzzWorld::kMeId, b = FuzzWorld::kBobId, c = FuzzWorld::kCarolId;
    const QByteArray text = encodeTextField(QString::fromUtf8("Hi ¦ there 😀"));
    const auto put1 = [](const char *name, const PacketArray &fields) {
        put("tcp_dispatch", name, joinedFieldsOf(fields));
    };
    put1("tsm", {"TSM", "5551234", "pc-bob", b, "Bob", a, text, "*"});
    put1("tmm", {"TMM", "5551235", "pc-bob", b, "Bob", a, text, "*"});
    put1("tsm-known-id", {"TSM", "500", "pc-bob", b, "Bob", a, text, "*"});
    put1("tsom", {"TSOM", c, "5551236", b, "1700003600.5", a, text, "Bob"});
    put1("tsomm", {"TSOMM", c, "5551237", b, "1700003600", a, text, "Bob"});
    put1("tsfm", {"TSFM", "5551238", "1700003600", c, "Bob", a, text, b});
    put1("tsfmm-unknown-author", {"TSFMM", "5551239", "1700003600", b, "Eve", a, text, "A000000099"});
    put1("tri", {"TRI", "*", "pc-bob", b, "*", a, "*", "*"});
    QMap<QString, QString> bob = kMe;
    bob.insert("userId", b);
    bob.insert("pc", "pc-bob");
    put1("tsi", UserInfoPacket::MyUserInfoFor([&bob](const QString &k) { return bob.value(k); }, a, true));
    const QString room = QString::number(FuzzWorld::kRoomId);
    put1("crjr", {"CRJR", "123456", "pc-bob", b, "*", a, b + "," + a + "," + c, "*"});
    put1("crgrr", {"CRGRR", room, "pc-bob", b, "*", a, b + "," + a, "*"});
    put1("crgri", {"CRGRI", room, "pc-bob", b, "*", a, "*", "*"});
    put1("crsm", {"CRSM", room, "pc-bob", b, "*", a, text, "*"});
    put1("crlr", {"CRLR", room, "pc-bob", b, "*", a, "*", "*"});
    put1("tmr", {"TMR", "*", "pc-bob", b, "*", a, "*", "*"});
}

// The presence targets take the same inputs: one hands them to the server's handler, the other
// sends them to its socket.
void putPresence(const char *name, const QByteArray &bytes) {
    put("presence_datagram", name, bytes);
    put("presence_receive", name, bytes);
}

void writePresenceSeeds() {
    FuzzWorld world;
    // Carol's announcements: she is offline in the store and holds nothing, Bob holds a copy for her.
    Me *carol = world.me();
    carol->setUserId(FuzzWorld::kCarolId);
    carol->setPc(QStringLiteral("pc-carol"));
    carol->setName(QStringLiteral("Carol"));
    carol->setStatusString(QStringLiteral("Back"));
    const auto put1 = [&](const char *name, const QString &word, const QString &oldName = QString(),
                          const QString &newName = QString()) {
        putPresence(name, joinedFieldsOf(UDPserver::presencePacket(carol, word, nullptr, oldName, newName)));
    };
    put1("ui", "UI");
    put1("rl", "RL");
    put1("al", "AL");
    put1("ss", "SS");
    put1("uo", "UO");
    put1("tp", "TP");
    put1("uc", "UC", "Carol", "Caroline");
    putPresence("uomfr",
        joinedFieldsOf({"UOMFR", QString::number(FuzzWorld::kHeldId), "pc-carol", FuzzWorld::kCarolId, "*",
                        "*", "*", "*", "0"}));
    putPresence("bl",
        joinedFieldsOf({"BL", "*", "pc-carol", FuzzWorld::kCarolId, "*", "*", "*", "*"}));
}

void writeTransferSeeds() {
    const auto put1 = [](const char *name, const QStringList &pairs) {
        put("transfer_header", name, headerPiecesOf(pairs));
    };
    put1("request", {"CONTENT-TYPE", "FILESENDREQUEST", "SESSID", "12345", "SESSAES", "1", "FROM-ID",
                     FuzzWorld::kBobId, "FROM-USERNAMEDISPLAY", "Bob Łukasz", "TO-USER", FuzzWorld::kMeId,
                     "FILES-NUMBER", "2", "FILES-TOTALSIZE", "1048576", "ISFILESWIDE", "1"});
    put1("transfer-answer", {"CONTENT-TYPE", "NEWWIDEFTSANSWER", "ACCEPT-FILES", "1", "ACCEPT-AES", "1"});
    put1("file-answer", {"CONTENT-TYPE", "FILESENDREQUESTRESPONSE", "ACCEPT", "1"});
    put1("file-header", {"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", "docs\\2024", "FILE-NAME",
                         "report.txt", "FILE-SIZE", "4", "FILE-PERMISSIONS", "420"});
    put1("file-header-wide",
         {"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", "x", "FILE-NAME", "x", "FILE-SIZE", "0",
          "FILE-PERMISSIONS", "384", "FILE-WIDEPATH",
          QString::fromLatin1(QString::fromUtf8("Отчёты\\2024").toUtf8().toBase64()), "FILE-WIDENAME",
          QString::fromLatin1(QString::fromUtf8("итог 😀.txt").toUtf8().toBase64())});
    put1("file-header-escape", {"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", "..\\..\\etc", "FILE-NAME",
                                "passwd", "FILE-SIZE", "-1", "FILE-PERMISSIONS", "4095"});
}
// The transfer dialogue target's input: a flags byte, then parts joined by 0xFE 0xFE, each a
// header line's plaintext pieces or "D" and raw bytes (see TransferDialogueFuzz.cpp).
void writeDialogueSeeds() {
    const auto pieces = [](const QStringList &pairs) {
        QByteArray out;
        for (qsizetype i = 0; i + 1 < pairs.size(); i += 2) {
            if (!out.isEmpty()) out += '\x1f';
            out += (pairs.at(i) + QLatin1Char('=') + pairs.at(i + 1)).toUtf8();
        }
        return out;
    };
    const auto seed = [](const char *name, char flags, const QList<QByteArray> &parts) {
        put("transfer_dialogue", name, QByteArray(1, flags) + parts.join("\xfe\xfe"));
    };
    const auto request = [&](const char *aes, const char *files) {
        return pieces({"CONTENT-TYPE", "FILESENDREQUEST", "SESSID", "12345", "SESSAES", aes, "FROM-ID",
                       FuzzWorld::kBobId, "FROM-USERNAMEDISPLAY", "Bob", "TO-USER", FuzzWorld::kMeId,
                       "FILES-NUMBER", files, "FILES-TOTALSIZE", "20", "ISFILESWIDE", "1"});
    };
    const auto header = [&](const QString &path, const QString &name, const char *size) {
        return pieces({"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", path, "FILE-NAME", name, "FILE-SIZE", size,
                       "FILE-PERMISSIONS", "420"});
    };
    const QByteArray wideHeader =
        pieces({"CONTENT-TYPE", "SENDFILESTREAM", "FILE-PATH", "x", "FILE-NAME", "x", "FILE-SIZE", "4",
                "FILE-PERMISSIONS", "384", "FILE-WIDEPATH",
                QString::fromLatin1(QString::fromUtf8("Отчёты\\2024").toUtf8().toBase64()), "FILE-WIDENAME",
                QString::fromLatin1(QString::fromUtf8("итог 😀.txt").toUtf8().toBase64())});
    // Chunks go padded to 16 bytes when encrypted.
    const QByteArray chunk16 = "D" + QByteArray(16, '\x42');
    seed("receive-two-files-encrypted", 0,
         {request("1", "2"), header("docs\\2024", "report.txt", "4"), chunk16, wideHeader, chunk16});
    seed("receive-plain", 0, {request("0", "1"), header("", "a.txt", "5"), "Dhello"});
    seed("receive-empty-file", 0, {request("1", "1"), header("", "empty", "0")});
    seed("receive-escape-attempt", 0, {request("1", "1"), header("..\\..\\etc", "passwd", "4"), chunk16});
    seed("receive-cut-chunk", 0, {request("1", "1"), header("", "big", "1000"), chunk16});
    seed("receive-refused", 2, {request("1", "1"), header("", "a", "1"), chunk16});
    seed("receive-unknown-sender", 0,
         {pieces({"CONTENT-TYPE", "FILESENDREQUEST", "SESSAES", "1", "FROM-ID", "A000000077", "FILES-NUMBER",
                  "1"})});
    seed("receive-no-sender", 0, {pieces({"CONTENT-TYPE", "FILESENDREQUEST", "FILES-NUMBER", "1"})});
    const QByteArray accepted = pieces({"CONTENT-TYPE", "NEWWIDEFTSANSWER", "ACCEPT-FILES", "1", "ACCEPT-AES", "1"});
    const QByteArray fileAccepted = pieces({"CONTENT-TYPE", "FILESENDREQUESTRESPONSE", "ACCEPT", "1"});
    seed("send-accepted", 1, {accepted, fileAccepted, fileAccepted});
    seed("send-accepted-plain", 1,
         {pieces({"CONTENT-TYPE", "NEWFTSANSWER", "ACCEPT-FILES", "1", "ACCEPT-AES", "0"}), fileAccepted,
          fileAccepted});
    seed("send-declined", 1, {pieces({"CONTENT-TYPE", "NEWWIDEFTSANSWER", "ACCEPT-FILES", "0"})});
    seed("send-file-refused", 1,
         {accepted, pieces({"CONTENT-TYPE", "FILESENDREQUESTRESPONSE", "ACCEPT", "4"})});
}
} // namespace

// The socket read engine's input: flags (bit 0: the peer closes at the end), the request count,
// the requests, the segment sizes, then the stream (see SocketReadEngineFuzz.cpp).
void writeReadEngineSeeds() {
    auto seed = [](const char *name, QByteArray head, const QByteArray &stream) {
        put("socket_read_engine", name, head + stream);
    };
    seed("two-lines-one-segment", QByteArray("\x00\x01\x03\x03\x00\xfe", 6), "ab\r\ncd\r\n");
    seed("crlf-split-over-segments", QByteArray("\x00\x01\x03\x03\x01\x02\xfe", 7), "ab\r\ncd\r\n");
    seed("length-into-caller-buffer-at-offset", QByteArray("\x00\x00\xa5\x00\x09\x02\x03\x03\x03", 9),
         "0123456789");
    seed("bounded-line-reaches-its-maximum", QByteArray("\x00\x00\x00\x00\n\x09\x00\xfe", 8), "abcdefg\n");
    seed("peer-closes-mid-line", QByteArray("\x01\x00\x03\x00\xfe", 5), "partial");
    seed("available-then-line", QByteArray("\x00\x01\x02\x05\x03\x01\x04\xfe", 8), "hello world\r\n");
    seed("terminator-straddles-segments", QByteArray("\x00\x00\x00\x01\x1f\x1f\x00\x01\x03\x00", 10),
         "abc\x1f\x1f"
         "def");
}

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    fuzzSetUp();
    FuzzWorld::setUpProcess();
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
    writeDispatchSeeds();
    writePresenceSeeds();
    writeTransferSeeds();
    writeReadEngineSeeds();
    writeDialogueSeeds();
    std::printf("seeds written to %s\n", argv[1]);
    return 0;
}

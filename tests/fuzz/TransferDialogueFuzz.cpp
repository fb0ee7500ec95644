// The file-transfer dialogue on a real loopback connection, either side:
//  - receiving: a peer connects to the file server and sends the request, the file headers and
//    the chunks; the request is answered with the decision the input chooses, so the request,
//    the headers, the chunks (and the stream cipher over them) and the answers all run;
//  - sending: a transfer of two small files goes to a peer that answers with the input, so the
//    reading of the transfer answer and of each file answer, and the chunks, run.
// Input: one byte of flags, then parts separated by 0xFE 0xFE. A part starting with "D" goes as
// the bytes after the "D"; any other part is the plaintext of a header line's pieces (0x1F
// between them), encrypted and ended as a peer does. The peer then ends its sending, so every
// exchange ends when the input does. Files are made only below a private folder, emptied after
// every input.
//   flags bit 0: the program sends (else it receives)
//   flags bits 1-2: the receiver's decision: accept, cancel, not allowed, no folder
#include "FuzzLoopback.h"
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/model/User.h"
#include "core/wire/KDTAES.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FILEserver.h"
#include "transfer/FileTransfer.h"
#include "transfer/HeaderRecord.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>

#include <chrono>

#include <sys/socket.h>
#include <unistd.h>

namespace {

QTemporaryDir &scratch() {
    static QTemporaryDir dir;
    if (!dir.isValid()) fuzzFail("temporary folder", __FILE__, __LINE__);
    return dir;
}

QString receivedRoot() { return scratch().path() + QStringLiteral("/received"); }
QString sentRoot() { return scratch().path() + QStringLiteral("/sent"); }

int peerListener = -1;
std::uint16_t peerPort = 0;
qint64 decision = FileTransfer::Transferring;

FILEserver &server() {
    static FILEserver *s = [] {
        peerListener = fuzzListen(&peerPort);
        auto *made = new FILEserver(0, peerPort);
        // The decision a user (or the automatic acceptance) would take, at once.
        QObject::connect(made, &FILEserver::incomingTransfer,
                         [](FileTransfer *transfer) { transfer->ContinueTransfer(decision); });
        return made;
    }();
    return *s;
}

void writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        fuzzFail("file to send", __FILE__, __LINE__);
}

QByteArray lineOf(const QByteArray &plainPieces) {
    QByteArray line;
    // Each piece's text ends at a NUL, as a peer's does; the cipher's padding follows it.
    for (const QByteArray &piece : plainPieces.split('\x1f'))
        line += KDTAES::encryptDataToData(piece + '\0').toBase64() + HeaderRecord::separator();
    return line + HeaderRecord::terminator();
}

QByteArray streamOf(const QByteArray &parts) {
    QByteArray stream;
    qsizetype from = 0;
    while (from <= parts.size()) {
        qsizetype end = parts.indexOf("\xfe\xfe", from);
        if (end < 0) end = parts.size();
        const QByteArray part = parts.mid(from, end - from);
        stream += part.startsWith('D') ? part.mid(1) : lineOf(part);
        from = end + 2;
    }
    return stream;
}

// Everything a transfer left on the disk is below the folder of received files.
void checkReceivedFiles(ManagedObjectContext *context) {
    const QString root = receivedRoot() + QLatin1Char('/');
    for (const FileTransfer *transfer : context->fetch<FileTransfer>()) {
        if (!transfer->incoming()) continue;
        const QString folder = transfer->folderPath().toLocalFile();
        FUZZ_CHECK(folder.isEmpty() || folder.startsWith(root));
        for (const QString &path : transfer->receivedFiles()) {
            FUZZ_CHECK(path.startsWith(folder + QLatin1Char('/')));
            FUZZ_CHECK(!path.contains(QStringLiteral("/../")) && !path.endsWith(QStringLiteral("/..")));
        }
    }
}

void receive(const QByteArray &stream) {
    const int peer = fuzzConnect(server().listeningPort());
    fuzzSendAll(peer, stream);
    // Nothing more comes: what the program still waits for ends with the connection.
    ::shutdown(peer, SHUT_WR);
    fuzzRunUntil([&] { return fuzzClosedBy(peer); });
    ::close(peer);
    fuzzRunUntil([] { return server().openIncomingConnections() == 0; });
}

void send(FuzzWorld &world, const QByteArray &stream) {
    world.bob()->setIp(QStringLiteral("127.0.0.1"));
    QPointer<FileTransfer> transfer(FileTransfer::newOutgoingFiles({sentRoot()}, world.bob(), peerPort));
    FUZZ_CHECK(transfer);
    int peer = -1;
    fuzzRunUntil([&] { return (peer = fuzzAccept(peerListener)) >= 0; });
    fuzzSendAll(peer, stream);
    // Until the transfer gave up or sent everything, or waits for an answer the input does not
    // hold (nothing came for a while); then the peer closes, as a receiver does. The peer keeps
    // its side open till then: a sender that sees the end of the peer's data between two reads
    // takes it for the close.
    auto quiet = std::chrono::steady_clock::now();
    fuzzRunUntil([&] {
        if (fuzzReadAny(peer)) quiet = std::chrono::steady_clock::now();
        return !transfer || !transfer->socket() || transfer->filesTransferred() >= transfer->filesNumber() ||
               std::chrono::steady_clock::now() - quiet > std::chrono::milliseconds(3);
    });
    ::close(peer);
    // The peer's close is noticed at once, whatever it sent after its answers.
    fuzzRunUntil([&] { return !transfer || !transfer->socket(); });
    FUZZ_CHECK(!transfer || transfer->transferState() != FileTransfer::Transferring);
}

} // namespace

void fuzzTargetSetUp() {
    FuzzWorld::setUpProcess();
    Defaults::standard().setValue(QStringLiteral("fileTransferPath"), receivedRoot());
    QDir().mkpath(receivedRoot());
    writeFile(sentRoot() + QStringLiteral("/notes.txt"), "hello");
    writeFile(sentRoot() + QStringLiteral("/docs/2024/report.bin"), QByteArray(40, '\x5a'));
    server();
    FuzzWorld::drain();
    FUZZ_CHECK(server().isListening());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    static const qint64 decisions[] = {FileTransfer::Transferring, FileTransfer::Canceled,
                                       FileTransfer::NotAllowed, FileTransfer::NoFolderAccess};
    decision = decisions[(data[0] >> 1) & 3];
    const QByteArray stream = streamOf(fuzzBytes(data + 1, size - 1));
    {
        FuzzWorld world;
        if (data[0] & 1)
            send(world, stream);
        else
            receive(stream);
        checkReceivedFiles(world.context());
    }
    fuzzEmptyFolder(receivedRoot());
    return 0;
}

// The header lines of the file-transfer dialogue: the record parser, the fields a receiver
// takes from a transfer request and a file header, the sender's reading of the answers, and
// the checks of the names a peer gives for folders and files, down to making the file. The
// input is the plaintext of the pieces (0x1F between them), encrypted and put in a line as a
// peer would send it; the raw input is parsed as a line too. Files are made only below a
// private temporary folder, emptied after every input.
#include "FuzzLoopback.h"
#include "FuzzSupport.h"

#include "core/wire/KDTAES.h"
#include "transfer/FileTransfer.h"
#include "transfer/HeaderRecord.h"
#include "transfer/SingleFile.h"
#include "transfer/outgoingFileReplyHeader.h"
#include "transfer/outgoingTransferReplyHeader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>


namespace {

QTemporaryDir &scratch() {
    static QTemporaryDir dir;
    if (!dir.isValid()) fuzzFail("temporary folder", __FILE__, __LINE__);
    return dir;
}

QByteArray lineOf(const QByteArray &plainPieces) {
    QByteArray line;
    for (const QByteArray &piece : plainPieces.split('\x1f'))
        line += KDTAES::encryptDataToData(piece).toBase64() + HeaderRecord::separator();
    return line + HeaderRecord::terminator();
}

void check(const QByteArray &line) {
    const QHash<QString, QString> fields = HeaderRecord::fields(line);
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        // Keys are normalised, and every value reads as a number without failing.
        FUZZ_CHECK(!it.key().contains(QLatin1Char('-')) && it.key() == it.key().toLower());
        HeaderRecord::leadingNumber(it.value());
    }

    // The receiver of a request; the numbers as the request handler clamps them.
    FileTransfer request;
    request.applyHeaderFields(line);
    FUZZ_CHECK(request.from_id == fields.value(QStringLiteral("from_id")));
    HeaderRecord::leadingNumber(request.files_number);
    HeaderRecord::leadingNumber(request.files_totalsize);

    // The sender of a request and of a file.
    outgoingTransferReplyHeader transferAnswer;
    transferAnswer.applyHeaderFields(fields);
    outgoingFileReplyHeader fileAnswer;
    fileAnswer.applyHeaderFields(fields);

    // The receiver of a file header.
    SingleFile file;
    file.applyHeaderFields(fields);
    file.updateIncomingUtf8headers();
    if (const std::optional<QStringList> parts = SingleFile::safeFolderComponents(file.file_path))
        for (const QString &part : *parts)
            FUZZ_CHECK(SingleFile::isSafeName(part) && part != QLatin1String("."));
    if (SingleFile::isSafeName(file.file_name)) {
        FUZZ_CHECK(!file.file_name.contains(QLatin1Char('/')) && file.file_name != QLatin1String(".."));
    }

    const QString root = scratch().path() + QStringLiteral("/transfer");
    if (!QDir().mkpath(root)) fuzzFail("transfer folder", __FILE__, __LINE__);
    if (file.prepareFolderAndStream(QUrl::fromLocalFile(root))) {
        FUZZ_CHECK(file.bytesTotal >= 0);
        // Made where it belongs, and nowhere else.
        FUZZ_CHECK(file.pathOnDisk().startsWith(root + QLatin1Char('/')));
        FUZZ_CHECK(!file.pathOnDisk().contains(QStringLiteral("/../")));
        const QByteArray some("data");
        file.writeChunk(some.constData(), qMin<qint64>(some.size(), file.bytesTotal));
        file.bytesReceived = qMin<qint64>(some.size(), file.bytesTotal);
        file.releaseStream();
    }
    fuzzEmptyFolder(root);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    check(bytes);
    check(lineOf(bytes));
    return 0;
}

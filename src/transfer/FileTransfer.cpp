#include "transfer/FileTransfer.h"

#include "core/app/AppContext.h"
#include "core/app/AppInterface.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/net/UserList.h"
#include "platform/defaults/Defaults.h"
#include "platform/dispatch/Queue.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "transfer/FileTransferCipher.h"
#include "transfer/HeaderRecord.h"
#include "transfer/SingleFile.h"
#include "transfer/TransferWorker.h"
#include "transfer/outgoingFileReplyHeader.h"
#include "transfer/outgoingTransferReplyHeader.h"
#include "transport/SocketError.h"
#include "transport/TcpSocket.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcTransfer, "murnavell.transfer")

qint64 padded(qint64 n) { return (n + 15) / 16 * 16; }

// One time stamp for every transfer of the process, so progress notices stay rare overall.
qint64 &lastProgressNotice() {
    static qint64 ns = std::numeric_limits<qint64>::min() / 2;
    return ns;
}

qint64 monotonicNs() {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.nsecsElapsed();
}

double &idleTimeoutForTesting() {
    static double seconds = 0;
    return seconds;
}

std::function<void(bool)> &chunkHook() {
    static std::function<void(bool)> hook;
    return hook;
}

// A peer's name as one folder level.
QString folderNameOf(const QString &peerName) {
    QString name = peerName;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QChar(0), QLatin1Char('_'));
    return name;
}

} // namespace

// The sockets hold their delegate weakly; this one forwards to the transfer until the
// transfer is gone.
class FileTransfer::SocketLink : public TcpSocketDelegate {
public:
    explicit SocketLink(FileTransfer *t) : transfer(t) {}
    void socketDidReadData(const std::shared_ptr<TcpSocket> &sock, const QByteArray &data,
                           long tag) override {
        if (transfer && sock == transfer->m_socket) transfer->didRead(data, tag);
    }
    void socketDidWriteData(const std::shared_ptr<TcpSocket> &sock, long tag) override {
        if (transfer && sock == transfer->m_socket) transfer->didWrite(tag);
    }
    void socketDidReadPartialDataOfLength(const std::shared_ptr<TcpSocket> &sock, size_t length,
                                          long tag) override {
        if (!transfer || sock != transfer->m_socket) return;
        transfer->noteProgress(true);
        if (tag == ChunkTag) transfer->someBytesTransferred(qint64(length));
    }
    void socketDidWritePartialDataOfLength(const std::shared_ptr<TcpSocket> &sock, size_t length,
                                           long tag) override {
        if (!transfer || sock != transfer->m_socket) return;
        transfer->noteProgress(false);
        if (tag == DataTag) transfer->someBytesTransferred(qint64(length));
    }
    double socketShouldTimeoutReadWithTag(const std::shared_ptr<TcpSocket> &sock, long, double,
                                          size_t) override {
        return transfer && sock == transfer->m_socket ? transfer->idleTimeLeft(true) : 0;
    }
    double socketShouldTimeoutWriteWithTag(const std::shared_ptr<TcpSocket> &sock, long, double,
                                           size_t) override {
        return transfer && sock == transfer->m_socket ? transfer->idleTimeLeft(false) : 0;
    }
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &err) override {
        if (transfer) transfer->didDisconnect(sock, err);
    }
    FileTransfer *transfer;
};

FileTransfer::FileTransfer() = default;

FileTransfer::~FileTransfer() {
    dropWorkers();
    if (m_link) m_link->transfer = nullptr;
    if (m_socket) m_socket->disconnect();
}

void FileTransfer::setBytesReceived(qint64 v) {
    if (v == m_bytesReceived) return;
    const qint64 old = m_bytesReceived;
    m_bytesReceived = v;
    notifyTransientChange(QStringLiteral("bytesReceived"), old);
}

void FileTransfer::awakeFromInsert() {
    LogEntry::awakeFromInsert();
    m_encrypt = true;
    // No chunk buffer yet: a connection that never gets to its first chunk costs none.
}

void FileTransfer::awakeFromFetch() {
    LogEntry::awakeFromFetch();
    // Nothing is resumed after a restart: what was under way has failed.
    const qint64 state = transferState();
    if (state == Transferring || state == WaitingForAnswer)
        setTransferState(Failed);
    else if (state == Complete)
        m_bytesReceived = filesTotalSize() + 16;
}

// --- Records ---

QByteArray FileTransfer::prepareHeader(const QStringList &pairs, bool utf8DisplayName) {
    return HeaderRecord::prepare(pairs, utf8DisplayName);
}

void FileTransfer::applyHeaderFields(const QByteArray &record) {
    const QHash<QString, QString> fields = HeaderRecord::fields(record);
    const auto take = [&](const char *key, QString *field) {
        const auto it = fields.constFind(QLatin1String(key));
        if (it != fields.constEnd()) *field = *it;
    };
    take("content_type", &content_type);
    take("sessid", &sessid);
    take("sessaes", &sessaes);
    take("from_id", &from_id);
    take("to_user", &to_user);
    take("files_number", &files_number);
    take("files_totalsize", &files_totalsize);
    take("isfileswide", &isfileswide);
}

bool FileTransfer::ensureCipher(bool decrypt) {
    if (!m_cryptor) m_cryptor = FileTransferCipher::create(!decrypt);
    return m_cryptor != nullptr;
}

void FileTransfer::setChunkHookForTesting(std::function<void(bool)> hook) { chunkHook() = std::move(hook); }

std::shared_ptr<FileTransfer::Chunk> FileTransfer::queueNextChunk() {
    auto chunk = std::make_shared<Chunk>();
    chunk->size = qMin<qint64>(m_file->bytesTotal - m_nextOffset, ChunkSize);
    // Never more than the window, made at the first chunk: the announced size bounds how much
    // is read, not how much is allocated.
    chunk->data = takeChunkBuffer();
    m_nextOffset += chunk->size;
    m_sizeToRead = chunk->size;
    m_chunks.push_back(chunk);
    return chunk;
}

std::unique_ptr<QByteArray> FileTransfer::takeChunkBuffer() {
    if (!m_spareChunks.empty()) {
        std::unique_ptr<QByteArray> buffer = std::move(m_spareChunks.back());
        m_spareChunks.pop_back();
        return buffer;
    }
    // Made at the first chunk that needs it: a connection that never gets that far costs none.
    ++m_chunkBuffers;
    m_peakChunkBuffers = std::max(m_peakChunkBuffers, m_chunkBuffers);
    auto buffer = std::make_unique<QByteArray>();
    buffer->reserve(ChunkSize);
    return buffer;
}

void FileTransfer::recycleChunkBuffer(std::unique_ptr<QByteArray> buffer) {
    if (!buffer) return;
    // The socket reports a write done a moment before it lets go of the bytes; filled again
    // while it still holds them, the buffer would be copied whole first. A fresh one instead,
    // and the old bytes go with the socket's hold.
    if (!buffer->isDetached()) {
        *buffer = QByteArray();
        buffer->reserve(ChunkSize);
    }
    m_spareChunks.push_back(std::move(buffer));
}

void FileTransfer::stopWorker() {
    if (!m_worker) return;
    // Bytes received are written, and files received whole are finished, whatever ends the
    // transfer; what the sender would still read and encrypt is dropped.
    if (incoming())
        m_worker->finish();
    else
        stopWorkers();
}

void FileTransfer::stopWorkers() {
    // First the socket is closed to the jobs: a chunk the cipher worker hands back later must
    // not follow chunks that were dropped, or the peer would read a stream with a hole in it.
    if (m_streamOpen) *m_streamOpen = false;
    m_streamOpen.reset();
    // The file worker hands chunks to the cipher worker and that one hands them back: the file
    // worker is stopped again once the cipher worker can no longer give it work.
    if (m_worker) m_worker->stop();
    if (!m_cipherWorker) return;
    m_cipherWorker->stop();
    if (m_worker) m_worker->stop();
}

void FileTransfer::dropWorkers() {
    stopWorkers();
    m_cipherWorker.reset();
    m_worker.reset();
}

void FileTransfer::setIdleTimeoutForTesting(double seconds) { idleTimeoutForTesting() = seconds; }

double FileTransfer::idleTimeout() {
    return idleTimeoutForTesting() > 0 ? idleTimeoutForTesting() : IdleTimeout;
}

double FileTransfer::startReading() {
    m_lastRead = monotonicNs();
    return idleTimeout();
}

double FileTransfer::startWriting() {
    m_lastWrite = monotonicNs();
    m_unacknowledged = m_end.unacknowledgedBytes();
    // The first look comes early too, see idleTimeLeft.
    return idleTimeout() / 4;
}

void FileTransfer::noteProgress(bool reading) { (reading ? m_lastRead : m_lastWrite) = monotonicNs(); }

double FileTransfer::idleTimeLeft(bool reading) {
    if (!reading) {
        // Bytes leaving the kernel's buffer are bytes moving, though the socket took none of
        // ours meanwhile.
        const qint64 unacknowledged = m_end.unacknowledgedBytes();
        if (unacknowledged != m_unacknowledged) {
            m_lastWrite = monotonicNs();
            m_unacknowledged = unacknowledged;
        }
    }
    const double idle = double(monotonicNs() - (reading ? m_lastRead : m_lastWrite)) / 1e9;
    const double left = idleTimeout() - idle;
    if (left <= 0) return 0;
    // The kernel's buffer is only looked at here: looked at again soon, a stall after the last
    // movement seen is noticed within a quarter of the idle time of when it began.
    const double wait = reading ? left : std::min(left, idleTimeout() / 4);
    // A few milliseconds at least, so a timer due at once is not taken for no time left.
    return std::max(wait, 0.005);
}

void FileTransfer::someBytesTransferred(qint64 count) {
    const qint64 now = monotonicNs();
    if (now - lastProgressNotice() < 50'000'000) {
        m_bytesReceived += count;
        return;
    }
    lastProgressNotice() = now;
    setBytesReceived(m_bytesReceived + count);
}

// --- Connection ---

void FileTransfer::attach(const std::shared_ptr<TcpSocket> &socket) {
    if (!m_link) m_link = std::make_shared<SocketLink>(this);
    m_socket = socket;
    m_socket->synchronouslySetDelegate(m_link);
}

void FileTransfer::close() {
    stopWorker();
    if (m_closeTimer) delete m_closeTimer.data();
    if (const std::shared_ptr<TcpSocket> sock = m_socket) sock->disconnect();
}

void FileTransfer::releaseCurrentFile() {
    stopWorker();
    // Files whose last bytes were with the worker, then the one being received. A file cut
    // short keeps its incomplete name.
    for (const std::shared_ptr<SingleFile> &file : m_finishing) {
        file->releaseStream();
        m_receivedFiles.append(file->pathOnDisk());
        if (file->isFinished()) setFilesTransferred(filesTransferred() + 1);
    }
    m_finishing.clear();
    if (!m_file) return;
    m_file->releaseStream();
    if (incoming()) m_receivedFiles.append(m_file->pathOnDisk());
    m_file.reset();
}

void FileTransfer::releaseBuffers() {
    // The object lives as long as the program's context: only a live transfer keeps its chunk
    // buffers, cipher and worker threads.
    dropWorkers();
    m_cryptor.reset();
    m_chunks.clear();
    m_spareChunks.clear();
    m_chunkBuffers = 0;
    m_storing = 0;
    m_plain = QByteArray();
    // Folders of files nobody was told of: closed as they are.
    for (const auto &[path, fd] : m_unsyncedFolders) ::close(fd);
    m_unsyncedFolders.clear();
}

void FileTransfer::fail(qint64 state) {
    releaseCurrentFile();
    setTransferState(state);
    close();
}

void FileTransfer::didDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &error) {
    if (!m_socket || (sock && sock != m_socket)) return;
    stopWorker();
    if (m_closeTimer) delete m_closeTimer.data();
    releaseCurrentFile();
    const qint64 state = transferState();
    if (state == Transferring) {
        // The sender's last chunk is only in the socket. The receiver's orderly close confirms it
        // (as does the quiet end of the wait for that close); the receiver resets the connection
        // on anything else, which the socket reports as a close as well when no read is pending.
        const bool peerClosed =
            error.domain() == QLatin1String(kTcpSocketErrorDomain) && error.code() == TcpSocketClosedError;
        const bool confirmed = error.isNull() || (peerClosed && m_end.peerClosedInOrder());
        setTransferState(m_allSent && confirmed ? Complete : Failed);
    } else if (state == WaitingForAnswer) {
        setTransferState(Canceled);
    }
    if (!error.isNull() && (state == Transferring || state == WaitingForAnswer) &&
        transferState() != Complete)
        qCInfo(lcTransfer).noquote() << "transfer" << rowId() << "closed:" << error.domain() << error.code()
                                     << error.localizedDescription();
    m_end.release();
    m_socket.reset();
    releaseBuffers();
    // A connection that ended before a readable request named its sender leaves no line.
    if (incoming() && user().isEmpty() && managedObjectContext() && !isDeleted())
        managedObjectContext()->deleteObject(this);
    saveContextIfChanged();
}

void FileTransfer::didRead(const QByteArray &data, long tag) {
    switch (tag) {
    case RequestTag:
        requestReceived(data);
        break;
    case HeaderTag:
        fileHeaderReceived(data);
        break;
    case ChunkTag:
        chunkReceived(data);
        break;
    case AnswerTag:
        transferAnswerReceived(data);
        break;
    case FileAnswerTag:
        fileAnswerReceived(data);
        break;
    case TrailingTag:
        readTrailingBytes();
        break;
    default:
        break;
    }
}

void FileTransfer::didWrite(long tag) {
    if (tag == DataTag) chunkWritten();
}

// --- Sending ---

FileTransfer *FileTransfer::newOutgoingFiles(const QStringList &paths, User *to, std::uint16_t port) {
    ManagedObjectContext *ctx = to ? to->managedObjectContext() : nullptr;
    if (!ctx) return nullptr;
    auto *t = ctx->insert<FileTransfer>();
    t->m_port = port;
    t->setIncoming(false);
    if (Me *me = Me::current()) t->setOriginalSenderName(me->name());
    t->setTransferState(WaitingForAnswer);
    t->addUserObject(to);
    for (const QString &given : paths) {
        const QString root = QDir::cleanPath(given);
        struct stat st;
        // The chosen item itself may be a link to a file; below it no link is followed.
        if (::stat(QFile::encodeName(root).constData(), &st) != 0) continue;
        if (S_ISREG(st.st_mode)) {
            t->_addFile(st.st_size, st.st_mode & 07777, root, QString());
            continue;
        }
        if (!S_ISDIR(st.st_mode)) continue;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        QStringList found;
        while (it.hasNext()) found.append(it.next());
        found.sort();
        for (const QString &entry : found) {
            struct stat est;
            // Only regular files: links, fifos and devices are not sent (a fifo would block).
            if (::lstat(QFile::encodeName(entry).constData(), &est) != 0 || !S_ISREG(est.st_mode)) continue;
            t->_addFile(est.st_size, est.st_mode & 07777, root, entry.mid(root.size() + 1));
        }
    }
    if (t->m_outgoing.empty()) {
        t->releaseBuffers();
        ctx->deleteObject(t);
        return nullptr;
    }
    t->setFilesNumber(qint64(t->m_outgoing.size()));
    t->files_number = QString::number(t->filesNumber());
    t->files_totalsize = QString::number(t->filesTotalSize());
    t->Send();
    NotificationCenter::defaultCenter().post(QStringLiteral("logUpdated"), to);
    to->StartConversation(false);
    return t;
}

void FileTransfer::_addFile(qint64 size, quint64 permissions, const QString &root, const QString &subPath) {
    auto f = std::make_shared<SingleFile>();
    f->fileFullPath = subPath.isEmpty() ? root : root + QLatin1Char('/') + subPath;
    f->bytesTotal = size;
    f->permissions = permissions;
    const QString r = subPath.isEmpty() ? QFileInfo(root).fileName()
                                        : QFileInfo(root).fileName() + QLatin1Char('/') + subPath;
    const qsizetype slash = r.lastIndexOf(QLatin1Char('/'));
    f->file_name = r.mid(slash + 1);
    f->file_path = slash < 0 ? QString(QLatin1String("")) : r.left(slash);
    f->file_path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    m_outgoing.push_back(f);
    setFilesTotalSize(filesTotalSize() + size);
}

void FileTransfer::Send() {
    m_cryptor.reset();
    m_allSent = false;
    m_end.release();
    const QList<User *> users = user();
    User *to = users.value(0);
    Me *me = Me::current();
    content_type = QStringLiteral("FILESENDREQUEST");
    sessid = QString::number(QRandomGenerator::global()->bounded(999999999u));
    sessaes = m_encrypt ? QStringLiteral("1") : QStringLiteral("0");
    from_id = me ? me->userId() : QString();
    to_user = to ? to->userId() : QString();
    const QByteArray request = prepareHeader(
        {QStringLiteral("CONTENT-TYPE"), content_type, QStringLiteral("SESSID"), sessid,
         QStringLiteral("SESSAES"), sessaes, QStringLiteral("FROM-ID"), from_id,
         QStringLiteral("FROM-USERNAMEDISPLAY"), me ? me->name() : QString(), QStringLiteral("TO-USER"),
         to_user, QStringLiteral("FILES-NUMBER"), files_number, QStringLiteral("FILES-TOTALSIZE"),
         files_totalsize, QStringLiteral("ISFILESWIDE"), QStringLiteral("1")},
        to && to->UTF8compatible());

    if (!m_link) m_link = std::make_shared<SocketLink>(this);
    attach(TcpSocket::create(m_link, dispatch::Queue::main()));
    m_socket->setIPv6Enabled(false);
    SocketError error;
    if (!to || !m_socket->connectToHost(to->ip(), m_port, Timeout, &error)) {
        qCInfo(lcTransfer).noquote() << "connect for transfer" << rowId() << "failed:" << error.domain()
                                     << error.code();
        m_socket.reset();
        releaseBuffers();
        setTransferState(Canceled);
        saveContextIfChanged();
        return;
    }
    m_socket->writeData(request, startWriting(), AnswerTag);
    m_socket->readDataToData(HeaderRecord::terminator(), -1, size_t(HeaderRecord::MaxLength), AnswerTag);
}

void FileTransfer::transferAnswerReceived(const QByteArray &record) {
    if (transferState() != WaitingForAnswer) return;
    outgoingTransferReplyHeader answer;
    answer.applyHeaderFields(HeaderRecord::fields(record));
    m_encrypt = HeaderRecord::leadingNumber(answer.accept_aes) != 0;
    isfileswide =
        answer.content_type == QLatin1String("NEWWIDEFTSANSWER") ? QStringLiteral("1") : QStringLiteral("0");
    qint64 state = HeaderRecord::leadingNumber(answer.accept_files);
    // Only a refusal or an acceptance can come from the peer; anything else (a "complete"
    // before a byte moved) reads as a decline.
    if (state < Transferring || state > NoFolderAccess) state = Canceled;
    setTransferState(state);
    if (state != Transferring) return close();
    // Watched from here on, so the end is known however soon it follows the last chunk.
    if (!m_socket || !m_end.watch(*m_socket))
        qCInfo(lcTransfer).noquote() << "transfer" << rowId() << "cannot watch its connection's end";
    sendOutGoingFileHeader();
}

void FileTransfer::sendOutGoingFileHeader() {
    const qint64 index = filesTransferred();
    if (!m_socket || index < 0 || index >= qint64(m_outgoing.size())) return fail(Failed);
    m_file = m_outgoing.at(size_t(index));
    m_nextOffset = 0;
    m_socket->writeData(prepareHeader(m_file->headerPairs(isfileswide == QLatin1String("1"))), startWriting(),
                        FileAnswerTag);
    m_socket->readDataToData(HeaderRecord::terminator(), startReading(), size_t(HeaderRecord::MaxLength),
                             FileAnswerTag);
}

void FileTransfer::fileAnswerReceived(const QByteArray &record) {
    if (transferState() != Transferring || !m_file) return;
    outgoingFileReplyHeader answer;
    answer.applyHeaderFields(HeaderRecord::fields(record));
    if (answer.accept != QLatin1String("1") && m_file->bytesTotal != 0) return fail(Failed);
    if (m_file->bytesTotal != 0 && !m_file->prepareStream()) return fail(Failed);
    // The last answer: from here on the connection is read to its end, so the receiver's close
    // is seen at once even behind bytes it sent after the answer (unread, they would hide it).
    if (filesTransferred() + 1 >= filesNumber()) readTrailingBytes();
    sendNextPeaceOfFile();
}

void FileTransfer::readTrailingBytes() {
    if (!m_socket) return;
    // No time-out of its own: the wait for the close after the last chunk bounds it.
    m_socket->readDataWithTimeout(-1, nullptr, 0, 65536, TrailingTag);
}

void FileTransfer::sendNextPeaceOfFile() {
    if (!m_file || !m_socket) return;
    if (m_file->bytesTotal == 0) {
        // An empty file: as if a chunk of nothing had been written, with no cipher step.
        m_sizeToRead = 0;
        m_chunks.push_back(std::make_shared<Chunk>());
        return chunkWritten();
    }
    if (m_encrypt && !ensureCipher(false)) return fail(Failed);
    if (!m_worker) m_worker = std::make_unique<TransferWorker>();
    // The cipher is the slowest step and has a thread of its own, so reading the file and
    // handing chunks to the socket never hold it up.
    if (m_encrypt && !m_cipherWorker) m_cipherWorker = std::make_unique<TransferWorker>();
    if (!m_streamOpen) m_streamOpen = std::make_shared<std::atomic<bool>>(true);
    // The next chunks are read and encrypted while earlier ones are in the socket.
    while (int(m_chunks.size()) < ChunksInFlight && m_nextOffset < m_file->bytesTotal) {
        auto chunk = queueNextChunk();
        QByteArray *data = chunk->data.get();
        const qint64 size = chunk->size;
        data->resize(m_encrypt ? padded(size) : size);
        FileTransferCipher *cipher = m_encrypt ? m_cryptor.get() : nullptr;
        TransferWorker *fileWorker = m_worker.get();
        TransferWorker *cipherWorker = m_cipherWorker.get();
        const auto prepared = [this](bool ok) { chunkPrepared(ok); };
        const auto failed = [this](bool) { fail(Failed); };
        // Bounded, so a receiver that vanished without a word does not hold the transfer forever
        // (see idleTimeLeft). The worker hands each chunk to the socket itself, without a turn
        // through the main thread.
        // Chunks reach the socket in order, and none after a chunk that was not sent.
        auto send = [data, socket = m_socket, open = m_streamOpen, timeout = idleTimeout() / 4] {
            if (*open) socket->writeData(*data, timeout, DataTag);
            return true;
        };
        // Each worker runs its jobs in order, so the file is read, the cipher chain runs and the
        // chunks reach the socket in the order they travel.
        m_worker->run(
            [file = m_file, data, size, cipher, fileWorker, cipherWorker, send, prepared, failed,
             open = m_streamOpen] {
                if (const auto &hook = chunkHook()) hook(true);
                char *bytes = data->data();
                if (!file->readChunk(bytes, size)) {
                    qCInfo(lcTransfer).noquote() << "reading" << file->fileFullPath << "failed";
                    *open = false;
                    return false;
                }
                // The padding carries nothing; zeros rather than what an earlier chunk left there.
                std::memset(bytes + size, 0, size_t(data->size() - size));
                if (!cipher) return send();
                cipherWorker->run(
                    [data, cipher, fileWorker, send, prepared, open] {
                        if (!cipher->update(data->data(), data->data(), size_t(data->size()))) {
                            *open = false;
                            return false;
                        }
                        fileWorker->run(send, prepared);
                        return true;
                    },
                    failed, false);
                return true;
            },
            cipher ? std::function<void(bool)>(failed) : std::function<void(bool)>(prepared), cipher == nullptr);
    }
}

void FileTransfer::chunkPrepared(bool ok) {
    if (!ok) return fail(Failed);
    // The idle clock of the write runs from about when the socket got the chunk.
    startWriting();
}

void FileTransfer::chunkWritten() {
    if (!m_file || transferState() != Transferring || m_chunks.empty()) return;
    // Writes complete in the order they were queued.
    const std::shared_ptr<Chunk> chunk = std::move(m_chunks.front());
    m_chunks.pop_front();
    recycleChunkBuffer(std::move(chunk->data));
    m_file->bytesReceived += chunk->size;
    m_lastFixedBytesReceived += chunk->size;
    setBytesReceived(m_lastFixedBytesReceived);
    if (!m_file->isComplete()) return sendNextPeaceOfFile();
    m_file->releaseStream();
    m_nextOffset = 0;
    setFilesTransferred(filesTransferred() + 1);
    if (filesTransferred() < filesNumber()) return sendOutGoingFileHeader();
    // Everything is in the socket; the receiver closes once it has it all.
    m_allSent = true;
    // Nothing more to read or encrypt: the buffers and the workers go now, not at the close.
    dropWorkers();
    m_spareChunks.clear();
    m_chunkBuffers = 0;
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    // The read of what the receiver sends after its answer stays open till the close: only
    // the writes are waited for.
    QObject::connect(timer, &QTimer::timeout, this, [this] {
        if (m_socket) m_socket->disconnectAfterWriting();
    });
    timer->start(int(Timeout * 1000));
    m_closeTimer = timer;
}

// --- Receiving ---

void FileTransfer::startReceiving(const std::shared_ptr<TcpSocket> &socket,
                                  std::function<void(FileTransfer *)> onRequest) {
    m_onRequest = std::move(onRequest);
    setIncoming(true);
    attach(socket);
    m_peerHost = socket->connectedHost();
    // A peer that connects and says nothing is let go after the time-out.
    m_socket->readDataToData(HeaderRecord::terminator(), startReading(), size_t(HeaderRecord::MaxLength),
                             RequestTag);
}

void FileTransfer::requestReceived(const QByteArray &record) {
    applyHeaderFields(record);
    setFilesNumber(qMax<qint64>(0, HeaderRecord::leadingNumber(files_number)));
    setFilesTotalSize(qMax<qint64>(0, HeaderRecord::leadingNumber(files_totalsize)));
    setIncoming(true);
    m_encrypt = HeaderRecord::leadingNumber(sessaes) != 0;
    m_cryptor.reset();

    UserList *roster = UserList::shared();
    const QString host = m_peerHost;
    User *sender = roster && !from_id.isEmpty() ? roster->getUserById(from_id, host) : nullptr;
    if (!sender) {
        // No one to put the transfer in front of: it never existed.
        qCInfo(lcTransfer).noquote() << "transfer request without a sender from" << host;
        const std::shared_ptr<TcpSocket> sock = std::move(m_socket);
        if (sock) sock->disconnect();
        releaseBuffers();
        if (managedObjectContext()) managedObjectContext()->deleteObject(this);
        return;
    }
    addUserObject(sender);
    setOriginalSenderName(sender->name());
    setTransferState(WaitingForAnswer);
    if (!updateFolderPath()) ContinueTransfer(NoFolderAccess);
    saveContextIfChanged();

    QPointer<FileTransfer> self(this);
    QPointer<User> from(sender);
    dispatch::Queue::main()->async([self, from] {
        if (!self || !from || self->isDeleted()) return;
        from->MessageReceived();
        Defaults &settings = Defaults::standard();
        if (settings.boolForKey(QStringLiteral("sounds.enabled")) &&
            settings.boolForKey(QStringLiteral("sounds.onIncomingFile")))
            AppInterface::current()->playSound(QStringLiteral("File"));
        Message::popupWindow(self, nullptr);
        AppInterface::current()->showHistoryLine(self);
        if (self && self->m_onRequest) self->m_onRequest(self);
    });
}

bool FileTransfer::updateFolderPath() {
    QString base = Defaults::standard().stringForKey(QStringLiteral("fileTransferPath"));
    if (base.isEmpty())
        base =
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + QStringLiteral("/Murnavell");
    if (base == QLatin1String("~") || base.startsWith(QLatin1String("~/")))
        base = QDir::homePath() + base.mid(1);
    const QList<User *> users = user();
    const QString peer = users.isEmpty() ? originalSenderName() : users.first()->name();
    const QString name = folderNameOf(peer) + QStringLiteral(" - ") +
                         QLocale().toString(Clock::now().toLocalTime().date(), QLocale::LongFormat);
    const bool baseExisted = QFileInfo(base).isDir();
    if (!QDir().mkpath(base)) return false;
    // A folder made here is on the disk, with its entry, before any file in it is confirmed.
    if (!baseExisted && !SingleFile::syncFolder(QFileInfo(base).absolutePath())) return false;
    // mkdir rather than a test for existence: two transfers at the same moment never share a folder.
    // The search starts where the last one for this folder name ended, so many transfers of one
    // day cost one attempt each, not one per earlier folder.
    static QHash<QString, qint64> nextNumbers;
    const QString key = base + QChar(0) + name;
    const qint64 from = nextNumbers.value(key, 1);
    for (qint64 n = from; n < from + 100000; ++n) {
        const QString candidate =
            base + QLatin1Char('/') + (n == 1 ? name : name + QStringLiteral(" (%1)").arg(n));
        if (::mkdir(QFile::encodeName(candidate).constData(), 0777) == 0) {
            if (nextNumbers.size() >= 1024) nextNumbers.clear();
            nextNumbers.insert(key, n + 1);
            if (!SingleFile::syncFolder(base)) return false;
            setFolderPath(QUrl::fromLocalFile(candidate));
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void FileTransfer::ContinueTransfer(qint64 newState) {
    const qint64 old = transferState();
    if (!incoming()) {
        // The sender can only cancel, and only while the transfer is open.
        if (newState != Canceled || (old != WaitingForAnswer && old != Transferring)) return;
        setTransferState(Canceled);
        close();
        saveContextIfChanged();
        return;
    }
    const bool answering = old == WaitingForAnswer;
    const bool cancelling = old == Transferring && newState == Canceled;
    if (!answering && !cancelling) return;
    setTransferState(newState);
    if (cancelling || !m_socket) {
        close();
        saveContextIfChanged();
        return;
    }
    const QByteArray answer =
        prepareHeader({QStringLiteral("CONTENT-TYPE"),
                       isfileswide == QLatin1String("1") ? QStringLiteral("NEWWIDEFTSANSWER")
                                                         : QStringLiteral("NEWFTSANSWER"),
                       QStringLiteral("ACCEPT-FILES"), QString::number(newState),
                       QStringLiteral("ACCEPT-AES"), m_encrypt ? QStringLiteral("1") : QStringLiteral("0")});
    // From now on only the close after the last file is orderly: the sender takes that close
    // as the receipt for everything it sent, so every other end must reach it as a reset.
    if (newState == Transferring) ConnectionEnd::setAbortiveClose(*m_socket, true);
    m_socket->writeData(answer, -1, HeaderTag);
    if (newState == Transferring)
        m_socket->readDataToData(HeaderRecord::terminator(), startReading(), size_t(HeaderRecord::MaxLength),
                                 HeaderTag);
    else
        m_socket->disconnectAfterWriting();
    saveContextIfChanged();
}

void FileTransfer::fileHeaderReceived(const QByteArray &record) {
    if (transferState() != Transferring || !m_socket) return;
    m_headerAsked = false;
    m_file = std::make_shared<SingleFile>();
    m_nextOffset = 0;
    m_file->applyHeaderFields(HeaderRecord::fields(record));
    m_file->updateIncomingUtf8headers();
    const bool ok = m_file->prepareFolderAndStream(folderPath());
    if (!ok)
        qCInfo(lcTransfer).noquote() << "transfer" << rowId() << "refuses the file" << m_file->file_path
                                     << m_file->file_name;
    m_socket->writeData(
        prepareHeader({QStringLiteral("CONTENT-TYPE"), QStringLiteral("FILESENDREQUESTRESPONSE"),
                       QStringLiteral("ACCEPT"), ok ? QStringLiteral("1") : QStringLiteral("4")}),
        startWriting(), HeaderTag);
    if (!ok) {
        m_file.reset();
        setTransferState(NoFolderAccess);
        m_socket->disconnectAfterWriting();
        saveContextIfChanged();
        return;
    }
    readNextChunk();
}

void FileTransfer::readNextChunk() {
    if (!m_file || !m_socket) return;
    if (!m_worker) m_worker = std::make_unique<TransferWorker>();
    if (m_file->bytesTotal == 0) {
        // An empty file is complete at once, with no data and no cipher step; closing it syncs,
        // which the worker does.
        m_sizeToRead = 0;
        ++m_storing;
        m_worker->run([this, file = m_file] { return finishFile(*file); },
                      [this](bool ok) { chunkStored(ok, true); });
        return fileHandedOver();
    }
    if (m_encrypt) {
        if (!ensureCipher(true)) return fail(Failed);
        // Made once, before any job can use it, and used by the worker alone.
        if (m_plain.isEmpty()) m_plain.resize(ChunkSize);
    }
    // The next chunks are asked of the socket while earlier ones are being written.
    while (int(m_chunks.size()) + m_storing < ChunksInFlight && m_nextOffset < m_file->bytesTotal) {
        auto chunk = queueNextChunk();
        const qint64 length = m_encrypt ? padded(chunk->size) : chunk->size;
        m_socket->readDataToLength(size_t(length), startReading(), chunk->data.get(), 0, ChunkTag);
    }
}

void FileTransfer::chunkReceived(const QByteArray &data) {
    if (transferState() != Transferring || !m_file || m_chunks.empty()) return;
    // Reads complete in the order they were asked.
    const std::shared_ptr<Chunk> chunk = std::move(m_chunks.front());
    m_chunks.pop_front();
    const qint64 length = m_encrypt ? padded(chunk->size) : chunk->size;
    if (data.size() < length) return fail(Failed);
    m_lastFixedBytesReceived += chunk->size;
    setBytesReceived(m_lastFixedBytesReceived);
    const bool last = m_nextOffset == m_file->bytesTotal && m_chunks.empty();
    FileTransferCipher *cipher = m_encrypt ? m_cryptor.get() : nullptr;
    ++m_storing;
    // The chunk's bytes are only read: the socket's callback may still share them.
    m_worker->run(
        [this, file = m_file, data, size = chunk->size, length, cipher, plain = &m_plain, last] {
            if (const auto &hook = chunkHook()) hook(false);
            const char *bytes = data.constData();
            if (cipher) {
                if (!cipher->update(bytes, plain->data(), size_t(length))) return false;
                bytes = plain->constData();
            }
            if (!file->writeChunk(bytes, size)) {
                qCWarning(lcTransfer).noquote() << "writing" << file->pathOnDisk() << "failed:" << strerror(errno);
                return false;
            }
            file->bytesReceived += size;
            return !last || finishFile(*file);
        },
        [this, chunk, last](bool ok) {
            // Only now: the socket would copy a buffer the job still shared.
            recycleChunkBuffer(std::move(chunk->data));
            chunkStored(ok, last);
        });
    if (last) return fileHandedOver();
    readNextChunk();
}

bool FileTransfer::finishFile(SingleFile &file) {
    // Synced and named now; its folder synced before the sender can learn of it (the close
    // after the last file, which waits for this). When more files are already waiting for the
    // worker, one sync of the folder after them covers them all.
    int folder = -1;
    if (!file.releaseStream(&folder)) {
        qCWarning(lcTransfer).noquote() << "finishing" << file.pathOnDisk() << "failed";
        return false;
    }
    if (folder >= 0) {
        const auto [it, added] = m_unsyncedFolders.emplace(QFileInfo(file.pathOnDisk()).path(), folder);
        if (!added) ::close(folder);
    }
    return m_worker->hasWaitingJobs() || syncFolders();
}

bool FileTransfer::syncFolders() {
    bool ok = true;
    for (const auto &[path, fd] : m_unsyncedFolders) {
        if (::fsync(fd) != 0) {
            qCWarning(lcTransfer).noquote() << "syncing" << path << "failed";
            ok = false;
        }
        ::close(fd);
    }
    m_unsyncedFolders.clear();
    return ok;
}

void FileTransfer::fileHandedOver() {
    // The worker finishes the file; the next file's header is read meanwhile, so the peer's
    // next file travels while this one is synced.
    m_finishing.push_back(std::move(m_file));
    m_nextOffset = 0;
    readNextHeader();
}

void FileTransfer::readNextHeader() {
    // Never more files waiting for the worker than the window: each holds an open file, and
    // empty files take no chunk buffer to bound them.
    if (m_headerAsked || m_file || !m_socket || transferState() != Transferring ||
        int(m_finishing.size()) >= ChunksInFlight ||
        filesTransferred() + qint64(m_finishing.size()) >= filesNumber())
        return;
    m_headerAsked = true;
    m_socket->readDataToData(HeaderRecord::terminator(), startReading(), size_t(HeaderRecord::MaxLength),
                             HeaderTag);
}

void FileTransfer::chunkStored(bool ok, bool last) {
    --m_storing;
    if (!ok) return fail(Failed);
    if (last) fileReceived();
    // The room it leaves goes to the file under way, which may be the next one already.
    if (transferState() == Transferring) readNextChunk();
}

void FileTransfer::fileReceived() {
    // Files are finished in the order they came.
    if (m_finishing.empty()) return;
    m_receivedFiles.append(m_finishing.front()->pathOnDisk());
    m_finishing.pop_front();
    setFilesTransferred(filesTransferred() + 1);
    if (transferState() == Transferring && filesTransferred() >= filesNumber()) {
        setTransferState(Complete);
        if (m_socket) ConnectionEnd::setAbortiveClose(*m_socket, false);
        close();
        return;
    }
    readNextHeader();
}

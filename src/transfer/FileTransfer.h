#pragma once

#include "core/model/LogEntry.h"
#include "transfer/ConnectionEnd.h"

#include <QByteArray>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class FileTransferCipher;
class SingleFile;
class SocketError;
class TcpSocket;
class TransferWorker;
class User;

// One transfer of files and folders, a kind of log entry, and both sides of its dialogue on
// the file port: the sender made by newOutgoingFiles, the receiver by the file server when it
// accepts a connection. The connection's callbacks arrive on the main queue.
class FileTransfer : public LogEntry {
public:
    static constexpr const char *EntityName = "FileTransfer";
    static constexpr qsizetype ChunkSize = 786432;
    // Chunks of one transfer under way at once (being read, run through the cipher, in the
    // socket, being written): the file work overlaps the network, and memory stays bounded.
    static constexpr int ChunksInFlight = 4;
    static constexpr std::uint16_t DefaultPort = 19880;
    // Connecting, and the sender's wait for the receiver's close after the last chunk.
    static constexpr double Timeout = 20.0;
    // Reads and writes of records and chunks end when no byte has moved for this long; a slow
    // link that keeps moving bytes is never cut.
    static constexpr double IdleTimeout = 20.0;
    // Tests shorten the idle time-out; 0 or less restores it.
    static void setIdleTimeoutForTesting(double seconds);
    static double idleTimeout();

    // Socket tags of the dialogue.
    enum Tag : long {
        RequestTag = 0,    // receiver: the transfer request
        HeaderTag = 1,     // receiver: answers written, file headers read
        ChunkTag = 2,      // receiver: file data
        AnswerTag = 3,     // sender: the request written, the transfer answer read
        FileAnswerTag = 4, // sender: a file header written, its answer read
        DataTag = 5,       // sender: file data
        TrailingTag = 6,   // sender: whatever comes after the last file's answer, dropped
    };

    // transferState values.
    enum State : qint64 {
        Canceled = 0,
        Transferring = 1,
        AnswerTimedOut = 2,
        NotAllowed = 3,
        NoFolderAccess = 4,
        WaitingForAnswer = 5,
        Complete = 6,
        Failed = 7,
    };

    FileTransfer();
    ~FileTransfer() override;

    qint64 filesNumber() const { return integerValue(QStringLiteral("filesNumber")); }
    void setFilesNumber(qint64 v) { setValue(QStringLiteral("filesNumber"), v); }
    qint64 filesTransferred() const { return integerValue(QStringLiteral("filesTransferred")); }
    void setFilesTransferred(qint64 v) { setValue(QStringLiteral("filesTransferred"), v); }
    qint64 filesTotalSize() const { return integerValue(QStringLiteral("filesTotalSize")); }
    void setFilesTotalSize(qint64 v) { setValue(QStringLiteral("filesTotalSize"), v); }
    qint64 transferState() const { return integerValue(QStringLiteral("transferState")); }
    void setTransferState(qint64 v) { setValue(QStringLiteral("transferState"), v); }
    // Receiver: the folder made for this transfer; empty on the sending side.
    QUrl folderPath() const { return urlValue(QStringLiteral("folderPath")); }
    void setFolderPath(const QUrl &v) { setValue(QStringLiteral("folderPath"), v); }

    // --- Sending ---
    // A transfer of every regular file at or below the paths to the user, started at once; null
    // when the paths hold no file. `port` is the peer's file port.
    static FileTransfer *newOutgoingFiles(const QStringList &paths, User *to,
                                          std::uint16_t port = DefaultPort);
    // Appends one file: `root` is the chosen path, `subPath` the file's path below it ("" for
    // the chosen file itself).
    void _addFile(qint64 size, quint64 permissions, const QString &root, const QString &subPath);
    void Send();
    void sendOutGoingFileHeader();
    void sendNextPeaceOfFile();

    // --- Receiving ---
    // The file server hands over an accepted connection; `onRequest` runs once the request was
    // read and the transfer is in state 5 (waiting) or 4 (no folder).
    void startReceiving(const std::shared_ptr<TcpSocket> &socket,
                        std::function<void(FileTransfer *)> onRequest);
    bool updateFolderPath();

    // A decision: 1 accepts, 0 cancels (either side), 4 refuses for want of a folder. A decision
    // that no longer fits the state (an answer already given, a transfer that ended) is ignored.
    void ContinueTransfer(qint64 newState);

    // The records of the dialogue.
    static QByteArray prepareHeader(const QStringList &pairs, bool utf8DisplayName = false);
    void applyHeaderFields(const QByteArray &record);

    // Progress from partial reads and writes; observers hear of it at most every 50 ms.
    void someBytesTransferred(qint64 count);

    // Transient members.
    bool encrypt() const { return m_encrypt; }
    void setEncrypt(bool v) { m_encrypt = v; }
    // Observable: emits attributeChanged("bytesReceived", old) on change.
    qint64 bytesReceived() const { return m_bytesReceived; }
    void setBytesReceived(qint64 v);
    qint64 lastFixedBytesReceivedValue() const { return m_lastFixedBytesReceived; }
    void setLastFixedBytesReceivedValue(qint64 v) { m_lastFixedBytesReceived = v; }
    qint64 sizeToRead() const { return m_sizeToRead; }
    void setSizeToRead(qint64 v) { m_sizeToRead = v; }
    // Chunk buffers held now, and the most held at once since the transfer started.
    int chunkBuffersHeld() const { return m_chunkBuffers; }
    int peakChunkBuffers() const { return m_peakChunkBuffers; }
    // Tests: runs on the file worker before each chunk is read from or written to a file (true:
    // the sender's read), so a test can hold that side back.
    static void setChunkHookForTesting(std::function<void(bool sending)> hook);
    SingleFile *file() const { return m_file.get(); }
    const std::vector<std::shared_ptr<SingleFile>> &outgoingFilesList() const { return m_outgoing; }
    std::shared_ptr<TcpSocket> socket() const { return m_socket; }
    bool hasCipher() const { return m_cryptor != nullptr; }
    // Where each received file is on disk now, in arrival order (incomplete ones end in ".part").
    const QStringList &receivedFiles() const { return m_receivedFiles; }

    // Fields of the transfer request.
    QString content_type, sessid, sessaes, from_id, to_user, files_number, files_totalsize, isfileswide;

protected:
    void awakeFromInsert() override;
    void awakeFromFetch() override;

private:
    class SocketLink;
    friend class SocketLink;

    void attach(const std::shared_ptr<TcpSocket> &socket);
    void close();
    void fail(qint64 state);
    // Frees the chunk buffers and the cipher; a later chunk makes them again.
    void releaseBuffers();
    void releaseCurrentFile();
    void didRead(const QByteArray &data, long tag);
    void didWrite(long tag);
    void didDisconnect(const std::shared_ptr<TcpSocket> &sock, const SocketError &error);
    void requestReceived(const QByteArray &record);
    void fileHeaderReceived(const QByteArray &record);
    // One chunk under way: its buffer and the file bytes it carries (the rest is padding).
    struct Chunk {
        std::unique_ptr<QByteArray> data;
        qint64 size = 0;
    };
    void chunkReceived(const QByteArray &data);
    void readNextChunk();
    void chunkStored(bool ok, bool last);
    void fileHandedOver();
    void readNextHeader();
    void fileReceived();
    // Worker: closes a received file complete: synced and named, and its folder synced with
    // those of the files finished right after it.
    bool finishFile(SingleFile &file);
    bool syncFolders();
    void transferAnswerReceived(const QByteArray &record);
    void fileAnswerReceived(const QByteArray &record);
    // Sender: nothing more is asked of the receiver; what it still sends is read and dropped.
    void readTrailingBytes();
    void chunkPrepared(bool ok);
    void chunkWritten();
    // The cipher of the transfer, made before the first chunk's job; false when it cannot be.
    bool ensureCipher(bool decrypt);
    std::unique_ptr<QByteArray> takeChunkBuffer();
    // Queues the file's next chunk (at most ChunkSize bytes from m_nextOffset) with a buffer of
    // the window, and moves the offset past it.
    std::shared_ptr<Chunk> queueNextChunk();
    void recycleChunkBuffer(std::unique_ptr<QByteArray> buffer);
    // Waits for the workers' running jobs and drops the rest: the file and cipher are the main
    // thread's again. The receiver's worker first runs every job given.
    void stopWorker();
    // Drops the jobs not started and waits for the running ones, without finishing anything.
    void stopWorkers();
    // As stopWorkers(), and the threads go.
    void dropWorkers();
    // The time-out for a read or write that starts now; the idle clock of its direction starts
    // with it.
    double startReading();
    double startWriting();
    // Bytes moved in that direction: the idle clock starts again.
    void noteProgress(bool reading);
    // Asked when a read or write times out: the seconds still left of the idle time, or 0 to
    // give up.
    double idleTimeLeft(bool reading);

    bool m_encrypt = true;
    qint64 m_bytesReceived = 0;
    qint64 m_lastFixedBytesReceived = 0;
    qint64 m_sizeToRead = 0;
    // Spare chunk buffers; with those under way never more than ChunksInFlight.
    std::vector<std::unique_ptr<QByteArray>> m_spareChunks;
    int m_chunkBuffers = 0;
    int m_peakChunkBuffers = 0;
    // Chunks of the current file under way, oldest first: sender, read or encrypted and in the
    // socket; receiver, asked of the socket, then being written.
    std::deque<std::shared_ptr<Chunk>> m_chunks;
    int m_storing = 0;          // receiver: chunks handed to the worker and not yet written
    qint64 m_nextOffset = 0;    // the file's bytes given to chunks so far
    // Receiver: the decrypted chunk, used by the worker only, so a buffer the socket shares
    // with its callback is never written to.
    QByteArray m_plain;
    // Worker: folders of files named and not yet synced, by path.
    std::map<QString, int> m_unsyncedFolders;
    std::shared_ptr<SingleFile> m_file;
    // Receiver: files whose last bytes are with the worker, oldest first.
    std::deque<std::shared_ptr<SingleFile>> m_finishing;
    bool m_headerAsked = false; // receiver: a file header is asked of the socket
    std::vector<std::shared_ptr<SingleFile>> m_outgoing;
    std::unique_ptr<FileTransferCipher> m_cryptor;
    std::shared_ptr<TcpSocket> m_socket;
    std::shared_ptr<SocketLink> m_link;
    std::function<void(FileTransfer *)> m_onRequest;
    QStringList m_receivedFiles;
    std::uint16_t m_port = DefaultPort;
    // Receiver: the peer's address, taken at the start: the socket forgets it when it closes,
    // which may come before its last bytes are handled.
    QString m_peerHost;
    bool m_allSent = false;       // sender: the last chunk is written, the receiver's close is awaited
    ConnectionEnd m_end;          // sender: tells the receiver's orderly close from a reset
    qint64 m_lastRead = 0;        // monotonic ns of the last byte read, or of the read's start
    qint64 m_lastWrite = 0;       // the same for writes
    qint64 m_unacknowledged = -1; // sender: what the kernel still held at the last look
    QPointer<QObject> m_closeTimer;
    // Sender: cleared when a chunk fails or the workers stop; no chunk reaches the socket after.
    std::shared_ptr<std::atomic<bool>> m_streamOpen;
    // Last, so they stop before anything their jobs use goes; dropWorkers() stops them in the
    // order their jobs hand work to each other.
    std::unique_ptr<TransferWorker> m_cipherWorker; // sender, encrypted: the data cipher
    std::unique_ptr<TransferWorker> m_worker;       // the file, and the sender's socket writes
};

#pragma once

#include <QHash>
#include <QString>
#include <QUrl>

#include <optional>

// One file of a transfer: its header fields, its progress and its open file. The sender reads
// the file at fileFullPath; the receiver writes under a name marked as incomplete and gives the
// file its own name only once every byte of it has arrived.
class SingleFile {
public:
    SingleFile() = default;
    ~SingleFile();
    SingleFile(const SingleFile &) = delete;
    SingleFile &operator=(const SingleFile &) = delete;

    // Header fields.
    QString content_type, file_path, file_name, file_size, file_permissions, file_widepath, file_widename;

    qint64 bytesReceived = 0;
    qint64 bytesTotal = 0;
    quint64 permissions = 0; // sender: the POSIX permission bits
    QString fileFullPath;

    // Appended to a received file's name until it is complete.
    static QString incompleteSuffix() { return QStringLiteral(".part"); }

    void applyHeaderFields(const QHash<QString, QString> &fields);
    // The header of a file to send, as a flat KEY, VALUE list; the wide pieces only when asked.
    QStringList headerPairs(bool wide);

    void updateOutgoingUtf8headers();
    void updateIncomingUtf8headers();

    // A name from the peer that may stand as one entry of a folder: not empty, not "." or "..",
    // no "/", "\" or NUL, at most 255 bytes in UTF-8.
    static bool isSafeName(const QString &name);
    // The components of a folder path from the peer ("\" or "/" between them); empty and "."
    // components are dropped. Nothing when the path is absolute (a leading separator or a drive
    // letter) or any component is unsafe.
    static std::optional<QStringList> safeFolderComponents(const QString &path);

    // Receiver: makes the file's folder below the transfer folder (never through a symbolic
    // link) and creates the file there afresh. False when the names are unsafe or the folder
    // or file cannot be made.
    bool prepareFolderAndStream(const QUrl &folderPath);
    // Writes a folder's entries to the disk (a file or folder made or renamed in it); false
    // when that fails.
    static bool syncFolder(const QString &path);
    // Sender: opens fileFullPath for reading.
    bool prepareStream();
    // Closes what is open. A received file gets its permissions, and its own name when it is
    // complete: its bytes are synced to the disk, it is renamed, and its folder is synced, in
    // that order. An incomplete one keeps the incomplete suffix. False when a received file could
    // not be closed cleanly or, complete, could not be synced or given its name: it is then not
    // complete on disk, whatever arrived.
    //
    // With `folderToSync`, a complete file's folder is not synced here: its descriptor is handed
    // over (or -1), and the caller syncs it, once for every file finished together, before
    // anyone learns of them.
    bool releaseStream(int *folderToSync = nullptr);

    // Sender: fills `data` with exactly `length` bytes of the file; false on an error or when
    // the file ends early.
    bool readChunk(char *data, qint64 length);
    // Receiver: writes all of `data`; false on an error (a full disk, a revoked right).
    bool writeChunk(const char *data, qint64 length);

    bool isComplete() const { return bytesReceived == bytesTotal; }
    // Receiver: closed complete and under its own name.
    bool isFinished() const {
        return m_out < 0 && !m_diskName.isEmpty() && m_diskName != m_finalName + incompleteSuffix();
    }
    // Receiver: the name the file has on disk now (with the suffix until it is complete).
    QString pathOnDisk() const;

private:
    int m_in = -1;
    int m_out = -1;
    qint64 m_written = 0; // receiver: bytes written to m_out
    int m_folder = -1; // the receiver's folder of the file, for renaming without following links
    QString m_folderPath;
    QString m_finalName;
    QString m_diskName;
};

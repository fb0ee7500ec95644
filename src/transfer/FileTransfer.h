#pragma once

#include "core/model/LogEntry.h"

#include <QByteArray>
#include <QUrl>

// One transfer of files and folders, a kind of log entry. The stored attributes and the plain
// transient members; the protocol itself comes with the file server.
class FileTransfer : public LogEntry {
public:
    static constexpr const char *EntityName = "FileTransfer";
    static constexpr qsizetype ChunkSize = 786432;

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
    QByteArray &buffer() { return m_buffer; }

    // Fields of the transfer request.
    QString content_type, sessid, sessaes, from_id, to_user, files_number, files_totalsize, isfileswide;

protected:
    void awakeFromInsert() override;

private:
    bool m_encrypt = true;
    qint64 m_bytesReceived = 0;
    qint64 m_lastFixedBytesReceived = 0;
    qint64 m_sizeToRead = 0;
    QByteArray m_buffer;
};

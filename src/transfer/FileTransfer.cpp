#include "transfer/FileTransfer.h"

void FileTransfer::setBytesReceived(qint64 v) {
    if (v == m_bytesReceived) return;
    const qint64 old = m_bytesReceived;
    m_bytesReceived = v;
    notifyTransientChange(QStringLiteral("bytesReceived"), old);
}

void FileTransfer::awakeFromInsert() {
    LogEntry::awakeFromInsert();
    m_encrypt = true;
    m_buffer = QByteArray(ChunkSize, '\0');
}

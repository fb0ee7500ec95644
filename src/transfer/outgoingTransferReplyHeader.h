#pragma once

#include <QHash>
#include <QString>

// The receiver's answer to a transfer request, as the sender parses it.
struct outgoingTransferReplyHeader {
    QString content_type, accept_aes, accept_files;

    void applyHeaderFields(const QHash<QString, QString> &fields) {
        content_type = fields.value(QStringLiteral("content_type"), content_type);
        accept_aes = fields.value(QStringLiteral("accept_aes"), accept_aes);
        accept_files = fields.value(QStringLiteral("accept_files"), accept_files);
    }
};

#pragma once

#include <QHash>
#include <QString>

// The receiver's answer to one file header, as the sender parses it.
struct outgoingFileReplyHeader {
    QString content_type, accept;

    void applyHeaderFields(const QHash<QString, QString> &fields) {
        content_type = fields.value(QStringLiteral("content_type"), content_type);
        accept = fields.value(QStringLiteral("accept"), accept);
    }
};

#pragma once

#include "platform/store/FetchRequest.h"

#include <QDateTime>
#include <QList>

class LogEntry;
class ManagedObject;

// The history reads of a User or a Chat (the owner): count, newest n, and older pages by the
// key (timeReceived, rowId), all newest first and including unsaved changes. Each runs on an
// index, so its cost does not grow with the size of the store. Any other owner gives nothing.
class LogQuery {
public:
    // A user's history: entries with no chat and the user among `user`; a room's history:
    // entries whose `chat` is the room.
    static FetchRequest request(const ManagedObject *owner);
    // With `paged`: the entries older than the key only.
    static FetchRequest request(const ManagedObject *owner, bool paged, const QDateTime &timeReceived,
                                qint64 rowId);

    static qint64 count(const ManagedObject *owner);
    static QList<LogEntry *> newest(const ManagedObject *owner, int n);
    static QList<LogEntry *> before(const ManagedObject *owner, const QDateTime &timeReceived, qint64 rowId,
                                    int n);
};

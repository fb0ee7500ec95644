#pragma once

// The child process of the crash test: it writes batches of users with their messages through
// the program's context and says on standard output what has been saved, so the parent can
// kill it at a known point. Included only by the crash test, which runs its own executable in
// this mode.
#include "core/app/AppContext.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "platform/store/ManagedObjectContext.h"

#include <QString>
#include <QThread>

#include <cstdio>

namespace storecrash {

constexpr int kUsersPerBatch = 40;
constexpr int kMessagesPerUser = 10;

inline QString userIdFor(int batch, int n) { return QStringLiteral("B%1-%2").arg(batch).arg(n); }
inline qint64 messageIdFor(int batch, int n, int m) { return qint64(batch) * 1000000 + n * 1000 + m; }

inline void insertBatch(ManagedObjectContext *context, int batch) {
    for (int n = 0; n < kUsersPerBatch; ++n) {
        User *user = context->insert<User>();
        user->setUserId(userIdFor(batch, n));
        user->setName(QStringLiteral("User %1 of batch %2").arg(n).arg(batch));
        for (int m = 0; m < kMessagesPerUser; ++m) {
            Message *message = context->insert<Message>();
            message->setMessage(QStringLiteral("message %1 to %2").arg(m).arg(user->userId()));
            message->setMessageId(messageIdFor(batch, n, m));
            message->addUserObject(user);
        }
    }
}

inline void say(const char *what, int batch) {
    std::printf("%s %d\n", what, batch);
    std::fflush(stdout);
}

// "steps": saves batches 1 and 2, then makes batch 3 without saving and waits to be killed.
// "loop": saves one batch after another until it is killed.
// Returns only on trouble or when nobody killed it in time.
inline int runStoreCrashChild(const QString &mode, const QString &dataHome) {
    qputenv("XDG_DATA_HOME", dataHome.toLocal8Bit());
    KDTAppDelegate delegate;
    KDTAppDelegate::setShared(&delegate);
    ManagedObjectContext *context = appManagedObjectContext();
    if (delegate.storeState() != KDTAppDelegate::StoreState::OnDisk) return 3;
    if (mode == QLatin1String("steps")) {
        for (int batch = 1; batch <= 2; ++batch) {
            insertBatch(context, batch);
            saveContextIfChanged();
            if (context->hasChanges()) return 4;
            say("saved", batch);
        }
        insertBatch(context, 3);
        say("pending", 3);
        for (int i = 0; i < 3000; ++i) QThread::msleep(10);
        return 5;
    }
    for (int batch = 1; batch <= 2000; ++batch) {
        insertBatch(context, batch);
        saveContextIfChanged();
        if (context->hasChanges()) return 4;
        say("saved", batch);
    }
    return 5;
}

} // namespace storecrash

#include "core/app/AppContext.h"

#include "core/app/ErrorPresenter.h"
#include "core/app/KDTAppDelegate.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/ManagedObjectContext.h"

#include <QLoggingCategory>
#include <QPointer>

namespace {
Q_LOGGING_CATEGORY(lcContext, "murnavell.app.store")

bool g_memoryKeeps = false;
} // namespace

ManagedObjectContext *appManagedObjectContext() { return KDTAppDelegate::shared().managedObjectContext(); }

bool saveContextIfChanged() {
    ManagedObjectContext *context = appManagedObjectContext();
    if (!context || !context->hasChanges()) return true;
    StoreError error;
    if (context->save(&error)) return true;
    qCWarning(lcContext).noquote() << "save failed:" << error.code << error.message;
    return false;
}

bool storeKeepsChanges() {
    KDTAppDelegate &delegate = KDTAppDelegate::shared();
    delegate.managedObjectContext();
    return delegate.storeState() == KDTAppDelegate::StoreState::OnDisk || g_memoryKeeps;
}

void setStoreKeepsChangesInMemory(bool keeps) { g_memoryKeeps = keeps; }

void reportNothingCanBeStored() {
    // Once per context: a context made later (a new run, a test) is told again. The pointer
    // forgets a context that is gone, so a new one at the same address is not taken for it.
    static QPointer<ManagedObjectContext> toldFor;
    ManagedObjectContext *context = appManagedObjectContext();
    if (toldFor && toldFor == context) return;
    toldFor = context;
    const AppError error{KDTAppDelegate::storeErrorDomain, StoreError::NotOpen,
                         QStringLiteral("Messages cannot be stored because the store could not be opened. "
                                        "Messages sent to you stay with their senders until Murnavell "
                                        "runs with its store again.")};
    // In the main loop's next turn: the caller is in the middle of a network callback.
    dispatch::Queue::main()->async([error] { ErrorPresenter::current().presentError(error); });
}

void reportSentMessageStored(bool stored) {
    static bool told = false;
    if (stored) {
        told = false;
        return;
    }
    if (told) return;
    told = true;
    constexpr int NotSaved = StoreError::FirstOwnCode + 50;
    const AppError error{KDTAppDelegate::storeErrorDomain, NotSaved,
                         QStringLiteral("The message you sent could not be stored: the store cannot be "
                                        "written (is the disk full?). It still goes out while Murnavell "
                                        "runs, but a copy for someone offline is lost if Murnavell quits "
                                        "before it can store again.")};
    dispatch::Queue::main()->async([error] { ErrorPresenter::current().presentError(error); });
}

#include "core/app/AppContext.h"

#include "core/app/KDTAppDelegate.h"
#include "platform/store/ManagedObjectContext.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcContext, "murnavell.app.store")
}

ManagedObjectContext *appManagedObjectContext() { return KDTAppDelegate::shared().managedObjectContext(); }

void saveContextIfChanged() {
    ManagedObjectContext *context = appManagedObjectContext();
    if (!context || !context->hasChanges()) return;
    StoreError error;
    if (!context->save(&error))
        qCWarning(lcContext).noquote() << "save failed:" << error.code << error.message;
}

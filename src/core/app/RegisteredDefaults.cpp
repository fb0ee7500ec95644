#include "core/app/RegisteredDefaults.h"

#include "platform/defaults/Defaults.h"

QVariantMap RegisteredDefaults::messaging() {
    return {
        {QStringLiteral("minimizeMessages"), 0},      {QStringLiteral("keepFocus"), false},
        {QStringLiteral("sounds.enabled"), true},     {QStringLiteral("sounds.onIncoming"), true},
        {QStringLiteral("sounds.onBroadcast"), true}, {QStringLiteral("sounds.anyTime"), 0},
    };
}

void RegisteredDefaults::registerMessaging(Defaults &defaults) { defaults.registerDefaults(messaging()); }

#pragma once

#include <QVariantMap>

class Defaults;

// The registered values of the settings the core reads. Registered at start-up; the user's own
// values override them.
class RegisteredDefaults {
public:
    // The window and sound rules of incoming lines.
    static QVariantMap messaging();
    // Adds them to the registered values (the other keys stay as they are).
    static void registerMessaging(Defaults &defaults);
};

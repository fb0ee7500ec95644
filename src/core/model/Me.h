#pragma once

#include "core/model/User.h"

// The local user: exactly one row.
class Me : public User {
public:
    static constexpr const char *EntityName = "Me";

    bool inIdleAway() const { return boolValue(QStringLiteral("inIdleAway")); }
    void setInIdleAway(bool v) { setValue(QStringLiteral("inIdleAway"), v); }
    QString statusBeforeIdle() const { return stringValue(QStringLiteral("statusBeforeIdle")); }
    void setStatusBeforeIdle(const QString &v) { setValue(QStringLiteral("statusBeforeIdle"), v); }

    // The local user never goes offline through its status: "10" is ignored. Once the roster
    // has named its local user, any other Me row (a former one) behaves as a plain user.
    void setStatus(const QString &status) override;

    // The roster's local user; null until it is known.
    static Me *current();
    static void setCurrent(Me *me);

    // Not in the model.
    bool autoAwayEnabled() const { return m_autoAwayEnabled; }
    void setAutoAwayFlag(bool v) { m_autoAwayEnabled = v; }
    bool inScreensaverAway() const { return m_inScreensaverAway; }
    void setInScreensaverAway(bool v) { m_inScreensaverAway = v; }

private:
    bool m_autoAwayEnabled = false;
    bool m_inScreensaverAway = false;
};

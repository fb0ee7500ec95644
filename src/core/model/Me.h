#pragma once

#include "core/model/User.h"

#include <functional>
#include <optional>

// The local user: exactly one row. It announces its own changes to the network ("SS", "UC",
// "UO", "UI") and owns auto-away.
class Me : public User {
public:
    static constexpr const char *EntityName = "Me";

    // The messenger version this copy reports. Its major number tells peers that this copy
    // takes UTF-8 text and calls.
    static QString applicationVersion();

    // The local user's row of the context, created when missing, refreshed with fillUserInfo
    // and saved.
    static Me *getMe(ManagedObjectContext *context);
    // A new user id: "A" and up to 9 characters of the account's directory id, or "A" and 9
    // random digits. A plain Linux account has no directory id, so the id is random.
    static QString defaultUserId();
    // The id for a directory record's values (its SMB SID and its unique id, each absent when
    // the record has none), or "A" and a number drawn by `random` (100000000..999999998).
    static QString userIdFromDirectory(const std::optional<QString> &smbSid,
                                       const std::optional<QString> &uniqueId,
                                       const std::function<quint32()> &random);
    // The account's full name without the characters a user name may not hold; the login
    // name when that leaves nothing.
    static QString defaultName();
    static QString cleanUserName(const QString &name);

    bool inIdleAway() const { return boolValue(QStringLiteral("inIdleAway")); }
    void setInIdleAway(bool v) { setValue(QStringLiteral("inIdleAway"), v); }
    QString statusBeforeIdle() const { return stringValue(QStringLiteral("statusBeforeIdle")); }
    void setStatusBeforeIdle(const QString &v) { setValue(QStringLiteral("statusBeforeIdle"), v); }

    // Refreshes this computer's facts (host, versions, account, address) and starts watching
    // the screensaver and the auto-away setting.
    void fillUserInfo();

    // The local user never goes offline through its status: "10" is ignored. Once the roster
    // has named its local user, any other Me row (a former one) behaves as a plain user.
    // Otherwise the status text follows the away or busy message and "SS" goes to everyone.
    void setStatus(const QString &status) override;
    // A real change sends "UC" with both names to each online user first.
    void setName(const QString &name) override;
    // "UO" under the old id, the new id stored, "UI" under it, saved.
    void setUserId(const QString &userId);

    // Without a new name: one packet of the word to every discovery target; with one, a packet
    // with both names to each online user but the local one.
    void sendUDPnotification(const QString &word, const QString &oldName, const QString &newName);
    // "UO" to every discovery target.
    void goOffline();

    // Auto-away: the switch runs or stops the 1 s check.
    void setAutoAwayEnabled(bool enabled);
    bool autoAwayEnabled() const { return m_autoAwayEnabled; }
    // Input idleness in milliseconds as decimal text when it exceeds "autoAwayMinutes", empty
    // otherwise (also when the system cannot tell). Kept in `idleTime` without change notices,
    // so the user-information block sends it.
    QString measureIdleTime();
    // The local user's value for a key of the information block, null when it has none; the
    // idle time is measured at the call.
    QString userInfoValue(const QString &key);
    // One auto-away check.
    void idleCheckTimer();
    // The screensaver started (true) or stopped (false).
    void screensaverDid(bool started);
    bool inScreensaverAway() const { return m_inScreensaverAway; }
    void setInScreensaverAway(bool v) { m_inScreensaverAway = v; }
    // Kept for callers that set the flag without starting the check.
    void setAutoAwayFlag(bool v) { m_autoAwayEnabled = v; }

    // The roster's local user; null until it is known.
    static Me *current();
    static void setCurrent(Me *me);

private:
    bool isLocal() const;
    void observeSystem();

    bool m_autoAwayEnabled = false;
    bool m_inScreensaverAway = false;
    bool m_observing = false;
};

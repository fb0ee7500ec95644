#pragma once

#include <QString>

// Makes the running copy the only one of its folder: a lock file holding the pid of the copy
// that owns it. A newer copy asks the owner to quit (SIGTERM, so it takes its orderly way out)
// and waits, bounded, for the lock to come free. The kernel frees the lock when the owner's
// process ends, however it ends, so a crashed copy never blocks the next one. Copies with their
// own folders never see each other.
class SingleInstance {
public:
    enum class Outcome {
        Alone,       // nobody held the lock
        TookOver,    // an older copy held it, was asked to quit and went
        OtherStayed, // an older copy held it and did not go in time
        Failed,      // the lock file could not be made or locked
    };

    // The lock's folder: $XDG_RUNTIME_DIR/Murnavell, or the data folder where that is unset.
    static QString defaultFolder();

    explicit SingleInstance(QString folder);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // Takes the lock, ending an older owner and waiting up to waitMs for it to go.
    Outcome acquire(int waitMs = 10000);
    // The pid of the older copy found holding the lock (0 for none).
    qint64 otherPid() const { return m_otherPid; }
    QString lockPath() const;
    QString errorText() const { return m_error; }

private:
    bool tryLock();
    qint64 readOwner() const;

    QString m_folder;
    int m_fd = -1;
    qint64 m_otherPid = 0;
    QString m_error;
};

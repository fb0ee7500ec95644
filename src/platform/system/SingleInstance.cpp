#include "platform/system/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString SingleInstance::defaultFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) return runtime + QStringLiteral("/Murnavell");
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Murnavell");
}

SingleInstance::SingleInstance(QString folder) : m_folder(std::move(folder)) {}

SingleInstance::~SingleInstance() {
    if (m_fd >= 0) ::close(m_fd);
}

QString SingleInstance::lockPath() const { return m_folder + QStringLiteral("/instance.lock"); }

bool SingleInstance::tryLock() {
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) return false;
    // Ours now: the pid for the next copy to find.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(m_fd, 0) == 0) {
        ssize_t written = ::pwrite(m_fd, pid.constData(), size_t(pid.size()), 0);
        (void)written; // without the pid a newer copy waits and reports the older one stayed
    }
    return true;
}

qint64 SingleInstance::readOwner() const {
    char buf[32] = {};
    const ssize_t n = ::pread(m_fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    bool ok = false;
    const qint64 pid = QByteArray(buf, int(n)).trimmed().toLongLong(&ok);
    return ok && pid > 1 ? pid : 0;
}

SingleInstance::Outcome SingleInstance::acquire(int waitMs) {
    if (m_fd < 0) {
        if (!QDir().mkpath(m_folder)) {
            m_error = QStringLiteral("cannot make %1").arg(m_folder);
            return Outcome::Failed;
        }
        m_fd = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            m_error = QStringLiteral("cannot open %1: %2")
                          .arg(lockPath(), QString::fromLocal8Bit(std::strerror(errno)));
            return Outcome::Failed;
        }
    }
    if (tryLock()) return Outcome::Alone;
    if (errno != EWOULDBLOCK) {
        m_error = QStringLiteral("cannot lock %1: %2")
                      .arg(lockPath(), QString::fromLocal8Bit(std::strerror(errno)));
        return Outcome::Failed;
    }
    // The owner may have locked without having written its pid yet: read again while waiting.
    const QDeadlineTimer deadline(waitMs);
    bool asked = false;
    do {
        if (!asked) {
            const qint64 pid = readOwner();
            if (pid > 0 && pid != qint64(::getpid())) {
                m_otherPid = pid;
                asked = ::kill(pid_t(pid), SIGTERM) == 0 || errno == ESRCH;
            }
        }
        QThread::msleep(25);
        if (tryLock()) return Outcome::TookOver;
    } while (!deadline.hasExpired());
    m_error = m_otherPid ? QStringLiteral("the copy with pid %1 did not quit").arg(m_otherPid)
                         : QStringLiteral("another copy holds %1").arg(lockPath());
    return Outcome::OtherStayed;
}

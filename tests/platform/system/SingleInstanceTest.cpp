// One copy per folder: an older copy is asked to quit and waited for, a copy that stays is
// reported in bounded time, and copies with their own folders never meet.
#include "platform/system/SingleInstance.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>

namespace {

// An older copy: a shell holding the lock (through flock(1)) that wrote its pid into the file;
// with `ignoreTerm` it does not quit when asked.
class OlderCopy {
public:
    OlderCopy(const QString &lockPath, bool ignoreTerm) {
        const QString trap = ignoreTerm ? QStringLiteral("trap '' TERM; ") : QString();
        process.start("flock",
                      {"-x", lockPath, "sh", "-c", trap + "echo $$ > '" + lockPath + "'; exec sleep 30"});
        started = process.waitForStarted(5000);
        // Wait until the pid is in the file: the lock is held from then on.
        QElapsedTimer t;
        t.start();
        while (started && t.elapsed() < 5000) {
            QFile f(lockPath);
            if (f.open(QIODevice::ReadOnly) && (pid = f.readAll().trimmed().toLongLong()) > 0) return;
            QThread::msleep(10);
        }
        started = false;
    }
    ~OlderCopy() {
        // The shell's pid (a sleep by now) holds the lock too; it goes with flock(1).
        if (pid > 0) ::kill(pid_t(pid), SIGKILL);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QProcess process;
    bool started = false;
    qint64 pid = 0;
};

bool haveFlock() { return !QStandardPaths::findExecutable("flock").isEmpty(); }

TEST(SingleInstance, AloneThenAnotherFolderIsAloneToo) {
    QTemporaryDir a, b;
    SingleInstance first(a.path() + "/run");
    EXPECT_EQ(first.acquire(100), SingleInstance::Outcome::Alone);
    SingleInstance other(b.path() + "/run");
    EXPECT_EQ(other.acquire(100), SingleInstance::Outcome::Alone);
    QFile lock(first.lockPath());
    ASSERT_TRUE(lock.open(QIODevice::ReadOnly));
    EXPECT_EQ(lock.readAll().trimmed().toLongLong(), qint64(QCoreApplication::applicationPid()));
}

TEST(SingleInstance, OlderCopyIsAskedToQuitAndWaitedFor) {
    if (!haveFlock()) GTEST_SKIP() << "flock(1) is missing";
    QTemporaryDir dir;
    SingleInstance probe(dir.path());
    OlderCopy older(probe.lockPath(), false);
    ASSERT_TRUE(older.started);
    const qint64 olderPid = older.process.processId();

    SingleInstance newer(dir.path());
    EXPECT_EQ(newer.acquire(10000), SingleInstance::Outcome::TookOver) << qPrintable(newer.errorText());
    EXPECT_GT(newer.otherPid(), 0);
    ASSERT_TRUE(older.process.waitForFinished(5000));
    // The shell was ended by the signal; flock(1) then let go of the lock.
    EXPECT_NE(olderPid, 0);
}

TEST(SingleInstance, OlderCopyThatStaysIsReportedInBoundedTime) {
    if (!haveFlock()) GTEST_SKIP() << "flock(1) is missing";
    QTemporaryDir dir;
    SingleInstance probe(dir.path());
    OlderCopy older(probe.lockPath(), true);
    ASSERT_TRUE(older.started);

    SingleInstance newer(dir.path());
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(newer.acquire(600), SingleInstance::Outcome::OtherStayed);
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_FALSE(newer.errorText().isEmpty());
    EXPECT_EQ(older.process.state(), QProcess::Running);
}

} // namespace

#pragma once

// The common ground of the end-to-end tests: a lab of namespaces, copies of the test driver
// started in it and waited for until they are "ready", and what every test asks of a copy. A
// fixture derives from it; everything the test started goes at TearDown, also when it failed.
#include "support/CopyProcess.h"
#include "support/NetnsLab.h"

#include <QJsonArray>
#include <QProcessEnvironment>
#include <QString>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

// Skips the test without a lab (root, the `ip` tool) or without a built driver.
#define SKIP_WITHOUT_LAB()                                                                                   \
    do {                                                                                                     \
        QString skipWhy;                                                                                     \
        if (!E2eCopies::labAvailable(&skipWhy, true)) GTEST_SKIP() << qPrintable(skipWhy);                   \
    } while (0)

// The same for tests of the lab itself, which run no driver.
#define SKIP_WITHOUT_NETNS()                                                                                 \
    do {                                                                                                     \
        QString skipWhy;                                                                                     \
        if (!E2eCopies::labAvailable(&skipWhy, false)) GTEST_SKIP() << qPrintable(skipWhy);                  \
    } while (0)

class E2eCopies : public ::testing::Test {
public:
    // The test driver built with the tests; empty when it was not built.
    static QString driver();
    // Whether the lab can run here (and, with needDriver, the driver is built); else the reason.
    static bool labAvailable(QString *why, bool needDriver);

    // User i of a test's series: "A<series>0000000<i + 1>", so each test file has its own ids.
    static QString userIdIn(int series, int i);

    // A field of /proc/<pid>/status in KiB ("VmRSS:", "VmHWM:"); -1 when it cannot be read. The
    // lab's copies share the pid namespace, so their pids are valid here.
    static qint64 procKiB(qint64 pid, const char *field);

    // {"event": name, key: value}.
    static CopyProcess::Predicate event(const QString &name, const QString &key, const QString &value);
    // A "status" event of that user with that code.
    static CopyProcess::Predicate status(const QString &user, const QString &code);

protected:
    // Starts the driver in copy i as user `id` who learns of others only by "add-user"
    // (presence off), named "User<i + 1>"; null unless it is ready and listening.
    CopyProcess *startIntroduced(int i, const QString &id);
    // Starts the driver in copy i as user `id` with presence on (system monitors off), named
    // "Person <i + 1>", with the extra variables; null unless it is ready.
    CopyProcess *startWithPresence(int i, const QString &id, const QProcessEnvironment &extra = {});
    // Starts the driver in copy i with these variables and waits for its "ready"; null when it
    // did not start, was not ready in time or, with mustListen, is not listening.
    CopyProcess *startDriver(int i, const QProcessEnvironment &env, bool mustListen);

    // Makes copy `of` know user `id` of copy `who` as an online user "User<who + 1>".
    bool introduce(CopyProcess *of, const QString &id, int who);

    // Whether copy `of` has user `id` online (status "0") or offline, asking until the bound
    // passes.
    static bool sees(CopyProcess *of, const QString &id, bool online, int timeoutMs = 15000);
    // The copy's held copies, from one "held" answer.
    static std::optional<QJsonArray> heldCopies(CopyProcess *copy);

    // Asks every copy still running to quit, waits a bounded time, then removes the lab.
    void TearDown() override;

    std::unique_ptr<NetnsLab> lab;
    std::vector<std::unique_ptr<CopyProcess>> copies;
};

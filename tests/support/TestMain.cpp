// Shared main for every test executable: a QCoreApplication for signals and timers, and
// private XDG folders so no test ever reads or writes the real user's settings or store.
#include "support/PrivateFolders.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Shared main for the window tests: a QApplication on the offscreen platform (unless another is
// asked for), and private XDG folders so no test touches the real user's settings or store.
#include "support/PrivateFolders.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

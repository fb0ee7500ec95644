#include "platform/notify/NotificationCenter.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(NotificationCenterTest, DeliversByNameAndObject) {
    NotificationCenter center;
    int a = 0, b = 0;
    const int senderA = 1, senderB = 2;
    QStringList seen;
    center.addObserver("logUpdated", &senderA, [&](const Notification &) { ++a; });
    center.addObserver("logUpdated", nullptr, [&](const Notification &) { ++b; });
    center.addObserver(QString(), nullptr, [&](const Notification &n) { seen << n.name; });

    center.post("logUpdated", &senderA);
    center.post("logUpdated", &senderB);
    center.post("userChangedHisName", &senderA, {{"k", 1}});
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(seen, (QStringList{"logUpdated", "logUpdated", "userChangedHisName"}));
}

TEST(NotificationCenterTest, ObserverMayRemoveItselfAndOthersDuringDelivery) {
    NotificationCenter center;
    int first = 0, second = 0;
    NotificationCenter::Token t2 = 0;
    NotificationCenter::Token t1 = center.addObserver("x", nullptr, [&](const Notification &) {
        ++first;
        center.removeObserver(t1);
        center.removeObserver(t2);
        center.addObserver("x", nullptr, [](const Notification &) {});
    });
    t2 = center.addObserver("x", nullptr, [&](const Notification &) { ++second; });
    center.post("x");
    center.post("x");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(NotificationCenterTest, PostFromAnotherThreadArrivesOnTheMainThread) {
    NotificationCenter center;
    QThread *delivered = nullptr;
    center.addObserver("x", nullptr, [&](const Notification &) { delivered = QThread::currentThread(); });
    std::thread([&] { center.post("x"); }).join();
    EXPECT_EQ(delivered, nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered, QCoreApplication::instance()->thread());
}

} // namespace

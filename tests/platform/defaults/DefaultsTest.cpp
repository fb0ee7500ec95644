#include "platform/defaults/Defaults.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct DefaultsTest : ::testing::Test {
    QTemporaryDir dir;
    QString path() const { return dir.filePath("cfg/settings.json"); }
};

TEST_F(DefaultsTest, RegisteredValuesShowUntilTheUserSetsOneAndAreNeverWritten) {
    Defaults d(path());
    d.registerDefaults({{"encoding", 12}, {"sounds.onIncoming", true}});
    EXPECT_EQ(d.integerForKey("encoding"), 12);
    EXPECT_TRUE(d.boolForKey("sounds.onIncoming"));
    EXPECT_FALSE(QFile::exists(path()));

    d.setValue("encoding", 11);
    EXPECT_EQ(d.integerForKey("encoding"), 11);
    d.removeObject("encoding");
    EXPECT_EQ(d.integerForKey("encoding"), 12);
    EXPECT_FALSE(d.boolForKey("missing"));
    EXPECT_EQ(d.integerForKey("missing"), 0);
}

TEST_F(DefaultsTest, UserValuesSurviveARestartWithTheirShape) {
    const QVariantList broadcasts{QVariantMap{{"address", "198.18.0.255"}, {"enabled", true}},
                                  QVariantMap{{"address", "198.18.1.0-198.18.1.9"}, {"enabled", false}}};
    {
        Defaults d(path());
        d.setValue("encoding", 15);
        d.setValue("broadcasts", broadcasts);
        d.setValue("userName", QString::fromUtf8("Дарья"));
        EXPECT_TRUE(d.lastWriteSucceeded());
    }
    Defaults again(path());
    EXPECT_EQ(again.integerForKey("encoding"), 15);
    EXPECT_EQ(again.stringForKey("userName"), QString::fromUtf8("Дарья"));
    const QVariantList back = again.arrayForKey("broadcasts");
    ASSERT_EQ(back.size(), 2);
    EXPECT_EQ(back[0].toMap().value("address").toString(), "198.18.0.255");
    EXPECT_FALSE(back[1].toMap().value("enabled").toBool());
}

TEST_F(DefaultsTest, ChangeSignalFiresOncePerEffectiveChange) {
    Defaults d(path());
    d.registerDefaults({{"encoding", 12}});
    QSignalSpy spy(&d, &Defaults::changed);
    d.setValue("encoding", 12); // same as registered: nothing changes
    d.setValue("encoding", 11);
    d.setValue("encoding", 11);
    d.removeObject("encoding");
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).toString(), "encoding");
}

TEST_F(DefaultsTest, DamagedFileIsKeptAsideAndNotParsed) {
    QDir().mkpath(dir.filePath("cfg"));
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{ not json");
    f.close();
    Defaults d(path());
    EXPECT_FALSE(d.contains("encoding"));
    EXPECT_TRUE(QFile::exists(path() + ".damaged"));
    d.setValue("encoding", 13);
    Defaults again(path());
    EXPECT_EQ(again.integerForKey("encoding"), 13);
}

TEST_F(DefaultsTest, FailedWriteIsReportedAndTheValueStillHoldsForTheRun) {
    Defaults d("/proc/murnavell-cannot-write/settings.json");
    d.setValue("encoding", 14);
    EXPECT_FALSE(d.lastWriteSucceeded());
    EXPECT_EQ(d.integerForKey("encoding"), 14);
}

} // namespace

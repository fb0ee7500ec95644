// The class initializer: the registered settings, the code page chosen from the languages, start
// at login on the first launch only, and settings that cannot be used taken for unset.
#include "core/app/KDTAppDelegate.h"
#include "core/app/RegisteredDefaults.h"
#include "platform/defaults/Defaults.h"
#include "platform/system/AutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct EncodingCase {
    QStringList languages;
    int encoding;
};

class DefaultEncoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(DefaultEncoding, FollowsTheLastMatchingLanguage) {
    EXPECT_EQ(KDTAppDelegate::defaultEncoding(GetParam().languages), GetParam().encoding)
        << qPrintable(GetParam().languages.join(','));
}

INSTANTIATE_TEST_SUITE_P(
    Languages, DefaultEncoding,
    ::testing::Values(EncodingCase{{"de-DE", "pl-PL", "en-US"}, 15}, EncodingCase{{"ru", "tr-TR"}, 14},
                      EncodingCase{{"en-GB"}, 12}, EncodingCase{{"el"}, 13}, EncodingCase{{"el-GR"}, 12},
                      EncodingCase{{"sr-Cyrl-RS"}, 12}, EncodingCase{{"sr-Latn-RS"}, 15},
                      EncodingCase{{"ru-RU"}, 11}, EncodingCase{{"sr"}, 11}, EncodingCase{{}, 12},
                      // A language that matches nothing leaves the value as it was.
                      EncodingCase{{"ru", "el-GR"}, 11}, EncodingCase{{"pl", "sr-Cyrl-RS", "en"}, 15},
                      EncodingCase{{"el", "de"}, 13}, EncodingCase{{"uk-UA", "cs-CZ"}, 15}));

// A fresh settings file and autostart folder for one test.
class Initializer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toLocal8Bit());
        qputenv("HOME", (dir.path() + "/home").toLocal8Bit());
        QDir().mkpath(dir.path() + "/home");
    }
    QString settingsPath() const { return dir.path() + "/config/Murnavell/settings.json"; }
    QJsonObject writtenSettings() const {
        QFile file(settingsPath());
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    void writeSettings(const QByteArray &json) {
        QDir().mkpath(QFileInfo(settingsPath()).path());
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json);
    }

    QTemporaryDir dir;
};

TEST_F(Initializer, FreshHomeReadsAllDefaultsAndWritesOnlyTheFirstLaunch) {
    Defaults defaults(settingsPath());
    KDTAppDelegate::initialize(defaults, {"ru-RU"});

    const QString folder = KDTAppDelegate::defaultReceivedFilesFolder();
    EXPECT_EQ(folder, "~/Downloads/Murnavell");
    const QList<RegisteredDefaults::Entry> table = RegisteredDefaults::all(11, folder);
    ASSERT_EQ(table.size(), 29);
    QStringList keys;
    for (const RegisteredDefaults::Entry &entry : table) {
        keys << entry.first;
        EXPECT_EQ(defaults.value(entry.first), entry.second) << qPrintable(entry.first);
    }
    EXPECT_EQ(keys.first(), "fontSize");
    EXPECT_EQ(keys.last(), "encoding");
    EXPECT_TRUE(keys.contains("sreensaverAwayEnabled"));
    EXPECT_TRUE(keys.contains("NSConstraintBasedLayoutVisualizeMutuallyExclusiveConstraints"));
    EXPECT_EQ(defaults.integerForKey("encoding"), 11);
    EXPECT_EQ(defaults.integerForKey("fontSize"), 18);
    EXPECT_EQ(defaults.arrayForKey("hotKey"), (QVariantList{393216, 1}));
    EXPECT_EQ(defaults.stringForKey("busyMessage"), "I am busy now. Please do not disturb me.");
    EXPECT_FALSE(defaults.boolForKey("grammarCheckingEnabled"));

    // Only the first-launch flag is the user's; the registered values are never written.
    EXPECT_EQ(writtenSettings(), (QJsonObject{{"firstLaunchCompleted", true}}));
}

TEST_F(Initializer, StartAtLoginIsRegisteredOnTheFirstLaunchOnly) {
    {
        Defaults defaults(settingsPath());
        KDTAppDelegate::initialize(defaults, {});
    }
    ASSERT_TRUE(AutostartEntry::exists());
    QFile entry(AutostartEntry::path());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nExec=\"")) << text.constData();

    // The user removes it; the next launches leave it removed.
    ASSERT_TRUE(QFile::remove(AutostartEntry::path()));
    for (int launch = 0; launch < 2; ++launch) {
        Defaults defaults(settingsPath());
        KDTAppDelegate::initialize(defaults, {});
        EXPECT_FALSE(AutostartEntry::exists());
    }
}

TEST_F(Initializer, ReceivedFilesFolderThatIsGoneIsReset) {
    const QString kept = dir.path() + "/kept";
    ASSERT_TRUE(QDir().mkpath(kept));
    const QString gone = dir.path() + "/gone";
    struct Case {
        QString stored;
        QString expected;
    } cases[] = {{kept, kept}, {gone, "~/Downloads/Murnavell"}, {"~/nowhere", "~/Downloads/Murnavell"}};
    for (const Case &c : cases) {
        Defaults defaults(settingsPath());
        defaults.setValue("fileTransferPath", c.stored);
        KDTAppDelegate::initialize(defaults, {});
        EXPECT_EQ(defaults.stringForKey("fileTransferPath"), c.expected) << qPrintable(c.stored);
    }
}

// Hand-edited settings of the wrong kind: read as if unset, and the run goes on.
TEST_F(Initializer, UnusableHandEditedValuesAreTakenForUnset) {
    struct Case {
        QByteArray json;
        int encoding;
        QString path;
    } cases[] = {
        {R"({"encoding": 99})", 11, "~/Downloads/Murnavell"},
        {R"({"encoding": 10})", 11, "~/Downloads/Murnavell"},
        {R"({"encoding": 12.5})", 11, "~/Downloads/Murnavell"},
        {R"({"encoding": "14"})", 11, "~/Downloads/Murnavell"},
        {R"({"encoding": true})", 11, "~/Downloads/Murnavell"},
        {R"({"encoding": [13]})", 11, "~/Downloads/Murnavell"},
        {R"({"encoding": 13})", 13, "~/Downloads/Murnavell"},
        {R"({"fileTransferPath": 42})", 11, "~/Downloads/Murnavell"},
        {R"({"fileTransferPath": ["/tmp"]})", 11, "~/Downloads/Murnavell"},
        {R"({"fileTransferPath": {"a": 1}})", 11, "~/Downloads/Murnavell"},
    };
    for (const Case &c : cases) {
        writeSettings(c.json);
        Defaults defaults(settingsPath());
        KDTAppDelegate::initialize(defaults, {"ru"});
        EXPECT_EQ(defaults.integerForKey("encoding"), c.encoding) << c.json.constData();
        EXPECT_EQ(defaults.value("fileTransferPath"), QVariant(c.path)) << c.json.constData();
    }
}

} // namespace

namespace {

TEST(AppInit, TheOnlyCopySortsTheListOfflineLastThenByName) {
    KDTAppDelegate delegate;
    ASSERT_TRUE(delegate.init()) << qPrintable(delegate.initError());
    const QList<KDTAppDelegate::SortDescriptor> expected{{"userOffline", true}, {"name", true}};
    EXPECT_EQ(delegate.sortDescriptors(), expected);
}

} // namespace

// Strings tables by table and key with the English default, and formats that never read past
// their arguments.
#include "platform/strings/Strings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(Strings, FormatsTakeOnlyTheArgumentsThereAre) {
    const struct {
        const char *format;
        QVariantList arguments;
        const char *expected;
    } cases[] = {
        {"%@ [%ld]", {"Set Status", 9}, "Set Status [9]"},
        {"%@ is calling.", {"Anna"}, "Anna is calling."},
        {"%@ and %@", {"one"}, "one and "},
        {"%d%%", {}, "%"},
        {"%2$@ before %1$@", {"a", "b"}, "b before a"},
        {"%5$@|%0$@|%@", {"x"}, "||x"},
        {"%.2f MB", {1.5}, "1.50 MB"},
        {"%lu of %lld", {3u, -4}, "3 of -4"},
        {"100%%", {}, "100%"},
        {"%y stays, % at the end", {"unused"}, "%y stays, % at the end"},
        {"trailing %", {}, "trailing %"},
        {"%ld", {"not a number"}, "0"},
        {"%@", {QVariantList{1, 2}}, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Strings::format(QString::fromUtf8(c.format), c.arguments), QString::fromUtf8(c.expected))
            << c.format;
}

TEST(Strings, TablesAreLookedUpByLanguageTableAndKey) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    auto write = [&](const QString &name, const QByteArray &json) {
        QDir().mkpath(QFileInfo(root.path() + "/" + name).path());
        QFile file(root.path() + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json);
    };
    write("de/Localizable.json", R"({"Away": "Abwesend", "Busy": 7})");
    write("de-AT/Localizable.json", R"j({"Busy": "Beschäftigt (AT)"})j");
    write("de/TcpSocket.json", R"({"Socket closed": "Socket geschlossen"})");
    write("fr/Localizable.json", "not json at all");
    Strings::setRoot(root.path());

    const struct {
        QStringList languages;
        const char *table;
        const char *key;
        const char *expected;
    } cases[] = {
        {{"de-DE"}, "", "Away", "Abwesend"},
        {{"de-AT"}, "Localizable", "Busy", "Beschäftigt (AT)"},
        {{"de-DE"}, "", "Busy", "Busy"}, // an entry that is no text is no entry
        {{"de-DE"}, "TcpSocket", "Socket closed", "Socket geschlossen"},
        {{"de-DE"}, "UdpSocket", "Socket closed", "Socket closed"},
        {{"fr-FR", "de"}, "", "Away", "Abwesend"},
        {{"fr-FR"}, "", "Away", "Away"},
        {{}, "", "Away", "Away"},
    };
    for (const auto &c : cases) {
        Strings::setLanguages(c.languages);
        EXPECT_EQ(Strings::localized(QString::fromUtf8(c.table), QString::fromUtf8(c.key)),
                  QString::fromUtf8(c.expected))
            << qPrintable(c.languages.join(',')) << " " << c.table << " " << c.key;
    }
    Strings::setRoot(":/strings");
    Strings::setLanguages({});
}

} // namespace

// The user's languages from the locale environment, as language tags.
#include "platform/system/PreferredLanguages.h"

#include <gtest/gtest.h>

namespace {

TEST(PreferredLanguages, LocaleNamesBecomeLanguageTags) {
    const struct {
        const char *locale;
        const char *tag;
    } cases[] = {
        {"de_DE.UTF-8", "de-DE"},
        {"sr_RS@latin", "sr-Latn-RS"},
        {"sr_RS.UTF-8@cyrillic", "sr-Cyrl-RS"},
        {"ru_RU.KOI8-R", "ru-RU"},
        {"el", "el"},
        {"en_GB", "en-GB"},
        {"de_DE@euro", "de-DE"},
        {"C", ""},
        {"POSIX", ""},
        {"C.UTF-8", ""},
        {"", ""},
        {"../../etc", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(PreferredLanguages::tagFromLocale(c.locale), QString::fromLatin1(c.tag)) << c.locale;
}

TEST(PreferredLanguages, LanguageListComesFirstThenTheMessagesLocale) {
    const struct {
        const char *language, *lcAll, *lcMessages, *lang;
        QStringList expected;
    } cases[] = {
        {"", "", "", "ru_RU.UTF-8", {"ru-RU"}},
        {"de_DE:pl", "", "", "ru_RU.UTF-8", {"de-DE", "pl", "ru-RU"}},
        {"", "tr_TR.UTF-8", "el_GR", "ru_RU", {"tr-TR"}},
        {"", "", "el_GR.UTF-8", "ru_RU", {"el-GR"}},
        {"ru:ru", "", "", "ru", {"ru"}},
        {"", "", "", "C", {}},
        {"", "", "", "", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(PreferredLanguages::fromValues(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
            << c.language << "|" << c.lcAll << "|" << c.lcMessages << "|" << c.lang;
}

} // namespace

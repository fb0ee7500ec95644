#include "platform/system/AccountInfo.h"
#include "platform/system/IdleTime.h"
#include "platform/system/SystemIdentity.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(AccountInfoTest, FullNameIsTheFirstGecosField) {
    const struct {
        const char *gecos;
        const char *name;
    } cases[] = {
        {"Erika Mustermann,Room 12,555-1234,,", "Erika Mustermann"},
        {"  Jo  ", "Jo"},
        {",,,", ""},
        {"", ""},
        {"J\xc3\xb6rg", "J\xc3\xb6rg"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(AccountInfo::fullNameFromGecos(QByteArray(c.gecos)), QString::fromUtf8(c.name)) << c.gecos;
}

TEST(AccountInfoTest, CurrentAccountHasALoginName) {
    const AccountInfo info = AccountInfo::current();
    EXPECT_FALSE(info.loginName.isEmpty());
    EXPECT_FALSE(info.homeDirectory.isEmpty());
}

TEST(SystemIdentityTest, HostNameIsShortAndNeverEmpty) {
    const QString host = SystemIdentity::shortHostName();
    EXPECT_FALSE(host.isEmpty());
    EXPECT_FALSE(host.contains(QLatin1Char('.')));
    EXPECT_FALSE(SystemIdentity::versionText().isEmpty());
}

TEST(IdleTimeTest, InjectedSourceIsUsedUntilRestored) {
    IdleTime::setSource([] { return std::optional<double>(42.5); });
    EXPECT_EQ(IdleTime::secondsSinceLastInput(), std::optional<double>(42.5));
    IdleTime::setSource({});
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        EXPECT_EQ(IdleTime::secondsSinceLastInput(), std::nullopt);
    }
}

} // namespace

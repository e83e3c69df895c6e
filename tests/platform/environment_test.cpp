#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/support/scoped_env.h"

namespace {

TEST(EnvironmentTest, PreferredLanguagesFollowTheLocaleVariables) {
  ScopedEnv language("LANGUAGE", "fr_CA:fr:en_US");
  ScopedEnv all("LC_ALL", nullptr);
  ScopedEnv messages("LC_MESSAGES", "de_DE.UTF-8@euro");
  ScopedEnv lang("LANG", "en_US.UTF-8");
  EXPECT_EQ(platform::preferredLanguages(),
            (std::vector<std::string>{"fr-CA", "fr", "en-US", "de-DE"}));
  {
    ScopedEnv noList("LANGUAGE", nullptr);
    ScopedEnv c("LC_MESSAGES", "C.UTF-8");
    EXPECT_EQ(platform::preferredLanguages(), std::vector<std::string>{"en"});
  }
  ScopedEnv noList("LANGUAGE", "");
  ScopedEnv noMessages("LC_MESSAGES", nullptr);
  EXPECT_EQ(platform::preferredLanguages(), std::vector<std::string>{"en-US"});
}

TEST(EnvironmentTest, TimeZoneOffsetAndSystemInfo) {
  {
    ScopedEnv tz("TZ", "UTC");
    EXPECT_EQ(platform::timeZoneOffsetSeconds(1700000000), 0);
  }
  {
    ScopedEnv tz("TZ", "IST-5:30");
    EXPECT_EQ(platform::timeZoneOffsetSeconds(1700000000), 19800);
  }
  {
    // Daylight saving is part of the offset.
    ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(platform::timeZoneOffsetSeconds(1688000000), -4 * 3600);  // June
    EXPECT_EQ(platform::timeZoneOffsetSeconds(1700000000), -5 * 3600);  // November
  }
  EXPECT_EQ(platform::systemInfo().sysname, "Linux");
  EXPECT_FALSE(platform::systemInfo().machine.empty());
}

}  // namespace

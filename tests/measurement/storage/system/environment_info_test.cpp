// Environment facts: language and time-zone offset from the process
// environment, and the install checks from the main bundle.
#include "measurement/storage/system/environment_info.h"

#include <fstream>

#include <gtest/gtest.h>

#include "platform/bundle.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_container.h"

namespace {

TEST(EnvironmentInfo, LanguageAndTimeZoneComeFromTheEnvironment) {
  ScopedEnv language("LANGUAGE", nullptr);
  ScopedEnv all("LC_ALL", "pt_BR.UTF-8");
  auto info = APMEnvironmentInfo::sharedInstance();
  EXPECT_EQ(info->userDefaultLanguage(), "pt-br");

  struct Case {
    const char* tz;
    int32_t minutes;
  };
  // POSIX TZ strings count west as positive; the offset counts east.
  const Case cases[] = {{"UTC0", 0}, {"XXX+3:30", -210}, {"YYY-5:45", 345}, {"ZZZ+0:00:59", 0}};
  for (const Case& c : cases) {
    ScopedEnv tz("TZ", c.tz);
    EXPECT_EQ(info->timeZoneOffsetMinutes(), c.minutes) << c.tz;
  }
  EXPECT_FALSE(info->deviceModel().empty());
  EXPECT_EQ(info->deviceModel(), APMAEU::deviceModel());
  EXPECT_EQ(info->deviceOSVersion(), APMAEU::systemVersion());
}

TEST(EnvironmentInfo, InstallChecksReadTheMainBundle) {
  TempContainer container;
  auto useBundle = [](const std::string& path) {
    platform::Bundle::setMain(
        std::make_shared<platform::Bundle>(path, platform::Object::Dictionary{}, std::vector<std::string>{}));
  };
  useBundle(container.path());
  EXPECT_FALSE(APMAEU::isFAS());
  EXPECT_FALSE(APMAEU::isAEX());
  EXPECT_FALSE(APMAEU::isASRS());
  EXPECT_FALSE(APMAEU::isNOD());
  EXPECT_EQ(APMAEU::appStoreRURL(), std::nullopt);
  EXPECT_EQ(APMAEU::sharedApplication(), nullptr);
  std::ofstream(container.path() + "/SC_Info") << "";
  EXPECT_TRUE(APMAEU::isFAS());
  useBundle(container.path() + "/Share.appex");
  EXPECT_TRUE(APMAEU::isAEX());
  EXPECT_EQ(APMAEU::sharedApplication(), nullptr);
  platform::Bundle::setMain(nullptr);
}

}  // namespace

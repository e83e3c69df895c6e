#include "sdk_core/app_environment_util.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

TEST(GULAppEnvironmentUtilTest, AnswersTheKernelIdentification) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(GULAppEnvironmentUtil::deviceModel(), names.machine);
  EXPECT_EQ(GULAppEnvironmentUtil::systemVersion(), names.release);
  EXPECT_FALSE(GULAppEnvironmentUtil::deviceModel().empty());
  EXPECT_FALSE(GULAppEnvironmentUtil::isFromAppStore());
  EXPECT_FALSE(GULAppEnvironmentUtil::isSimulator());
  EXPECT_FALSE(GULAppEnvironmentUtil::isAppExtension());
}

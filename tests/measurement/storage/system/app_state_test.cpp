#include "measurement/storage/system/app_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "measurement/storage/system/backward_compatibility_util.h"
#include "measurement/storage/system/class_registry.h"
#include "measurement/storage/system/info_plist_file_util.h"
#include "platform/bundle.h"
#include "platform/property_list.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

std::shared_ptr<const platform::Bundle> makeBundle(const std::string& folder,
                                                   Object::Dictionary info) {
  std::filesystem::create_directories(folder);
  EXPECT_TRUE(platform::writePropertyListFile(folder + "/Info.plist", Object(std::move(info))));
  return platform::Bundle::bundleWithPath(folder);
}

TEST(AppStateTest, PrewarmAndSceneManifest) {
  {
    ScopedEnv prewarm("ActivePrewarm", nullptr);
    EXPECT_FALSE(APMIsPrewarmLaunch());
  }
  for (const char* yes : {"1", "YES", "true", "  t", "+01"}) {
    ScopedEnv prewarm("ActivePrewarm", yes);
    EXPECT_TRUE(APMIsPrewarmLaunch()) << yes;
  }
  for (const char* no : {"0", "NO", "", "false", "x1"}) {
    ScopedEnv prewarm("ActivePrewarm", no);
    EXPECT_FALSE(APMIsPrewarmLaunch()) << no;
  }

  TempContainer container;
  platform::Bundle::setMain(makeBundle(
      container.path() + "/Scenes.app",
      {{"UIApplicationSceneManifest", Object(Object::Dictionary{})}}));
  EXPECT_TRUE(APMHasSceneManifest());
  platform::Bundle::setMain(makeBundle(container.path() + "/Plain.app", {}));
  EXPECT_FALSE(APMHasSceneManifest());
  platform::Bundle::setMain(nullptr);
}

TEST(InfoPlistFileUtilTest, SearchesMainThenLibraryBundle) {
  TempContainer container;
  auto main = makeBundle(container.path() + "/Main.app", {});
  auto library = makeBundle(container.path() + "/Library.bundle", {});
  platform::Bundle::setMain(main);
  platform::Bundle::setLibrary(library);
  EXPECT_FALSE(APMInfoPlistFileUtil::vorazaServiceInfoPlistPath());
  EXPECT_FALSE(APMInfoPlistFileUtil::dictionaryFromVorazaServiceInfoPlist());

  const std::string inLibrary = container.path() + "/Library.bundle/VorazaService-Info.plist";
  ASSERT_TRUE(platform::writePropertyListFile(
      inLibrary, Object(Object::Dictionary{{"VORAZA_APP_ID", "1:2:ios:3"}})));
  EXPECT_EQ(APMInfoPlistFileUtil::vorazaServiceInfoPlistPath(), inLibrary);
  auto dict = APMInfoPlistFileUtil::dictionaryFromVorazaServiceInfoPlist();
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->at("VORAZA_APP_ID"), Object("1:2:ios:3"));

  // The main bundle's file comes first; one that is not a dictionary is no
  // configuration.
  const std::string inMain = container.path() + "/Main.app/VorazaService-Info.plist";
  ASSERT_TRUE(platform::writePropertyListFile(inMain, Object(Object::Array{})));
  EXPECT_EQ(APMInfoPlistFileUtil::vorazaServiceInfoPlistPath(), inMain);
  EXPECT_FALSE(APMInfoPlistFileUtil::dictionaryFromVorazaServiceInfoPlist());

  platform::Bundle::setMain(nullptr);
  platform::Bundle::setLibrary(nullptr);
}

TEST(BackwardCompatibilityUtilTest, DisablesARegisteredLegacyClass) {
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableZERIderurivedu());  // no such class

  auto enabled = std::make_shared<bool>(true);
  APMRegisteredClass legacy;
  legacy.sharedInstance = [enabled] { return std::static_pointer_cast<void>(enabled); };
  APMClassRegistry::registerClass("ZERIderurivedu", legacy);
  // A class whose instances cannot be enabled is left alone.
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableZERIderurivedu());

  legacy.setIsEnabled = [](const std::shared_ptr<void>& instance, bool on) {
    *std::static_pointer_cast<bool>(instance) = on;
  };
  APMClassRegistry::registerClass("ZERIderurivedu", legacy);
  EXPECT_TRUE(APMBackwardCompatibilityUtil::disableZERIderurivedu());
  EXPECT_FALSE(*enabled);

  // No shared instance: NO.
  legacy.sharedInstance = [] { return std::shared_ptr<void>(); };
  APMClassRegistry::registerClass("ZERIderurivedu", legacy);
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableZERIderurivedu());
  APMClassRegistry::unregisterClass("ZERIderurivedu");
  EXPECT_FALSE(APMClassRegistry::classNamed("ZERIderurivedu"));
}

}  // namespace

#include "platform/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/paths.h"
#include "platform/property_list.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

TEST(BundleTest, ReadsInfoPlistAndFindsResources) {
  TempContainer container;
  const std::string folder = container.path() + "/App.app";
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(platform::writePropertyListFile(
      folder + "/Info.plist",
      Object(Object::Dictionary{{"CFBundleIdentifier", "com.example.app"},
                                {"CFBundleShortVersionString", "1.2.3"},
                                {"CFBundleVersion", "45"},
                                {"UIApplicationSceneManifest", Object(Object::Dictionary{})}})));
  std::ofstream(folder + "/Settings.plist") << "x";
  std::filesystem::create_directories(folder + "/Folder.plist");

  auto bundle = platform::Bundle::bundleWithPath(folder);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.app");
  EXPECT_EQ(bundle->shortVersion(), "1.2.3");
  EXPECT_EQ(bundle->buildVersion(), "45");
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("UIApplicationSceneManifest").dictionary());
  EXPECT_EQ(bundle->pathForResource("Settings", "plist"), folder + "/Settings.plist");
  EXPECT_FALSE(bundle->pathForResource("Folder", "plist"));  // folders are not resources
  EXPECT_FALSE(bundle->pathForResource("Missing", "plist"));
  EXPECT_FALSE(platform::Bundle::bundleWithPath(folder + "/none"));

  // The configured main bundle names the default container folder.
  platform::Bundle::setMain(bundle);
  EXPECT_EQ(platform::Bundle::main(), bundle);
  EXPECT_EQ(platform::Bundle::library(), bundle);
  platform::Bundle::setMain(nullptr);

  // Without an identifier the default one stands.
  platform::Bundle empty("/nowhere", {}, {});
  EXPECT_EQ(empty.bundleIdentifier(), platform::kDefaultBundleIdentifier);
  EXPECT_FALSE(empty.shortVersion());
}

}  // namespace

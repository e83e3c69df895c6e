#include "measurement/storage/settings/keychain_wrapper.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/keychain.h"
#include "platform/paths.h"
#include "tests/support/temp_container.h"
#include "tests/support/temp_keychain.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";

TEST(KeychainWrapperTest, LaterWriteReplacesTheValueOfTheOneItem) {
  TempKeychain keychain;
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
  ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue("3", "_pfo", kAppID));
  ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue("4", "_pfo", kAppID));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "4");
  EXPECT_EQ(keychain.entries().size(), 1u);
  // The identifier and the app ID each pick the item.
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "1:123:ios:def"),
            std::nullopt);
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_other", kAppID), std::nullopt);

  platform::KeychainItem stored;
  ASSERT_EQ(platform::keychainCopyMatching({kAppID, "_pfo", {}, {}}, &stored),
            platform::KeychainStatus::Success);
  EXPECT_EQ(stored.genericAttribute, "_pfo");
  EXPECT_EQ(stored.accessibility, platform::kSecAttrAccessibleAlwaysThisDeviceOnly);

  APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", kAppID);
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
  EXPECT_TRUE(keychain.entries().empty());
}

TEST(KeychainWrapperTest, EmptyValueIdentifierOrAppIDChangesNothing) {
  TempKeychain keychain;
  ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue("3", "_pfo", kAppID));
  struct Case {
    const char *value, *identifier, *appID;
  } cases[] = {{"", "_pfo", kAppID}, {"4", "", kAppID}, {"4", "_pfo", ""}};
  for (const Case& c : cases) {
    EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue(c.value, c.identifier, c.appID));
  }
  for (const Case& c : {cases[1], cases[2]}) {
    APMKeychainWrapper::deleteKeychainValueWithIdentifier(c.identifier, c.appID);
    EXPECT_EQ(APMKeychainWrapper::searchDirectoryForIdentifier(c.identifier, c.appID),
              std::nullopt);
  }
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "3");
  EXPECT_EQ(keychain.entries().size(), 1u);
}

TEST(KeychainWrapperTest, ItemWhoseValueReadsAsAbsentIsOverwritten) {
  // Values another writer may have left: they read as nil, yet the item is
  // there, so a write must update it rather than add a second one.
  for (const std::string& left : {std::string(), std::string("\xFF\xFE")}) {
    TempKeychain keychain;
    ASSERT_EQ(platform::keychainAdd({kAppID, "_pfo", "_pfo",
                                     platform::kSecAttrAccessibleAlwaysThisDeviceOnly,
                                     platform::Bytes(left.begin(), left.end())}),
              platform::KeychainStatus::Success);
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
    EXPECT_EQ(APMKeychainWrapper::keychainDataWithIdentifier("_pfo", kAppID),
              platform::Bytes(left.begin(), left.end()));
    EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("5", "_pfo", kAppID));
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "5");
  }
}

TEST(KeychainWrapperTest, ValueOutlivesTheAppContainer) {
  TempKeychain keychain;
  std::string containerPath;
  {
    TempContainer container;
    containerPath = container.path();
    ASSERT_FALSE(platform::keychainDirectory().starts_with(containerPath));
    ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue("3", "_pfo", kAppID));
    std::filesystem::remove_all(containerPath);
  }
  ASSERT_FALSE(std::filesystem::exists(containerPath));
  TempContainer reinstalled;
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "3");
}

TEST(KeychainWrapperTest, RefusedKeychainAnswersNoAndNil) {
  TempKeychain keychain;
  std::filesystem::create_directory(keychain.parent() + "/elsewhere");
  std::filesystem::create_directory_symlink(keychain.parent() + "/elsewhere", keychain.path());
  EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue("3", "_pfo", kAppID));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_empty(keychain.parent() + "/elsewhere"));
}

}  // namespace

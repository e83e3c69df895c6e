// The identity store's diversion key: kept when it has five characters,
// made from a random app instance ID and stored otherwise.
#include "measurement/storage/settings/identity.h"

#include <gtest/gtest.h>

#include "measurement/storage/settings/persisted_config.h"
#include "platform/bundle.h"
#include "platform/crypto.h"
#include "tests/measurement/storage/settings/persisted_config_fixture.h"

namespace {

using IdentityTest = PersistedConfigFixture;

TEST_F(IdentityTest, DiversionKeyIsFiveCharactersKeptOnceMade) {
  struct Case {
    std::optional<std::string> stored;
    bool kept;
  };
  const Case cases[] = {
      {std::nullopt, false}, {"", false},     {"abcd", false},
      {"abcdef", false},     {"q1w2e", true}, {"\xE2\x82\xAC" "abcd", true},  // five UTF-16 units
  };
  for (const Case& c : cases) {
    config_->setDiversionKey(c.stored);
    APMIdentity identity(config_);
    std::string key = identity.diversionKey();
    if (c.kept) {
      EXPECT_EQ(key, *c.stored);
      continue;
    }
    EXPECT_EQ(key.size(), 5u) << c.stored.value_or("(none)");
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
    EXPECT_EQ(config_->diversionKey(), key);
    EXPECT_EQ(identity.diversionKey(), key);
  }
}

TEST_F(IdentityTest, NoRandomBytesNoKey) {
  platform::setRandomSource([](uint8_t*, size_t, std::string& failure) {
    failure = "exhausted";
    return false;
  });
  config_->setDiversionKey(std::nullopt);
  EXPECT_EQ(APMIdentity(config_).diversionKey(), "");
  EXPECT_EQ(config_->diversionKey(), std::nullopt);
  platform::setRandomSource({});
  EXPECT_EQ(APMIdentity::newAppInstanceID().size(), 32u);
}

TEST_F(IdentityTest, AppVersionIsTheBundleShortVersion) {
  auto previous = platform::Bundle::main();
  platform::Bundle::setMain(std::make_shared<platform::Bundle>(
      container_.path(), platform::Object::Dictionary{{"CFBundleShortVersionString", "4.2"}},
      std::vector<std::string>{}));
  EXPECT_EQ(APMIdentity(nullptr).appVersion(), "4.2");
  platform::Bundle::setMain(std::make_shared<platform::Bundle>(
      container_.path(), platform::Object::Dictionary{}, std::vector<std::string>{}));
  EXPECT_EQ(APMIdentity(nullptr).appVersion(), std::nullopt);
  platform::Bundle::setMain(nullptr);
  EXPECT_EQ(APMIdentity::vavIradadovozoLibraryVersion(), 110300);
}

}  // namespace

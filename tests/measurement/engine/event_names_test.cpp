#include "measurement/engine/event_names.h"

#include <gtest/gtest.h>

#include <set>

TEST(EventNamesTest, PublicNames) {
  EXPECT_TRUE(APMIsPublicName("purchase"));
  EXPECT_TRUE(APMIsPublicName("a_"));
  EXPECT_TRUE(APMIsPublicName("\xC3\xA9"));
  EXPECT_FALSE(APMIsPublicName(""));
  EXPECT_FALSE(APMIsPublicName("_f"));
  EXPECT_FALSE(APMIsPublicName("_"));
}

TEST(EventNamesTest, PublicToInternalTableIsOneToOne) {
  const APMEventNameTable& table = APMPublicToInternalEventNames();
  EXPECT_EQ(&table, &APMPublicToInternalEventNames());
  EXPECT_EQ(table.at("first_open"), "_f");
  EXPECT_EQ(table.at("session_start"), "_s");

  std::set<std::string> internalNames;
  for (const auto& [publicName, internalName] : table) {
    EXPECT_TRUE(APMIsPublicName(publicName)) << publicName;
    EXPECT_FALSE(APMIsPublicName(internalName)) << internalName;
    EXPECT_TRUE(internalNames.insert(internalName).second) << internalName;
    EXPECT_EQ(table.count(internalName), 0u) << internalName;
  }
}

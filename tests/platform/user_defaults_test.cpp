#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/property_list.h"
#include "tests/support/files.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;
using platform::UserDefaults;

TEST(UserDefaultsTest, ValuesPersistInTheSuiteFile) {
  TempContainer container;
  const std::string path = container.preferences() + "/com.example.suite.plist";
  EXPECT_EQ(UserDefaults::pathForSuite("com.example.suite"), path);
  {
    auto defaults = UserDefaults::suite("com.example.suite");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults, UserDefaults::suite("com.example.suite"));  // one object per suite
    EXPECT_TRUE(defaults->objectForKey("missing").isNil());
    EXPECT_TRUE(defaults->setObject(Object("hello"), "text"));
    EXPECT_TRUE(defaults->setObject(Object(int64_t{7}), "count"));
    EXPECT_TRUE(defaults->setObject(Object(platform::Bytes{1, 2}), "blob"));
    EXPECT_FALSE(defaults->setObject(Object::null(), "refused"));
    EXPECT_TRUE(defaults->objectForKey("refused").isNil());
    EXPECT_TRUE(defaults->synchronize());
  }
  // A new object for the suite reads the file the first one wrote.
  auto reread = UserDefaults::suite("com.example.suite");
  EXPECT_EQ(reread->objectForKey("text"), Object("hello"));
  EXPECT_EQ(reread->integerForKey("count"), 7);
  EXPECT_EQ(reread->dataForKey("blob"), (platform::Bytes{1, 2}));
  reread->setObject(Object(), "text");  // nil removes
  EXPECT_FALSE(platform::readPropertyListFile(path)["text"].isString());
  EXPECT_EQ(reread->dictionaryRepresentation().size(), 2u);

  EXPECT_FALSE(UserDefaults::suite(""));
  EXPECT_FALSE(UserDefaults::suite("../escape"));
}

TEST(UserDefaultsTest, TypedReadsConvertLikeThePlatform) {
  TempContainer container;
  auto defaults = UserDefaults::suite("typed");
  defaults->setObject(Object("  +0012abc"), "digits");
  defaults->setObject(Object("yes"), "yesText");
  defaults->setObject(Object("00"), "zeros");
  defaults->setObject(Object(2.5), "real");
  defaults->setObject(Object(Object::Array{Object(1)}), "list");
  defaults->setObject(Object("99999999999999999999"), "huge");
  EXPECT_EQ(defaults->integerForKey("digits"), 12);
  EXPECT_EQ(defaults->integerForKey("huge"), INT64_MAX);
  EXPECT_TRUE(defaults->boolForKey("yesText"));
  EXPECT_TRUE(defaults->boolForKey("digits"));
  EXPECT_FALSE(defaults->boolForKey("zeros"));
  EXPECT_TRUE(defaults->boolForKey("real"));
  EXPECT_EQ(defaults->integerForKey("real"), 2);
  EXPECT_EQ(defaults->stringForKey("real"), "2.5");
  EXPECT_DOUBLE_EQ(defaults->doubleForKey("digits"), 12.0);
  EXPECT_FALSE(defaults->stringForKey("list"));
  EXPECT_TRUE(defaults->arrayForKey("list"));
  EXPECT_FALSE(defaults->dictionaryForKey("list"));
  EXPECT_FALSE(defaults->boolForKey("absent"));
}

TEST(UserDefaultsTest, RemovingASuiteForgetsItsValuesAndFile) {
  TempContainer container;
  auto defaults = UserDefaults::suite("gone");
  defaults->setObject(Object(1), "a");
  const std::string path = UserDefaults::pathForSuite("gone");
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(UserDefaults::removeSuite("gone"));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(defaults->objectForKey("a").isNil());
  EXPECT_TRUE(UserDefaults::removeSuite("gone"));  // nothing left: still YES

  // A corrupt file reads as an empty domain and is replaced on the next write.
  std::ofstream(path) << "<plist><dict><key>";
  EXPECT_TRUE(UserDefaults::suite("corrupt")->dictionaryRepresentation().empty());
}

TEST(UserDefaultsTest, FailedWriteStaysPendingUntilSynchronize) {
  TempContainer container;
  // A file where the Preferences folder should be blocks every write.
  std::filesystem::create_directories(container.library());
  std::ofstream(container.preferences()) << "in the way";
  auto defaults = UserDefaults::suite("pending");
  EXPECT_TRUE(defaults->setObject(Object(5), "n"));
  EXPECT_EQ(defaults->objectForKey("n"), Object(5));
  platform::ErrorRef error;
  EXPECT_FALSE(defaults->synchronize(&error));
  EXPECT_TRUE(error);
  std::filesystem::remove(container.preferences());
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(platform::readPropertyListFile(UserDefaults::pathForSuite("pending"))["n"], Object(5));
}

TEST(UserDefaultsTest, FirstReadRemovesStaleTemporaryFiles) {
  TempContainer container;
  std::filesystem::create_directories(container.preferences());
  const std::string stale = container.preferences() + "/.stale.suite.plist.tmp.KILLED";
  std::ofstream(stale) << "<?xml";
  ASSERT_TRUE(shiftModificationTime(stale, -3600));
  EXPECT_TRUE(UserDefaults::suite("stale.suite")->objectForKey("k").isNil());
  EXPECT_FALSE(std::filesystem::exists(stale));
}

// A value the writer refuses is dropped, and the suite can write its file again.
TEST(UserDefaultsTest, ValueThatCannotBeWrittenBackCostsOnlyItsOwnKey) {
  for (const OddSettingsFile& c : kOddSettingsFiles) {
    SCOPED_TRACE(c.name);
    TempContainer container;
    std::filesystem::create_directories(container.preferences());
    const std::string path = UserDefaults::pathForSuite("odd.values");
    std::filesystem::copy_file(propertyListCorpusFile(c.name), path);
    auto defaults = UserDefaults::suite("odd.values");
    EXPECT_TRUE(defaults->objectForKey(c.oddKey).isNil());
    EXPECT_TRUE(defaults->setObject(Object("new"), "ordinary"));
    EXPECT_TRUE(defaults->synchronize());
    const Object file = platform::readPropertyListFile(path);
    EXPECT_EQ(file["other"], Object("kept"));
    EXPECT_EQ(file["ordinary"], Object("new"));
  }
}

// Out of descriptors the file cannot be opened: that says nothing of its
// content, which is neither taken for empty nor written over, and is read
// at the next access, under the changes made meanwhile.
TEST(UserDefaultsTest, FileThatCannotBeOpenedIsKeptAndReadLater) {
  TempContainer container;
  const std::string path = UserDefaults::pathForSuite("transient");
  {
    auto defaults = UserDefaults::suite("transient");
    for (int i = 0; i < 5; ++i) defaults->setObject(Object(i), "key" + std::to_string(i));
  }
  const std::string before = fileText(path);
  std::shared_ptr<UserDefaults> defaults;
  {
    platform::LogCapture capture;
    DescriptorsExhausted exhausted;
    defaults = UserDefaults::suite("transient");
    EXPECT_TRUE(defaults->setObject(Object("new"), "added"));
    defaults->removeObjectForKey("key0");
    EXPECT_EQ(defaults->objectForKey("added"), Object("new"));
    EXPECT_FALSE(defaults->synchronize());
    EXPECT_EQ(capture.nslogLines().size(), 1u);  // once, not at every access
  }
  EXPECT_EQ(fileText(path), before);
  EXPECT_EQ(defaults->integerForKey("key4"), 4);
  EXPECT_TRUE(defaults->objectForKey("key0").isNil());
  EXPECT_TRUE(defaults->synchronize());
  const Object::Dictionary expected{{"key1", Object(1)}, {"key2", Object(2)}, {"key3", Object(3)},
                                    {"key4", Object(4)}, {"added", Object("new")}};
  EXPECT_EQ(platform::readPropertyListFile(path), Object(expected));
}

}  // namespace

#include "measurement/storage/settings/persistent_dictionary.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "measurement/storage/settings/persisted_config.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "sdk_core/logger.h"
#include "tests/support/files.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Bytes;
using platform::Object;

// Delayed work driven by a manual clock: blocks run when the test has
// moved the clock past their time and calls `runDue`.
class ManualRunner {
 public:
  explicit ManualRunner(std::shared_ptr<platform::ManualClock> clock) : clock_(std::move(clock)) {}

  APMPersistentDictionary::DelayedRunner runner() {
    return [this](double delay, platform::DispatchBlock block) {
      pending_.push_back({clock_->now() + delay, std::move(block)});
      ++scheduled_;
    };
  }
  void runDue() {
    auto due = std::partition(pending_.begin(), pending_.end(),
                              [&](const Entry& entry) { return entry.at > clock_->now(); });
    std::vector<Entry> running(std::make_move_iterator(due), std::make_move_iterator(pending_.end()));
    pending_.erase(due, pending_.end());
    for (auto& entry : running) entry.block();
  }
  int scheduled() const { return scheduled_; }

 private:
  struct Entry {
    double at;
    platform::DispatchBlock block;
  };
  std::shared_ptr<platform::ManualClock> clock_;
  std::vector<Entry> pending_;
  int scheduled_ = 0;
};

std::vector<std::string> loggedLines(platform::LogCapture& capture) {
  GULLoggerFlush();
  return capture.nslogLines();
}

bool logged(platform::LogCapture& capture, const std::string& code, const std::string& text) {
  for (const auto& line : loggedLines(capture)) {
    if (line.find("[" + code + "] " + text) != std::string::npos) return true;
  }
  return false;
}

class PersistentDictionaryTest : public ::testing::Test {
 protected:
  std::shared_ptr<APMPersistentDictionary> open(const std::string& name = "settings") {
    return APMPersistentDictionary::initWithFileName(name, runner_.runner());
  }
  Object fileContents(const std::string& path) { return platform::readPropertyListFile(path); }

  TempContainer container_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(1000);
  ManualRunner runner_{clock_};
};

TEST_F(PersistentDictionaryTest, ChangesWithinOneSecondShareOneWrite) {
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->filePath(), container_.applicationSupport() + "/Voraza/Measurement/settings.plist");
  store->setObject("first", "k");
  clock_->advance(0.5);
  store->setObject("second", "k");
  store->setObject(Object(int64_t{3}), "n");
  EXPECT_EQ(runner_.scheduled(), 1);
  EXPECT_TRUE(store->hasPendingPersistence());
  clock_->advance(0.4);
  runner_.runDue();
  EXPECT_FALSE(platform::fileExists(store->filePath()));
  clock_->advance(0.1);
  runner_.runDue();
  EXPECT_FALSE(store->hasPendingPersistence());
  EXPECT_EQ(fileContents(store->filePath())["k"], Object("second"));
  EXPECT_EQ(fileContents(store->filePath())["n"], Object(3));

  // An equal value changes nothing; a removal or a clear does.
  store->setObject("second", "k");
  store->setInteger(3, "n");
  EXPECT_EQ(runner_.scheduled(), 1);
  store->removeObjectForKey("absent");
  EXPECT_EQ(runner_.scheduled(), 1);
  store->clearAllData();
  EXPECT_EQ(runner_.scheduled(), 2);
  clock_->advance(1);
  runner_.runDue();
  EXPECT_EQ(fileContents(store->filePath()), Object(Object::Dictionary{}));
}

TEST_F(PersistentDictionaryTest, FolderAndFileAreTheOwnersOnly) {
  std::shared_ptr<APMPersistentDictionary> store;
  {
    ScopedUmask umask(022);
    store = open();
    ASSERT_TRUE(store);
    store->setObject("value", "k");
    store->persistToDisk();
  }
  EXPECT_EQ(modeOf(container_.applicationSupport() + "/Voraza"), 0700u);
  EXPECT_EQ(modeOf(container_.applicationSupport() + "/Voraza/Measurement"), 0700u);
  EXPECT_EQ(modeOf(store->filePath()), 0600u);
}

TEST_F(PersistentDictionaryTest, OpeningRemovesStaleTemporaryFiles) {
  const std::string folder = container_.applicationSupport() + "/Voraza/Measurement";
  ASSERT_TRUE(platform::createDirectories(folder));
  const std::string stale = folder + "/.settings.plist.tmp.KILLED";
  std::ofstream(stale) << "<?xml";
  ASSERT_TRUE(shiftModificationTime(stale, -3600));
  ASSERT_TRUE(open());
  EXPECT_FALSE(platform::fileExists(stale));
}

TEST_F(PersistentDictionaryTest, RefusesInvalidKeysAndValues) {
  auto store = open();
  platform::LogCapture capture;
  EXPECT_TRUE(store->objectForKey("").isNil());
  EXPECT_TRUE(logged(capture, "I-ACS043001", "Cannot get object for invalid config key."));
  store->setObject("x", "");
  EXPECT_TRUE(logged(capture, "I-ACS043002", "Cannot set object for invalid config key."));
  store->setObject("kept", "k");
  store->setObject(Object::null(), "k");
  // A container holding something the file cannot keep would make every
  // later write fail.
  store->setObject(Object(Object::Array{Object("a"), Object::null()}), "k");
  EXPECT_TRUE(logged(capture, "I-ACS043003",
                     "Cannot set invalid object to config. Must be a string, number, array, "
                     "dictionary, date, or data. Value <null>"));
  EXPECT_EQ(store->objectForKey("k"), Object("kept"));
  // Typed reads answer only their own kind.
  EXPECT_EQ(store->integerForKey("k"), 0);
  EXPECT_FALSE(store->arrayForKey("k"));
  EXPECT_EQ(store->stringForKey("k"), "kept");
}

TEST_F(PersistentDictionaryTest, FailedWriteIsRetriedAndUnreadableFileMovedAside) {
  {
    // No store where its folder cannot be made; the log says which and why.
    ASSERT_TRUE(platform::writeFileAtomically(container_.library(), "x"));
    platform::LogCapture capture;
    EXPECT_FALSE(open());
    EXPECT_TRUE(logged(capture, "I-ACS043004", "Cannot create subdirectories for config plist files."));
    EXPECT_TRUE(logged(capture, "I-ACS043006",
                       "Cannot write the settings file " + container_.applicationSupport() +
                           "/Voraza/Measurement/settings.plist: Cannot create the folder " +
                           container_.library() + ": a file that is not a folder is in its place"));
    ASSERT_TRUE(platform::removeItem(container_.library()));
  }
  auto store = open();
  // A folder where the file should be makes the rename fail.
  ASSERT_TRUE(platform::createDirectories(store->filePath()));
  platform::LogCapture capture;
  store->setObject("value", "k");
  clock_->advance(1);
  runner_.runDue();
  EXPECT_TRUE(logged(capture, "I-ACS043000", "Cannot persist configs to disk"));
  EXPECT_TRUE(logged(capture, "I-ACS043006",
                     "Cannot write the settings file " + store->filePath() + ": Is a directory"));
  EXPECT_FALSE(store->synchronize());
  EXPECT_TRUE(store->hasPendingPersistence());
  ASSERT_TRUE(platform::removeItem(store->filePath()));
  clock_->advance(2);
  runner_.runDue();
  EXPECT_EQ(fileContents(store->filePath())["k"], Object("value"));
  EXPECT_TRUE(store->synchronize());
  store.reset();

  std::string path = container_.applicationSupport() + "/Voraza/Measurement/settings.plist";
  std::ofstream(path) << "not a property list";
  capture.clear();
  store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->objectForKey("k").isNil());
  EXPECT_TRUE(logged(capture, "I-ACS043005", "Cannot read config plist file. Moved it aside to " +
                                                 path + ".unreadable"));
  std::ifstream aside(path + ".unreadable");
  std::string kept((std::istreambuf_iterator<char>(aside)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, "not a property list");
}

// A value the writer refuses is dropped, the file kept aside, and the store
// can write its file again.
TEST_F(PersistentDictionaryTest, ValueThatCannotBeWrittenBackCostsOnlyItsOwnKey) {
  const std::string path = container_.applicationSupport() + "/Voraza/Measurement/settings.plist";
  ASSERT_TRUE(platform::createDirectories(container_.applicationSupport() + "/Voraza/Measurement"));
  for (const OddSettingsFile& c : kOddSettingsFiles) {
    SCOPED_TRACE(c.name);
    const std::string original = fileText(propertyListCorpusFile(c.name));
    std::ofstream(path, std::ios::binary | std::ios::trunc) << original;
    platform::LogCapture capture;
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_TRUE(logged(capture, "I-ACS043005",
                       std::string("Kept 1 keys of the config plist file, dropped values that "
                                   "cannot be written back: ") + c.oddKey));
    EXPECT_EQ(fileText(path + ".unreadable"), original);
    EXPECT_TRUE(store->objectForKey(c.oddKey).isNil());
    store->setObject("new", "ordinary");
    clock_->advance(1);
    runner_.runDue();
    store.reset();

    store = open();
    EXPECT_EQ(store->objectForKey("other"), Object("kept"));
    EXPECT_EQ(store->objectForKey("ordinary"), Object("new"));
    EXPECT_TRUE(store->objectForKey(c.oddKey).isNil());
  }
}

// Out of descriptors the file cannot be opened: that says nothing of its
// content, which is neither moved aside nor written over, and is read at
// the next access, under the changes made meanwhile.
TEST_F(PersistentDictionaryTest, FileThatCannotBeOpenedIsKeptAndReadLater) {
  {
    auto store = open();
    for (int i = 0; i < 5; ++i) store->setObject(Object(i), "key" + std::to_string(i));
    store->persistToDisk();
  }
  const std::string path = container_.applicationSupport() + "/Voraza/Measurement/settings.plist";
  const std::string before = fileText(path);
  platform::LogCapture capture;
  std::shared_ptr<APMPersistentDictionary> store;
  {
    DescriptorsExhausted exhausted;
    store = open();
    ASSERT_TRUE(store);
    store->setObject("new", "added");
    store->removeObjectForKey("key0");
    clock_->advance(1);
    runner_.runDue();
  }
  EXPECT_TRUE(logged(capture, "I-ACS043005", "Cannot read config plist file. Kept it to read again: "));
  EXPECT_TRUE(logged(capture, "I-ACS043000", "Cannot persist configs to disk"));
  EXPECT_EQ(fileText(path), before);
  EXPECT_FALSE(platform::fileExists(path + ".unreadable"));
  EXPECT_EQ(store->objectForKey("key4"), Object(4));
  EXPECT_TRUE(store->objectForKey("key0").isNil());
  clock_->advance(2);  // the failed write's retry
  runner_.runDue();
  const Object::Dictionary expected{{"key1", Object(1)}, {"key2", Object(2)}, {"key3", Object(3)},
                                    {"key4", Object(4)}, {"added", Object("new")}};
  EXPECT_EQ(fileContents(path), Object(expected));
}

TEST_F(PersistentDictionaryTest, SecondProcessReadsKeysAndKinds) {
  {
    auto store = open("com.voraza.vuv.measurement");
    auto config = APMPersistedConfig::initWithSuiteName("com.voraza.vuv.measurement", store);
    config->setAppInstanceID(std::string("instance"));
    config->setSessionNumber(-5);
    config->setLastBackoffTimestamp(1.25);
    config->setShouldSetLastAdvertisingIDResetUserProperty(true);
    config->setDefaultEventParameters(Object::Dictionary{{"p", Object(1)}, {"q", Object("v")}});
    config->setAdCampaignInfoBuffer(Bytes{0, 1, 2});
    store->setObject(platform::Date{1'600'000'000}, "date");
    store->setObject(Object(Object::Array{Object(1.5), Object(true)}), "array");
    store->setBool(true, "bool");
    // Released before its write came due: the write happens now.
    EXPECT_TRUE(store->hasPendingPersistence());
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto store = APMPersistentDictionary::initWithFileName("com.voraza.vuv.measurement",
                                                           [](double, platform::DispatchBlock) {});
    using K = Object::Kind;
    struct Expected {
      const char* key;
      K kind;
      Object value;
    } expected[] = {
        {"/voraza/measurement/app_instance_id", K::String, Object("instance")},
        {"/voraza/measurement/session_number", K::Int, Object(-5)},
        {"/voraza/measurement/last_backoff", K::Double, Object(1.25)},
        {"/voraza/measurement/set_last_advertising_id_reset", K::Int, Object(1)},
        {"/voraza/measurement/default_event_parameters", K::Dictionary,
         Object(Object::Dictionary{{"p", Object(1)}, {"q", Object("v")}})},
        {"/voraza/measurement/ad_campaign_info_buffer", K::Data, Object(Bytes{0, 1, 2})},
        {"date", K::Date, Object(platform::Date{1'600'000'000})},
        {"array", K::Array, Object(Object::Array{Object(1.5), Object(true)})},
        {"bool", K::Bool, Object(true)},
    };
    int failures = 0;
    for (const auto& entry : expected) {
      Object value = store ? store->objectForKey(entry.key) : Object();
      if (value.kind() != entry.kind || !(value == entry.value)) ++failures;
    }
    _exit(failures);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "values read back wrongly by the second process";
}

}  // namespace

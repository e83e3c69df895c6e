// Two processes activating snapshots in one experiment database file at
// once: every activation either process made is kept.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "measurement/storage/experiments/experiment_database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "tests/measurement/storage/database/forked_child_support.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/temp_container.h"

namespace {

using namespace experiments_testing;

constexpr int kActivationsPerProcess = 40;

std::string sdkName(int process, int index) {
  return "sdk" + std::to_string(process) + "_" + std::to_string(index);
}

TEST(ExperimentDatabaseProcessesTest, TwoProcessesKeepEveryActivation) {
  TempContainer container;
  const std::string path = APMApplicationSupportFilePath(kAPMEDatabaseName);
  ASSERT_TRUE(APMEDatabase::initWithPath(path));
  std::vector<int> codes = runChildrenAtOnce(2, [&](int process) {
    auto database = APMEDatabase::initWithPath(path);
    if (!database) _exit(3);
    database->sqliteStore()->executeSQL("PRAGMA synchronous = OFF");
    int failures = 0;
    for (int i = 0; i < kActivationsPerProcess; ++i) {
      auto activated = snapshot(sdkName(process, i), {experiment(7, {{"f", 1}})});
      const double now = platform::Clock::current()->now();
      if (!database->performTransaction(
              [&] { return database->activateSnapshot(activated, now); })) {
        ++failures;
      }
    }
    _exit(failures ? 4 : 0);
  });
  EXPECT_EQ(codes, (std::vector<int>{0, 0}));

  auto database = APMEDatabase::initWithPath(path);
  ASSERT_TRUE(database);
  auto activated = database->fetchAllActivatedSnapshots();
  ASSERT_TRUE(activated);
  std::set<std::string> names;
  for (const APMESnapshotRef& stored : *activated) names.insert(stored->SDKName());
  std::set<std::string> expected;
  for (int process = 0; process < 2; ++process) {
    for (int i = 0; i < kActivationsPerProcess; ++i) expected.insert(sdkName(process, i));
  }
  EXPECT_EQ(names, expected);
}

}  // namespace

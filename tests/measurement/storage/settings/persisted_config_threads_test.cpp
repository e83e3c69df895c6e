#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "measurement/storage/settings/persisted_config.h"
#include "measurement/storage/settings/persistent_dictionary.h"
#include "platform/property_list.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

TEST(PersistedConfigThreadsTest, FirstReadersAtOnceShareOneMidnightOffset) {
  TempContainer container;
  auto store = APMPersistentDictionary::initWithFileName("threads");
  auto config = APMPersistedConfig::initWithSuiteName("threads", store);
  constexpr int kThreads = 8;
  std::vector<double> offsets(kThreads);
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      --waiting;
      while (waiting.load() > 0) {
      }
      offsets[i] = config->midnightOffset();
    });
  }
  for (auto& thread : threads) thread.join();
  for (double offset : offsets) EXPECT_EQ(offset, offsets[0]);
  EXPECT_EQ(store->objectForKey("/voraza/measurement/midnight_offset"), Object(offsets[0]));
}

TEST(PersistedConfigThreadsTest, ConcurrentWritersAllReachTheFile) {
  TempContainer container;
  std::string path;
  {
    auto store = APMPersistentDictionary::initWithFileName("writers");
    path = store->filePath();
    auto config = APMPersistedConfig::initWithSuiteName("writers", store);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 10; ++i) {
          config->setInt64(i, "key" + std::to_string(t));
          store->persistToDisk();
          config->int64ForKey("key" + std::to_string((t + 1) % 4));
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  Object contents = platform::readPropertyListFile(path);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(contents["key" + std::to_string(t)], Object(9));
}

}  // namespace

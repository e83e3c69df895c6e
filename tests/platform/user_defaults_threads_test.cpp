#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/property_list.h"
#include "platform/user_defaults.h"
#include "tests/support/temp_container.h"

namespace {

TEST(UserDefaultsThreadsTest, ConcurrentWritersLoseNoValue) {
  TempContainer container;
  constexpr int kThreads = 4;
  constexpr int kKeys = 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      auto defaults = platform::UserDefaults::suite("shared");
      for (int k = 0; k < kKeys; ++k) {
        const std::string key = std::to_string(t) + "-" + std::to_string(k);
        defaults->setObject(platform::Object(k), key);
        EXPECT_EQ(defaults->integerForKey(key), k);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto file = platform::readPropertyListFile(platform::UserDefaults::pathForSuite("shared"));
  ASSERT_TRUE(file.dictionary());
  EXPECT_EQ(file.dictionary()->size(), size_t{kThreads * kKeys});
}

}  // namespace

#include "sdk_core/mutable_dictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

TEST(GULMutableDictionaryTest, ReadsSeeEarlierWritesOfTheSameThread) {
  GULMutableDictionary dictionary;
  EXPECT_TRUE(dictionary.objectForKeyedSubscript("missing").isNil());
  dictionary.setObject("value", "key");
  dictionary.setObject(int64_t{7}, "number");
  dictionary.setObject(platform::Object::null(), "null marker");
  EXPECT_EQ(dictionary.objectForKeyedSubscript("key"), platform::Object("value"));
  EXPECT_TRUE(dictionary.objectForKeyedSubscript("null marker").isNull());
  EXPECT_EQ(dictionary.dictionary().size(), 3u);

  dictionary.setObject(platform::Object(), "key");  // nil removes
  EXPECT_TRUE(dictionary.objectForKeyedSubscript("key").isNil());
  platform::Object::Dictionary copy = dictionary.dictionary();
  dictionary.setObject(int64_t{8}, "number");
  EXPECT_EQ(copy.at("number").int64Value(), 7);  // a copy, not a view
  EXPECT_EQ(dictionary.objectForKeyedSubscript("number").int64Value(), 8);

  dictionary.removeAllObjects();
  EXPECT_TRUE(dictionary.dictionary().empty());
}

TEST(GULMutableDictionaryTest, ConcurrentWritersAndReaders) {
  GULMutableDictionary dictionary;
  constexpr int kThreads = 4;
  constexpr int kKeys = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&dictionary, t] {
      for (int i = 0; i < kKeys; ++i) {
        std::string key = std::to_string(t) + "/" + std::to_string(i);
        dictionary.setObject(int64_t{i}, key);
        EXPECT_EQ(dictionary.objectForKeyedSubscript(key).int64Value(), i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dictionary.dictionary().size(), size_t{kThreads * kKeys});
}

TEST(GULMutableDictionaryTest, WritesPendingAtDestructionAreSafe) {
  for (int round = 0; round < 50; ++round) {
    auto dictionary = std::make_unique<GULMutableDictionary>();
    for (int i = 0; i < 20; ++i) dictionary->setObject(int64_t{i}, std::to_string(i));
    dictionary->removeAllObjects();
    dictionary.reset();
  }
}

// The record memory pool: blocks of every size keep their contents, come
// back zeroed when asked, and travel between threads (allocated on one,
// released on another) without two owners ever sharing a block.
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Block {
  uint8_t* bytes;
  size_t size;
  uint8_t mark;
};

bool intact(const Block& block) {
  for (size_t i = 0; i < block.size; ++i) {
    if (block.bytes[i] != block.mark) return false;
  }
  return true;
}

TEST(NanoMemory, BlocksOfEverySizeKeepTheirBytesAndComeBackZeroed) {
  std::vector<Block> blocks;
  for (size_t size = 0; size <= 600; ++size) {
    auto* bytes = static_cast<uint8_t*>(nanoAllocate(size));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 8, 0u);
    const auto mark = static_cast<uint8_t>(size * 7 + 1);
    memset(bytes, mark, size);
    blocks.push_back({bytes, size, mark});
  }
  for (const Block& block : blocks) EXPECT_TRUE(intact(block)) << block.size;
  for (const Block& block : blocks) nanoRelease(block.bytes);

  // Reused blocks are zeroed again.
  for (size_t size = 1; size <= 300; size += 13) {
    auto* bytes = static_cast<uint8_t*>(nanoAllocateZeroed(size, 1));
    ASSERT_NE(bytes, nullptr);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << size;
    nanoRelease(bytes);
  }
  EXPECT_EQ(nanoAllocateZeroed(SIZE_MAX / 2, 4), nullptr);
  nanoRelease(nullptr);
}

TEST(NanoMemory, BlocksReleasedOnOtherThreadsAreReusedSafely) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 30;
  constexpr int kPerRound = 3000;
  std::mutex mutex;
  std::vector<Block> handedOver;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<Block> mine;
        for (int i = 0; i < kPerRound; ++i) {
          const size_t size = static_cast<size_t>((i * 37 + t) % 260);
          auto* bytes = static_cast<uint8_t*>(nanoAllocate(size));
          ASSERT_NE(bytes, nullptr);
          const auto mark = static_cast<uint8_t>(t * 31 + round + i);
          memset(bytes, mark, size);
          mine.push_back({bytes, size, mark});
        }
        // Half go to whichever thread comes next; the blocks handed over by
        // the others are checked and released here.
        std::vector<Block> theirs;
        {
          std::lock_guard<std::mutex> lock(mutex);
          theirs.swap(handedOver);
          handedOver.assign(mine.begin() + kPerRound / 2, mine.end());
        }
        mine.resize(kPerRound / 2);
        for (const Block& block : mine) {
          ASSERT_TRUE(intact(block));
          nanoRelease(block.bytes);
        }
        for (const Block& block : theirs) {
          ASSERT_TRUE(intact(block));
          nanoRelease(block.bytes);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const Block& block : handedOver) {
    EXPECT_TRUE(intact(block));
    nanoRelease(block.bytes);
  }
}

TEST(NanoMemory, MessagesDecodedOnOneThreadAreFreedOnAnother) {
  auto event = APMPBEvent::initWithBuffer(platform::Bytes{
      0x0a, 0x0b, 0x0a, 0x01, 'n', 0x12, 0x06, 'v', 'a', 'l', 'u', 'e', 's', 0x12, 0x02, '_', 'e'});
  ASSERT_NE(event, nullptr);
  const platform::Bytes wire = *event->protoBuffer();
  std::vector<std::shared_ptr<APMPBEvent>> decoded(2000);
  std::thread producer([&] {
    for (auto& message : decoded) message = APMPBEvent::initWithBuffer(wire);
  });
  producer.join();
  std::thread consumer([&] {
    for (auto& message : decoded) {
      ASSERT_NE(message, nullptr);
      EXPECT_EQ(message->protoBuffer(), wire);
      message.reset();
    }
  });
  consumer.join();
}

}  // namespace

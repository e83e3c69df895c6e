// Record memory: blocks keep their bytes and come back zeroed when asked;
// blocks cut from an arena outlive their own release until the arena goes;
// decoded and copied trees, which live in arenas, are built, read and freed
// on different threads.
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

bool filledWith(const uint8_t* bytes, size_t size, uint8_t mark) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != mark) return false;
  }
  return true;
}

TEST(NanoMemory, HeapAndArenaBlocksKeepTheirBytes) {
  NanoArena* arena = nanoArenaNew(100);
  ASSERT_NE(arena, nullptr);
  std::vector<uint8_t*> blocks;
  for (int inArena = 0; inArena < 2; ++inArena) {
    NanoArenaScope scope(inArena ? arena : nullptr);
    EXPECT_EQ(NanoArenaScope::current(), inArena ? arena : nullptr);
    for (size_t size = 0; size <= 3000; size += 7) {
      auto* bytes = static_cast<uint8_t*>(nanoAllocate(size));
      ASSERT_NE(bytes, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 8, 0u);
      memset(bytes, static_cast<int>(size & 0xFF), size);
      blocks.push_back(bytes);
    }
    auto* zeroed = static_cast<uint8_t*>(nanoAllocateZeroed(100, 3));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_TRUE(filledWith(zeroed, 300, 0));
    nanoRelease(zeroed);
    EXPECT_EQ(nanoAllocateZeroed(SIZE_MAX / 2, 4), nullptr);
  }
  EXPECT_EQ(NanoArenaScope::current(), nullptr);
  for (uint8_t* bytes : blocks) nanoRelease(bytes);
  // The arena's half was not freed by those releases.
  const size_t half = blocks.size() / 2;
  for (size_t i = 0; i < half; ++i) {
    const size_t size = i * 7;
    EXPECT_TRUE(filledWith(blocks[half + i], size, static_cast<uint8_t>(size & 0xFF))) << size;
  }
  nanoArenaRelease(arena);
  nanoArenaRelease(nullptr);
  nanoRelease(nullptr);
}

TEST(NanoMemory, OnlyOrdinaryBlocksOwnArenas) {
  void* owner = nanoAllocate(16);
  NanoArena* arena = nanoArenaNew(0);
  EXPECT_EQ(nanoOwnedArena(owner), nullptr);
  EXPECT_TRUE(nanoSetOwnedArena(owner, arena));
  EXPECT_EQ(nanoOwnedArena(owner), arena);
  void* cut = nullptr;
  {
    NanoArenaScope outer(arena);
    NanoArenaScope inner(nullptr);
    void* heap = nanoAllocate(8);
    EXPECT_EQ(nanoOwnedArena(heap), nullptr);
    nanoRelease(heap);
  }
  {
    NanoArenaScope scope(arena);
    cut = nanoAllocate(8);
  }
  EXPECT_FALSE(nanoSetOwnedArena(cut, arena));
  EXPECT_EQ(nanoOwnedArena(cut), nullptr);
  nanoRelease(owner);  // does not release the arena
  nanoArenaRelease(arena);
}

TEST(NanoMemory, TreesMoveBetweenThreads) {
  auto event = APMPBEvent::initWithBuffer(platform::Bytes{
      0x0a, 0x0b, 0x0a, 0x01, 'n', 0x12, 0x06, 'v', 'a', 'l', 'u', 'e', 's', 0x12, 0x02, '_', 'e'});
  ASSERT_NE(event, nullptr);
  const platform::Bytes wire = *event->protoBuffer();

  // Decoded and copied on several threads at once, freed on others.
  constexpr int kThreads = 4;
  std::vector<std::vector<std::shared_ptr<APMPBEvent>>> made(kThreads);
  std::vector<std::thread> makers;
  for (int t = 0; t < kThreads; ++t) {
    makers.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        auto decoded = APMPBEvent::initWithBuffer(wire);
        made[t].push_back(decoded);
        made[t].push_back(APMPBEvent::initWithMessageInfo(decoded->messageInfo()));
      }
    });
  }
  for (std::thread& thread : makers) thread.join();
  std::vector<std::thread> freers;
  for (int t = 0; t < kThreads; ++t) {
    freers.emplace_back([&, t] {
      for (auto& message : made[(t + 1) % kThreads]) {
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->protoBuffer(), wire);
        message.reset();
      }
    });
  }
  for (std::thread& thread : freers) thread.join();
}

}  // namespace

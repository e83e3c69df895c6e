// Arena memory under AddressSanitizer: blocks are cut from shared chunks as
// in other builds, and the memory around them is poisoned, so that an access
// past a block's end or into a released arena is reported.
#include "measurement/messages/nano_memory.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define APM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define APM_TEST_ASAN 1
#endif
#endif

// Blocks of one arena follow each other in one chunk, each after its 8-byte
// header, at 8-byte steps.
TEST(NanoMemory, ArenaBlocksShareChunks) {
  NanoArena* arena = nanoArenaNew(0);
  NanoArenaScope scope(arena);
  auto* first = static_cast<char*>(nanoAllocate(5));
  auto* second = static_cast<char*>(nanoAllocate(16));
  auto* third = static_cast<char*>(nanoAllocate(1));
  EXPECT_EQ(second - first, 16);
  EXPECT_EQ(third - second, 24);
  nanoArenaRelease(arena);
}

TEST(NanoMemory, LimitsRefuseBlocksPastThem) {
  NanoAllocationLimit outer(64);
  void* kept = nanoAllocate(40);  // 48 with its header
  ASSERT_NE(kept, nullptr);
  {
    NanoAllocationLimit inner(1000);
    EXPECT_EQ(nanoAllocate(9), nullptr);  // 24 more would pass the outer limit
    EXPECT_FALSE(inner.exceeded());
    void* fits = nanoAllocateZeroed(1, 8);
    EXPECT_NE(fits, nullptr);
    nanoRelease(fits);
  }
  EXPECT_TRUE(outer.exceeded());
  EXPECT_EQ(nanoAllocate(0), nullptr);  // releases give nothing back
  nanoRelease(kept);
}

#ifdef APM_TEST_ASAN
TEST(NanoMemoryDeathTest, OverrunsAndReleasedArenasAreReported) {
  NanoArena* arena = nanoArenaNew(0);
  char* block;
  {
    NanoArenaScope scope(arena);
    block = static_cast<char*>(nanoAllocate(5));
    ASSERT_NE(nanoAllocate(8), nullptr);
  }
  volatile char* bytes = block;
  bytes[4] = 1;
  EXPECT_DEATH(bytes[5] = 1, "use-after-poison");  // padding after the block
  EXPECT_DEATH(bytes[8] = 1, "use-after-poison");  // the next block's header
  EXPECT_DEATH(bytes[100] = 1, "use-after-poison");  // the chunk's unused rest
  nanoArenaRelease(arena);
  EXPECT_DEATH(bytes[0] = 1, "use-after-poison|heap-use-after-free");
}
#endif

}  // namespace

// Cell memory: a block is never handed out twice while in use, each
// thread's lists stay within their bound, blocks freed on another thread
// or after a thread has given its lists back are not lost, runtimes on
// several threads share nothing through it, and what a runtime holds is
// counted against it on whichever thread it runs.
#include "measurement/script/cell_memory.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "editing_test_support.h"
#include "measurement/script/runtime_value.h"

namespace {

constexpr size_t kSizes[] = {1, 16, 17, 48, 200, 512, 513, 4096};

TEST(CellMemory, LiveBlocksNeverShareMemoryAndKeepTheirBytes) {
  for (int round = 0; round < 3; ++round) {
    std::vector<std::pair<void*, size_t>> blocks;
    for (int i = 0; i < 300; ++i) {
      const size_t bytes = kSizes[i % std::size(kSizes)];
      void* block = APMPCellMemory::allocate(bytes);
      std::memset(block, i & 0xff, bytes);
      blocks.emplace_back(block, bytes);
    }
    std::set<void*> distinct;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const auto [block, bytes] = blocks[i];
      EXPECT_TRUE(distinct.insert(block).second);
      const auto* data = static_cast<const unsigned char*>(block);
      EXPECT_EQ(data[0], i & 0xff);
      EXPECT_EQ(data[bytes - 1], i & 0xff);
    }
    for (const auto& [block, bytes] : blocks) APMPCellMemory::deallocate(block, bytes);
    // Everything freed fits under the bound of its class.
    EXPECT_LE(APMPCellMemory::keptBytes(), APMPCellMemory::kKeptBytesPerClass * APMPCellMemory::kLargestPooled / 16);
  }
}

TEST(CellMemory, AFreedBlockServesTheNextRequestOfItsClass) {
  if (!APMPCellMemory::kPooling) GTEST_SKIP() << "every block comes from the general allocator here";
  void* first = APMPCellMemory::allocate(40);
  APMPCellMemory::deallocate(first, 40);
  void* second = APMPCellMemory::allocate(48);
  EXPECT_EQ(second, first);
  APMPCellMemory::deallocate(second, 48);
  EXPECT_GE(APMPCellMemory::keptBytes(), 48u);
}

TEST(CellMemory, BlocksFreedOnOtherThreadsAndAfterExitAreNotLost) {
  // Made here, freed on workers that end; one worker also frees from a
  // thread-local destructor that runs after its lists were given back.
  std::vector<APMPRef<APMPMapValue>> made;
  for (int i = 0; i < 200; ++i) made.push_back(APMPMake<APMPMapValue>());
  struct FreedLate {
    std::vector<APMPRef<APMPMapValue>> values;
    ~FreedLate() { values.clear(); }
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    // Handed over whole: reference counts belong to one thread at a time.
    std::vector<APMPRef<APMPMapValue>> share(std::make_move_iterator(made.begin() + w * 50),
                                             std::make_move_iterator(made.begin() + (w + 1) * 50));
    workers.emplace_back([share = std::move(share)]() mutable {
      // Constructed before this thread's first free, so destroyed after
      // its lists are given back.
      static thread_local FreedLate late;
      late.values.assign(share.begin(), share.begin() + 10);
      share.clear();
      APMPMake<APMPMapValue>();
    });
  }
  made.clear();
  for (std::thread& worker : workers) worker.join();
  // Leak detection (AddressSanitizer) checks that nothing was dropped.
}

TEST(CellMemory, RuntimesOnSeveralThreadsRunSideBySide) {
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        APMPRef<APMPMapValue> map = APMPMake<APMPMapValue>();
        map->setValue(APMPRuntimeValue::string(u"a longer text than fits inline"), u"a binding with a long name");
        map->setValue(APMPRuntimeValue(map), u"self");
        EXPECT_EQ(*map->valueForProperty(u"a binding with a long name").text(), u"a longer text than fits inline");
        map->removeValueForProperty(u"self");
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
}

TEST(CellMemory, ARuntimeDrivenFromEightThreadsInTurnKeepsToTheBound) {
  // Each event keeps 1 MiB more; eight threads take the events in turn, as
  // a serial queue hands them to the threads of its pool.
  using namespace script_test;
  std::vector<Entity> keeping = doubledText("t", 16);
  keeping.push_back(call(variable("keep"), "push", {variable("t")}));
  keeping.push_back(ret(num(0)));
  EditingHarness h;
  ASSERT_EQ(h.loadSent({let("keep", stmt("7")), editCallback(keeping)}), 0);
  const APMPEvent event("purchase", 100, {});
  constexpr int kThreads = 8;
  constexpr int kMostEvents = 120;
  std::mutex mutex;
  std::condition_variable turn;
  int events = 0;
  long failure = 0;
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([&, w] {
      std::unique_lock lock(mutex);
      for (;;) {
        turn.wait(lock, [&] { return failure != 0 || events == kMostEvents || events % kThreads == w; });
        if (failure != 0 || events == kMostEvents) break;
        h.handle(event, &failure);
        ++events;
        turn.notify_all();
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(failure, kAPMPErrorLimit);
  EXPECT_LE(h.editor.runtime().objectManager().collectGarbageAndMeasure(), kAPMPMaxLiveBytes);
}

}  // namespace

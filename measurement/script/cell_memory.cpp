#include "measurement/script/cell_memory.h"

#include <limits>

constinit thread_local APMPCellMemory::Lists APMPCellMemory::lists_{};

void APMPCellMemory::alarm(Growth& growth) noexcept {
  growth.alarm = std::numeric_limits<size_t>::max();
  if (APMPMemoryAccount* account = growth.account) {
    account->measurementDue = true;
    APMPMemoryGrew(*account);
  }
}

void APMPCellMemory::countFor(APMPMemoryAccount* account) noexcept {
  Growth& growth = lists_.growth;
  if (APMPMemoryAccount* left = growth.account) {
    left->live = growth.live;
    left->alarm = growth.alarm;
    left->reach = growth.reach;
  }
  growth = account ? Growth{account->live, account->alarm, account->reach, account} : Growth{};
}

// Gives a thread's blocks back when the thread ends.
struct APMPCellMemoryRetirement {
  ~APMPCellMemoryRetirement() {
    APMPCellMemory::Lists& lists = APMPCellMemory::lists_;
    lists.open = false;
    lists.retired = true;
    for (size_t index = 0; index < APMPCellMemory::kClasses; ++index) {
      while (APMPCellMemory::Block* block = lists.heads[index]) {
        lists.heads[index] = block->next;
        ::operator delete(block);
      }
      lists.counts[index] = 0;
    }
  }
};

bool APMPCellMemory::keepOnFirstUse(void* memory, size_t index) noexcept {
  Lists& lists = lists_;
  if (lists.open || lists.retired || keptPerClass(index) == 0) return false;
  // Constructed here, on the thread's first freed block, and destroyed at
  // the thread's exit.
  static thread_local APMPCellMemoryRetirement retirement;
  (void)retirement;
  lists.open = true;
  keep(lists, memory, index);
  return true;
}

size_t APMPCellMemory::keptBytes() noexcept {
  size_t kept = 0;
  for (size_t index = 0; index < kClasses; ++index) kept += lists_.counts[index] * classBytes(index);
  return kept;
}

// Memory of the runtime's small heap cells and of the tables inside them.
// Every edited event makes and frees a handful of them (texts, scopes and
// their bindings, return values, the event object), so each thread keeps a
// short free list per size class and hands blocks back without a trip
// through the general allocator.
//
// A block freed on another thread than the one that made it joins the
// freeing thread's lists; a thread's lists are given back when it ends, and
// blocks freed after that go straight to the general allocator. Each list
// keeps at most `kKeptBytesPerClass` bytes, so a thread holds at most
// 128 KiB. Under AddressSanitizer every block comes from the general
// allocator, so that a use after free is still caught.
//
// The thread also counts the bytes its script values take (`growth`): every
// block handed out or back here, and the texts and lists that values own
// outside it (`noteAllocated`, `noteFreed`). Once the count has grown by
// the amount the evaluator last allowed, `APMPMemoryGrew` is called, and
// the next evaluation of the thread's run in progress (or of its next run)
// measures what its runtime holds (the bound is in evaluator.h). Bytes given back move the alarm away, but never
// further than `reach`: memory another runtime of the thread frees is not
// all handed to the next. A block freed on another thread than the one
// that made it lowers that thread's count instead, which never goes below
// zero; the counts only decide when to measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

class APMPCellMemory {
 public:
  // Blocks up to this size come from the free lists, in classes 16 bytes apart.
  static constexpr size_t kLargestPooled = 512;
  static constexpr size_t kKeptBytesPerClass = 4096;

  static void* allocate(size_t bytes) {
    noteAllocated(bytes);
    if (kPooling && bytes <= kLargestPooled) {
      Lists& lists = lists_;
      const size_t index = classIndex(bytes);
      if (Block* block = lists.heads[index]) {
        lists.heads[index] = block->next;
        --lists.counts[index];
        return block;
      }
      return ::operator new(classBytes(index));
    }
    return ::operator new(bytes);
  }

  static void deallocate(void* memory, size_t bytes) noexcept {
    noteFreed(bytes);
    if (kPooling && bytes <= kLargestPooled) {
      Lists& lists = lists_;
      const size_t index = classIndex(bytes);
      if (lists.open && lists.counts[index] < keptPerClass(index)) {
        keep(lists, memory, index);
      } else if (!keepOnFirstUse(memory, index)) {
        ::operator delete(memory);
      }
      return;
    }
    ::operator delete(memory);
  }

  // Bytes this thread keeps in its lists, over all classes.
  static size_t keptBytes() noexcept;

  // The thread's count of the bytes script values take. The first
  // measurement comes once a thread's values take a few megabytes.
  struct Growth {
    size_t live = 0;
    // The count at which `APMPMemoryGrew` is called; the largest value
    // while a measurement is pending.
    size_t alarm = size_t{4} << 20;
    // The most the alarm may lie above the count.
    size_t reach = size_t{4} << 20;
  };
  static Growth& growth() noexcept { return lists_.growth; }
  static void noteAllocated(size_t bytes) noexcept {
    Growth& growth = lists_.growth;
    growth.live += bytes;
    if (growth.live >= growth.alarm) alarm(growth);
  }
  static void noteFreed(size_t bytes) noexcept {
    Growth& growth = lists_.growth;
    growth.live -= bytes < growth.live ? bytes : growth.live;
    if (growth.alarm - growth.live > growth.reach) growth.alarm = growth.live + growth.reach;
  }

  // Whether blocks are pooled at all: not under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
  static constexpr bool kPooling = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  static constexpr bool kPooling = false;
#else
  static constexpr bool kPooling = true;
#endif
#else
  static constexpr bool kPooling = true;
#endif

 private:
  static constexpr size_t kClasses = kLargestPooled / 16;
  static constexpr size_t classIndex(size_t bytes) noexcept { return bytes == 0 ? 0 : (bytes - 1) / 16; }
  static constexpr size_t classBytes(size_t index) noexcept { return (index + 1) * 16; }
  static constexpr uint32_t keptPerClass(size_t index) noexcept {
    return static_cast<uint32_t>(kKeptBytesPerClass / classBytes(index));
  }

  struct Block {
    Block* next;
  };
  // Plain data, so it stays readable while the thread's destructors run.
  struct Lists {
    Block* heads[kClasses];
    uint32_t counts[kClasses];
    bool open;     // the thread's lists take blocks
    bool retired;  // the thread has ended its lists
    Growth growth;
  };
  static void alarm(Growth& growth) noexcept;
  // Puts a block on its class's list: head and count move together.
  static void keep(Lists& lists, void* memory, size_t index) noexcept {
    lists.heads[index] = new (memory) Block{lists.heads[index]};
    ++lists.counts[index];
  }
  // Opens the thread's lists on the first block freed (arranging for them
  // to be given back at thread exit) and keeps the block; false once the
  // thread has retired its lists or when the list is full.
  static bool keepOnFirstUse(void* memory, size_t index) noexcept;
  friend struct APMPCellMemoryRetirement;

  static constinit thread_local Lists lists_;
};

// Called on a thread whose script values have grown past its alarm (defined
// by the evaluator).
void APMPMemoryGrew() noexcept;

// A standard allocator over the cell memory, for the short tables and
// names that live inside cells.
template <class T>
struct APMPCellAllocator {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  using value_type = T;
  APMPCellAllocator() noexcept = default;
  template <class U>
  APMPCellAllocator(const APMPCellAllocator<U>&) noexcept {}
  T* allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(APMPCellMemory::allocate(count * sizeof(T)));
  }
  void deallocate(T* memory, size_t count) noexcept { APMPCellMemory::deallocate(memory, count * sizeof(T)); }
  template <class U>
  bool operator==(const APMPCellAllocator<U>&) const noexcept {
    return true;
  }
};

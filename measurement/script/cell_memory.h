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
// The bytes script values take are counted against the runtime they belong
// to, not against the thread that happens to run it: two runtimes sharing a
// thread must not trip each other's alarm, and a runtime that a serial
// queue moves from thread to thread must not get a fresh allowance on each.
// Every block handed out or back here, and every text or list a value owns
// outside it (`noteAllocated`, `noteFreed`), counts against the account
// the thread is counting for: the runtime's, from `Counting` (held by a
// run, a collection, and the editor's and runtime's entry points), or none
// outside them. A runtime is used by one thread at a time, and only inside
// such a scope are its values made and freed, so the account needs no
// atomic: the thread takes the account's numbers into its own slot when
// the scope opens (the hot path touches only that slot, as a plain count)
// and writes them back when it closes. Values freed outside any scope (the
// host dropping one late, or on another thread) are counted against
// nothing, which leaves their runtime's count high: it then measures
// sooner, never later.
//
// Once an account's count has grown by the amount the evaluator last
// allowed, the account is marked as due and `APMPMemoryGrew` is called;
// the next evaluation of its runtime's run in progress (or of its next run)
// measures what the runtime holds (the bound is in evaluator.h). Bytes
// given back move the alarm away, but never further than `reach`. The
// counts never go below zero; they only decide when to measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

// The count of the bytes one runtime's values take (kept by its object
// manager). Read and written by the thread using the runtime, through
// `APMPCellMemory::Counting`; between two scopes it holds the numbers the
// last one left.
struct APMPMemoryAccount {
  size_t live = 0;
  // The count at which the alarm goes; the largest value while a
  // measurement is pending. The first comes once the runtime's values take
  // a few megabytes.
  size_t alarm = size_t{4} << 20;
  // The most the alarm may lie above the count.
  size_t reach = size_t{4} << 20;
  // The alarm went and the runtime has not been measured since.
  bool measurementDue = false;
  // Bytes the runtime's run keeps outside its values, in native objects
  // made from them (the event being edited, the events created) and in
  // what its natives hold while they work (`APMPWorkingBytes`), as their
  // holders count them: every measurement adds them to what the values take.
  size_t kept = 0;
};

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

  // The thread's working copy of the account it counts for; with no
  // account, counts that never reach an alarm.
  struct Growth {
    size_t live = 0;
    size_t alarm = SIZE_MAX;
    size_t reach = SIZE_MAX;
    APMPMemoryAccount* account = nullptr;
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

  // Counts this thread's allocations and frees against `account` (none
  // when null) for the object's lifetime, then against the account counted
  // before. Opening a scope for the account already counted costs nothing.
  class Counting {
   public:
    explicit Counting(APMPMemoryAccount* account) noexcept : previous_(lists_.growth.account) {
      if (account != previous_) countFor(account);
    }
    ~Counting() {
      if (lists_.growth.account != previous_) countFor(previous_);
    }
    Counting(const Counting&) = delete;
    Counting& operator=(const Counting&) = delete;

   private:
    APMPMemoryAccount* previous_;
  };

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
  // Writes the working copy back to its account and takes `account`'s.
  static void countFor(APMPMemoryAccount* account) noexcept;
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

// Called when the values counted against `account` have grown past its
// alarm, on the thread counting for it; the account is already marked as
// due (defined by the evaluator).
void APMPMemoryGrew(APMPMemoryAccount& account) noexcept;

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

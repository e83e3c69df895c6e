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
  };
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

#include "measurement/messages/nano_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define APM_NANO_SYSTEM_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define APM_NANO_SYSTEM_MEMORY 1
#endif
#endif

#ifdef APM_NANO_SYSTEM_MEMORY

void* nanoAllocate(size_t size) {
  return malloc(size > 0 ? size : 1);
}

void* nanoAllocateZeroed(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return calloc(count > 0 ? count : 1, size > 0 ? size : 1);
}

void nanoRelease(void* block) {
  free(block);
}

#else

namespace {

// Each block starts with a header naming its size class (or kLargeBlock);
// the caller's bytes follow it. Class c holds blocks of (c + 1) * 16 bytes,
// header included.
constexpr size_t kHeaderSize = 8;
constexpr size_t kGranule = 16;
constexpr size_t kClassCount = 16;
constexpr size_t kLargestPooled = kClassCount * kGranule - kHeaderSize;
constexpr uint64_t kLargeBlock = ~uint64_t{0};
// Blocks moved between a thread and the shared pool at a time, and the
// bytes per class a thread keeps before it hands blocks back.
constexpr size_t kBatch = 256;
constexpr size_t kThreadBytesPerClass = 256 * 1024;
constexpr size_t kChunkSize = 64 * 1024;

constexpr size_t blockSize(size_t sizeClass) {
  return (sizeClass + 1) * kGranule;
}
constexpr size_t threadLimit(size_t sizeClass) {
  return kThreadBytesPerClass / blockSize(sizeClass);
}

struct FreeBlock {
  FreeBlock* next;
};

// A run of free blocks linked from `head` to `tail`.
struct Segment {
  FreeBlock* head = nullptr;
  FreeBlock* tail = nullptr;
  size_t count = 0;
};

struct FreeList {
  FreeBlock* head = nullptr;
  size_t count = 0;

  void push(FreeBlock* block) {
    block->next = head;
    head = block;
    ++count;
  }
  FreeBlock* pop() {
    FreeBlock* block = head;
    head = block->next;
    // The next block to hand out is usually cold; start fetching it now.
    if (head) __builtin_prefetch(head, 1);
    --count;
    return block;
  }
  // The first `n` blocks (at most all), taken off the list. The blocks
  // freed last are at the front and still in the cache, so the walk is
  // cheap.
  Segment takeFront(size_t n) {
    if (n > count) n = count;
    Segment segment;
    if (n == 0) return segment;
    segment.head = head;
    segment.tail = head;
    for (size_t i = 1; i < n; ++i) segment.tail = segment.tail->next;
    segment.count = n;
    head = segment.tail->next;
    segment.tail->next = nullptr;
    count -= n;
    return segment;
  }
  void prepend(const Segment& segment) {
    if (segment.count == 0) return;
    segment.tail->next = head;
    head = segment.head;
    count += segment.count;
  }
};

// Blocks no thread holds, kept as segments so that a thread takes or gives
// a whole batch in one step; and the chunks new blocks are cut from. Chunks
// are never freed: the blocks cut from them circulate for good.
class SharedPool {
 public:
  // Puts a batch of free blocks of the class into `into`.
  bool refill(size_t sizeClass, FreeList& into) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClassPool& pool = classes_[sizeClass];
    if (!pool.segments.empty()) {
      into.prepend(pool.segments.back());
      pool.segments.pop_back();
      return true;
    }
    const size_t size = blockSize(sizeClass);
    for (size_t i = 0; i < kBatch; ++i) {
      if (pool.cutEnd - pool.cut < static_cast<ptrdiff_t>(size)) {
        auto* chunk = static_cast<char*>(malloc(kChunkSize));
        if (!chunk) return into.count > 0;
        pool.cut = chunk;
        pool.cutEnd = chunk + kChunkSize;
      }
      into.push(reinterpret_cast<FreeBlock*>(pool.cut));
      pool.cut += size;
    }
    return true;
  }

  void giveBack(size_t sizeClass, const Segment& segment) {
    if (segment.count == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Growing the list of segments may fail; the blocks are then lost to
    // the pool rather than corrupting it.
    try {
      classes_[sizeClass].segments.push_back(segment);
    } catch (const std::bad_alloc&) {
    }
  }

 private:
  struct ClassPool {
    std::vector<Segment> segments;
    char* cut = nullptr;
    char* cutEnd = nullptr;
  };
  std::mutex mutex_;
  ClassPool classes_[kClassCount];
};

// Never destroyed, so that blocks released during static destruction still
// have somewhere to go.
SharedPool& sharedPool() {
  static SharedPool* pool = new SharedPool;
  return *pool;
}

struct ThreadCache {
  FreeList lists[kClassCount];
  ~ThreadCache();
};

// Set once this thread's cache is gone (a block released by a later
// thread-exit destructor goes straight to the shared pool).
thread_local bool threadCacheGone = false;
thread_local ThreadCache threadCache;

ThreadCache::~ThreadCache() {
  threadCacheGone = true;
  for (size_t c = 0; c < kClassCount; ++c) {
    while (lists[c].count > 0) sharedPool().giveBack(c, lists[c].takeFront(kBatch));
  }
}

void* withHeader(void* block, uint64_t header) {
  memcpy(block, &header, kHeaderSize);
  return static_cast<char*>(block) + kHeaderSize;
}

void* allocateBlock(size_t size) {
  if (size > kLargestPooled) {
    if (size > SIZE_MAX - kHeaderSize) return nullptr;
    void* block = malloc(size + kHeaderSize);
    return block ? withHeader(block, kLargeBlock) : nullptr;
  }
  const size_t sizeClass = (size + kHeaderSize - 1) / kGranule;
  FreeBlock* block = nullptr;
  if (threadCacheGone) {
    FreeList batch;
    if (!sharedPool().refill(sizeClass, batch)) return nullptr;
    block = batch.pop();
    sharedPool().giveBack(sizeClass, batch.takeFront(batch.count));
  } else {
    FreeList& list = threadCache.lists[sizeClass];
    if (list.count == 0 && !sharedPool().refill(sizeClass, list)) return nullptr;
    block = list.pop();
  }
  return withHeader(block, sizeClass);
}

}  // namespace

void* nanoAllocate(size_t size) {
  return allocateBlock(size);
}

void* nanoAllocateZeroed(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* block = allocateBlock(count * size);
  if (block) memset(block, 0, count * size);
  return block;
}

void nanoRelease(void* pointer) {
  if (!pointer) return;
  void* block = static_cast<char*>(pointer) - kHeaderSize;
  uint64_t header;
  memcpy(&header, block, kHeaderSize);
  if (header == kLargeBlock) {
    free(block);
    return;
  }
  const size_t sizeClass = static_cast<size_t>(header);
  auto* freed = static_cast<FreeBlock*>(block);
  if (threadCacheGone) {
    freed->next = nullptr;
    sharedPool().giveBack(sizeClass, Segment{freed, freed, 1});
    return;
  }
  FreeList& list = threadCache.lists[sizeClass];
  list.push(freed);
  if (list.count > threadLimit(sizeClass)) sharedPool().giveBack(sizeClass, list.takeFront(kBatch));
}

#endif

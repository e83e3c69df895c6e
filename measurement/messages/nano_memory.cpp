#include "measurement/messages/nano_memory.h"

#include "platform/allocation_failures.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define APM_NANO_POISONING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define APM_NANO_POISONING 1
#endif
#endif

#ifdef APM_NANO_POISONING
#include <sanitizer/asan_interface.h>
// Arena memory not handed out (the rest of a chunk, the padding after each
// block, block headers, released chunks) is poisoned, so that the sanitizer
// reports an access past a block's end even though the next block follows
// in the same chunk.
#define APM_NANO_NO_SANITIZE __attribute__((no_sanitize_address))
#define APM_NANO_POISON(start, size) ASAN_POISON_MEMORY_REGION(start, size)
#define APM_NANO_UNPOISON(start, size) ASAN_UNPOISON_MEMORY_REGION(start, size)
#else
#define APM_NANO_NO_SANITIZE
#define APM_NANO_POISON(start, size) ((void)(start), (void)(size))
#define APM_NANO_UNPOISON(start, size) ((void)(start), (void)(size))
#endif

struct NanoArena {
  struct Chunk {
    Chunk* next;
    size_t size;
  };
  Chunk* chunks;
  char* cut;
  char* end;
  size_t nextChunk;  // size of the next chunk to take
  NanoArena* deferredNext;  // the next arena of a list waiting for release
};

// The allocation limits open on this thread, innermost first.
static thread_local NanoAllocationLimit* currentLimit = nullptr;

namespace {

// Every block is preceded by an 8-byte header: kHeapBlock for a malloc
// block, kArenaBlock for a block cut from an arena, or, for a malloc block
// that owns an arena, the arena's address (8-aligned, so never a tag).
constexpr uintptr_t kHeapBlock = 1;
constexpr uintptr_t kArenaBlock = 3;
constexpr size_t kHeaderSize = 8;

// Chunks double from the first size up to kLargestChunk.
constexpr size_t kSmallestChunk = 512;
constexpr size_t kLargestChunk = size_t{1} << 16;

using Chunk = NanoArena::Chunk;
static_assert(sizeof(Chunk) % 8 == 0);

thread_local NanoArena* currentArena = nullptr;

// Chunks of released arenas, kept for the next arenas up to kCachedBytes in
// all: a tree of an upload batch takes megabytes, which malloc would map
// fresh from the system (and the system would zero page by page) every
// time.
constexpr size_t kCachedBytes = size_t{4} << 20;
constexpr int kChunkClasses = 8;  // 512 bytes to 64 KB
static_assert(kSmallestChunk << (kChunkClasses - 1) == kLargestChunk);

int chunkClass(size_t size) {
  if (size < kSmallestChunk || size > kLargestChunk || (size & (size - 1)) != 0) return -1;
  int sizeClass = 0;
  while ((kSmallestChunk << sizeClass) < size) ++sizeClass;
  return sizeClass;
}

class ChunkCache {
 public:
  Chunk* take(size_t size) {
    const int sizeClass = chunkClass(size);
    if (sizeClass < 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    Chunk* chunk = free_[sizeClass];
    if (chunk) {
      free_[sizeClass] = chunk->next;
      bytes_ -= size;
    }
    return chunk;
  }
  // False when the chunk is not kept (the caller frees it).
  bool keep(Chunk* chunk) {
    const int sizeClass = chunkClass(chunk->size);
    if (sizeClass < 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes_ + chunk->size > kCachedBytes) return false;
    chunk->next = free_[sizeClass];
    free_[sizeClass] = chunk;
    bytes_ += chunk->size;
    return true;
  }

 private:
  std::mutex mutex_;
  Chunk* free_[kChunkClasses] = {};
  size_t bytes_ = 0;
};

// Never destroyed, so that arenas released during static destruction still
// find it; built in place, so that releasing an arena never allocates.
ChunkCache& chunkCache() {
  alignas(ChunkCache) static unsigned char storage[sizeof(ChunkCache)];
  static ChunkCache* cache = new (storage) ChunkCache;
  return *cache;
}

// Headers are read and written past the poisoning: they stay poisoned so
// that an overrun of the block before them is reported.
APM_NANO_NO_SANITIZE uintptr_t headerOf(const void* block) {
  return *reinterpret_cast<const uintptr_t*>(static_cast<const char*>(block) - kHeaderSize);
}

APM_NANO_NO_SANITIZE void* withHeader(void* start, uintptr_t header) {
  *static_cast<uintptr_t*>(start) = header;
  return static_cast<char*>(start) + kHeaderSize;
}

char* chunkData(Chunk* chunk) { return reinterpret_cast<char*>(chunk + 1); }

// What a block of `size` bytes takes in an arena, and counts against a
// limit: its header and the block, rounded up to 8 bytes. `size` is at most
// SIZE_MAX / 2.
constexpr size_t footprint(size_t size) { return (kHeaderSize + size + 7) & ~size_t{7}; }

void* arenaAllocate(NanoArena* arena, size_t size) {
  if (size > SIZE_MAX / 2) return nullptr;
  const size_t total = footprint(size);
  if (static_cast<size_t>(arena->end - arena->cut) < total) {
    size_t chunkSize = arena->nextChunk;
    while (chunkSize < total && chunkSize < kLargestChunk) chunkSize *= 2;
    chunkSize = std::max(chunkSize, total);
    // The cache answers null, without locking, for sizes it does not keep.
    Chunk* chunk = chunkCache().take(chunkSize);
    if (!chunk) {
      chunk = static_cast<Chunk*>(malloc(sizeof(Chunk) + chunkSize));
      if (!chunk) {
        platform::noteAllocationFailure();
        return nullptr;
      }
      APM_NANO_POISON(chunkData(chunk), chunkSize);
    }
    chunk->next = arena->chunks;
    chunk->size = chunkSize;
    arena->chunks = chunk;
    arena->cut = chunkData(chunk);
    arena->end = arena->cut + chunkSize;
    arena->nextChunk = std::min(arena->nextChunk * 2, kLargestChunk);
  }
  void* start = arena->cut;
  arena->cut += total;
  APM_NANO_UNPOISON(static_cast<char*>(start) + kHeaderSize, size);
  return withHeader(start, kArenaBlock);
}

}  // namespace

void* nanoAllocate(size_t size) {
  if (currentLimit &&
      (size > SIZE_MAX / 2 || !NanoAllocationLimit::charge(footprint(size)))) {
    return nullptr;
  }
  if (currentArena) return arenaAllocate(currentArena, size);
  if (size > SIZE_MAX - kHeaderSize) return nullptr;
  void* start = malloc(kHeaderSize + size);
  if (!start) {
    platform::noteAllocationFailure();
    return nullptr;
  }
  return withHeader(start, kHeapBlock);
}

void* nanoAllocateZeroed(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* block = nanoAllocate(count * size);
  if (block) memset(block, 0, count * size);
  return block;
}

void nanoRelease(void* block) {
  if (!block || headerOf(block) == kArenaBlock) return;
  free(static_cast<char*>(block) - kHeaderSize);
}

NanoArena* nanoArenaNew(size_t expectedBytes) {
  auto* arena = static_cast<NanoArena*>(malloc(sizeof(NanoArena)));
  if (!arena) {
    platform::noteAllocationFailure();
    return nullptr;
  }
  arena->chunks = nullptr;
  arena->cut = nullptr;
  arena->end = nullptr;
  size_t first = kSmallestChunk;
  while (first < expectedBytes && first < kLargestChunk) first *= 2;
  arena->nextChunk = first;
  arena->deferredNext = nullptr;
  return arena;
}

void nanoArenaRelease(NanoArena* arena) {
  if (!arena) return;
  for (Chunk* chunk = arena->chunks; chunk;) {
    Chunk* next = chunk->next;
    APM_NANO_POISON(chunkData(chunk), chunk->size);
    if (!chunkCache().keep(chunk)) {
      APM_NANO_UNPOISON(chunkData(chunk), chunk->size);
      free(chunk);
    }
    chunk = next;
  }
  free(arena);
}

void nanoArenaDefer(NanoArena* arena, NanoArena** list) {
  if (!arena) return;
  arena->deferredNext = *list;
  *list = arena;
}

void nanoArenaReleaseDeferred(NanoArena* first) {
  while (first) {
    NanoArena* next = first->deferredNext;
    nanoArenaRelease(first);
    first = next;
  }
}

bool nanoSetOwnedArena(void* block, NanoArena* arena) {
  if (!block || headerOf(block) == kArenaBlock) return false;
  const uintptr_t header = arena ? reinterpret_cast<uintptr_t>(arena) : kHeapBlock;
  withHeader(static_cast<char*>(block) - kHeaderSize, header);
  return true;
}

NanoArena* nanoOwnedArena(const void* block) {
  if (!block) return nullptr;
  const uintptr_t header = headerOf(block);
  if (header == kHeapBlock || header == kArenaBlock) return nullptr;
  return reinterpret_cast<NanoArena*>(header);
}

NanoArenaScope::NanoArenaScope(NanoArena* arena) : previous_(currentArena) {
  currentArena = arena;
}

NanoArenaScope::~NanoArenaScope() {
  currentArena = previous_;
}

NanoArena* NanoArenaScope::current() {
  return currentArena;
}

// Charges `size` bytes to every open limit, or to none when one of them
// has not that much left (that one is then exceeded).
bool NanoAllocationLimit::charge(size_t size) {
  for (NanoAllocationLimit* limit = currentLimit; limit; limit = limit->outer_) {
    if (limit->left_ < size) {
      limit->exceeded_ = true;
      return false;
    }
  }
  for (NanoAllocationLimit* limit = currentLimit; limit; limit = limit->outer_) limit->left_ -= size;
  return true;
}

NanoAllocationLimit::NanoAllocationLimit(size_t bytes) : outer_(currentLimit), left_(bytes) {
  currentLimit = this;
}

NanoAllocationLimit::~NanoAllocationLimit() {
  currentLimit = outer_;
}

// The allocation functions of a test program, forwarding to the ones found
// next (the sanitizer's or the C library's) unless a FailingAllocation
// says this one fails. Kept apart from the support library so that only
// the programs that want it carry it.
#include "tests/support/failing_allocation.h"

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);

MallocFn realMalloc = nullptr;
CallocFn realCalloc = nullptr;
ReallocFn realRealloc = nullptr;
FreeFn realFree = nullptr;

// Plain thread-locals: read inside malloc, before anything is constructed.
thread_local bool armed = false;
thread_local long failAt = 0;
thread_local size_t smallest = 0;
thread_local long seen = 0;
thread_local bool hit = false;
thread_local bool tallying = false;
thread_local size_t tallied = 0;
// The meter: what the thread holds, by the allocator's own block sizes,
// and the most it held; allocations that would take it past `ceiling` fail.
thread_local bool metering = false;
thread_local ptrdiff_t held = 0;
thread_local ptrdiff_t heldAtMost = 0;
thread_local ptrdiff_t ceiling = PTRDIFF_MAX;
thread_local bool refusedAny = false;
// The process meter: constant-initialised, so safe before anything is built.
std::atomic<bool> processMetering{false};
std::atomic<ptrdiff_t> processHeld{0};

// Every allocation asks here first: the tally sees each one.
bool failsNow(size_t size) {
  if (tallying) tallied += size;
  if (metering && static_cast<ptrdiff_t>(std::min<size_t>(size, PTRDIFF_MAX / 2)) > ceiling - held) {
    refusedAny = true;
    return true;
  }
  if (!armed || size < smallest) return false;
  if (++seen != failAt) return false;
  hit = true;
  return true;
}

// dlsym may itself ask calloc for a little memory before calloc is known.
alignas(16) unsigned char bootstrap[1024];
size_t bootstrapUsed = 0;
bool resolvingCalloc = false;

void* bootstrapCalloc(size_t count, size_t size) {
  const size_t bytes = (count * size + 15) & ~size_t{15};
  if (bytes > sizeof(bootstrap) - bootstrapUsed) return nullptr;
  void* block = bootstrap + bootstrapUsed;
  bootstrapUsed += bytes;
  return block;
}

bool fromBootstrap(const void* block) {
  return block >= bootstrap && block < bootstrap + sizeof(bootstrap);
}

// Counts a block the thread was given (`sign` 1) or gave back (-1).
void meter(void* block, int sign) {
  if (!block || fromBootstrap(block)) return;
  const bool process = processMetering.load(std::memory_order_relaxed);
  if (!metering && !process) return;
  const ptrdiff_t bytes = sign * static_cast<ptrdiff_t>(malloc_usable_size(block));
  if (process) processHeld.fetch_add(bytes, std::memory_order_relaxed);
  if (metering) {
    held += bytes;
    heldAtMost = std::max(heldAtMost, held);
  }
}

void* metered(void* block) {
  meter(block, 1);
  return block;
}

void* allocate(size_t size) {
  if (failsNow(size)) return nullptr;
  if (!realMalloc) realMalloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
  return metered(realMalloc(size));
}

void* allocateOrThrow(size_t size) {
  void* block = allocate(size > 0 ? size : 1);
  if (!block) throw std::bad_alloc();
  return block;
}

void* allocateAligned(size_t size, std::align_val_t alignment) {
  if (failsNow(size)) return nullptr;
  void* block = nullptr;
  const size_t align = std::max(static_cast<size_t>(alignment), sizeof(void*));
  return posix_memalign(&block, align, size > 0 ? size : 1) == 0 ? metered(block) : nullptr;
}

}  // namespace

FailingAllocation::FailingAllocation(long nth, size_t minimumSize) {
  failAt = nth;
  smallest = minimumSize;
  seen = 0;
  hit = false;
  armed = true;
}

FailingAllocation::~FailingAllocation() { armed = false; }

bool FailingAllocation::failed() const { return hit; }

long FailingAllocation::counted() const { return seen; }

AllocatedBytes::AllocatedBytes() {
  tallied = 0;
  tallying = true;
}

AllocatedBytes::~AllocatedBytes() { tallying = false; }

size_t AllocatedBytes::total() const { return tallied; }

HeldBytes::HeldBytes(size_t most) {
  held = 0;
  heldAtMost = 0;
  refusedAny = false;
  ceiling = static_cast<ptrdiff_t>(std::min<size_t>(most, PTRDIFF_MAX));
  metering = true;
}

HeldBytes::~HeldBytes() {
  metering = false;
  ceiling = PTRDIFF_MAX;
}

size_t HeldBytes::peak() const { return static_cast<size_t>(heldAtMost); }

bool HeldBytes::refused() const { return refusedAny; }

ProcessHeldBytes::ProcessHeldBytes() {
  processHeld.store(0);
  processMetering.store(true);
}

ProcessHeldBytes::~ProcessHeldBytes() { processMetering.store(false); }

ptrdiff_t ProcessHeldBytes::growth() const { return processHeld.load(); }

extern "C" void* malloc(size_t size) { return allocate(size); }

extern "C" void* calloc(size_t count, size_t size) {
  if (!realCalloc) {
    if (resolvingCalloc) return bootstrapCalloc(count, size);
    resolvingCalloc = true;
    realCalloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    resolvingCalloc = false;
  }
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  if (failsNow(count * size)) return nullptr;
  return metered(realCalloc(count, size));
}

extern "C" void* realloc(void* block, size_t size) {
  if (failsNow(size)) return nullptr;
  if (!realRealloc) realRealloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
  const bool process = processMetering.load(std::memory_order_relaxed);
  const ptrdiff_t before = (metering || process) && block ? static_cast<ptrdiff_t>(malloc_usable_size(block)) : 0;
  void* moved = realRealloc(block, size);
  // A failed realloc keeps the old block.
  if (moved) {
    if (metering) held -= before;
    if (process) processHeld.fetch_sub(before, std::memory_order_relaxed);
    meter(moved, 1);
  }
  return moved;
}

extern "C" void free(void* block) {
  if (!block || fromBootstrap(block)) return;
  meter(block, -1);
  if (!realFree) {
    // dlsym may free a little of its own while it looks: kept, not lost.
    static thread_local bool resolving = false;
    if (resolving) return;
    resolving = true;
    realFree = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
  }
  realFree(block);
}

void* operator new(size_t size) { return allocateOrThrow(size); }
void* operator new[](size_t size) { return allocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size > 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size > 0 ? size : 1); }
void* operator new(size_t size, std::align_val_t alignment) {
  void* block = allocateAligned(size, alignment);
  if (!block) throw std::bad_alloc();
  return block;
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}

void operator delete(void* block) noexcept { free(block); }
void operator delete[](void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
void operator delete[](void* block, size_t) noexcept { free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { free(block); }
void operator delete(void* block, std::align_val_t) noexcept { free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { free(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { free(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { free(block); }

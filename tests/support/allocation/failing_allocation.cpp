// The allocation functions of a test program, forwarding to the ones found
// next (the sanitizer's or the C library's) unless a FailingAllocation
// says this one fails. Kept apart from the support library so that only
// the programs that want it carry it.
#include "tests/support/failing_allocation.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);

MallocFn realMalloc = nullptr;
CallocFn realCalloc = nullptr;
ReallocFn realRealloc = nullptr;

// Plain thread-locals: read inside malloc, before anything is constructed.
thread_local bool armed = false;
thread_local long failAt = 0;
thread_local size_t smallest = 0;
thread_local long seen = 0;
thread_local bool hit = false;
thread_local bool tallying = false;
thread_local size_t tallied = 0;

// Every allocation asks here first: the tally sees each one.
bool failsNow(size_t size) {
  if (tallying) tallied += size;
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

void* allocate(size_t size) {
  if (failsNow(size)) return nullptr;
  if (!realMalloc) realMalloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
  return realMalloc(size);
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
  return posix_memalign(&block, align, size > 0 ? size : 1) == 0 ? block : nullptr;
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
  return realCalloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
  if (failsNow(size)) return nullptr;
  if (!realRealloc) realRealloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
  return realRealloc(block, size);
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

// Allocations that fail on purpose, for tests of what code does when memory
// runs out, and allocations counted, for tests of how much code builds.
//
// Test programs that link tests/support/allocation/failing_allocation.cpp
// route malloc, calloc, realloc, free and every global operator new through
// it.
// While a FailingAllocation is alive on a thread, the allocations of that
// thread of at least `minimumSize` bytes are counted, and the `nth` of them
// fails: malloc, calloc and realloc answer null, operator new throws
// std::bad_alloc (its nothrow forms answer null). Other threads are not
// touched. Scopes do not nest.
#pragma once

#include <cstddef>
#include <cstdint>

class FailingAllocation {
 public:
  FailingAllocation(long nth, size_t minimumSize);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // Whether the nth allocation was reached and failed.
  bool failed() const;
  // The allocations of at least `minimumSize` bytes counted so far.
  long counted() const;
};

// While alive on a thread, adds up the bytes that thread asks for (malloc,
// calloc, realloc, every operator new), freed again or not: never less
// than the most the code in the scope holds at once, so a bound on the sum
// bounds that peak. Other threads are not counted. Scopes do not nest.
class AllocatedBytes {
 public:
  AllocatedBytes();
  ~AllocatedBytes();
  AllocatedBytes(const AllocatedBytes&) = delete;
  AllocatedBytes& operator=(const AllocatedBytes&) = delete;

  size_t total() const;
};

// While alive on a thread, meters what that thread holds: the blocks it is
// given less those it gives back (by the allocator's own block sizes, so
// blocks given before the scope and freed in it count below zero), and the
// most it held at once. An allocation that would take it past `most` bytes
// fails, as a FailingAllocation's does, so that code which would hold far
// more ends early. Other threads are not metered. Scopes do not nest.
class HeldBytes {
 public:
  explicit HeldBytes(size_t most = SIZE_MAX);
  ~HeldBytes();
  HeldBytes(const HeldBytes&) = delete;
  HeldBytes& operator=(const HeldBytes&) = delete;

  // The most the thread held at once since the scope began.
  size_t peak() const;
  // Whether an allocation failed for passing `most`.
  bool refused() const;
};

// While alive, meters what the whole process holds: the blocks every
// thread is given less those every thread gives back (blocks given before
// the scope and freed in it count below zero), so that memory one thread
// hands to another (a line for a background writer) counts until it is
// freed. Refuses nothing. Scopes do not nest.
class ProcessHeldBytes {
 public:
  ProcessHeldBytes();
  ~ProcessHeldBytes();
  ProcessHeldBytes(const ProcessHeldBytes&) = delete;
  ProcessHeldBytes& operator=(const ProcessHeldBytes&) = delete;

  // What the process holds now beyond what it held when the scope began.
  ptrdiff_t growth() const;
};

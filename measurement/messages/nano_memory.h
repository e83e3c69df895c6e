// The memory of message records: every block a `MessageInfo` record owns
// (the record itself, its slot array, value cells, byte-string values and
// their data, item arrays, nested records) comes from nanoAllocate or
// nanoAllocateZeroed and goes back through nanoRelease, whichever routine of
// the message layer allocated it. Encoded output buffers are not record
// memory: they are malloc'ed and the caller frees them with free.
//
// Arenas: decoding or copying a message makes a whole tree of small blocks
// at once (tens of thousands for an upload batch). While a NanoArenaScope
// is alive on a thread, its blocks are cut one after another from the
// scope's arena: cheap to make, close together in memory, and freed all at
// once. Releasing such a block on its own does nothing; its memory returns
// when the arena is released, which the block that owns the arena (the
// tree's root record, see nanoSetOwnedArena) arranges. Replacing values of
// a finished tree takes ordinary blocks, so changing a tree never grows its
// arena. Chunks of released arenas, up to 4 MB in all, are kept for later
// arenas. Other blocks come from malloc.
//
// Limits: while a NanoAllocationLimit is alive on a thread, the blocks
// handed out there count against it, and a block that would pass it is
// refused (null), as when memory runs out. Decoding bytes from outside
// bounds its tree this way (message_routines.h). A block refused because
// memory ran out, not because of a limit, is noted as an allocation
// failure (platform/allocation_failures.h).
//
// Threads: any thread may allocate and release blocks, also blocks made on
// another thread; an arena is used by one thread at a time. Blocks are
// 8-byte aligned. Under AddressSanitizer the arena memory that no block
// holds (the rest of each chunk, the padding after a block, the 8 bytes
// before each block, released chunks) is poisoned, so that a read or write
// past a block's end is reported even where the next block follows it in
// the same chunk.
#pragma once

#include <cstddef>

// A block of `size` bytes with undefined contents, or null when memory runs
// out.
void* nanoAllocate(size_t size);
// The same, zeroed; null also when `count * size` overflows.
void* nanoAllocateZeroed(size_t count, size_t size);
// Gives back a block of nanoAllocate or nanoAllocateZeroed; null and arena
// blocks are ignored.
void nanoRelease(void* block);

struct NanoArena;

// A new arena whose first chunk suits about `expectedBytes` of blocks; null
// when memory runs out.
NanoArena* nanoArenaNew(size_t expectedBytes);
// Frees the arena and every block cut from it. Null is ignored.
void nanoArenaRelease(NanoArena* arena);

// Puts `arena` (null is ignored) at the head of a list of arenas to
// release later, linked through the arenas themselves: making the list
// allocates nothing. nanoArenaReleaseDeferred releases every arena of the
// list that starts at `first`.
void nanoArenaDefer(NanoArena* arena, NanoArena** list);
void nanoArenaReleaseDeferred(NanoArena* first);

// Records that `block` owns `arena`, and answers the arena a block owns
// (null for none). The owner releases the arena once nothing cut from it is
// needed any more; releasing the block itself does not. A block cut from an
// arena cannot own one: false, nothing recorded.
bool nanoSetOwnedArena(void* block, NanoArena* arena);
NanoArena* nanoOwnedArena(const void* block);

// While alive, nanoAllocate and nanoAllocateZeroed on this thread cut
// blocks from `arena`. Scopes nest; the innermost wins.
class NanoArenaScope {
 public:
  explicit NanoArenaScope(NanoArena* arena);
  ~NanoArenaScope();
  NanoArenaScope(const NanoArenaScope&) = delete;
  NanoArenaScope& operator=(const NanoArenaScope&) = delete;

  // The arena of the innermost scope on this thread, or null.
  static NanoArena* current();

 private:
  NanoArena* previous_;
};

// While alive, nanoAllocate and nanoAllocateZeroed on this thread charge
// each block (with its header, rounded up to 8 bytes) to this limit and to
// every limit open around it, and refuse a block that would pass one of
// them. Releasing a block gives nothing back. Limits nest.
class NanoAllocationLimit {
 public:
  explicit NanoAllocationLimit(size_t bytes);
  ~NanoAllocationLimit();
  NanoAllocationLimit(const NanoAllocationLimit&) = delete;
  NanoAllocationLimit& operator=(const NanoAllocationLimit&) = delete;

  // Whether a block was refused for passing this limit.
  bool exceeded() const { return exceeded_; }

 private:
  friend void* nanoAllocate(size_t size);
  static bool charge(size_t size);

  NanoAllocationLimit* outer_;
  size_t left_;
  bool exceeded_ = false;
};

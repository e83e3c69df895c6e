// The memory of message records: every block a `MessageInfo` record owns
// (the record itself, its slot array, value cells, byte-string values and
// their data, item arrays, nested records) comes from nanoAllocate or
// nanoAllocateZeroed and goes back through nanoRelease, whichever routine of
// the message layer allocated it. Encoded output buffers are not record
// memory: they are malloc'ed and the caller frees them with free.
//
// Why a pool: a decoded upload batch is tens of thousands of small blocks,
// allocated in one burst and freed in another. Blocks of up to 248 bytes are
// served from per-thread free lists in sixteen size classes, refilled from
// and returned to one shared pool in batches, so that the common case takes
// no lock. A block may be released on another thread than the one that
// allocated it. The memory of freed small blocks is kept for reuse by the
// message layer and never handed back to the system, so the layer's
// footprint stays at its peak; each thread keeps at most 256 KB per size
// class in its own lists and hands the rest back to the shared pool. Larger
// blocks go to malloc.
//
// Under AddressSanitizer every block is a plain malloc block, so that the
// sanitizer sees each allocation on its own.
//
// Threads: any thread; blocks are 8-byte aligned.
#pragma once

#include <cstddef>

// A block of `size` bytes with undefined contents, or null when memory runs
// out.
void* nanoAllocate(size_t size);
// The same, zeroed; null also when `count * size` overflows.
void* nanoAllocateZeroed(size_t count, size_t size);
// Gives back a block of nanoAllocate or nanoAllocateZeroed; null is ignored.
void nanoRelease(void* block);

// Allocation failures that code answers with a failure result instead of
// an exception (a null block, an out-of-memory status), counted per thread,
// so that a caller can tell a failure caused by memory running out from one
// caused by its input. A reader of stored bytes needs the difference: bytes
// that do not decode are damage and may be deleted, while the same failure
// for lack of memory says nothing of them.
//
// Threads: any; each thread counts its own.
#pragma once

#include <cstdint>

namespace platform {

// Called where an allocation failed and the code goes on to fail softly.
void noteAllocationFailure();

// Whether an allocation failure was noted on this thread since the watch
// was made.
class AllocationFailureWatch {
 public:
  AllocationFailureWatch();
  bool failed() const;

 private:
  uint64_t start_;
};

}  // namespace platform

#include "platform/allocation_failures.h"

namespace platform {
namespace {

thread_local uint64_t failures = 0;

}  // namespace

void noteAllocationFailure() { ++failures; }

AllocationFailureWatch::AllocationFailureWatch() : start_(failures) {}

bool AllocationFailureWatch::failed() const { return failures != start_; }

}  // namespace platform

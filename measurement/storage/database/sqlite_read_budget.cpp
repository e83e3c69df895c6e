#include "measurement/storage/database/sqlite_read_budget_internal.h"

#include <algorithm>
#include <limits>

namespace sqlite_internal {
namespace {

// How often SQLite calls the handler: often enough that a read stops close
// to its budget, rarely enough to cost nothing.
constexpr int kStepsPerCall = 64;
// Steps per row read besides one per column (the move to the next row, the
// rowid, the row answered, a comparison), and those of a statement's start
// and end; doubled, so that no read of an undamaged file comes near.
constexpr int64_t kStepsPerRow = 4;
constexpr int64_t kStepsPerStatement = 256;
constexpr int64_t kSlack = 2;
constexpr sqlite3_uint64 kMemoryProbeBytes = sqlite3_uint64{512} << 20;

}  // namespace

ReadBudget::ReadBudget(sqlite3* handle) : handle_(handle) {
  sqlite3_progress_handler(handle_, kStepsPerCall, &ReadBudget::onProgress, this);
}

ReadBudget::~ReadBudget() { sqlite3_progress_handler(handle_, 0, nullptr, nullptr); }

int64_t ReadBudget::stepsForRows(int64_t rows, int64_t columns) {
  const int64_t perRow = columns + kStepsPerRow;
  const int64_t most = std::numeric_limits<int64_t>::max() / 4;
  return rows >= most / perRow ? most : kSlack * (std::max<int64_t>(rows, 0) * perRow + kStepsPerStatement);
}

void ReadBudget::start(int64_t steps) {
  counting_ = true;
  spent_ = false;
  left_ = steps;
}

void ReadBudget::stop() { counting_ = false; }

int ReadBudget::verdict(int result) const {
  return spent_ && (result & 0xff) == SQLITE_INTERRUPT ? SQLITE_CORRUPT : damageOrFailure(result);
}

int damageOrFailure(int result) {
  if ((result & 0xff) != SQLITE_NOMEM) return result;
  void* probe = sqlite3_malloc64(kMemoryProbeBytes);
  sqlite3_free(probe);
  return probe ? SQLITE_CORRUPT : result;
}

int ReadBudget::onProgress(void* context) {
  auto* budget = static_cast<ReadBudget*>(context);
  if (!budget->counting_) return 0;
  budget->left_ -= kStepsPerCall;
  if (budget->left_ >= 0) return 0;
  budget->spent_ = true;
  return 1;
}

}  // namespace sqlite_internal

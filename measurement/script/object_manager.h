// The collector of the script runtime.
//
// Maps, functions and arrays can hold one another, and functions hold the
// scope they close over, so reference counting alone cannot free a cycle.
// `APMPObjectManager` tracks those values weakly and, on `collectGarbage`,
// marks everything its roots reach and makes every tracked value it did not
// reach release its inner references; reference counting then frees the
// cycle. Marks are per collection (an epoch), so a value reached by an
// earlier collection, or by another runtime's, is never taken as already
// marked. Marking walks an explicit work list, never the native stack.
//
// The manager never keeps a value or a root alive. It belongs to one runtime
// and is used on that runtime's thread only; the factories register new
// values with the manager of the given scope's chain, or leave them
// untracked when the chain has none.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "measurement/script/runtime_value.h"

// Walks reachable cells for one collection.
class APMPMarker {
 public:
  // `pending` is room for the work list, handed back by `takeRoom`. A
  // measuring marker reaches strings too and adds up the bytes of every
  // cell it reaches (`APMPCell::heldBytes`).
  explicit APMPMarker(uint32_t epoch, std::vector<APMPCell*> pending = {}, bool measuring = false)
      : epoch_(epoch), pending_(std::move(pending)), measuring_(measuring) {}
  std::vector<APMPCell*> takeRoom() noexcept { return std::move(pending_); }
  uint32_t epoch() const noexcept { return epoch_; }
  size_t reachedBytes() const noexcept { return reachedBytes_; }

  // Queues the cell of a value that can reach other values (maps,
  // functions, arrays, return values), and of a string when measuring;
  // other values are ignored.
  void mark(const APMPRuntimeValue& value);
  // Queues a cell (a scope, a value's cell) unless this collection reached
  // it already; null is ignored.
  void mark(APMPCell* cell);
  // Marks everything reachable from the queued cells. When `visited` is
  // given, every cell reached is appended to it.
  void drain(std::vector<APMPCell*>* visited = nullptr);

 private:
  uint32_t epoch_;
  std::vector<APMPCell*> pending_;
  bool measuring_;
  size_t reachedBytes_ = 0;
};

// Values a running evaluation is using that no root may reach: the scope a
// statement runs in, the function whose body is running, the statement
// list a loop or block walks, arguments evaluated but not yet stored.
// Each is held by a frame on the native stack for as long as it is in use;
// a collection marks everything the frames of its thread hold, so a native
// that collects in the middle of a run never has the values under the run
// swept. Frames nest strictly (they are locals), one chain per thread.
class APMPActiveValues {
 public:
  explicit APMPActiveValues(APMPCell* cell) noexcept : previous_(top_), cell_(cell) { top_ = this; }
  explicit APMPActiveValues(std::span<const APMPRuntimeValue> values) noexcept
      : previous_(top_), values_(values.data()), count_(values.size()) {
    top_ = this;
  }
  ~APMPActiveValues() { top_ = previous_; }
  APMPActiveValues(const APMPActiveValues&) = delete;
  APMPActiveValues& operator=(const APMPActiveValues&) = delete;

  // Points the frame at another run of values (a list that has grown).
  void hold(std::span<const APMPRuntimeValue> values) noexcept {
    values_ = values.data();
    count_ = values.size();
  }
  // Queues everything the frames of this thread hold.
  static void markAll(APMPMarker& marker);

 private:
  static constinit thread_local APMPActiveValues* top_;
  APMPActiveValues* previous_;
  APMPCell* cell_ = nullptr;
  const APMPRuntimeValue* values_ = nullptr;
  size_t count_ = 0;
};

// What an object manager can use as a root: anything that marks the values
// it keeps (scopes, the event editor's callback handler).
class APMPMarkable {
 public:
  APMPMarkable() = default;
  APMPMarkable(const APMPMarkable&) = delete;
  APMPMarkable& operator=(const APMPMarkable&) = delete;
  virtual ~APMPMarkable() = default;
  virtual void mark(APMPMarker& marker) = 0;

 private:
  friend class APMPObjectManager;
  // Expires when the markable dies: how roots are held weakly.
  std::weak_ptr<const void> liveness();
  std::shared_ptr<const void> liveness_;
};

class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  // Detaches the values still tracked.
  ~APMPObjectManager();
  APMPObjectManager(const APMPObjectManager&) = delete;
  APMPObjectManager& operator=(const APMPObjectManager&) = delete;

  // Both hold their argument weakly; null is ignored, and so is a value
  // already tracked (by this manager or another).
  void addRoot(APMPMarkable* root);
  void addObject(APMPCollectableValue* object);

  // Marks from the roots still alive and from the values running
  // evaluations of this thread hold (`APMPActiveValues`), sweeps the tracked
  // values not reached (in registration order), and drops the entries of
  // dead values. Safe at any moment, also from a native in the middle of a
  // run.
  void collectGarbage() { collect(false); }
  // The same collection, answering the bytes of everything it reached:
  // what the runtime holds, as its bound counts it (evaluator.h).
  size_t collectGarbageAndMeasure() { return collect(true); }
  // For a runtime's teardown: every value reachable from the roots and every
  // tracked value releases its inner references, and the scopes reached drop
  // their bindings, so that no cycle outlives the runtime.
  void releaseAll();

  // The count of what the runtime's values take (cell_memory.h): a
  // collection, and every run in the runtime's scopes, counts against it.
  APMPMemoryAccount& memoryAccount() noexcept { return memoryAccount_; }

  // The live tracked values, in registration order, and the live roots.
  std::vector<APMPCollectableValue*> trackedObjects() const;
  std::vector<APMPMarkable*> roots() const;

  // Factories: each value is registered with the object manager of the
  // scope's chain (for a function, of its defining scope's chain).
  static APMPRef<APMPFunctionValue> functionValueWithFunctionName(std::u16string functionName,
                                                                  std::vector<std::u16string> parameterNames,
                                                                  std::vector<APMPRuntimeValue> statements,
                                                                  APMPRef<APMPScope> definingScope);
  static APMPRef<APMPMapValue> mapValueWithScope(APMPScope& scope);
  static APMPRef<APMPArrayValue> arrayValueWithScope(APMPScope& scope);
  static APMPRef<APMPArrayValue> arrayValueWithArray(std::vector<APMPRuntimeValue> elements, APMPScope& scope);
  // The positions from `location` (cut down to the count) for at most
  // `length`, holes kept.
  static APMPRef<APMPArrayValue> subarrayWithArray(const APMPArrayValue& array, size_t location, size_t length,
                                                   APMPScope& scope);

 private:
  friend class APMPCollectableValue;
  struct Root {
    APMPMarkable* markable;
    std::weak_ptr<const void> liveness;
  };
  size_t collect(bool measuring);
  void forget(APMPCollectableValue* object) noexcept;
  void compact();
  void markRoots(APMPMarker& marker);

  std::vector<Root> roots_;
  // The marker's work list, kept between collections (empty between them).
  std::vector<APMPCell*> markRoom_;
  // Null where a value died since the last compaction.
  std::vector<APMPCollectableValue*> objects_;
  APMPMemoryAccount memoryAccount_;
};

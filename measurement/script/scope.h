// `APMPScope`: one level of variable bindings. Scopes form chains through
// their parents (a child owns its parent); a read walks up the chain, a
// declaration binds in the scope itself, an assignment updates the nearest
// scope that binds the name.
//
// A scope without parent is the root of its chain and holds the chain's
// budget (the runtime's initial scope holds the runtime's): the evaluations
// counted and the native work charged, so every evaluation in the chain
// counts against one budget that no script can see or change. The root
// also holds the chain's object manager; every scope reaches its root in
// one step. Marking a scope marks its bindings and its whole parent chain:
// a closure keeps everything it can still read.
//
// A chain has no bound on its length: a closure made in a call closes over
// that call's scope, and a closure calling for the next one lengthens the
// chain by one scope a call, event after event. So a walk up the chain
// (a read, an assignment) is charged to the budget by the scopes it
// visits past the first `kAPMPFreeScopeVisits`; a walk the budget cannot
// cover still ends, and spends the whole budget, so that the run ends
// with error 18 at its next evaluation. A name longer than
// `kAPMPFreeNameLength` (one computed at run time can be millions of units
// long) is hashed or compared whole at every scope: its walks pay for every
// scope, and binding it pays for its copy too.
//
// Used by one thread at a time, like the runtime it belongs to.
#pragma once

#include <memory>
#include <string_view>

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_value.h"

class APMPRegexCache;

// Evaluations allowed between two resets of a runtime's counter.
inline constexpr uint32_t kAPMPInstructionLimit = 1000000;
// Scopes a walk visits free of charge: a program's own nesting (a callback
// with loops, blocks and a function or two inside) stays within them.
inline constexpr size_t kAPMPFreeScopeVisits = 8;
// Units charged for each scope visited past those, beside the name's code
// units: each visit reaches a scope that was made long before, in memory
// the cache no longer holds.
inline constexpr uint64_t kAPMPScopeVisitWork = 32;
// Names up to this long are looked up and bound free of charge: a
// program's own names, which the evaluation count pays for.
inline constexpr size_t kAPMPFreeNameLength = 64;
// Units of work charged between two looks at a run's processor time
// (evaluator.h).
inline constexpr uint64_t kAPMPCpuLookWork = 1 << 20;

class APMPScope final : public APMPCell, public APMPMarkable {
 public:
  // `initWithParentScope:`; a null parent makes a root.
  static APMPRef<APMPScope> make(APMPRef<APMPScope> parent = nullptr);
  APMPRef<APMPScope> createChildScope();
  APMPScope* parentScope() const noexcept { return parent_.get(); }

  // Whether this scope or an ancestor binds the name.
  bool hasName(std::u16string_view name) const;
  // The nearest binding up the chain; undefined when none.
  APMPRuntimeValue valueForName(std::u16string_view name) const;
  // Declaration: binds here, replacing a mutable binding; nothing when this
  // scope is frozen or holds the name as a constant.
  void addValue(APMPRuntimeValue value, std::u16string_view name);
  // Constant declaration: as `addValue`, and the name becomes a constant.
  void addImmutableValue(APMPRuntimeValue value, std::u16string_view name);
  // Assignment: the nearest scope binding the name takes the value, unless
  // it (or a frozen scope on the way) refuses; an unbound name is bound here.
  void setValue(APMPRuntimeValue value, std::u16string_view name);
  // Assignment to a name the chain binds, as `setValue`; false, binding
  // nothing, when no scope of the chain binds it.
  bool assignValue(APMPRuntimeValue value, std::u16string_view name) { return assignBound(value, name); }
  void makeImmutable() noexcept { contents_.makeImmutable(); }
  // Room for `count` bindings before the table regrows.
  void reserveBindings(size_t count) { contents_.reserve(count); }
  const APMPPropertyMap& contents() const noexcept { return contents_; }

  // Sets the object manager of the whole chain, which its root holds.
  void setObjectManager(std::shared_ptr<APMPObjectManager> objectManager);
  // The chain's object manager; null if none.
  APMPObjectManager* objectManager() const noexcept { return root_->objectManager_.get(); }

  // What the chain has spent since the root's last reset.
  struct Budget {
    // Evaluations counted.
    uint32_t instructions = 0;
    // The count at which evaluations stop to look at the budget: the limit,
    // a few thousand evaluations ahead while a run is in progress (to look
    // at its processor time), or 0 while a measurement of the runtime's
    // memory is due.
    uint32_t fence = kAPMPInstructionLimit;
    // Units of native work charged (code units produced or compared,
    // elements copied, sorted or visited, regular-expression steps).
    uint64_t work = 0;
    // Not spent but kept with it, so that every scope of the chain reaches
    // it at once: the chain's compiled regular expressions, owned by the
    // root, made on first use and kept across resets.
    APMPRegexCache* regexCache = nullptr;
    // The work at which a charge stops to look at the processor time.
    uint64_t workFence = kAPMPCpuLookWork;
    // Processor time, in nanoseconds, that the thread's processor clock
    // measured in the runs since the reset that have ended. Only that clock
    // counts toward the bound (see `APMPRunInProgress`).
    int64_t cpuUsed = 0;
    // Time passed, by the coarse clock, in runs (or their first moments)
    // that ended without the processor clock read: never counted toward
    // the bound, it only tells when the clock must be read.
    int64_t unmeasured = 0;
    // The run in progress: when it began, by the coarse clock (-1 between
    // runs); the thread's processor clock where measuring it began (-1
    // before); what the budget had used at the last read of that clock,
    // and when, by the coarse clock.
    int64_t runStart = -1;
    int64_t runCpuStart = -1;
    int64_t usedAtRead = 0;
    int64_t readAt = 0;
  };
  Budget& budget() noexcept { return root_->ownBudget_; }
  uint32_t& instructionCount() noexcept { return budget().instructions; }
  uint64_t& workCount() noexcept { return budget().work; }
  void resetBudget() noexcept { budget() = Budget{.regexCache = budget().regexCache}; }
  APMPRegexCache& regexCache();

  void mark(APMPMarker& marker) override;
  void markChildren(APMPMarker& marker) override;
  size_t heldBytes() const noexcept override;
  // Drops the bindings (a runtime's teardown).
  void sweep() override;

 private:
  explicit APMPScope(APMPRef<APMPScope> parent);
  ~APMPScope() override;
  // One walk up the chain; `value` is swapped into the binding it reaches.
  bool assignBound(APMPRuntimeValue& value, std::u16string_view name);
  // Charges a walk from this scope to `reached` (inclusive; null for the
  // whole chain) for `name`.
  void chargeWalk(const APMPScope* reached, std::u16string_view name) const noexcept {
    const size_t visits = depth_ + 1 - (reached ? reached->depth_ : 0);
    if (visits > kAPMPFreeScopeVisits || name.size() > kAPMPFreeNameLength) chargeLongWalk(visits, name);
  }
  void chargeLongWalk(size_t visits, std::u16string_view name) const noexcept;
  // Charges `units` to the chain's budget, or spends it all when it cannot
  // pay; the next evaluation looks at the run's processor time.
  void charge(uint64_t units) const noexcept;
  // A long name bound here: looked up, then copied.
  void chargeBinding(std::u16string_view name) const noexcept {
    if (name.size() > kAPMPFreeNameLength) charge(2 * uint64_t{name.size()});
  }
  // Whether a walk for `name` from here may go uncounted.
  bool walksFree(std::u16string_view name) const noexcept {
    return depth_ < kAPMPFreeScopeVisits && name.size() <= kAPMPFreeNameLength;
  }

  // Beside the bindings, which every walk reads too.
  APMPRef<APMPScope> parent_;
  // The chain's root (this scope for a root); it outlives the chain, which
  // owns it.
  APMPScope* root_;
  // Scopes between this one and the root.
  size_t depth_;
  APMPPropertyMap contents_;
  // Held by roots only.
  std::shared_ptr<APMPObjectManager> objectManager_;
  Budget ownBudget_;
};

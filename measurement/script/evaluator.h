// Statement evaluation: the evaluator, the command sets and their registrar,
// and the routines every command set shares.
//
// A statement's command routine is resolved once, when the statement is made
// from its program entity (`APMPCommandRegistrar::handlerForFunctionName`);
// evaluation then costs one counter check and one indirect call. Every
// evaluation, of a literal or of a statement, counts against the budget of
// the scope chain's root: after a reset, 1,000,000 evaluations run and the
// next one fails with error 18 without doing anything else. Nested statement
// evaluations on one thread are bounded too (error 18), both in number and
// by the native stack they leave free, so no program can exhaust the native
// stack, whatever its recursion and whichever natives it recurses through.
//
// The registrar and the command sets are made once per process and are
// read-only afterwards; any thread may evaluate, each runtime on one thread
// at a time. Errors follow script_error.h: the first error is kept and the
// failing evaluation answers undefined.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"
#include "measurement/script/script_error.h"

// Units of native work allowed between two resets, beside the evaluations:
// one evaluation can copy, compare or convert a great deal, and no realistic
// program comes near this.
inline constexpr uint64_t kAPMPWorkLimit = 100000000;
// Units charged for each value a native makes, beside the code units it
// copies: an allocation costs tens of nanoseconds, and a program doing
// nothing else must still reach the work limit within a fraction of a
// second.
inline constexpr uint64_t kAPMPValueWork = 64;
// Units charged for each binding made or copied into a scope, beside the
// name's code units: a lookup and an insertion, each missing the cache once
// a scope holds thousands of names.
inline constexpr uint64_t kAPMPBindingWork = 2 * kAPMPValueWork;
// Units charged for converting `units` code units of UTF-16 into `bytes`
// bytes of UTF-8 (`script_text::toUtf8`): ASCII is narrowed unit by unit,
// about a nanosecond each; any other text goes through the general
// encoder, some eight times slower.
inline uint64_t APMPUtf8CopyWork(size_t units, size_t bytes) { return (bytes > units ? 8 : 1) * uint64_t{units}; }
// Statement evaluations that may be in progress at once on one thread. A
// script call costs two levels (the call and the statement in the body), and
// each level a few hundred bytes of native stack in an optimised build.
inline constexpr int kAPMPMaxNestedEvaluations = 600;
// Native stack evaluations leave free: a level may be entered only while
// this much of the thread's stack is left. Natives that call back into
// scripts (a sort's comparator, an array method's callback) take several
// kilobytes per level, over 10 KB under AddressSanitizer, so the count
// alone cannot keep a small thread stack whole. What is left must hold the
// eight levels between two looks at the stack and the work of the deepest
// one, such as a value walk nested to `kAPMPMaxValueNesting` (all of it
// stays under 64 KB with the sanitizers).
inline constexpr size_t kAPMPStackReserve = size_t{256} << 10;
// The most a runtime's values may take: the bytes of every cell its
// program can still reach (from the runtime's scopes, its callbacks and the
// evaluations in progress) and of the texts, lists and tables those cells
// own, together with what its run keeps in native objects made from them
// (the event being edited and the events created, `APMPKeptCopies`) and
// what its natives hold while they work (text forms, sort keys, buffers,
// `APMPWorkingBytes`).
// Above the longest text (32 MiB) and the longest array (16 MiB of
// positions), so that any one value the other limits allow fits, and still
// small for a phone; editing programs hold a few kilobytes. A runtime's
// values are measured, by a collection, whenever their growth since the
// last measurement could have taken them near the bound (and so at most
// after each sixteenth of it): a runtime found holding more than seven
// eighths of it fails the evaluation with error 18, and every later one of
// that run. The bound is passed only by what the native running at that
// moment makes. The runtime stays usable; what it still holds counts
// against its next runs.
//
// The growth is counted per runtime (its object manager's
// `APMPMemoryAccount`, cell_memory.h), wherever the runtime runs: a thread
// counts for the runtime of its run in progress, so the values one runtime
// keeps never hide behind another's temporaries on the same thread, and a
// runtime moved between threads by its queue carries its count along
// instead of starting afresh on each.
inline constexpr size_t kAPMPMaxLiveBytes = size_t{64} << 20;

// The net under every charge: a run also ends with error 18 once it has
// used this much of its thread's processor time, since the budget's last
// reset (an event's callbacks share one). The charges above are meant to
// end a hostile run well before it, and an editing program takes
// microseconds; but they are set by hand, native by native, and one that
// costs more than it is charged must still not hold the worker queue for
// seconds. A quarter of a second is past what the whole instruction and
// work budgets take in an optimised build, so no run the budgets allow is
// cut short there. Without optimisation, or under a sanitizer, the same
// work takes up to twenty times as long: the bound grows alike, so that
// the tests that spend whole budgets keep their answers there too.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
inline constexpr int64_t kAPMPMaxRunCpuNanoseconds = 250'000'000;
#else
inline constexpr int64_t kAPMPMaxRunCpuNanoseconds = 5'000'000'000;
#endif
// The processor time is looked at every this many evaluations of a run,
// and every `kAPMPCpuLookWork` units of work charged (scope.h, where a
// budget starts with it): both take a few microseconds
// (so a native of a millisecond, called by every other evaluation, runs
// some 250 ms past the bound at most). Only the thread's processor clock
// counts toward the bound, read at a look and when a run ends; but a look
// reads a coarse clock, in nanoseconds, and the processor clock (a system
// call) only once the budget's runs could have used an eighth of the
// bound, and from then on when that clock's last answer and the time
// passed could reach the bound. A run of a few microseconds, as editing
// an event takes, reads the coarse clock twice and nothing else; what such
// runs use goes uncounted, and never reaches an eighth of the bound before
// the budget's runs are measured whole.
inline constexpr uint32_t kAPMPCpuLookInstructions = 512;

// The bound above, unless a test has lowered it for its thread (0 restores
// it): a test cannot afford to spend the bound itself.
int64_t APMPRunCpuBound() noexcept;

// This thread's processor time in nanoseconds; 0 when the clock cannot be
// read (the net then never trips). A system call: some 600 ns.
int64_t APMPThreadCpuNanoseconds() noexcept;
void APMPSetRunCpuBoundForTesting(int64_t nanoseconds) noexcept;

// False with error 18 (the budget spent) once the run in progress in
// `scope`'s chain has used its processor time. For natives that loop long
// without charging work as they go; a look can cost a system call, so
// they look every few thousand steps.
bool APMPWithinRunTime(APMPScope& scope, platform::ErrorRef& error);

// Measures memory when due (with `scope` and `evaluated` held), looks at
// the run's processor time, then counts as `APMPCountInstruction`.
bool APMPCountAtFence(APMPScope& scope, platform::ErrorRef& error, const APMPRuntimeValue* evaluated);

// Counts one evaluation against the chain's budget; false with error 18 once
// the limit is reached, or once the runtime's values take more than
// `kAPMPMaxLiveBytes`. `evaluated`, the value about to be evaluated, is
// kept whole if a collection runs.
inline bool APMPCountInstruction(APMPScope& scope, platform::ErrorRef& error,
                                 const APMPRuntimeValue* evaluated = nullptr) {
  APMPScope::Budget& budget = scope.budget();
  if (budget.instructions >= budget.fence) return APMPCountAtFence(scope, error, evaluated);
  ++budget.instructions;
  return true;
}

// `APMPChargeWork` past the budget's work fence.
bool APMPChargeWorkAtFence(APMPScope& scope, uint64_t units, platform::ErrorRef& error);

// Charges `units` of native work to the chain's budget before doing it;
// false with error 18 (nothing charged) when the budget cannot cover it,
// or when the run has used its processor time.
inline bool APMPChargeWork(APMPScope& scope, uint64_t units, platform::ErrorRef& error) {
  APMPScope::Budget& budget = scope.budget();
  // The work may lie past the fence when it was set from outside.
  if (budget.work >= budget.workFence || units > budget.workFence - budget.work) {
    return APMPChargeWorkAtFence(scope, units, error);
  }
  budget.work += units;
  return true;
}

// What binding `names` (a list of texts) in a scope costs.
template <class Names>
uint64_t APMPBindingWork(const Names& names) {
  uint64_t work = 0;
  for (const auto& name : names) work += kAPMPBindingWork + name.size();
  return work;
}

// Statement evaluations in progress on this thread, whatever runtime or
// scope chain they belong to: the native stack is per thread.
extern constinit thread_local int gAPMPNestedEvaluations;
// The look at every eighth level of `APMPCanNestEvaluation`.
bool APMPCanNestAtCheckpoint(platform::ErrorRef& error);

// False with error 18 when one more level would pass
// `kAPMPMaxNestedEvaluations` or leave less than `kAPMPStackReserve` of
// the thread's stack free.
inline bool APMPCanNestEvaluation(platform::ErrorRef& error) {
  // Both are looked at on every eighth level only, which every path to a
  // deeper level passes: eight levels take far less than the reserve.
  static_assert(kAPMPMaxNestedEvaluations % 8 == 0);
  if ((static_cast<unsigned>(gAPMPNestedEvaluations) & 7u) != 0) return true;
  return APMPCanNestAtCheckpoint(error);
}

// One level of this thread's nesting, held for the object's lifetime.
class APMPNestedEvaluation {
 public:
  APMPNestedEvaluation() noexcept { ++gAPMPNestedEvaluations; }
  ~APMPNestedEvaluation() { --gAPMPNestedEvaluations; }
  APMPNestedEvaluation(const APMPNestedEvaluation&) = delete;
  APMPNestedEvaluation& operator=(const APMPNestedEvaluation&) = delete;
};

class APMPEvaluator {
 public:
  // Counts the evaluation; a statement runs its command, any other value
  // evaluates to itself.
  static APMPRuntimeValue evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope,
                                            platform::ErrorRef& error) {
    if (!APMPCountInstruction(scope, error, &value)) return {};
    const APMPStatementValue* statement = value.asStatement();
    if (!statement) return value;
    if (!APMPCanNestEvaluation(error)) return {};
    const APMPNestedEvaluation nesting;
    // The scope stays reachable while the statement runs, whatever
    // collects meanwhile (a run scope is no root).
    const APMPActiveValues active(&scope);
    if (APMPCommandHandler handler = statement->handler()) return handler(statement->arguments(), scope, error);
    return callByName(*statement, scope, error);
  }
  // Evaluates in order; stops at the first error (answering undefined) or
  // at the first control value (answering it); else the last value.
  static APMPRuntimeValue executeStatements(std::span<const APMPRuntimeValue> statements, APMPScope& scope,
                                            platform::ErrorRef& error);
  // The same over an array's elements (holes read as undefined). The array
  // is kept alive, and re-read at each step, for the length of the run.
  static APMPRuntimeValue executeStatements(APMPArrayValue& statements, APMPScope& scope,
                                            platform::ErrorRef& error);

 private:
  static APMPRuntimeValue callByName(const APMPStatementValue& statement, APMPScope& scope,
                                     platform::ErrorRef& error);
};

// The run in progress on this thread (set by `APMPRunWithinMemory`): its
// budget, whose fence the memory alarm of its runtime lowers, and its
// runtime's memory account, which the thread counts for meanwhile; null
// between runs. The outermost run of a budget on the thread is measured on
// that thread, from its start (once the budget's earlier runs could have
// used an eighth of the bound) or from the look that first reads the
// thread's processor clock, to its end; runs nested in it (a native
// calling back into the runtime) share it. The processor time measured is
// added to the budget's when it ends: never time passed, which counts
// the time the thread was preempted or stopped too.
class APMPRunInProgress {
 public:
  explicit APMPRunInProgress(APMPScope& scope) noexcept;
  ~APMPRunInProgress();
  APMPRunInProgress(const APMPRunInProgress&) = delete;
  APMPRunInProgress& operator=(const APMPRunInProgress&) = delete;

 private:
  APMPScope::Budget* budget_;
  APMPMemoryAccount* account_;
  APMPCellMemory::Counting counting_;
  APMPScope::Budget* previousBudget_;
  APMPMemoryAccount* previousAccount_;
  bool outermost_;
};

// Room, within the bound on what a runtime holds (`kAPMPMaxLiveBytes`),
// for bytes a native is about to hold outside the runtime's values. What
// is taken must fit in what the runtime may still take before seven
// eighths of the bound, the share past which a measurement ends a run.
// That room is first read from the count of the values' growth and of
// what the runtime's run keeps besides (`APMPMemoryAccount::kept`), which
// errs high only (garbage not yet collected); bytes that do not fit it
// have the runtime measured (a collection) once, and bytes that do not
// fit the measured room end the run with error 18. A local of one native
// call, on the scope's thread.
class APMPMemoryRoom {
 public:
  explicit APMPMemoryRoom(APMPScope& scope) noexcept;

  // Takes `bytes` of the room for something about to be made; false with
  // error 18 (the run ended) when they cannot be had.
  bool take(size_t bytes, platform::ErrorRef& error) {
    if (bytes > room_) return takeMeasured(bytes, error);
    room_ -= bytes;
    return true;
  }
  void giveBack(size_t bytes) noexcept { room_ += bytes; }
  APMPScope& scope() const noexcept { return *scope_; }

 private:
  bool takeMeasured(size_t bytes, platform::ErrorRef& error);

  APMPScope* scope_;
  size_t room_;
  bool measured_ = false;
};

// What a native copies out of the runtime's values into native objects its
// run keeps (the event being edited, the events created), charged before
// each copy is made: its work to the budget, its bytes taken from the
// room (their holder then counts them in `APMPMemoryAccount::kept`).
class APMPKeptCopies {
 public:
  explicit APMPKeptCopies(APMPScope& scope) noexcept : room_(scope) {}
  APMPKeptCopies(const APMPKeptCopies&) = delete;
  APMPKeptCopies& operator=(const APMPKeptCopies&) = delete;

  // Charges `work` units and takes `bytes` of the room, for one copy about
  // to be made; false with error 18 (the run ended) when either cannot be
  // had.
  bool take(uint64_t work, size_t bytes, platform::ErrorRef& error) {
    return room_.take(bytes, error) && APMPChargeWork(room_.scope(), work, error);
  }

 private:
  APMPMemoryRoom room_;
};

// What a native holds while it works, outside the runtime's values: text
// forms, sort keys, join buffers, lists of pieces. Each is taken from the
// room before it is made and counted with what the runtime's run keeps
// (`APMPMemoryAccount::kept`) until it is given back, at the latest when
// this is destroyed: a measurement meanwhile sees it, and a native nested
// in this one (a sort's comparator) finds the room smaller. Movable, so a
// text form can carry its count to its caller; on the scope's thread.
class APMPWorkingBytes {
 public:
  explicit APMPWorkingBytes(APMPScope& scope) noexcept;
  APMPWorkingBytes(APMPWorkingBytes&& other) noexcept
      : room_(other.room_), account_(other.account_), held_(std::exchange(other.held_, 0)) {}
  APMPWorkingBytes& operator=(APMPWorkingBytes&& other) noexcept {
    if (this != &other) {
      giveBack(held_);
      room_ = other.room_;
      account_ = other.account_;
      held_ = std::exchange(other.held_, 0);
    }
    return *this;
  }
  ~APMPWorkingBytes() { giveBack(held_); }

  // Counts `bytes` more, about to be made; false with error 18 (the run
  // ended) when the room cannot hold them.
  bool take(size_t bytes, platform::ErrorRef& error) {
    if (!room_.take(bytes, error)) return false;
    held_ += bytes;
    if (account_) account_->kept += bytes;
    return true;
  }
  // Stops counting `bytes` of what was taken (at most all of it).
  void giveBack(size_t bytes) noexcept {
    bytes = std::min(bytes, held_);
    room_.giveBack(bytes);
    held_ -= bytes;
    if (account_) account_->kept -= bytes;
  }
  size_t held() const noexcept { return held_; }

 private:
  APMPMemoryRoom room_;
  APMPMemoryAccount* account_;
  size_t held_ = 0;
};

// Runs `run`, the outermost call of a run in `scope`'s chain (a program's
// statements, a callback, a rule): memory is watched while it runs, and a
// failed allocation anywhere inside ends the run with error 18, like any
// other exhausted resource, and never reaches the host.
template <class Run>
APMPRuntimeValue APMPRunWithinMemory(APMPScope& scope, platform::ErrorRef& error, Run&& run) {
  const APMPRunInProgress inProgress(scope);
  try {
    return run();
  } catch (const std::bad_alloc&) {
    APMPSetError(error, kAPMPErrorLimit);
    return {};
  }
}

// A short list of values, held inline up to eight: the evaluated arguments of
// a command. The values stay reachable while the list lives (a collection
// in the middle of an evaluation marks them); a local, never copied.
class APMPValueList {
 public:
  APMPValueList() noexcept : active_(std::span<const APMPRuntimeValue>()) {}
  ~APMPValueList() {
    if (spilled_.empty()) std::destroy_n(inlineData(), size_);
  }
  APMPValueList(const APMPValueList&) = delete;
  APMPValueList& operator=(const APMPValueList&) = delete;
  void push_back(APMPRuntimeValue value) {
    if (size_ < kInline && spilled_.empty()) {
      new (inlineData() + size_++) APMPRuntimeValue(std::move(value));
      active_.hold(span());
    } else {
      spill(std::move(value));
    }
  }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const APMPRuntimeValue& operator[](size_t i) const noexcept { return data()[i]; }
  std::span<const APMPRuntimeValue> span() const noexcept { return {data(), size_}; }
  operator std::span<const APMPRuntimeValue>() const noexcept { return span(); }

 private:
  static constexpr size_t kInline = 8;
  void spill(APMPRuntimeValue value);
  APMPRuntimeValue* inlineData() noexcept { return std::launder(reinterpret_cast<APMPRuntimeValue*>(inline_)); }
  const APMPRuntimeValue* inlineData() const noexcept {
    return std::launder(reinterpret_cast<const APMPRuntimeValue*>(inline_));
  }
  const APMPRuntimeValue* data() const noexcept { return spilled_.empty() ? inlineData() : spilled_.data(); }
  // Only the first `size_` slots hold values, until the list spills.
  alignas(APMPRuntimeValue) unsigned char inline_[kInline * sizeof(APMPRuntimeValue)];
  std::vector<APMPRuntimeValue> spilled_;
  size_t size_ = 0;
  APMPActiveValues active_;
};

// The statement, when `value` is a statement list ("46"): a command that
// only walks the list it would make reads the statement's own arguments
// instead, after counting the evaluation (`APMPCountInstruction`), and so
// neither makes nor copies an array. The arguments live as long as the
// statement, which the program holds while it runs. The routine of "46"
// is the control set's.
APMPRuntimeValue APMPStatementListCommand(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                          platform::ErrorRef& error);
inline const APMPStatementValue* APMPStatementListIn(const APMPRuntimeValue& value) {
  const APMPStatementValue* statement = value.asStatement();
  return statement && statement->handler() == &APMPStatementListCommand ? statement : nullptr;
}

// Evaluates `arguments` in order into `values`, stopping after the first
// evaluation that fails (its undefined answer is the last entry). True when
// no error is set.
bool APMPEvaluateArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                           platform::ErrorRef& error, APMPValueList& values);

// Argument counts: exactly, at least, at most `count`; else error 9.
inline bool APMPCheckedArgumentCount(bool ok, platform::ErrorRef& error) {
  if (!ok) APMPSetError(error, kAPMPErrorArgumentCount);
  return ok;
}
inline bool APMPCheckArgumentCount(std::span<const APMPRuntimeValue> arguments, size_t count,
                                   platform::ErrorRef& error) {
  return APMPCheckedArgumentCount(arguments.size() == count, error);
}
inline bool APMPCheckMinArgumentCount(std::span<const APMPRuntimeValue> arguments, size_t count,
                                      platform::ErrorRef& error) {
  return APMPCheckedArgumentCount(arguments.size() >= count, error);
}
inline bool APMPCheckMaxArgumentCount(std::span<const APMPRuntimeValue> arguments, size_t count,
                                      platform::ErrorRef& error) {
  return APMPCheckedArgumentCount(arguments.size() <= count, error);
}

// NaN and the infinities give 0; otherwise truncation toward zero, the
// remainder modulo 2^32 keeping its sign, saturated to 32 bits (so
// 3000000000 gives 2147483647).
int32_t APMPToInt32(double value);
// The same 32 bits read as unsigned: -1 gives 4294967295, 3000000000 gives
// 2147483647.
inline uint32_t APMPToUint32(double value) { return static_cast<uint32_t>(APMPToInt32(value)); }
// NaN gives 0; zeros and infinities stay; otherwise truncation toward zero.
double APMPToInteger(double value);
// A position within `length` units that counts from the end when negative,
// clamped to 0 .. length. Doubles throughout, so huge or infinite positions
// clamp exactly; never NaN (as no `APMPToInteger` result is).
inline size_t APMPRelativePosition(double position, size_t length) {
  const auto count = static_cast<double>(length);
  return static_cast<size_t>(std::clamp(position < 0 ? position + count : position, 0.0, count));
}
// Strings, arrays, maps and functions (and their derived classes).
bool APMPValueHasMethods(const APMPRuntimeValue& value);
// A number, or a string whose number form is finite, whole and not negative.
bool APMPIsArrayIndex(const APMPRuntimeValue& value);
// Same type; numbers and booleans by number (NaN equals nothing), strings
// by text, anything else by identity.
bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b);

// One command of a set: its opcode and its routine.
struct APMPCommandEntry {
  std::u16string_view opcode;
  APMPCommandHandler handler;
};

// Evaluates `arguments` in order, holding the values where a collection
// sees them, then answers `use(values)` (not when an evaluation failed).
template <class Use>
APMPRuntimeValue APMPWithEvaluatedValues(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                         platform::ErrorRef& error, Use&& use) {
  if (arguments.size() <= 2) {
    // Most commands take one or two: no list to set up, and literals (a
    // variable's name, a constant) are counted and read in place.
    bool literals = true;
    for (const APMPRuntimeValue& argument : arguments) literals = literals && !argument.asStatement();
    if (literals) {
      for (size_t i = 0; i < arguments.size(); ++i) {
        if (!APMPCountInstruction(scope, error)) return {};
      }
      return use(arguments);
    }
    APMPRuntimeValue held[2];
    const std::span<const APMPRuntimeValue> values(held, arguments.size());
    const APMPActiveValues active(values);
    for (size_t i = 0; i < arguments.size(); ++i) {
      held[i] = APMPEvaluator::evaluateStatement(arguments[i], scope, error);
      if (error) return {};
    }
    return use(values);
  }
  APMPValueList values;
  if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
  return use(values.span());
}

// Routine wrapper for the sets that work on evaluated arguments: evaluates
// them, then calls `Handler` with the values (not when an evaluation failed).
template <APMPCommandHandler Handler>
APMPRuntimeValue APMPWithEvaluatedArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                            platform::ErrorRef& error) {
  return APMPWithEvaluatedValues(arguments, scope, error, [&scope, &error](std::span<const APMPRuntimeValue> values) {
    return Handler(values, scope, error);
  });
}

// Base of the command sets: a fixed table from opcode to routine. An opcode
// the set does not hold answers undefined.
class APMPCommandEvaluator {
 public:
  explicit APMPCommandEvaluator(std::span<const APMPCommandEntry> handlers = {}) : handlers_(handlers) {}
  virtual ~APMPCommandEvaluator() = default;

  APMPRuntimeValue evaluateCommand(std::u16string_view opcode, std::span<const APMPRuntimeValue> arguments,
                                   APMPScope& scope, platform::ErrorRef& error) const;
  std::vector<std::u16string> allSupportedCommands() const;
  std::span<const APMPCommandEntry> handlers() const noexcept { return handlers_; }

 private:
  std::span<const APMPCommandEntry> handlers_;
};

// Method calls, statement lists, blocks, break, continue, return, if,
// switch, the conditional expression, sequences and function definitions.
class APMPControlCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPControlCommandEvaluator();
};

// Loose and strict equality and the orderings.
class APMPComparisonCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPComparisonCommandEvaluator();
};

// Short-circuit and and or, and not.
class APMPLogicalCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPLogicalCommandEvaluator();
};

// Loops over property names and elements, the counted loop and the while
// loop.
class APMPLoopCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPLoopCommandEvaluator();
};

// Arithmetic in doubles, concatenation, and two pass-through forms.
class APMPMathCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPMathCommandEvaluator();
};

// The bitwise operators and shifts on 32-bit integers.
class APMPBitwiseCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPBitwiseCommandEvaluator();
};

// Declarations, reads and assignments of variables, array and map
// literals, property reads and writes, null, undefined and type names.
class APMPVariableCommandEvaluator final : public APMPCommandEvaluator {
 public:
  APMPVariableCommandEvaluator();
};

// Calls of script functions by name.
class APMPFunctionEvaluator {
 public:
  // The function bound to `functionName` in the scope's chain, invoked with
  // the unevaluated `arguments` in `scope`; a name bound to anything else,
  // or to nothing, answers undefined without an error.
  static APMPRuntimeValue evaluateCommand(std::u16string_view functionName,
                                          std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                          platform::ErrorRef& error);
};

// The process-wide table from opcode to command routine.
class APMPCommandRegistrar {
 public:
  // Made on first use, thread-safely, with every command set registered.
  static const APMPCommandRegistrar& sharedInstance();
  APMPCommandRegistrar();

  // Enters every opcode of the set; a later registration of an opcode
  // replaces the earlier one. Statements made before keep their routines.
  void registerEvaluator(const APMPCommandEvaluator& evaluator);
  // The routine of an opcode; null for any other name (a call of the script
  // function of that name).
  APMPCommandHandler handlerForFunctionName(std::u16string_view functionName) const;
  // The entry of an opcode (its text and routine, both fixed for the life
  // of the process); null for any other name.
  const std::pair<const std::u16string, APMPCommandHandler>* commandForFunctionName(
      std::u16string_view functionName) const;
  // The same for a name in UTF-8, as program messages carry it.
  const std::pair<const std::u16string, APMPCommandHandler>* commandForUtf8Name(std::string_view functionName) const;
  APMPRuntimeValue evaluateStatement(const APMPRuntimeValue& value, APMPScope& scope,
                                     platform::ErrorRef& error) const {
    return APMPEvaluator::evaluateStatement(value, scope, error);
  }

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const noexcept { return std::hash<std::u16string_view>{}(name); }
  };
  using Command = std::pair<const std::u16string, APMPCommandHandler>;
  std::unordered_map<std::u16string, APMPCommandHandler, NameHash, std::equal_to<>> commandEvaluators_;
  // The opcodes "0" to "99" by number, for names read from programs.
  std::array<const Command*, 100> byNumber_{};
};

// The evaluation loop, the command registrar and the shared routines.
#include "measurement/script/evaluator.h"

#include <pthread.h>
#include <time.h>

#include <cmath>
#include <limits>

#include "measurement/script/object_manager.h"
#include "platform/numbers.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

constinit thread_local int gAPMPNestedEvaluations = 0;
// The budget of this thread's run in progress and the memory account it
// counts for; null between runs.
constinit thread_local APMPScope::Budget* gRunBudget = nullptr;
constinit thread_local APMPMemoryAccount* gRunAccount = nullptr;

void APMPMemoryGrew(APMPMemoryAccount& account) noexcept {
  // Any other runtime's run sees the mark when it next starts or resumes.
  if (gRunBudget && gRunAccount == &account) gRunBudget->fence = 0;
}

namespace {

// A bound a test has set for its thread; 0 for the constant's.
constinit thread_local int64_t gRunCpuBoundForTesting = 0;

#if defined(CLOCK_MONOTONIC_COARSE)
constexpr clockid_t kCoarseClock = CLOCK_MONOTONIC_COARSE;
#else
constexpr clockid_t kCoarseClock = CLOCK_MONOTONIC;
#endif

// A monotonic clock read in a few nanoseconds, with a resolution of a few
// milliseconds at worst.
int64_t coarseNanoseconds() noexcept {
  timespec now{};
  clock_gettime(kCoarseClock, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

int64_t coarseResolution() noexcept {
  static const int64_t resolution = [] {
    timespec step{};
    if (clock_getres(kCoarseClock, &step) != 0) return int64_t{10'000'000};
    return int64_t{step.tv_sec} * 1'000'000'000 + step.tv_nsec;
  }();
  return resolution;
}

// The thread's processor time since `start`, a read of its clock; never
// negative, should the clock fail between two reads.
int64_t cpuSince(int64_t start) noexcept { return std::max<int64_t>(0, APMPThreadCpuNanoseconds() - start); }

// Measures the run in progress by the thread's processor clock from `now`
// (by the coarse clock) on. What the run used before is not known, and so
// not counted: the time that passed bounds it, and that only decides when
// the clock is read.
void startMeasuring(APMPScope::Budget& budget, int64_t now) noexcept {
  budget.unmeasured += now - budget.runStart;
  budget.runCpuStart = APMPThreadCpuNanoseconds();
  budget.usedAtRead = budget.cpuUsed;
  budget.readAt = now;
}

// Whether the runs of `budget` have used its processor time. Only what the
// thread's processor clock measured counts: time passed counts nothing,
// as the thread may have been preempted or stopped through it. But the
// thread uses no more processor time than passes, so the coarse clock
// (a few nanoseconds, where the processor clock takes a system call) tells
// when the processor clock need not be read yet: a run is measured from
// the look at which the budget's time so far could have reached an eighth
// of the bound, and read again whenever its last answer and the time
// passed since could reach the bound. The coarse clock may lag by its
// resolution, which these guesses add and no count ever does.
bool outOfRunTime(APMPScope::Budget& budget) noexcept {
  if (budget.runStart < 0) return false;
  const int64_t bound = APMPRunCpuBound();
  const int64_t now = coarseNanoseconds();
  if (budget.runCpuStart < 0) {
    const int64_t passed = now - budget.runStart;
    if (budget.cpuUsed + budget.unmeasured + passed + coarseResolution() <= bound / 8) return false;
    startMeasuring(budget, now);
    return budget.cpuUsed > bound;
  }
  if (budget.usedAtRead + (now - budget.readAt) + coarseResolution() <= bound) return false;
  budget.usedAtRead = budget.cpuUsed + cpuSince(budget.runCpuStart);
  budget.readAt = now;
  return budget.usedAtRead > bound;
}

// Ends the run: every later evaluation and charge of the budget fails
// with error 18 until the next reset.
void spend(APMPScope::Budget& budget, ErrorRef& error) noexcept {
  budget.instructions = kAPMPInstructionLimit;
  budget.work = kAPMPWorkLimit;
  budget.workFence = kAPMPWorkLimit;
  APMPSetError(error, kAPMPErrorLimit);
}

APMPMemoryAccount* accountOf(APMPScope& scope) noexcept {
  APMPObjectManager* manager = scope.objectManager();
  return manager ? &manager->memoryAccount() : nullptr;
}

}  // namespace

int64_t APMPThreadCpuNanoseconds() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

int64_t APMPRunCpuBound() noexcept {
  return gRunCpuBoundForTesting > 0 ? gRunCpuBoundForTesting : kAPMPMaxRunCpuNanoseconds;
}

void APMPSetRunCpuBoundForTesting(int64_t nanoseconds) noexcept { gRunCpuBoundForTesting = nanoseconds; }

APMPRunInProgress::APMPRunInProgress(APMPScope& scope) noexcept
    : budget_(&scope.budget()),
      account_(accountOf(scope)),
      counting_(account_),
      previousBudget_(gRunBudget),
      previousAccount_(gRunAccount),
      outermost_(budget_->runStart < 0) {
  APMPScope::Budget& budget = *budget_;
  gRunBudget = &budget;
  gRunAccount = account_;
  if (outermost_) {
    budget.runStart = coarseNanoseconds();
    budget.runCpuStart = -1;
    // A budget that has used a share of its bound (an event's earlier
    // callbacks) measures each later run whole, and looks at its first
    // evaluation: the run ends there if the bound is already spent.
    if (budget.cpuUsed + budget.unmeasured > APMPRunCpuBound() / 8) {
      startMeasuring(budget, budget.runStart);
      budget.fence = std::min(budget.fence, budget.instructions);
    } else {
      budget.fence = std::min(budget.fence, budget.instructions + kAPMPCpuLookInstructions);
    }
  }
  if (account_ && account_->measurementDue) budget.fence = 0;
}

APMPRunInProgress::~APMPRunInProgress() {
  APMPScope::Budget& budget = *budget_;
  // A reset in the middle of the run (no run of ours does one) leaves
  // nothing to add.
  if (outermost_ && budget.runStart >= 0) {
    if (budget.runCpuStart >= 0) {
      budget.cpuUsed += cpuSince(budget.runCpuStart);
    } else {
      budget.unmeasured += coarseNanoseconds() - budget.runStart;
    }
    budget.runStart = -1;
    budget.runCpuStart = -1;
  }
  gRunBudget = previousBudget_;
  gRunAccount = previousAccount_;
  // The run resumed may have been marked while this one ran.
  if (gRunBudget && gRunAccount && gRunAccount->measurementDue) gRunBudget->fence = 0;
}

bool APMPWithinRunTime(APMPScope& scope, ErrorRef& error) {
  APMPScope::Budget& budget = scope.budget();
  if (!outOfRunTime(budget)) return true;
  spend(budget, error);
  return false;
}

bool APMPChargeWorkAtFence(APMPScope& scope, uint64_t units, ErrorRef& error) {
  APMPScope::Budget& budget = scope.budget();
  if (units > kAPMPWorkLimit - budget.work) {
    APMPSetError(error, kAPMPErrorLimit);
    return false;
  }
  if (!APMPWithinRunTime(scope, error)) return false;
  budget.work += units;
  budget.workFence = budget.work + std::min(kAPMPCpuLookWork, kAPMPWorkLimit - budget.work);
  return true;
}

namespace {

// The lowest stack address at which this thread may still enter a level:
// `kAPMPStackReserve` above the end of its stack. The largest address
// until the thread's first look at its stack.
constinit thread_local uintptr_t gStackFloor = std::numeric_limits<uintptr_t>::max();

// The floor of this thread's stack (which grows downward on every target),
// or 0 when the stack cannot be found: the nesting count is then the only
// bound.
uintptr_t stackFloor() {
  uintptr_t low = 0;
  size_t size = 0;
#if defined(__APPLE__)
  size = pthread_get_stacksize_np(pthread_self());
  low = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(pthread_self())) - size;
#else
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* address = nullptr;
  if (pthread_attr_getstack(&attributes, &address, &size) == 0) low = reinterpret_cast<uintptr_t>(address);
  pthread_attr_destroy(&attributes);
#endif
  if (low == 0 || size == 0) return 0;
  // A stack smaller than twice the reserve keeps half of itself free.
  return low + std::min(kAPMPStackReserve, size / 2);
}

// What a runtime found holding more than this fails its run.
constexpr size_t kHeldBound = kAPMPMaxLiveBytes - kAPMPMaxLiveBytes / 8;

// Collects the runtime and answers what it holds, what its run keeps in
// native objects included. The runtime's next measurement comes when its
// values may have grown to fifteen sixteenths of the bound (a sixteenth is
// left for values freed since that had not been reached, whose bytes its
// count gives back): so never before a sixteenth of growth while the
// runtime keeps within it.
size_t measureHeld(APMPObjectManager& manager) {
  const APMPCellMemory::Counting counting(&manager.memoryAccount());
  const size_t held = manager.collectGarbageAndMeasure() + manager.memoryAccount().kept;
  constexpr size_t target = kAPMPMaxLiveBytes - kAPMPMaxLiveBytes / 16;
  APMPCellMemory::Growth& growth = APMPCellMemory::growth();
  growth.alarm = growth.live + (target - std::min(held, target));
  growth.reach = target;
  return held;
}

bool holdsWithinBound(APMPObjectManager& manager) { return measureHeld(manager) <= kHeldBound; }

size_t roomBesides(size_t held) { return kHeldBound - std::min(held, kHeldBound); }

}  // namespace

bool APMPCountAtFence(APMPScope& scope, ErrorRef& error, const Value* evaluated) {
  APMPScope::Budget& budget = scope.budget();
  uint32_t& count = budget.instructions;
  budget.fence = kAPMPInstructionLimit;
  APMPObjectManager* manager = scope.objectManager();
  if (budget.runStart >= 0 && count < kAPMPInstructionLimit) {
    if (outOfRunTime(budget)) {
      spend(budget, error);
      return false;
    }
    budget.fence = count + std::min(kAPMPCpuLookInstructions, kAPMPInstructionLimit - count);
  }
  // A spent budget ends the run anyway; the measurement waits for the next.
  if (manager && manager->memoryAccount().measurementDue && count < kAPMPInstructionLimit) {
    manager->memoryAccount().measurementDue = false;
    // Neither the scope nor the value is necessarily held by a running
    // evaluation yet.
    const APMPActiveValues heldScope(&scope);
    const APMPActiveValues heldValue(evaluated ? std::span<const Value>(evaluated, 1) : std::span<const Value>());
    // The whole budget goes: the run ends with this evaluation.
    if (!holdsWithinBound(*manager)) count = kAPMPInstructionLimit;
  }
  if (count >= kAPMPInstructionLimit) {
    APMPSetError(error, kAPMPErrorLimit);
    return false;
  }
  ++count;
  return true;
}

APMPMemoryRoom::APMPMemoryRoom(APMPScope& scope) noexcept : scope_(&scope), room_(kHeldBound) {
  if (APMPMemoryAccount* account = accountOf(scope)) {
    const APMPCellMemory::Counting counting(account);
    room_ = roomBesides(APMPCellMemory::growth().live + account->kept);
  }
}

bool APMPMemoryRoom::takeMeasured(size_t bytes, ErrorRef& error) {
  APMPObjectManager* manager = scope_->objectManager();
  if (manager && !measured_) {
    measured_ = true;
    const APMPActiveValues heldScope(scope_);
    room_ = roomBesides(measureHeld(*manager));
  }
  if (bytes > room_) {
    spend(scope_->budget(), error);
    return false;
  }
  room_ -= bytes;
  return true;
}

APMPWorkingBytes::APMPWorkingBytes(APMPScope& scope) noexcept : room_(scope), account_(accountOf(scope)) {}

bool APMPCanNestAtCheckpoint(ErrorRef& error) {
  if (gAPMPNestedEvaluations < kAPMPMaxNestedEvaluations) {
    if (gStackFloor == std::numeric_limits<uintptr_t>::max()) gStackFloor = stackFloor();
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // Far below the floor is not this thread's stack (a stack the host
    // switched to): nothing is known of its room there.
    if (here >= gStackFloor || gStackFloor - here > kAPMPStackReserve) return true;
  }
  APMPSetError(error, kAPMPErrorLimit);
  return false;
}

Value APMPEvaluator::callByName(const APMPStatementValue& statement, APMPScope& scope, ErrorRef& error) {
  return APMPFunctionEvaluator::evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
}

Value APMPEvaluator::executeStatements(std::span<const Value> statements, APMPScope& scope, ErrorRef& error) {
  Value result;
  for (const Value& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (error) return {};
    if (result.isControl()) break;
  }
  return result;
}

Value APMPEvaluator::executeStatements(APMPArrayValue& statements, APMPScope& scope, ErrorRef& error) {
  const APMPRef<APMPArrayValue> keep(&statements);
  const APMPActiveValues active(&statements);
  Value result;
  for (size_t i = 0; i < statements.count(); ++i) {
    const Value statement = statements.elementAt(i);
    result = evaluateStatement(statement, scope, error);
    if (error) return {};
    if (result.isControl()) break;
  }
  return result;
}

void APMPValueList::spill(Value value) {
  if (spilled_.empty()) {
    spilled_.reserve(2 * kInline);
    for (size_t i = 0; i < size_; ++i) spilled_.push_back(std::move(inlineData()[i]));
    std::destroy_n(inlineData(), size_);
  }
  spilled_.push_back(std::move(value));
  ++size_;
  active_.hold(span());
}

bool APMPEvaluateArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error,
                           APMPValueList& values) {
  for (const Value& argument : arguments) {
    values.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (error) return false;
  }
  return true;
}

int32_t APMPToInt32(double value) {
  if (!std::isfinite(value)) return 0;
  // fmod keeps the dividend's sign: a remainder, not a floor modulo.
  return platform::saturatingCast<int32_t>(std::fmod(std::trunc(value), 4294967296.0));
}

double APMPToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value == 0 || std::isinf(value)) return value;
  return std::trunc(value);
}

bool APMPValueHasMethods(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
    case Value::Type::Array:
    case Value::Type::Map:
    case Value::Type::Function:
      return true;
    default:
      return false;
  }
}

bool APMPIsArrayIndex(const Value& value) {
  if (!value.isNumber() && !value.asString()) return false;
  ErrorRef error;
  const double number = value.doubleValueOrError(error);
  return !error && std::isfinite(number) && number >= 0 && std::trunc(number) == number;
}

Value APMPCommandEvaluator::evaluateCommand(std::u16string_view opcode, std::span<const Value> arguments,
                                            APMPScope& scope, ErrorRef& error) const {
  for (const APMPCommandEntry& entry : handlers_) {
    if (entry.opcode == opcode) return entry.handler(arguments, scope, error);
  }
  return {};
}

std::vector<std::u16string> APMPCommandEvaluator::allSupportedCommands() const {
  std::vector<std::u16string> opcodes;
  for (const APMPCommandEntry& entry : handlers_) opcodes.emplace_back(entry.opcode);
  return opcodes;
}

Value APMPFunctionEvaluator::evaluateCommand(std::u16string_view functionName, std::span<const Value> arguments,
                                             APMPScope& scope, ErrorRef& error) {
  const Value callee = scope.valueForName(functionName);
  APMPFunctionValue* function = callee.asFunction();
  if (!function) return {};
  // Evaluating the arguments may unbind the name.
  const APMPActiveValues active(function);
  return function->invokeWithArguments(arguments, scope, error);
}

APMPCommandRegistrar::APMPCommandRegistrar() {
  // The sets in their order of registration; no opcode is in two of them.
  registerEvaluator(APMPBitwiseCommandEvaluator());
  registerEvaluator(APMPComparisonCommandEvaluator());
  registerEvaluator(APMPControlCommandEvaluator());
  registerEvaluator(APMPLogicalCommandEvaluator());
  registerEvaluator(APMPLoopCommandEvaluator());
  registerEvaluator(APMPMathCommandEvaluator());
  registerEvaluator(APMPVariableCommandEvaluator());
}

const APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  // Never destroyed: statements point at its opcode texts and may outlive
  // the destruction of statics at exit.
  static const APMPCommandRegistrar* const registrar = new APMPCommandRegistrar();
  return *registrar;
}

namespace {

// The number of an opcode of one or two digits ("0" to "99"; "05" is a
// function name, not the opcode "5"); -1 for any other name.
template <class Unit>
int opcodeNumber(std::basic_string_view<Unit> name) {
  const auto digit = [name](size_t i) { return name[i] >= Unit('0') && name[i] <= Unit('9'); };
  if (name.size() == 1 && digit(0)) return name[0] - Unit('0');
  if (name.size() == 2 && digit(0) && digit(1) && name[0] != Unit('0')) {
    return (name[0] - Unit('0')) * 10 + (name[1] - Unit('0'));
  }
  return -1;
}

}  // namespace

void APMPCommandRegistrar::registerEvaluator(const APMPCommandEvaluator& evaluator) {
  for (const APMPCommandEntry& entry : evaluator.handlers()) {
    // Map nodes stay where they are: the pointer survives later inserts.
    const auto [command, inserted] = commandEvaluators_.insert_or_assign(std::u16string(entry.opcode), entry.handler);
    if (const int number = opcodeNumber(entry.opcode); number >= 0) byNumber_[number] = &*command;
  }
}

APMPCommandHandler APMPCommandRegistrar::handlerForFunctionName(std::u16string_view functionName) const {
  const auto* command = commandForFunctionName(functionName);
  return command ? command->second : nullptr;
}

const std::pair<const std::u16string, APMPCommandHandler>* APMPCommandRegistrar::commandForUtf8Name(
    std::string_view functionName) const {
  if (const int number = opcodeNumber(functionName); number >= 0) return byNumber_[number];
  // Every opcode is ASCII; any other name goes through the table.
  std::u16string text;
  for (char unit : functionName) {
    if (static_cast<unsigned char>(unit) >= 0x80) return nullptr;
    text.push_back(static_cast<char16_t>(unit));
  }
  return commandForFunctionName(text);
}

const std::pair<const std::u16string, APMPCommandHandler>* APMPCommandRegistrar::commandForFunctionName(
    std::u16string_view functionName) const {
  auto it = commandEvaluators_.find(functionName);
  return it == commandEvaluators_.end() ? nullptr : &*it;
}

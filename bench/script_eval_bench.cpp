// Cost of one evaluation in the script runtime: a long straight-line program
// of comparisons, ifs, conditional expressions and sequences, already
// converted, run in a run scope. Each evaluation (a literal or a statement)
// counts once; the rate reported is evaluations per second. The baseline
// does the same comparisons in plain C++, so the ratio shows what the
// interpreter adds.
#include <benchmark/benchmark.h>

#include <vector>

#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime.h"

namespace {

using Entity = APMPProgramEntity;
using Value = APMPRuntimeValue;

Entity num(double value) { return Entity::number(value); }
Entity str(const char* text) { return Entity::string(text); }
Entity boolean(bool value) { return Entity::boolean(value); }
Entity stmt(const char* name, std::vector<Entity> operands) {
  return Entity::statement(name, std::move(operands));
}


// if (i < i + 1) { true ? "a" === "a" : 0 } else { i != "x" }, with the
// branches alternating through sequences and loose comparisons.
std::vector<Value> straightLineProgram(int statements) {
  std::vector<Value> program;
  for (int i = 0; i < statements; ++i) {
    const double n = i;
    Entity statement =
        stmt("22", {stmt("23", {num(n), num(n + (i % 3) - 1)}),
                    stmt("39", {boolean(i % 2), stmt("20", {str("a"), str("a")}), num(0)}),
                    stmt("13", {stmt("29", {num(n), str("x")}), stmt("12", {num(n), num(n)})})});
    platform::ErrorRef error;
    program.push_back(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(statement, &error));
  }
  return program;
}

void BM_StraightLineEvaluations(benchmark::State& state) {
  APMPRuntime runtime;
  const std::vector<Value> program = straightLineProgram(static_cast<int>(state.range(0)));
  APMPRef<APMPScope> scope = runtime.getRunScope();
  int64_t evaluations = 0;
  for (auto _ : state) {
    runtime.resetInstructionCount();
    platform::ErrorRef error;
    benchmark::DoNotOptimize(APMPEvaluator::executeStatements(program, *scope, error));
    if (error) state.SkipWithError("the program failed");
    evaluations += runtime.getInstructionCount();
  }
  state.SetItemsProcessed(evaluations);
  state.counters["ns_per_evaluation"] =
      benchmark::Counter(static_cast<double>(evaluations), benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                         benchmark::Counter::OneK::kIs1000);
}
// 1,000 statements (about 9,000 evaluations) stay in the core's caches;
// 10,000 do not.
BENCHMARK(BM_StraightLineEvaluations)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The same decisions in plain C++ over the same numbers.
void BM_NativeBaseline(benchmark::State& state) {
  const int statements = static_cast<int>(state.range(0));
  std::vector<double> numbers(statements);
  for (int i = 0; i < statements; ++i) numbers[i] = i;
  for (auto _ : state) {
    int taken = 0;
    for (int i = 0; i < statements; ++i) {
      const double n = numbers[i];
      if (n < n + (i % 3) - 1) {
        taken += (i % 2) ? 1 : 0;
      } else {
        taken += (n == n) ? 2 : 3;
      }
      benchmark::DoNotOptimize(taken);
    }
  }
  state.SetItemsProcessed(state.iterations() * statements);
}
BENCHMARK(BM_NativeBaseline)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

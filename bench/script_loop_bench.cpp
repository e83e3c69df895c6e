// Cost of one iteration of a counted loop in the script runtime,
//   for (i = 0; i < n; i = i + 1) s = s + i * 2
// in the program form (about 20 evaluations per iteration: the condition,
// the update and the body, each a tree of statements and literals, and a
// fresh iteration scope holding a copy of i), and, when the bench is built
// with MuJS, the same loop in that embeddable JavaScript interpreter,
// measured in the same run. Both report ns_per_iteration; with MuJS the
// summary gives the speed ratio of ours against each of its two forms.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/program_nodes.h"
#include "bench/ratio_reporter.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime.h"

#ifdef APM_BENCH_HAVE_MUJS
#include <mujs.h>
#endif

namespace {

using namespace bench_nodes;
using Value = APMPRuntimeValue;

Entity assign(const char* name, Entity value) { return stmt("3", {str(name), std::move(value)}); }

// Iterations per run: the loop's evaluations stay within one instruction
// budget.
constexpr int kIterations = 10000;

void setIterations(benchmark::State& state, int64_t iterations) {
  state.counters["ns_per_iteration"] = benchmark::Counter(static_cast<double>(iterations),
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                                                          benchmark::Counter::OneK::kIs1000);
}

void BM_CountedLoopProgram(benchmark::State& state) {
  APMPRuntime runtime;
  APMPRef<APMPScope> scope = runtime.getRunScope();
  platform::ErrorRef error;
  auto convert = [&](const Entity& entity) {
    return APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &error);
  };
  for (const char* name : {"i", "s", "n"}) scope->addValue(Value::number(0), std::u16string(name, name + 1));
  scope->setValue(Value::number(kIterations), u"n");
  const Value reset = convert(assign("s", num(0)));
  const Value loop = convert(stmt(
      "63", {stmt("46", {str("i")}), stmt("23", {var("i"), var("n")}), assign("i", stmt("0", {var("i"), num(1)})),
             stmt("46", {assign("s", stmt("0", {var("s"), stmt("26", {var("i"), num(2)})}))})}));
  int64_t iterations = 0;
  for (auto _ : state) {
    runtime.resetInstructionCount();
    APMPEvaluator::evaluateStatement(reset, *scope, error);
    APMPEvaluator::evaluateStatement(loop, *scope, error);
    iterations += kIterations;
  }
  const double expected = static_cast<double>(kIterations) * (kIterations - 1);
  if (error || scope->valueForName(u"s").numberValue() != expected) state.SkipWithError("the loop went wrong");
  setIterations(state, iterations);
}
BENCHMARK(BM_CountedLoopProgram)->Unit(benchmark::kMicrosecond);

#ifdef APM_BENCH_HAVE_MUJS
// The loop as written, at the top level of a script compiled once: i, s and
// n are global variables, as ours are variables of a scope.
void BM_CountedLoopMuJS(benchmark::State& state) {
  js_State* J = js_newstate(nullptr, nullptr, JS_STRICT);
  for (const char* name : {"i", "s"}) {
    js_pushnumber(J, 0);
    js_setglobal(J, name);
  }
  js_pushnumber(J, kIterations);
  js_setglobal(J, "n");
  js_loadstring(J, "loop", "s = 0; for (i = 0; i < n; i = i + 1) s = s + i * 2;");
  int64_t iterations = 0;
  for (auto _ : state) {
    js_copy(J, -1);
    js_pushundefined(J);
    js_call(J, 0);
    js_pop(J, 1);
    iterations += kIterations;
  }
  js_getglobal(J, "s");
  if (js_tonumber(J, -1) != static_cast<double>(kIterations) * (kIterations - 1)) state.SkipWithError("the loop went wrong");
  js_freestate(J);
  setIterations(state, iterations);
}
BENCHMARK(BM_CountedLoopMuJS)->Unit(benchmark::kMicrosecond);

// The same loop over local variables of a function, which MuJS keeps in
// registers of its own: the most favourable form for it.
void BM_CountedLoopMuJSLocals(benchmark::State& state) {
  js_State* J = js_newstate(nullptr, nullptr, JS_STRICT);
  js_dostring(J, "function run(n) { var s = 0; for (var i = 0; i < n; i = i + 1) s = s + i * 2; return s; }");
  int64_t iterations = 0;
  double s = 0;
  for (auto _ : state) {
    js_getglobal(J, "run");
    js_pushundefined(J);
    js_pushnumber(J, kIterations);
    js_call(J, 1);
    s = js_tonumber(J, -1);
    js_pop(J, 1);
    iterations += kIterations;
  }
  if (s != static_cast<double>(kIterations) * (kIterations - 1)) state.SkipWithError("the loop went wrong");
  js_freestate(J);
  setIterations(state, iterations);
}
BENCHMARK(BM_CountedLoopMuJSLocals)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

// Each side runs kIterations loop iterations per benchmark iteration.
int main(int argc, char** argv) {
  return runPairedBenchmarks(argc, argv,
                             {{"counted loop, ours against MuJS (same run)",
                               {{"against MuJS, global variables", "BM_CountedLoopProgram", "BM_CountedLoopMuJS"},
                                {"against MuJS, function locals", "BM_CountedLoopProgram",
                                 "BM_CountedLoopMuJSLocals"}}}});
}

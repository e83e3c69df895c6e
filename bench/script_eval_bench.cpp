// Cost of a statement in the script runtime, and of loading a program.
//
// The program is a long straight-line list of statements, each
//   if (n < m) b ? "a" === "a" : 0; else n != "x", n == n;
// (an if over a comparison, a conditional expression and a sequence: eight
// or nine evaluations). Running it reports ns_per_statement at 1,000, 10,000 and
// 30,000 statements: a converted program lies in memory in the order it
// runs, so the cost should not grow with the program. Loading reports
// ns_per_statement for the way from the Program message's wire bytes to
// runnable values (decode, then conversion), and for the conversion alone.
// The baseline does the same
// decisions in plain C++.
//
// When the bench is built with MuJS (an embeddable JavaScript interpreter,
// bench-only and optional), the same statements as JavaScript text are
// compiled (beside our load) and run (beside our run), in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/program_nodes.h"
#include "bench/ratio_reporter.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime.h"

#ifdef APM_BENCH_HAVE_MUJS
#include <mujs.h>
#endif

namespace {

using namespace bench_nodes;
using Value = APMPRuntimeValue;

const int kSizes[] = {1000, 10000, 30000};

// Statement i of the program: its numbers and its branch.
struct Line {
  double n, m;
  bool b;
};
Line line(int i) { return {static_cast<double>(i), static_cast<double>(i + (i % 3) - 1), i % 2 != 0}; }

std::vector<Entity> programEntities(int statements) {
  std::vector<Entity> program;
  program.reserve(statements);
  for (int i = 0; i < statements; ++i) {
    const Line l = line(i);
    program.push_back(stmt("22", {stmt("23", {num(l.n), num(l.m)}),
                                  stmt("39", {boolean(l.b), stmt("20", {str("a"), str("a")}), num(0)}),
                                  stmt("13", {stmt("29", {num(l.n), str("x")}), stmt("12", {num(l.n), num(l.n)})})}));
  }
  return program;
}

// Statements [first, end) as JavaScript.
[[maybe_unused]] std::string programText(int first, int end) {
  std::string text;
  char buffer[160];
  for (int i = first; i < end; ++i) {
    const Line l = line(i);
    std::snprintf(buffer, sizeof buffer, "if (%.0f < %.0f) %s ? \"a\" === \"a\" : 0; else %.0f != \"x\", %.0f == %.0f;\n",
                  l.n, l.m, l.b ? "true" : "false", l.n, l.n, l.n);
    text += buffer;
  }
  return text;
}

// The wire bytes of a Program message holding the statements.
std::shared_ptr<APMPBRuntimeEntity> toMessage(const Entity& entity) {
  auto message = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  APMNanoSetInt32(*message, RuntimeEntityField::type, entity.type);
  if (entity.name) APMNanoSetString(*message, RuntimeEntityField::name, *entity.name);
  if (entity.stringValue) APMNanoSetString(*message, RuntimeEntityField::string_value, *entity.stringValue);
  if (entity.booleanValue) APMNanoSetBool(*message, RuntimeEntityField::boolean_value, *entity.booleanValue);
  if (entity.numberValue) APMNanoSetDouble(*message, RuntimeEntityField::number_value, *entity.numberValue);
  std::vector<APMNanoValue> operands;
  for (const Entity& operand : entity.value) operands.emplace_back(toMessage(operand));
  if (!operands.empty()) APMNanoSetRepeated(*message, RuntimeEntityField::value, &operands);
  return message;
}
platform::Bytes programBytes(int statements) {
  std::vector<APMNanoValue> instructions;
  for (const Entity& entity : programEntities(statements)) instructions.emplace_back(toMessage(entity));
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  APMNanoSetRepeated(*program, ProgramField::instructions, &instructions);
  return program->protoBuffer().value_or(platform::Bytes());
}

void perStatement(benchmark::State& state, int statements) {
  state.SetItemsProcessed(state.iterations() * statements);
  state.counters["ns_per_statement"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * statements,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}

// The program converted as the runtime loads it, run in a run scope.
void runProgram(benchmark::State& state, int statements) {
  APMPRuntime runtime;
  const APMPConvertedStatements program =
      APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(programEntities(statements));
  APMPRef<APMPScope> scope = runtime.getRunScope();
  for (auto _ : state) {
    runtime.resetInstructionCount();
    platform::ErrorRef error;
    benchmark::DoNotOptimize(APMPEvaluator::executeStatements(program.values, *scope, error));
    if (error) state.SkipWithError("the program failed");
  }
  perStatement(state, statements);
}

// Converts the program's instructions; false unless all of them did.
bool converts(const APMPBProgram& program, int statements) {
  const APMPConvertedStatements converted =
      APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(APMPProgramInstructions(program));
  return !converted.error && converted.values.size() == static_cast<size_t>(statements);
}

// Decoding the wire bytes and converting the instructions.
void loadProgram(benchmark::State& state, int statements) {
  const platform::Bytes bytes = programBytes(statements);
  for (auto _ : state) {
    const auto program = APMPBProgram::initWithBuffer(bytes);
    if (!program || !converts(*program, statements)) state.SkipWithError("the program did not load");
  }
  perStatement(state, statements);
}

// The conversion alone, from the decoded record.
void convertProgram(benchmark::State& state, int statements) {
  const auto program = APMPBProgram::initWithBuffer(programBytes(statements));
  for (auto _ : state) {
    if (!converts(*program, statements)) state.SkipWithError("the program did not convert");
  }
  perStatement(state, statements);
}

// The same decisions in plain C++ over the same numbers.
void nativeBaseline(benchmark::State& state, int statements) {
  std::vector<Line> lines;
  for (int i = 0; i < statements; ++i) lines.push_back(line(i));
  for (auto _ : state) {
    int taken = 0;
    for (const Line& l : lines) {
      taken += l.n < l.m ? (l.b ? 1 : 0) : (l.n == l.n ? 2 : 3);
      benchmark::DoNotOptimize(taken);
    }
  }
  perStatement(state, statements);
}

#ifdef APM_BENCH_HAVE_MUJS
// MuJS refuses a script this long (its jumps have 16-bit offsets), so a
// program is given to it as scripts of at most 1,000 statements.
constexpr int kMuJSScript = 1000;

std::vector<std::string> scriptTexts(int statements) {
  std::vector<std::string> scripts;
  for (int first = 0; first < statements; first += kMuJSScript) {
    scripts.push_back(programText(first, std::min(statements, first + kMuJSScript)));
  }
  return scripts;
}

void runMuJS(benchmark::State& state, int statements) {
  js_State* J = js_newstate(nullptr, nullptr, JS_STRICT);
  const std::vector<std::string> scripts = scriptTexts(statements);
  for (const std::string& script : scripts) {
    if (js_ploadstring(J, "program", script.c_str()) != 0) state.SkipWithError("the program did not compile");
  }
  const int count = static_cast<int>(scripts.size());
  for (auto _ : state) {
    for (int i = 0; i < count; ++i) {
      js_copy(J, i - count);
      js_pushundefined(J);
      js_call(J, 0);
      js_pop(J, 1);
    }
  }
  js_freestate(J);
  perStatement(state, statements);
}

void compileMuJS(benchmark::State& state, int statements) {
  js_State* J = js_newstate(nullptr, nullptr, JS_STRICT);
  const std::vector<std::string> scripts = scriptTexts(statements);
  for (auto _ : state) {
    for (const std::string& script : scripts) {
      if (js_ploadstring(J, "program", script.c_str()) != 0) state.SkipWithError("the program did not compile");
      js_pop(J, 1);
    }
  }
  js_freestate(J);
  perStatement(state, statements);
}
#endif

std::string name(const char* what, int statements) { return std::string(what) + "/" + std::to_string(statements); }

}  // namespace

int main(int argc, char** argv) {
  struct Kind {
    const char* name;
    void (*run)(benchmark::State&, int);
  };
  const std::vector<Kind> kinds = {{"BM_RunProgram", runProgram},
                                   {"BM_NativeBaseline", nativeBaseline},
                                   {"BM_LoadProgram", loadProgram},
                                   {"BM_ConvertProgram", convertProgram},
#ifdef APM_BENCH_HAVE_MUJS
                                   {"BM_RunMuJS", runMuJS},
                                   {"BM_CompileMuJS", compileMuJS},
#endif
  };
  for (const Kind& kind : kinds) {
    for (int statements : kSizes) {
      benchmark::RegisterBenchmark(name(kind.name, statements).c_str(), kind.run, statements)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  // Speed ratios per statement: each size against the smallest program
  // (1.00: no growth), against the same decisions in plain C++, and
  // against MuJS at each size.
  RatioSection growth{"per statement, each size against 1,000 statements", {}};
  RatioSection native{"run against the same decisions in plain C++", {}};
  RatioSection peer{"ours against MuJS", {}};
  for (int statements : kSizes) {
    const double scale = static_cast<double>(statements) / kSizes[0];
    const std::string size = std::to_string(statements);
    if (statements != kSizes[0]) {
      growth.lines.push_back({"run, " + size + " against 1000", name("BM_RunProgram", statements),
                              name("BM_RunProgram", kSizes[0]), scale});
      growth.lines.push_back({"load, " + size + " against 1000", name("BM_LoadProgram", statements),
                              name("BM_LoadProgram", kSizes[0]), scale});
    }
    native.lines.push_back({"run, " + size, name("BM_RunProgram", statements), name("BM_NativeBaseline", statements)});
    peer.lines.push_back({"run against MuJS run, " + size, name("BM_RunProgram", statements),
                          name("BM_RunMuJS", statements)});
    peer.lines.push_back({"load against MuJS compile, " + size, name("BM_LoadProgram", statements),
                          name("BM_CompileMuJS", statements)});
  }
  return runPairedBenchmarks(argc, argv, {growth, native, peer});
}

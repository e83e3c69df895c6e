// `RatioReporter`: the console reporter of the paired benchmarks. It keeps
// each benchmark's time per iteration (the median when repetitions were
// asked for, else the one run) so that, once all have run, each pair can be
// printed as one ratio measured in the same run; `runPairedBenchmarks` is
// the main() of such a program.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !times_.count(run.run_name.function_name)) {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // "<title>  <measured / baseline>x"; nothing when either did not run.
  // `scale` puts the two on the same footing (items per iteration).
  void printRatio(const char* title, const std::string& measured, const std::string& baseline, double scale = 1) {
    if (!times_.count(measured) || !times_.count(baseline)) return;
    std::printf("%-44s %6.2fx\n", title, times_[measured] / times_[baseline] * scale);
  }

 private:
  std::map<std::string, double> times_;
};

// One line of a paired benchmark's summary: `measured` against `baseline`.
struct RatioLine {
  std::string title;
  std::string measured;
  std::string baseline;
  double scale = 1;
};

// A heading and the ratio lines printed under it.
struct RatioSection {
  std::string heading;
  std::vector<RatioLine> lines;
};

// Runs the benchmarks the command line selects, then prints each section:
// "\n<heading>:" and one ratio per line.
inline int runPairedBenchmarks(int argc, char** argv, const std::vector<RatioSection>& sections) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const RatioSection& section : sections) {
    std::printf("\n%s:\n", section.heading.c_str());
    for (const RatioLine& line : section.lines) {
      reporter.printRatio(line.title.c_str(), line.measured, line.baseline, line.scale);
    }
  }
  benchmark::Shutdown();
  return 0;
}

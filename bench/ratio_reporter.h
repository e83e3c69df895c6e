// `RatioReporter`: the console reporter of the paired benchmarks. It keeps
// each benchmark's time per iteration (the median when repetitions were
// asked for, else the one run) so that, once all have run, each pair can be
// printed as one ratio measured in the same run.
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

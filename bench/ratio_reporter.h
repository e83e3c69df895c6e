// The main() of every benchmark program, and the one kind of ratio they
// print.
//
// Speed ratio: the baseline's time over ours for the same work, measured in
// the same run, so that a busy machine slows both sides alike. Above 1 ours
// is faster (2.00x: it takes half the baseline's time); below 1 it is
// slower (0.50x: twice the baseline's time). Counters named
// "speed_vs_<baseline>" and the lines of the summary printed after the runs
// are all speed ratios.
//
// Every ratio is printed as a plain decimal with an "x": two decimals from
// 0.1 up, three significant digits below (0.00528x), never with the
// table's SI suffix ("5.28m") or an exponent.
//
// `RatioReporter` is the console reporter: it prints each benchmark's
// "speed_vs_" counters as such decimals at the end of its line, and keeps
// them and each benchmark's time per iteration (the median when
// repetitions were asked for, else the one run) so that, once all have
// run, each pair can be printed as one ratio under its heading.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// Ours against a baseline timed in the same run; see above.
inline double speedRatio(double baselineSeconds, double ourSeconds) { return baselineSeconds / ourSeconds; }

// "<ratio>x" as a plain decimal; see above.
inline std::string ratioText(double ratio) {
  int decimals = 2;
  if (std::isfinite(ratio) && ratio > 0 && ratio < 0.1) {
    decimals = std::min(12, 2 - static_cast<int>(std::floor(std::log10(ratio))));
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.*fx", decimals, ratio);
  return text;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string& name = run.run_name.function_name;
      const bool first = run.run_type == Run::RT_Iteration && !times_.count(name);
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!first && !median) continue;
      times_[name] = run.GetAdjustedRealTime();
      for (const auto& [counter, value] : run.counters) {
        if (counter.rfind(kCounterPrefix, 0) != 0) continue;
        const std::string title = name + " against " + counter.substr(std::strlen(kCounterPrefix));
        if (!counterRatios_.count(title)) counterOrder_.push_back(title);
        counterRatios_[title] = value.value;
      }
    }
    ConsoleReporter::ReportRuns(withRatiosInLabels(runs));
  }

  bool ran(const std::string& name) const { return times_.count(name) != 0; }

  // "<title>  <speed ratio>x". `scale` is the measured side's work per
  // iteration over the baseline's (items per iteration), so that unequal
  // amounts of work compare per item.
  void printRatio(const char* title, const std::string& measured, const std::string& baseline, double scale = 1) {
    if (!ran(measured) || !ran(baseline)) return;
    printLine(title, speedRatio(times_[baseline], times_[measured]) * scale);
  }

  // The "speed_vs_<baseline>" counters, as "<benchmark> against <baseline>".
  bool hasCounterRatios() const { return !counterOrder_.empty(); }
  void printCounterRatios() {
    for (const std::string& title : counterOrder_) printLine(title.c_str(), counterRatios_[title]);
  }

  static constexpr const char* kCounterPrefix = "speed_vs_";

 private:
  static void printLine(const char* title, double ratio) {
    std::printf("%-48s %9s\n", title, ratioText(ratio).c_str());
  }

  // The runs with their "speed_vs_" counters moved to the end of the label
  // as "speed_vs_<baseline>=<ratio>x", which the table prints as it stands.
  // A coefficient of variation stays a counter: the table prints it as a
  // percentage.
  static std::vector<Run> withRatiosInLabels(std::vector<Run> runs) {
    for (Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_unit == benchmark::kPercentage) continue;
      for (auto it = run.counters.begin(); it != run.counters.end();) {
        if (it->first.rfind(kCounterPrefix, 0) != 0) {
          ++it;
          continue;
        }
        if (!run.report_label.empty()) run.report_label += ' ';
        run.report_label += it->first + "=" + ratioText(it->second.value);
        it = run.counters.erase(it);
      }
    }
    return runs;
  }

  std::map<std::string, double> times_;
  std::map<std::string, double> counterRatios_;
  std::vector<std::string> counterOrder_;
};

// One line of the summary: `measured` (ours) against `baseline`.
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

// Colour codes only on a terminal: a file or a pipe gets plain text. An
// explicit --benchmark_color=<yes|no> decides instead. (A reporter of our
// own is not given the library's choice, which would colour every output.)
inline bool benchmarkColour(int argc, char** argv) {
  bool colour = isatty(STDOUT_FILENO) != 0;
  const char* flag = "--benchmark_color=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], flag, std::strlen(flag)) != 0) continue;
    const std::string value = argv[i] + std::strlen(flag);
    if (value == "true" || value == "yes" || value == "1") colour = true;
    if (value == "false" || value == "no" || value == "0") colour = false;
  }
  return colour;
}

// Counters in columns only when asked for, as the library's own reporter.
inline bool benchmarkTabular(int argc, char** argv) {
  bool tabular = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--benchmark_counters_tabular=true" || arg == "--benchmark_counters_tabular") tabular = true;
    if (arg == "--benchmark_counters_tabular=false") tabular = false;
  }
  return tabular;
}

// Runs the benchmarks the command line selects, then prints each section
// that has a ratio to show: "\n<heading>:" and one speed ratio per line.
inline int runPairedBenchmarks(int argc, char** argv, const std::vector<RatioSection>& sections) {
  int options = benchmark::ConsoleReporter::OO_None;
  if (benchmarkColour(argc, argv)) options |= benchmark::ConsoleReporter::OO_Color;
  if (benchmarkTabular(argc, argv)) options |= benchmark::ConsoleReporter::OO_Tabular;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(static_cast<benchmark::ConsoleReporter::OutputOptions>(options));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  bool explained = false;
  auto explain = [&] {
    if (!explained) std::printf("\nspeed ratios: the baseline's time over ours, same run; above 1 ours is faster\n");
    explained = true;
  };
  if (reporter.hasCounterRatios()) {
    explain();
    std::printf("\nmeasured within each benchmark:\n");
    reporter.printCounterRatios();
  }
  for (const RatioSection& section : sections) {
    bool any = false;
    for (const RatioLine& line : section.lines) any = any || (reporter.ran(line.measured) && reporter.ran(line.baseline));
    if (!any) continue;
    explain();
    std::printf("\n%s:\n", section.heading.c_str());
    for (const RatioLine& line : section.lines) {
      reporter.printRatio(line.title.c_str(), line.measured, line.baseline, line.scale);
    }
  }
  benchmark::Shutdown();
  return 0;
}

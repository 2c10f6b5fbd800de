#pragma once
// Runs the benchmarks of a program and keeps each run's throughput (bytes per second), so
// that the program can print its ratios against a reference measured in the same run: of
// the medians when the runs are repeated, else of the single runs.

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace morvane::bench {

// Run name ("BM_Scrape/first") -> bytes per second.
using Throughputs = std::map<std::string, double>;

class ThroughputReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto bytes = run.counters.find("bytes_per_second");
      if (run.error_occurred || bytes == run.counters.end()) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      throughput_[run.aggregate_name][run.run_name.str()] = bytes->second.value;
    }
  }

  Throughputs Result() const {
    for (const char* kind : {"median", ""}) {
      const auto found = throughput_.find(kind);
      if (found != throughput_.end()) return found->second;
    }
    return {};
  }

 private:
  // aggregate name ("" for single runs) -> run name -> bytes per second
  std::map<std::string, Throughputs> throughput_;
};

// The body of a benchmark program's main: runs what the command line selects, then hands
// the throughputs to `printRatios`.
inline int RunAndPrintRatios(int argc, char** argv,
                             const std::function<void(const Throughputs&)>& printRatios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ThroughputReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter.Result());
  benchmark::Shutdown();
  return 0;
}

}  // namespace morvane::bench

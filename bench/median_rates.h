// A console reporter that also remembers each run's counters (items per
// second among them), so a benchmark program can print ratios of the
// medians measured in one run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/core/error.h"

namespace bench {

class MedianRates : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      for (const auto& [name, counter] : run.counters) {
        counters_[run.benchmark_name()][name] = counter.value;
      }
    }
  }

  // The median items per second of the benchmark whose name begins with
  // prefix (and, when given, ends with ending before "_median"); 0 when
  // none ran.
  double Median(const std::string& prefix, const std::string& ending = "") const {
    return MedianOf(prefix, ending, "items_per_second");
  }

  // The median of one of its counters.
  double MedianOf(const std::string& prefix, const std::string& ending,
                  const std::string& counter) const {
    const std::string suffix = ending + "_median";
    for (const auto& [name, values] : counters_) {
      if (name.rfind(prefix, 0) == 0 && name.size() >= prefix.size() + suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        auto it = values.find(counter);
        return it == values.end() ? 0 : it->second;
      }
    }
    return 0;
  }

 private:
  std::map<std::string, std::map<std::string, double>> counters_;
};

// Reads the command line like benchmark::Initialize; false, after saying
// what was not understood, when it holds anything else. The repetitions of
// all benchmarks are run in a random interleaved order (unless the command
// line says otherwise), so that a machine that is slower for a while slows
// the baseline and the measured alike and the ratios stay steady.
inline bool Initialize(int argc, char** argv) {
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> args(argv, argv + argc);
  args.insert(args.begin() + (argc > 0 ? 1 : 0), interleave);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

// Configures b for a ratio against a baseline in the same program: timed
// by the clock on the wall, its median over many short repetitions, which
// Initialize interleaves with the baseline's. A host that is slower for a
// second or two (fsync times, a busy neighbour) then slows a few
// repetitions of each side instead of all of one, and the median ignores
// them. Three long repetitions each left ratios that moved by up to a
// quarter from one run to the next; changes slower than a run still show.
// Use: BENCHMARK(BM_Something)->Apply(bench::Steady).
inline void Steady(benchmark::internal::Benchmark* b) {
  b->MinTime(0.4)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
}

// Runs the benchmarks the command line selects, reporting to reporter.
// False, after saying why on standard error as program, when the command
// line is not understood or a benchmark failed with a run-time error.
inline bool RunBenchmarks(int* argc, char** argv, const char* program, MedianRates& reporter) {
  if (!Initialize(*argc, argv)) return false;
  try {
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } catch (const core::RuntimeError& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.Description().c_str());
    return false;
  }
  return true;
}

}  // namespace bench

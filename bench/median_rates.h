// A console reporter that also remembers each run's items per second, so a
// benchmark program can print ratios of the medians measured in one run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class MedianRates : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }

  // The median items per second of the benchmark whose name begins with
  // prefix; 0 when none ran.
  double Median(const std::string& prefix) const {
    static const std::string kSuffix = "_median";
    for (const auto& [name, rate] : rates_) {
      if (name.rfind(prefix, 0) == 0 && name.size() >= kSuffix.size() &&
          name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
        return rate;
      }
    }
    return 0;
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace bench

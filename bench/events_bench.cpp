// Deliveries per second with Zenthra.dll registered on the Inbox, against the
// same deliveries into a mailbox without a registration, in the same run on
// the same disk; once for messages without the marker attachment and once
// for marked ones (which the sink moves into Spam). Prints both ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/median_rates.h"
#include "bench/sink_root.h"
#include "platform/complus/activation.h"
#include "platform/core/error.h"
#include "platform/store/store.h"

namespace {

// state.range(0): 1 for marked messages; state.range(1): 1 with the sink.
void BM_Deliver(benchmark::State& state) {
  const bool marked = state.range(0) != 0, registered = state.range(1) != 0;
  std::filesystem::path dir = bench::NewDir("events-bench");
  bench::PrepareSinkRoot(dir / "root", ZENTHRA_DLL, registered);
  std::unique_ptr<store::Store> s = store::Store::Open(dir / "root");
  int n = 0;
  for (auto _ : state) s->Deliver("jdoe", bench::Message("bench " + std::to_string(n++), marked));
  state.SetItemsProcessed(n);
  state.SetLabel(std::string(marked ? "marked" : "unmarked") +
                 (registered ? ", sink registered" : ", no sink"));
  if (registered && marked) {
    // The sink must really have run: the marked messages left the Inbox.
    std::optional<store::Item> spam = s->Find({"example.com", "MBX", "jdoe", "Spam"});
    if (!spam || s->Children(spam->id).size() != static_cast<std::size_t>(n)) {
      state.SkipWithError("the sink did not move the marked messages");
    }
  }
  s.reset();
  std::filesystem::remove_all(dir);
}

// fsync times vary from moment to moment; the median of three runs each
// keeps the ratios steady.
BENCHMARK(BM_Deliver)
    ->ArgNames({"marked", "sink"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  complus::EnableCatalogActivation();
  bench::MedianRates reporter;
  try {
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } catch (const core::RuntimeError& e) {
    std::fprintf(stderr, "events_bench: %s\n", e.Description().c_str());
    return 1;
  }
  for (int marked = 0; marked <= 1; ++marked) {
    std::string m = "marked:" + std::to_string(marked);
    double without = reporter.Median("BM_Deliver/" + m + "/sink:0/"),
           with = reporter.Median("BM_Deliver/" + m + "/sink:1/");
    if (without > 0 && with > 0) {
      std::printf("%s messages: %.1f deliveries/s with the sink, %.1f without, ratio %.3f\n",
                  marked ? "marked" : "unmarked", with, without, with / without);
    }
  }
  benchmark::Shutdown();
  return 0;
}

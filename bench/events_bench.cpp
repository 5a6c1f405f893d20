// Deliveries per second with Zenthra.dll registered on the Inbox, against the
// same deliveries into a mailbox without a registration, in the same run on
// the same disk; once for messages without the marker attachment and once
// for marked ones (which the sink moves into Spam). Prints both ratios.
#include <benchmark/benchmark.h>
#include <malloc.h>

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
// The roots, one without and one with the registration, made before any
// measurement: a running server's class registry and catalog were written
// long before the mail it files, and activation keeps what it read from
// files that have been left alone for a few seconds.
void BM_Deliver(benchmark::State& state, const std::filesystem::path* roots) {
  const bool marked = state.range(0) != 0, registered = state.range(1) != 0;
  core::SetServerRoot(roots[registered] / "root");
  std::unique_ptr<store::Store> s = store::Store::Open(roots[registered] / "root");
  const auto filed = [&] {
    std::optional<store::Item> spam = s->Find({"example.com", "MBX", "jdoe", "Spam"});
    return spam ? s->Children(spam->id).size() : 0;
  };
  const std::size_t filed_before = filed();
  int n = 0;
  for (auto _ : state) s->Deliver("jdoe", bench::Message("bench " + std::to_string(n++), marked));
  state.SetItemsProcessed(n);
  state.SetLabel(std::string(marked ? "marked" : "unmarked") +
                 (registered ? ", sink registered" : ", no sink"));
  // The sink must really have run: the marked messages left the Inbox.
  if (registered && marked && filed() - filed_before != static_cast<std::size_t>(n)) {
    state.SkipWithError("the sink did not move the marked messages");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Deliveries run here as in zenthra-lmtpd, which keeps freed memory for
  // the next message instead of handing it back to the kernel each time.
  ::mallopt(M_TRIM_THRESHOLD, 8 << 20);
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  if (!bench::Initialize(argc, argv)) return 1;
  complus::EnableCatalogActivation();
  std::filesystem::path roots[2];
  bench::MedianRates reporter;
  try {
    for (int registered = 0; registered <= 1; ++registered) {
      roots[registered] = bench::NewDir("events-bench");
      bench::PrepareSinkRoot(roots[registered] / "root", ZENTHRA_DLL, registered != 0);
    }
    benchmark::RegisterBenchmark("BM_Deliver", BM_Deliver, roots)
        ->ArgNames({"marked", "sink"})
        ->Args({0, 0})
        ->Args({0, 1})
        ->Args({1, 0})
        ->Args({1, 1})
        ->Unit(benchmark::kMicrosecond)
        ->Apply(bench::Steady);
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
  for (const std::filesystem::path& dir : roots) std::filesystem::remove_all(dir);
  benchmark::Shutdown();
  return 0;
}

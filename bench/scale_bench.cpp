// Delivery cost as a mailbox fills, with Zenthra.dll registered on its Inbox:
// into an empty Inbox, into one that holds 20,000 messages, and after 3,000
// messages of one subject (each new one of which needs a name of its own).
// Prints each against the empty Inbox, measured in the same run.
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

enum Kind { kEmpty = 0, kLarge = 1, kSameSubject = 2 };

// state.range(0): the Kind of Inbox.
void BM_DeliverInto(benchmark::State& state) {
  const auto kind = static_cast<Kind>(state.range(0));
  std::filesystem::path dir = bench::NewDir("scale-bench");
  bench::PrepareSinkRoot(dir / "root", ZENTHRA_DLL, false);
  std::unique_ptr<store::Store> s = store::Store::Open(dir / "root");
  const int fill = kind == kLarge ? 20000 : kind == kSameSubject ? 3000 : 0;
  s->BeginTrans();  // one commit for the whole filling
  for (int i = 0; i < fill; ++i) {
    std::string subject = kind == kSameSubject ? "Same" : "filler " + std::to_string(i);
    s->Deliver("jdoe", bench::Message(subject, false, 12));
  }
  s->CommitTrans();
  bench::RegisterSink(*s);
  int n = 0;
  for (auto _ : state) {
    std::string subject = kind == kSameSubject ? "Same" : "bench " + std::to_string(n);
    s->Deliver("jdoe", bench::Message(subject, false));
    ++n;
  }
  state.SetItemsProcessed(n);
  state.SetLabel(kind == kEmpty   ? "empty Inbox"
                 : kind == kLarge ? "Inbox of 20,000 messages"
                                  : "after 3,000 messages of the same subject");
  s.reset();
  std::filesystem::remove_all(dir);
}

BENCHMARK(BM_DeliverInto)
    ->ArgName("inbox")
    ->Arg(kEmpty)
    ->Arg(kLarge)
    ->Arg(kSameSubject)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  complus::EnableCatalogActivation();
  bench::MedianRates reporter;
  if (!bench::RunBenchmarks(&argc, argv, "scale_bench", reporter)) return 1;
  const double empty = reporter.Median("BM_DeliverInto/inbox:0/");
  for (int kind : {kLarge, kSameSubject}) {
    const double rate = reporter.Median("BM_DeliverInto/inbox:" + std::to_string(kind) + "/");
    if (empty > 0 && rate > 0) {
      std::printf("%s: %.1f deliveries/s, empty Inbox %.1f, ratio %.3f\n",
                  kind == kLarge ? "20,000-message Inbox" : "3,000 same-subject messages", rate,
                  empty, rate / empty);
    }
  }
  benchmark::Shutdown();
  return 0;
}

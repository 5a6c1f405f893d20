// Deliveries per second with Zenthra.dll registered on the Inbox, against the
// same deliveries into a mailbox without a registration, in the same run on
// the same disk; once for messages without the marker attachment and once
// for marked ones (which the sink moves into Spam). Prints both ratios.
//
// The stores are created below $ZENTHRA_BENCH_DIR, else the current folder
// (not /tmp, which may be memory-backed and make fsync free).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bench/median_rates.h"
#include "platform/com/server.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"

namespace {

namespace schema = store::schema;
using core::Variant;

constexpr const char* kMarker = "Quarantined Attachment.txt";

std::string Message(int n, bool marked) {
  std::string line(76, 'x');
  std::string body;
  for (int i = 0; i < 260; ++i) body += line + "\r\n";
  std::string name = marked ? kMarker : "report.txt";
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: bench " + std::to_string(n) +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
         "--B\r\nContent-Type: text/plain\r\n\r\n" +
         body + "--B\r\nContent-Type: text/plain; name=\"" + name +
         "\"\r\nContent-Disposition: attachment; filename=\"" + name + "\"\r\n\r\nx\r\n--B--\r\n";
}

std::filesystem::path NewDir() {
  const char* base = std::getenv("ZENTHRA_BENCH_DIR");
  std::string tmpl = (std::filesystem::path(base ? base : ".") / "events-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return std::filesystem::absolute(tmpl);
}

// A server root with the sink installed as the setup program installs it and,
// when registered, its registration item in jdoe's Inbox.
void Prepare(const std::filesystem::path& root, bool registered) {
  store::Provision(root, store::Machine{"bench", "example.com"});
  core::SetServerRoot(root);
  complus::COMAdminCatalog catalog;
  complus::CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  apps->Populate();
  auto app = apps->Add();
  app->Value("Name", Variant("Zenthra"));
  apps->SaveChanges();
  catalog.InstallComponent("Zenthra", ZENTHRA_DLL, "", "");
  complus::CatalogCollectionPtr comps =
      apps->GetCollection("Components", Variant(core::UCase(app->Value("ID").AsString())));
  comps->Populate();
  comps->Item(0)->Value("ConstructionEnabled", Variant(true));
  comps->Item(0)->Value("ConstructorString", Variant(std::string("Spam\r") + kMarker + "\r65500"));
  comps->SaveChanges();

  std::unique_ptr<store::Store> s = store::Store::Open(root);
  std::string inbox = s->AddMailbox("jdoe") + "/Inbox";
  if (!registered) return;
  s->Create(s->Resolve(inbox).id, "Zenthra.reg", false, store::ExistingItem::Replace,
            {{schema::kContentClass, Variant(schema::kEventRegistrationClass)},
             {schema::kEventMethod, Variant("onsyncsave")},
             {schema::kSinkClass, Variant("Zenthra.ZenthraCls")},
             {schema::kMatchScope, Variant("SHALLOW")},
             {schema::kCriteria, Variant(" WHERE \"DAV:ishidden\" = FALSE")},
             {schema::kPriority, Variant("65500")},
             {schema::kIsHidden, Variant(true)}});
}

// state.range(0): 1 for marked messages; state.range(1): 1 with the sink.
void BM_Deliver(benchmark::State& state) {
  const bool marked = state.range(0) != 0, registered = state.range(1) != 0;
  std::filesystem::path dir = NewDir();
  Prepare(dir / "root", registered);
  std::unique_ptr<store::Store> s = store::Store::Open(dir / "root");
  int n = 0;
  for (auto _ : state) s->Deliver("jdoe", Message(n++, marked));
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

// The setup program's mailbox listing (GetUsersWithMailboxes, through the
// real window code, no front end) over a generated directory of 3,000 and
// 30,000 persons, one in six homed on this server with a store mailbox, the
// directory served by the catalog file and by a private slapd, in one run.
// Beside each listing, the directory's own share of it: the same search
// and the bind of every returned record, without the store lookups.
// Then the directory's parsers on 100 KB and 400 KB texts.
//
// Prints at the end: seconds per listing, slapd against the catalog file,
// the growth from 3,000 to 30,000 records, and the parsers' rates on the
// large text against the small one (1.0 is linear).
//
// The server roots are made below $ZENTHRA_BENCH_DIR, else the current
// folder. Needs slapd (Debian's), as the tests do.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "bench/median_rates.h"
#include "platform/ado/command.h"
#include "platform/ado/connection.h"
#include "platform/ado/recordset.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/directory/filter.h"
#include "platform/directory/ldap_config.h"
#include "platform/directory/ldif_backend.h"
#include "platform/directory/object.h"
#include "platform/directory/provider.h"
#include "platform/directory/query.h"
#include "platform/store/provider.h"
#include "platform/ui/ui.h"
#include "setup/InstallForm.h"
#include "tests/directory/slapd.h"
#include "tools/zenthra-store/cli.h"
#include "tools/zenthra-store/directory_seed.h"

namespace {

namespace fs = std::filesystem;

const store::Machine kMachine{"mail01", "example.com"};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "directory_bench: %s\n", what.c_str());
  std::exit(1);
}

// A provisioned server of size persons and the same directory in slapd.
// Made once per size and kept for the whole run.
struct Server {
  fs::path dir, root;
  int records = 0;  // persons with a mailbox, homed anywhere
  std::unique_ptr<directory::testing::Slapd> slapd;

  explicit Server(int size) {
    const char* base = std::getenv("ZENTHRA_BENCH_DIR");
    std::string pattern = (fs::path(base ? base : ".") / "directory-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Die("cannot make a folder in " + pattern);
    dir = fs::absolute(pattern);
    root = dir / "root";
    const fs::path people = dir / "people.ldif";
    std::ofstream(people) << store::cli::PeopleLdif(kMachine, size, size / 6);
    std::istringstream in;
    std::ostringstream out, err;
    if (store::cli::Run({"--root", root.string(), "provision", "--computer", kMachine.computer,
                         "--domain", kMachine.domain, "--users", people.string()},
                        in, out, err) != 0) {
      Die("provisioning failed: " + err.str());
    }
    std::ifstream catalog(directory::DefaultLdifPath(root));
    const std::string ldif((std::istreambuf_iterator<char>(catalog)),
                           std::istreambuf_iterator<char>());
    records = size + 1;  // and the store's system mailbox
    slapd = std::make_unique<directory::testing::Slapd>();
    if (!slapd->Available()) Die(slapd->SkipReason());
    slapd->Load(ldif);
    slapd->Start();
  }
  ~Server() {
    slapd.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Serves the directory from slapd or from the catalog file.
  void Use(bool from_slapd) {
    const fs::path conf = directory::LdapConfigPath(root);
    std::error_code ec;
    fs::remove(conf, ec);
    if (from_slapd) {
      std::ofstream(conf) << "uri " << slapd->LdapUri() << "\nbase DC=example,DC=com\n";
    }
    core::SetServerRoot(root);
    store::RegisterProvider();
    directory::RegisterProvider({kMachine.computer, kMachine.domain});
  }
};

Server& ServerOf(int size) {
  static std::map<int, std::unique_ptr<Server>> servers;
  std::unique_ptr<Server>& s = servers[size];
  if (!s) s = std::make_unique<Server>(size);
  return *s;
}

void Listing(benchmark::State& state, int size, bool from_slapd) {
  Server& server = ServerOf(size);
  server.Use(from_slapd);
  ui::ScriptedDialogs dialogs;
  ui::Program program(dialogs);
  setup::InstallForm form(program, "");
  form.Load();
  for (auto _ : state) form.GetUsersWithMailboxes();
  if (form.MbxInstList.ListCount() != size / 6) {
    state.SkipWithError("the listing did not list every homed mailbox");
  }
  // At most 30,000 records: the listing's size limit.
  state.SetItemsProcessed(state.iterations() * std::min(server.records, 30000));
}

// What the listing asks of the directory: its search, and the bind of every
// record with its account state read.
void DirectoryShare(benchmark::State& state, int size, bool from_slapd) {
  Server& server = ServerOf(size);
  server.Use(from_slapd);
  auto cnn = std::make_shared<adodb::Connection>();
  cnn->Provider("adsDSOobject");
  cnn->Open("Active Directory Provider", "", "", -1);
  const std::string host = directory::GetObject("GC://RootDSE")->Get("dnshostname").AsString();
  int bound = 0;
  for (auto _ : state) {
    auto command = std::make_shared<adodb::Command>();
    command->ActiveConnection(cnn);
    command->CommandText("SELECT adspath, cn, msExchHomeServerName,mailNickName,mail FROM 'GC://" +
                         host +
                         "' WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
    command->Properties()["searchscope"].Value(core::Variant(std::int32_t{2}));
    command->Properties()["cache results"].Value(core::Variant(true));
    command->Properties()["Chase Referrals"].Value(core::Variant(std::int32_t{0x60}));
    command->Properties()["Page Size"].Value(core::Variant(std::int16_t{100}));
    command->Properties()["Size Limit"].Value(core::Variant(std::int16_t{30000}));
    command->Properties()["Timeout"].Value(core::Variant(std::int16_t{120}));
    adodb::RecordsetPtr rs = command->Execute(-1);
    bound = 0;
    for (; !rs->Eof(); rs->MoveNext()) {
      benchmark::DoNotOptimize(
          directory::GetObject(rs->Fields()["adspath"].Value().AsString())->AccountDisabled());
      ++bound;
    }
  }
  if (bound != std::min(server.records, 30000)) state.SkipWithError("not every record was bound");
  state.SetItemsProcessed(state.iterations() * bound);
}

std::string LongQuery(std::size_t bytes) {
  std::string q = "SELECT cn FROM 'GC://h' WHERE cn='a'";
  while (q.size() < bytes) q += " OR sAMAccountName='abcdefgh'";
  return q;
}

std::string LongFilter(std::size_t bytes) {
  std::string f = "(|";
  while (f.size() < bytes) f += "(sAMAccountName=abcdefgh)";
  return f + ")";
}

void ParseQuery(benchmark::State& state) {
  const std::string text = LongQuery(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(directory::ParseQuery(text));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void ParseFilter(benchmark::State& state) {
  const std::string text = LongFilter(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(directory::ParseFilter(text));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void Register() {
  for (int size : {3000, 30000}) {
    for (bool slapd : {false, true}) {
      const std::string where = std::string(slapd ? "slapd" : "ldif") + "/" + std::to_string(size);
      // A listing of 30,000 takes seconds: three single runs give a median.
      benchmark::RegisterBenchmark(("listing/" + where).c_str(), Listing, size, slapd)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1)
          ->Repetitions(3)
          ->UseRealTime()
          ->ReportAggregatesOnly(true);
      benchmark::RegisterBenchmark(("directory/" + where).c_str(), DirectoryShare, size, slapd)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1)
          ->Repetitions(3)
          ->UseRealTime()
          ->ReportAggregatesOnly(true);
    }
  }
  for (auto* b : {benchmark::RegisterBenchmark("parse/query", ParseQuery),
                  benchmark::RegisterBenchmark("parse/filter", ParseFilter)}) {
    b->Arg(100 << 10)
        ->Arg(400 << 10)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!bench::Initialize(argc, argv)) return 1;
  Register();
  bench::MedianRates reporter;
  try {
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } catch (const core::RuntimeError& e) {
    Die(e.Description());
  } catch (const std::exception& e) {
    Die(e.what());
  }
  auto seconds = [&](const std::string& name, int records) {
    const double rate = reporter.Median(name + "/");
    return rate > 0 ? records / rate : 0.0;
  };
  std::printf("\nmedians, seconds per listing (the directory's own share in brackets):\n");
  for (int size : {3000, 30000}) {
    const int records = std::min(size + 1, 30000);
    const double ldif = seconds("listing/ldif/" + std::to_string(size), records);
    const double slapd = seconds("listing/slapd/" + std::to_string(size), records);
    if (ldif <= 0 || slapd <= 0) continue;
    std::printf(
        "  %5d records: catalog file %.2f s [%.2f s]  slapd %.2f s [%.2f s]  "
        "slapd / file %.2f\n",
        size, ldif, seconds("directory/ldif/" + std::to_string(size), records), slapd,
        seconds("directory/slapd/" + std::to_string(size), records), slapd / ldif);
  }
  for (const char* backend : {"ldif", "slapd"}) {
    const double small = seconds(std::string("listing/") + backend + "/3000", 3001);
    const double large = seconds(std::string("listing/") + backend + "/30000", 30000);
    if (small > 0 && large > 0) {
      std::printf("  %s: 30,000 records take %.1f times as long as 3,000 (10 is linear)\n", backend,
                  large / small);
    }
  }
  for (const char* parser : {"parse/query", "parse/filter"}) {
    const double small = reporter.Median(std::string(parser) + "/102400");
    const double large = reporter.Median(std::string(parser) + "/409600");
    if (small > 0 && large > 0) {
      std::printf("  %s: 400 KB in %.1f ms, bytes/s at 400 KB / at 100 KB %.2f (1.0 is linear)\n",
                  parser, 409600 / large * 1000, large / small);
    }
  }
  benchmark::Shutdown();
  return 0;
}

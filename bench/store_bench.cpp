// Deliveries per second of ~20 KB messages into one mailbox, against the
// floor of a bare SQLite insert of the same bytes with the same durability
// (WAL, synchronous=FULL, one transaction per message), measured in the same
// run on the same disk. Prints the ratio at the end.
//
// The stores are created below $ZENTHRA_BENCH_DIR, else the current folder
// (not /tmp, which may be memory-backed and make fsync free).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "bench/median_rates.h"
#include "platform/ado/connection.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/store/provider.h"
#include "platform/store/store.h"

namespace {

std::string Message(int n) {
  std::string line(76, 'x');
  std::string body;
  for (int i = 0; i < 260; ++i) body += line + "\r\n";
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: bench " + std::to_string(n) +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
         "--B\r\nContent-Type: text/plain\r\n\r\n" +
         body +
         "--B\r\nContent-Type: text/plain; name=\"a.txt\"\r\n"
         "Content-Disposition: attachment; filename=\"a.txt\"\r\n\r\nx\r\n--B--\r\n";
}

std::filesystem::path NewDir() {
  const char* base = std::getenv("ZENTHRA_BENCH_DIR");
  std::string tmpl = (std::filesystem::path(base ? base : ".") / "store-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return tmpl;
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

void BM_StoreDeliver(benchmark::State& state) {
  std::filesystem::path dir = NewDir();
  store::Provision(dir / "root", store::Machine{"bench", "example.com"});
  std::unique_ptr<store::Store> store = store::Store::Open(dir / "root");
  store->AddMailbox("jdoe");
  int n = 0;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    std::string text = Message(n++);
    bytes += static_cast<std::int64_t>(text.size());
    store->Deliver("jdoe", text);
  }
  state.SetItemsProcessed(n);
  state.SetBytesProcessed(bytes);
  store.reset();
  std::filesystem::remove_all(dir);
}

void BM_BareSqliteInsert(benchmark::State& state) {
  std::filesystem::path dir = NewDir();
  sqlite3* db = nullptr;
  Check(sqlite3_open((dir / "bare.db").c_str(), &db), db);
  sqlite3_busy_timeout(db, 30000);
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     "CREATE TABLE m(id INTEGER PRIMARY KEY, data BLOB NOT NULL)",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO m(data) VALUES(?)", -1, &insert, nullptr), db);
  int n = 0;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    std::string text = Message(n++);
    bytes += static_cast<std::int64_t>(text.size());
    Check(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db);
    sqlite3_bind_blob(insert, 1, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    Check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  }
  state.SetItemsProcessed(n);
  state.SetBytesProcessed(bytes);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
}

// The setup program's registration lookup over an Inbox of 300 messages.
void BM_RegistrationLookup(benchmark::State& state) {
  std::filesystem::path dir = NewDir();
  store::Provision(dir / "root", store::Machine{"bench", "example.com"});
  std::unique_ptr<store::Store> store = store::Store::Open(dir / "root");
  std::string inbox = store->AddMailbox("jdoe") + "/Inbox";
  store->BeginTrans();  // one commit for the whole setup
  for (int n = 0; n < 300; ++n) store->Deliver("jdoe", Message(n));
  store->CommitTrans();
  std::string query = "select  \"DAV:displayname\" from scope ('shallow traversal of \"" + inbox +
                      "\"')  WHERE \"DAV:displayname\" = 'Zenthra.reg' AND \"DAV:ishidden\" = "
                      "true AND \"DAV:isfolder\" = false ";
  for (auto _ : state) benchmark::DoNotOptimize(store::RunQuery(*store, query));
  state.SetItemsProcessed(state.iterations() * 300);
  store.reset();
  std::filesystem::remove_all(dir);
}

// Opening and closing a connection, as the setup program does for every
// mailbox it lists (some 27,000 times in one batch run).
void BM_ConnectionOpenClose(benchmark::State& state) {
  std::filesystem::path dir = NewDir();
  store::Provision(dir / "root", store::Machine{"bench", "example.com"});
  core::SetServerRoot(dir / "root");
  store::RegisterProvider();
  std::string mailbox = store::Store::Open(dir / "root")->AddMailbox("jdoe");
  for (auto _ : state) {
    auto cnn = std::make_shared<adodb::Connection>();
    cnn->Provider(store::kProviderName);
    cnn->Open(mailbox, "", "", -1);
    cnn->Close();
  }
  state.SetItemsProcessed(state.iterations());
  std::filesystem::remove_all(dir);
}

BENCHMARK(BM_RegistrationLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConnectionOpenClose)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareSqliteInsert)->Unit(benchmark::kMicrosecond)->Apply(bench::Steady);
BENCHMARK(BM_StoreDeliver)->Unit(benchmark::kMicrosecond)->Apply(bench::Steady);

}  // namespace

int main(int argc, char** argv) {
  bench::MedianRates reporter;
  if (!bench::RunBenchmarks(&argc, argv, "store_bench", reporter)) return 1;
  const double bare = reporter.Median("BM_BareSqliteInsert");
  const double store = reporter.Median("BM_StoreDeliver");
  if (bare > 0 && store > 0) {
    std::printf("\nmedians: store deliveries/s: %.1f  bare SQLite inserts/s: %.1f  ratio: %.2f\n",
                store, bare, store / bare);
  }
  benchmark::Shutdown();
  return 0;
}

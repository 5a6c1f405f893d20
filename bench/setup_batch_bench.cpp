// ZenthraSetup -b as cron runs it, through the real program on the terminal
// front end (no display, the disclaimer answered "y" on standard input),
// over a directory of 30,000 persons of whom 5,000 have a mailbox on this
// server. Two runs are compared in one process:
//   registered:2500  half of the local mailboxes hold the registration item:
//                    the listing plus 2,500 removals and re-creations
//   registered:0     nothing registered: the listing and its look-ups alone
// Each reports wall time and the CPU time of the program (user + system, from
// its rusage), and the ratio of the two wall times is printed at the end.
// After every run the registrations are counted again in the store: a run
// that lost one fails the benchmark, and so does one whose exit status is not
// 0 (3 when the directory exceeds the listing's 30,000 records, which the run
// must say).
//
// The roots are created below $ZENTHRA_BENCH_DIR, else the current folder
// (not /tmp, which may be memory-backed and make fsync free). Smaller sizes
// for a quick look: ZENTHRA_BENCH_PERSONS, ZENTHRA_BENCH_HOMED; set
// ZENTHRA_BENCH_KEEP to keep the servers for profiling.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/sink_root.h"
#include "platform/complus/activation.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/store/store.h"
#include "tools/zenthra-store/cli.h"
#include "tools/zenthra-store/directory_seed.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const store::Machine kMachine{"mail01", "example.com"};

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "setup_batch_bench: %s\n", what.c_str());
  std::exit(1);
}

// The folder the program runs in (Zenthra.dll beside it) and the server root.
struct Server {
  fs::path dir;
  fs::path root;
  fs::path bin;
  std::vector<std::string> registered;  // Inbox URLs that hold the item
};

// A server root as an administrator has it after months of use: the
// directory, a mailbox for every person homed here, the sink installed, and
// `registered` of the local mailboxes (every other one) registered.
std::unique_ptr<Server> Prepare(int persons, int homed, int registered) {
  auto server = std::make_unique<Server>();
  server->dir = bench::NewDir("setup-batch-bench");
  server->root = server->dir / "root";
  server->bin = server->dir / "bin";
  fs::create_directories(server->bin);
  fs::copy_file(ZENTHRA_DLL, server->bin / "Zenthra.dll");

  const fs::path ldif = server->dir / "people.ldif";
  std::ofstream(ldif, std::ios::binary) << store::cli::PeopleLdif(kMachine, persons, homed);
  std::istringstream in;
  std::ostringstream out, err;
  if (store::cli::Run({"--root", server->root.string(), "provision", "--computer",
                       kMachine.computer, "--domain", kMachine.domain, "--users", ldif.string()},
                      in, out, err) != 0) {
    Fail("provisioning failed: " + err.str());
  }
  core::SetServerRoot(server->root);

  bench::InstallSinkComponent((server->bin / "Zenthra.dll").string());

  std::unique_ptr<store::Store> s = store::Store::Open(server->root);
  int index = 0;
  for (const store::MailboxInfo& m : s->Mailboxes()) {
    if (m.is_system || static_cast<int>(server->registered.size()) >= registered) continue;
    if (index++ % 2 != 0) continue;
    const std::string inbox = m.url + "/Inbox";
    bench::RegisterSinkIn(*s, inbox);
    server->registered.push_back(inbox);
  }
  if (static_cast<int>(server->registered.size()) != registered) {
    Fail("only " + std::to_string(server->registered.size()) + " mailboxes to register");
  }
  return server;
}

// How many of the server's registered Inboxes still hold the item.
int StillRegistered(const Server& server) {
  std::unique_ptr<store::Store> s = store::Store::Open(server.root);
  int n = 0;
  for (const std::string& inbox : server.registered) {
    if (s->Find(s->Names(inbox + "/Zenthra.reg"))) ++n;
  }
  return n;
}

struct RunResult {
  int status = -1;
  double wall = 0;  // seconds
  double cpu = 0;   // seconds, user + system of the program
};

// Runs ZenthraSetup -b in bin with "y" on its input, no display, the output
// kept in the server's folder.
RunResult RunBatch(const Server& server) {
  const fs::path input = server.dir / "answer.txt";
  const fs::path output = server.dir / "output.txt";
  std::ofstream(input) << "y\n";

  std::vector<std::string> env = {"ZENTHRA_ROOT=" + server.root.string()};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var = *e;
    if (var.rfind("ZENTHRA_ROOT=", 0) == 0 || var.rfind("DISPLAY=", 0) == 0 ||
        var.rfind("WAYLAND_DISPLAY=", 0) == 0) {
      continue;
    }
    env.push_back(var);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = ZENTHRA_SETUP_PROGRAM, batch = "-b";
  char* argv[] = {program.data(), batch.data(), nullptr};

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

  const fs::path previous = fs::current_path();
  fs::current_path(server.bin);
  RunResult r;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  fs::current_path(previous);
  if (spawned != 0) return r;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec / 1e6;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::map<int, double>& MedianWall() {
  static std::map<int, double> m;
  return m;
}

// state.range(0): how many mailboxes are registered.
void BM_BatchRun(benchmark::State& state) {
  const int persons = EnvInt("ZENTHRA_BENCH_PERSONS", 30000);
  const int homed = EnvInt("ZENTHRA_BENCH_HOMED", 5000);
  // A smaller server registers at most every other mailbox.
  const int registered = std::min(static_cast<int>(state.range(0)), homed / 2);
  const std::unique_ptr<Server> server = Prepare(persons, homed, registered);

  // The directory holds the persons and the store's system mailbox; past
  // the listing's 30,000 records the run says it was cut (status 3).
  const bool cut = persons + 1 > 30000;
  double cpu = 0;
  int runs = 0;
  for (auto _ : state) {
    const RunResult r = RunBatch(*server);
    std::ifstream log(server->dir / "output.txt");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    const bool reportedCut = text.find("The mailbox listing was cut at 30000") != std::string::npos;
    if (r.status != (cut ? 3 : 0) || reportedCut != cut) {
      state.SkipWithError(("exit status " + std::to_string(r.status) + "; output:\n" +
                           text.substr(text.size() > 2000 ? text.size() - 2000 : 0))
                              .c_str());
      break;
    }
    state.SetIterationTime(r.wall);
    cpu += r.cpu;
    ++runs;
    if (StillRegistered(*server) != registered) {
      state.SkipWithError("the batch run lost registrations");
      break;
    }
  }
  if (runs > 0) state.counters["cpu_s"] = cpu / runs;
  if (std::getenv("ZENTHRA_BENCH_KEEP") != nullptr) {
    std::fprintf(stderr, "kept %s\n", server->dir.c_str());
    return;
  }
  std::error_code ec;
  fs::remove_all(server->dir, ec);
}

// Tens of seconds a run: one iteration each, three repetitions for a median.
BENCHMARK(BM_BatchRun)
    ->ArgName("registered")
    ->Arg(2500)
    ->Arg(0)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->ReportAggregatesOnly(true);

// Remembers the median wall time of each argument for the closing ratio.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      const std::string name = run.benchmark_name();
      const std::size_t at = name.find("registered:");
      if (at == std::string::npos) continue;
      MedianWall()[std::atoi(name.c_str() + at + 11)] = run.GetAdjustedRealTime();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  complus::EnableCatalogActivation();
  Reporter reporter;
  try {
    benchmark::RunSpecifiedBenchmarks(&reporter);
  } catch (const core::RuntimeError& e) {
    std::fprintf(stderr, "setup_batch_bench: %s\n", e.Description().c_str());
    return 1;
  }
  const auto& wall = MedianWall();
  if (wall.count(2500) && wall.count(0) && wall.at(0) > 0) {
    std::printf(
        "ZenthraSetup -b: %.2f s wall renewing 2500 registrations, %.2f s listing only; "
        "ratio %.2f\n",
        wall.at(2500), wall.at(0), wall.at(2500) / wall.at(0));
  }
  benchmark::Shutdown();
  return 0;
}

// The CPU one mail delivery costs as a process of its own: `zenthra-store
// deliver` of a message without the marker into a mailbox where Zenthra.dll
// is registered, against starting /bin/true, side by side in one run. Two
// more programs show where a delivery's CPU goes: one that only loads the
// libraries zenthra-store is linked with, and `zenthra-store --help`, its
// start-up before any work. The figure is the children's user and system
// time as wait4() reports it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/median_rates.h"
#include "bench/sink_root.h"
#include "platform/complus/activation.h"
#include "platform/core/error.h"

namespace {

struct Fixture {
  std::filesystem::path dir, root, message;
};

const Fixture& Setup() {
  static const Fixture fixture = [] {
    Fixture f;
    f.dir = bench::NewDir("process-bench");
    f.root = f.dir / "root";
    bench::PrepareSinkRoot(f.root, ZENTHRA_DLL, true);
    f.message = f.dir / "message.eml";
    std::ofstream(f.message, std::ios::binary) << bench::Message("per process", false);
    return f;
  }();
  return fixture;
}

// Runs argv with stdout on /dev/null; returns the child's CPU seconds.
double RunChild(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "process_bench: %s failed\n", args[0].c_str());
    std::exit(1);
  }
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

enum Program { kTrue, kLibraries, kHelp, kDeliver };

// state.range(0): the Program to run.
void BM_Process(benchmark::State& state) {
  const Fixture& f = Setup();
  std::vector<std::string> args;
  switch (static_cast<Program>(state.range(0))) {
    case kTrue:
      args = {"/bin/true"};
      state.SetLabel("/bin/true");
      break;
    case kLibraries:
      args = {ZENTHRA_PROCESS_FLOOR};
      state.SetLabel("zenthra-store's libraries only");
      break;
    case kHelp:
      args = {ZENTHRA_STORE_TOOL, "--help"};
      state.SetLabel("zenthra-store --help");
      break;
    case kDeliver:
      args = {ZENTHRA_STORE_TOOL, "--root", f.root.string(), "deliver", "jdoe", f.message.string()};
      state.SetLabel("zenthra-store deliver");
      break;
  }
  double cpu = 0;
  for (auto _ : state) cpu += RunChild(args);
  state.counters["child_cpu_us"] = cpu * 1e6 / static_cast<double>(state.iterations());
}

BENCHMARK(BM_Process)
    ->ArgName("program")
    ->Arg(kTrue)
    ->Arg(kLibraries)
    ->Arg(kHelp)
    ->Arg(kDeliver)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  bench::MedianRates reporter;
  if (!bench::RunBenchmarks(&argc, argv, "process_bench", reporter)) return 1;
  auto cpu = [&](Program p) {
    return reporter.MedianOf("BM_Process/program:" + std::to_string(p) + "/", "", "child_cpu_us");
  };
  const double idle = cpu(kTrue), deliver = cpu(kDeliver);
  if (idle > 0 && deliver > 0) {
    std::printf("CPU per process: zenthra-store deliver %.0f us, /bin/true %.0f us, ratio %.2f\n",
                deliver, idle, deliver / idle);
    std::printf(
        "  of which loading its libraries %.0f us (%.2f), start-up before any work %.0f us "
        "(%.2f)\n",
        cpu(kLibraries), cpu(kLibraries) / idle, cpu(kHelp), cpu(kHelp) / idle);
  }
  std::filesystem::remove_all(Setup().dir);
  benchmark::Shutdown();
  return 0;
}

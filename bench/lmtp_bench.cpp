// Deliveries per second of ~20 KB messages, half of them marked and filed
// by Zenthra.dll registered in every Inbox, four ways on the same corpus and
// disk in one run:
//   BM_InProcess      Store::Deliver in a loop (the floor of the others)
//   BM_Lmtp/1         one LMTP session to zenthra-lmtpd, back to back
//   BM_Lmtp/8         eight sessions at once (group commit)
//   BM_ToolProcess    one `zenthra-store deliver` process per message
// Each also reports the CPU time per message of the process doing the work
// (the service for BM_Lmtp), and BM_Lmtp how many messages shared a commit.
// Prints the ratios at the end.
//
// The stores are created below $ZENTHRA_BENCH_DIR, else the current folder
// (not /tmp, which may be memory-backed and make fsync free).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/median_rates.h"
#include "bench/sink_root.h"
#include "platform/complus/activation.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/store/store.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const kMailboxes[] = {"jdoe", "asmith", "cberg", "dlind"};
constexpr int kMailboxCount = 4;

// Every other message is marked.
std::string Message(int n) { return bench::Message("bench " + std::to_string(n), n % 2 == 1); }

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "lmtp_bench: %s\n", what.c_str());
  std::exit(1);
}

// A server root with four mailboxes and the sink installed and registered
// in each Inbox as the setup program does it.
fs::path Prepare(const fs::path& dir) {
  fs::path root = dir / "root";
  bench::InstallSink(root, ZENTHRA_DLL);
  // The directory the service looks recipients up in: one person each.
  std::string ldif = "version: 1\n";
  for (const char* alias : kMailboxes) {
    ldif += std::string("\ndn: CN=") + alias + ",CN=Users,DC=example,DC=com\nobjectClass: user\n" +
            "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\ncn: " + alias +
            "\nmail: " + alias + "@example.com\nmailNickName: " + alias + "\n";
  }
  fs::create_directories(root / "directory");
  std::ofstream(root / "directory" / "users.ldif", std::ios::binary) << ldif;
  std::unique_ptr<store::Store> s = store::Store::Open(root);
  for (const char* alias : kMailboxes) {
    s->AddMailbox(alias);
    bench::RegisterSink(*s, alias);
  }
  return root;
}

// The messages filed into Spam over all mailboxes.
std::size_t Filed(const fs::path& root) {
  std::unique_ptr<store::Store> s = store::Store::Open(root);
  std::size_t n = 0;
  for (const char* alias : kMailboxes) {
    if (auto spam = s->Find({"example.com", "MBX", alias, "Spam"}))
      n += s->Children(spam->id).size();
  }
  return n;
}

void CheckFiled(benchmark::State& state, const fs::path& root, int delivered) {
  if (Filed(root) != static_cast<std::size_t>(delivered / 2)) {
    state.SkipWithError("the sink did not file the marked messages");
  }
}

double CpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system CPU seconds of a running process.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

pid_t Spawn(const std::vector<std::string>& args, const fs::path& root, const fs::path& out) {
  std::vector<std::string> env = {"ZENTHRA_ROOT=" + root.string()};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "ZENTHRA_ROOT=", 13) != 0) env.emplace_back(*e);
  }
  std::vector<std::string> a = args;
  std::vector<char*> argv, envp;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) Die("cannot start " + args[0]);
  return pid;
}

// A minimal LMTP client: MAIL, RCPT and DATA pipelined as a transport does.
class LmtpClient {
 public:
  explicit LmtpClient(const fs::path& socket_path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ok_ = false;
      return;
    }
    ok_ = Reply() == 220 && (Send("LHLO bench.example.org\r\n"), Reply() == 250);
  }
  ~LmtpClient() {
    if (fd_ >= 0) {
      Send("QUIT\r\n");
      Reply();
      ::close(fd_);
    }
  }
  bool ok() const { return ok_; }

  bool Deliver(const std::string& rcpt, const std::string& text) {
    Send("MAIL FROM:<bench@example.org>\r\nRCPT TO:<" + rcpt + ">\r\nDATA\r\n");
    if (Reply() != 250 || Reply() != 250 || Reply() != 354) return false;
    Send(text + ".\r\n");
    return Reply() == 250;
  }

 private:
  void Send(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }
  // The code of the next reply (the last line of a multi-line one); 0 at end.
  int Reply() {
    for (;;) {
      std::size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        if (line.size() >= 4 && line[3] == '-') continue;
        return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
      }
      char chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return 0;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  int fd_ = -1;
  bool ok_ = false;
  std::string buffer_;
};

void BM_InProcess(benchmark::State& state) {
  fs::path dir = bench::NewDir("lmtp-bench");
  fs::path root = Prepare(dir);
  std::unique_ptr<store::Store> s = store::Store::Open(root);
  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  int n = 0;
  for (auto _ : state) {
    s->Deliver(kMailboxes[n % kMailboxCount], Message(n));
    ++n;
  }
  ::getrusage(RUSAGE_SELF, &after);
  state.SetItemsProcessed(n);
  state.counters["cpu_ms_per_msg"] = 1000 * (CpuSeconds(after) - CpuSeconds(before)) / n;
  s.reset();
  CheckFiled(state, root, n);
  fs::remove_all(dir);
}

// Messages per commit, from the line the service logs on stopping
// ("stopped: N messages stored in M commits"); 0 when it logged none.
double MessagesPerCommit(const fs::path& log) {
  std::ifstream in(log);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.find("stopped: ") != std::string::npos) last = line;
  }
  const std::size_t at = last.find("stopped: ");
  if (at == std::string::npos) return 0;
  unsigned long long messages = 0, commits = 0;
  const int fields =
      std::sscanf(last.c_str() + at, "stopped: %llu %*s stored in %llu", &messages, &commits);
  if (fields != 2 || commits == 0) return 0;
  return static_cast<double>(messages) / static_cast<double>(commits);
}

// The service of one BM_Lmtp run, shared by its threads.
struct Service {
  fs::path dir, root, socket;
  pid_t pid = 0;
  double cpu_start = 0;
  std::atomic<int> delivered{0};
  std::atomic<int> next{0};
};
Service* g_service = nullptr;

void BM_Lmtp(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_service = new Service;
    g_service->dir = bench::NewDir("lmtp-bench");
    g_service->root = Prepare(g_service->dir);
    g_service->socket = g_service->dir / "lmtp.sock";
    g_service->pid = Spawn({ZENTHRA_LMTPD, "--root", g_service->root.string(), "--listen",
                            "unix:" + g_service->socket.string()},
                           g_service->root, g_service->dir / "lmtpd.log");
    for (int i = 0; i < 3000 && !LmtpClient(g_service->socket).ok(); ++i) ::usleep(10000);
    g_service->cpu_start = ProcessCpuSeconds(g_service->pid);
  }
  std::unique_ptr<LmtpClient> client;
  for (auto _ : state) {
    if (!client) {
      client = std::make_unique<LmtpClient>(g_service->socket);
      if (!client->ok()) {
        state.SkipWithError("cannot connect to zenthra-lmtpd");
        break;
      }
    }
    int n = g_service->next++;
    if (!client->Deliver(std::string(kMailboxes[n % kMailboxCount]) + "@example.com", Message(n))) {
      state.SkipWithError("a delivery was not acknowledged");
      break;
    }
    ++g_service->delivered;
  }
  client.reset();
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    // The other threads are past their loops (the loop ends together).
    const int n = g_service->delivered;
    state.counters["cpu_ms_per_msg"] =
        1000 * (ProcessCpuSeconds(g_service->pid) - g_service->cpu_start) / std::max(n, 1);
    ::kill(g_service->pid, SIGTERM);
    int status = 0;
    ::waitpid(g_service->pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("zenthra-lmtpd did not stop cleanly");
    }
    state.counters["msgs_per_commit"] = MessagesPerCommit(g_service->dir / "lmtpd.log");
    CheckFiled(state, g_service->root, n);
    fs::remove_all(g_service->dir);
    delete g_service;
    g_service = nullptr;
  }
}

void BM_ToolProcess(benchmark::State& state) {
  fs::path dir = bench::NewDir("lmtp-bench");
  fs::path root = Prepare(dir);
  fs::path file = dir / "message.eml";
  rusage before{}, after{};
  ::getrusage(RUSAGE_CHILDREN, &before);
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << Message(n);
    state.ResumeTiming();
    pid_t pid = Spawn({ZENTHRA_STORE_TOOL, "--root", root.string(), "deliver",
                       kMailboxes[n % kMailboxCount], file.string()},
                      root, dir / "tool.log");
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("zenthra-store deliver failed");
      break;
    }
    ++n;
  }
  ::getrusage(RUSAGE_CHILDREN, &after);
  state.SetItemsProcessed(n);
  state.counters["cpu_ms_per_msg"] = 1000 * (CpuSeconds(after) - CpuSeconds(before)) / n;
  CheckFiled(state, root, n);
  fs::remove_all(dir);
}

// Each run of BM_Lmtp starts a service of its own, so runs here are longer
// than bench::Steady's, for its start-up and first connections not to
// count; the baselines run as long.
BENCHMARK(BM_InProcess)->Unit(benchmark::kMillisecond)->Apply(bench::Steady)->MinTime(0.8);
BENCHMARK(BM_Lmtp)
    ->Threads(1)
    ->Threads(8)
    ->Unit(benchmark::kMillisecond)
    ->Apply(bench::Steady)
    ->MinTime(0.8);
BENCHMARK(BM_ToolProcess)->Unit(benchmark::kMillisecond)->Apply(bench::Steady)->MinTime(0.8);

}  // namespace

int main(int argc, char** argv) {
  complus::EnableCatalogActivation();
  bench::MedianRates reporter;
  if (!bench::RunBenchmarks(&argc, argv, "lmtp_bench", reporter)) return 1;
  const double in_process = reporter.Median("BM_InProcess"),
               one = reporter.Median("BM_Lmtp/", "/threads:1"),
               eight = reporter.Median("BM_Lmtp/", "/threads:8"),
               tool = reporter.Median("BM_ToolProcess");
  std::printf(
      "deliveries/s (median): in-process %.1f, one LMTP session %.1f, eight sessions %.1f, "
      "one tool process per message %.1f\n",
      in_process, one, eight, tool);
  if (in_process > 0 && one > 0) {
    std::printf("one session / in-process Store::Deliver: %.3f\n", one / in_process);
  }
  if (one > 0 && eight > 0) std::printf("eight sessions / one session: %.3f\n", eight / one);
  if (tool > 0 && one > 0)
    std::printf("one session / one tool process per message: %.3f\n", one / tool);
  benchmark::Shutdown();
  return 0;
}

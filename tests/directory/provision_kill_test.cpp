// zenthra-store provision killed (SIGKILL) at random instants: every root
// it leaves is either not provisioned, and the next run provisions it, or
// whole. Half the runs go into a folder that does not exist yet (one rename
// publishes the root), half into one that already holds a file (the parts
// are moved in, machine file last); all under umask 000.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

#include "tests/directory/root_checks.h"
#include "tools/zenthra-store/directory_seed.h"
#include "tools/zenthra-store/provisioning.h"

namespace directory {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const store::Machine kMachine{"mail01", "example.com"};

// Starts the tool under umask 000 and returns its process id.
pid_t Start(const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::umask(0);
    std::vector<char*> argv{const_cast<char*>(ZENTHRA_STORE_TOOL)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(ZENTHRA_STORE_TOOL, argv.data());
    ::_exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// How many runs must be killed: 200, fewer in the sanitizer build, whose
// runs take several times as long (the normal build kills the 200 on every
// test run); ZENTHRA_PROVISION_KILLS overrides.
int Kills() {
  const char* n = std::getenv("ZENTHRA_PROVISION_KILLS");
  if (n != nullptr) return std::max(1, std::atoi(n));
#if defined(__SANITIZE_ADDRESS__)
  return 60;
#else
  return 200;
#endif
}

TEST(ProvisionKill, EveryKilledRunLeavesNoRootOrAWholeOne) {
  char pattern[] = "/tmp/zenthra-provision-kill-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const fs::path people = dir / "people.ldif";
  std::ofstream(people) << store::cli::PeopleLdif(kMachine, 200, 40);
  std::vector<std::string> aliases;
  for (const auto& m : store::cli::PlanMailboxes(
           ParseLdif(store::cli::PeopleLdif(kMachine, 200, 40), "people"), kMachine)) {
    aliases.push_back(m.alias);
  }
  auto args = [&](const fs::path& root) {
    return std::vector<std::string>{"--root",      root.string(), "provision",
                                    "--computer",  "mail01",      "--domain",
                                    "example.com", "--users",     people.string()};
  };

  // How long an undisturbed run takes sets the range of the kill instants:
  // the fastest of three, the first being slowed by cold caches.
  Clock::duration run_time = Clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    const fs::path timing = dir / ("timing" + std::to_string(i));
    const Clock::time_point t0 = Clock::now();
    ASSERT_EQ(Wait(Start(args(timing))), 0);
    run_time = std::min(run_time, Clock::now() - t0);
    ASSERT_TRUE(InspectRoot(timing, aliases).whole);
  }

  std::mt19937 random(std::random_device{}());
  // The runs after a kill are undisturbed ones: their recent median follows
  // the machine's load, which changes while the test runs.
  std::vector<Clock::duration> recent(5, run_time);
  auto typical = [&] {
    std::vector<Clock::duration> sorted = recent;
    std::sort(sorted.begin(), sorted.end());
    return std::chrono::duration_cast<std::chrono::microseconds>(sorted[sorted.size() / 2]);
  };
  int killed = 0, finished = 0, left_empty = 0, left_whole = 0;
  const int kills = Kills();
  // Until so many runs were killed (a run that finished first counts as a
  // run, not a kill), within reason.
  int runs = 0;
  for (int i = 0; killed < kills && i < 3 * kills; ++i, ++runs) {
    const bool occupied = i % 2 == 1;
    const fs::path root = dir / ("root" + std::to_string(i));
    if (occupied) {
      fs::create_directory(root);
      std::ofstream(root / "notes.txt") << "the administrator's\n";
    }
    const pid_t pid = Start(args(root));
    // Half the instants anywhere in a run, half in its last quarter and
    // just after, where the commit lies.
    const long span = typical().count();
    const long us = i % 4 < 2
                        ? std::uniform_int_distribution<long>(0, span * 11 / 10)(random)
                        : std::uniform_int_distribution<long>(span * 3 / 4, span * 11 / 10)(random);
    const timespec pause{us / 1000000, (us % 1000000) * 1000};
    ::nanosleep(&pause, nullptr);
    ::kill(pid, SIGKILL);
    const int status = Wait(pid);
    (WIFSIGNALED(status) ? killed : finished)++;

    const RootState state = InspectRoot(root, aliases);
    SCOPED_TRACE("run " + std::to_string(i) + (occupied ? " (occupied)" : "") + ", killed after " +
                 std::to_string(us) + " us");
    if (state.provisioned) {
      ASSERT_TRUE(state.whole) << state.problem;
      ++left_whole;
    } else {
      ++left_empty;
      const Clock::time_point t0 = Clock::now();
      ASSERT_EQ(Wait(Start(args(root))), 0) << "the next run provisions it";
      recent.erase(recent.begin());
      recent.push_back(Clock::now() - t0);
      const RootState after = InspectRoot(root, aliases);
      ASSERT_TRUE(after.whole) << after.problem;
    }
    // Killed between the commit and the tidying up, a run leaves its
    // staging folder in an occupied root, empty; the next run removes it.
    const fs::path inside = root / store::cli::kStagingName;
    const bool leftover = fs::exists(inside) || fs::exists(store::cli::SiblingStaging(root));
    if (fs::exists(inside)) {
      EXPECT_TRUE(occupied && state.provisioned) << "a leftover only after the commit";
      EXPECT_TRUE(fs::is_empty(inside));
    }
    if (occupied) {
      EXPECT_TRUE(fs::exists(root / "notes.txt"));
    }
    // A rerun on a whole root refuses and tidies up what a kill left.
    if (leftover || i % 5 == 0) {
      ASSERT_NE(Wait(Start(args(root))), 0);
      EXPECT_FALSE(fs::exists(inside));
      EXPECT_FALSE(fs::exists(store::cli::SiblingStaging(root)));
      EXPECT_TRUE(InspectRoot(root, aliases).whole);
    }
    fs::remove_all(root);
  }
  std::cout << "provisioning: " << runs << " runs, " << killed << " killed, " << finished
            << " finished first; " << left_empty << " left no root, " << left_whole
            << " a whole one; 0 unusable (run time "
            << std::chrono::duration_cast<std::chrono::milliseconds>(run_time).count() << " ms)\n";
  EXPECT_GE(killed, kills) << "the kill instants should land inside the runs";
  fs::remove_all(dir);
}

// mailbox sync killed at random instants: the new hires' mailboxes come all
// together or not at all, and the next run makes what is missing.
TEST(ProvisionKill, AKilledSyncMakesAllNewMailboxesOrNone) {
  char pattern[] = "/tmp/zenthra-sync-kill-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const fs::path root = dir / "root";
  ASSERT_EQ(Wait(Start({"--root", root.string(), "provision", "--computer", "mail01", "--domain",
                        "example.com"})),
            0);
  std::ifstream in(DefaultLdifPath(root));
  const std::string catalog((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // 150 new persons, 30 of them homed here.
  const std::string hires = store::cli::PeopleLdif(kMachine, 150, 30);
  auto count = [&] {
    int n = 0;
    for (const store::MailboxInfo& m : store::Store::Open(root)->Mailboxes()) n += !m.is_system;
    return n;
  };
  const int before = count();
  const std::vector<std::string> sync{"--root", root.string(), "mailbox", "sync"};

  const fs::path copy = dir / "model";
  fs::copy(root, copy, fs::copy_options::recursive);
  std::ofstream(DefaultLdifPath(root), std::ios::app) << hires.substr(hires.find("\ndn:"));
  Clock::time_point t0 = Clock::now();
  ASSERT_EQ(Wait(Start(sync)), 0);
  const auto range = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
  ASSERT_EQ(count(), before + 30);

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long> instant(0, range.count() * 11 / 10);
  int none = 0, all = 0;
  for (int i = 0; i < 50; ++i) {
    fs::remove_all(root);
    fs::copy(copy, root, fs::copy_options::recursive);
    std::ofstream(DefaultLdifPath(root), std::ios::app) << hires.substr(hires.find("\ndn:"));
    const pid_t pid = Start(sync);
    const long us = instant(random);
    const timespec pause{us / 1000000, (us % 1000000) * 1000};
    ::nanosleep(&pause, nullptr);
    ::kill(pid, SIGKILL);
    Wait(pid);
    const int made = count() - before;
    ASSERT_TRUE(made == 0 || made == 30) << made << " of 30 after a kill at " << us << " us";
    (made == 0 ? none : all)++;
    ASSERT_EQ(Wait(Start(sync)), 0);
    ASSERT_EQ(count(), before + 30);
  }
  std::cout << "mailbox sync: 50 kills, " << none << " left none of the 30 new mailboxes, " << all
            << " all of them\n";
  fs::remove_all(dir);
}

}  // namespace
}  // namespace directory

// A delivering process killed at random instants leaves every acknowledged
// message whole and no half-written one.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/store/fixture.h"
#include "tests/store/kill_message.h"

namespace store::testing {
namespace {

using core::Variant;

constexpr int kRounds = 20, kWriters = 2, kKills = kRounds * kWriters;

// Starts the helper with its stdout on a pipe; returns the pid and read end.
std::pair<pid_t, int> StartHelper(const std::string& root, int run) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, -1};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    std::string r = std::to_string(run);
    ::execl(ZENTHRA_KILL_HELPER, ZENTHRA_KILL_HELPER, root.c_str(), "jdoe", r.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}

// Waits (up to 30 s) until the helper has acknowledged its first delivery;
// returns false when it never did.
bool WaitFirstAck(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
  }
  return false;
}

// Reads every acknowledgement the helper wrote; returns how many.
int CountAcks(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  int acks = 0;
  for (char c : text) acks += c == '\n';
  return acks;
}

TEST_F(StoreTest, KilledDeliveriesLeaveWholeItemsOnly) {
  std::string inbox = Mailbox("jdoe") + "/Inbox";
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delay_us(0, 60000);
  std::map<int, int> acked;  // run -> deliveries acknowledged
  int total_acked = 0;
  // Two writers at a time, so that kills also land while one waits for the
  // other's lock. Odd rounds kill at a random moment after the first
  // delivery, even rounds at a random moment after the start, which may
  // fall into opening the store or recovering it from the last kill.
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::pair<pid_t, int>> helpers;
    for (int w = 0; w < kWriters; ++w) {
      helpers.push_back(StartHelper(root_.string(), round * kWriters + w));
    }
    int early = 0;  // acknowledgements consumed while waiting
    if (round % 2 == 1) {
      for (auto [pid, fd] : helpers) {
        ASSERT_TRUE(WaitFirstAck(fd)) << "a helper never delivered";
        ++early;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    for (auto [pid, fd] : helpers) {
      ASSERT_GT(pid, 0);
      ::kill(pid, SIGKILL);
    }
    for (std::size_t w = 0; w < helpers.size(); ++w) {
      auto [pid, fd] = helpers[w];
      int status = 0;
      ::waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the helper ended by itself, status " << status;
      int run = round * kWriters + static_cast<int>(w);
      acked[run] = CountAcks(fd) + (early > 0 ? 1 : 0);
      ::close(fd);
      total_acked += acked[run];
    }
  }
  store_.reset();

  // The database itself is sound.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile(root_).c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  // Every item is whole; every acknowledged delivery is there; at most one
  // unacknowledged delivery per kill.
  store_ = Store::Open(root_);
  std::vector<Item> items = store_->Children(store_->Resolve(inbox).id);
  EXPECT_GE(items.size(), static_cast<std::size_t>(total_acked));
  EXPECT_LE(items.size(), static_cast<std::size_t>(total_acked + kKills));
  std::map<int, std::set<int>> found;
  for (const Item& item : items) {
    std::map<std::string, Variant> props;
    for (auto& [name, value] : store_->Properties(item.id)) props[name] = value;
    std::string subject = props[schema::kSubject].AsString();
    int run = -1, n = -1;
    ASSERT_EQ(std::sscanf(subject.c_str(), "kill %d-%d", &run, &n), 2) << item.name;
    EXPECT_EQ(props[schema::kContent].AsString(), KillMessage(run, n)) << item.name;
    EXPECT_EQ(props[schema::kHasAttachment], Variant(KillHasAttachment(n))) << item.name;
    EXPECT_EQ(props[schema::kContentClass].AsString(), schema::kMessageClass);
    EXPECT_EQ(item.name, subject + ".EML");
    EXPECT_TRUE(found[run].insert(n).second) << "delivered twice: " << subject;
  }
  for (auto& [run, count] : acked) {
    for (int n = 0; n < count; ++n) {
      EXPECT_TRUE(found[run].count(n)) << "acknowledged but lost: run " << run << " #" << n;
    }
    // Anything beyond the acknowledged ones is the one in flight.
    EXPECT_LE(found[run].size(), static_cast<std::size_t>(count + 1)) << "run " << run;
  }
  std::cout << kKills << " kills, " << total_acked << " acknowledged deliveries, " << items.size()
            << " items\n";
  // The kills must have hit deliveries, not only start-ups.
  EXPECT_GT(total_acked, 0);
}

}  // namespace
}  // namespace store::testing

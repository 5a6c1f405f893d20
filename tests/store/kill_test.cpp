// A delivering process killed at random instants leaves every acknowledged
// message whole and no half-written one.
#include <gtest/gtest.h>
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
#include "tests/store/kill_pipe.h"

namespace store::testing {
namespace {

using core::Variant;

constexpr int kRounds = 20, kWriters = 2, kKills = kRounds * kWriters;

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
      helpers.push_back(StartHelper(
          ZENTHRA_KILL_HELPER, {root_.string(), "jdoe", std::to_string(round * kWriters + w)}));
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

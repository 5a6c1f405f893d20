// Filing killed at random instants: a mail server delivering into a mailbox
// registered twice over (its own registration and the store-wide one) is
// killed again and again while the sink files marked mail. Every message it
// acknowledged is there exactly once, whole, in the Inbox or in Spam; no
// copy outlives its move, nothing is filed twice.
#include <gmock/gmock.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "tests/sink/delivery_fixture.h"
#include "tests/store/kill_message.h"
#include "tests/store/kill_pipe.h"

namespace {

using core::Variant;
using sinktest::DeliveryTest;
using store::testing::CountAcks;
using store::testing::KillHasAttachment;
using store::testing::KillMessage;
using store::testing::StartHelper;
using store::testing::WaitFirstAck;
namespace schema = store::schema;

constexpr int kRounds = 100;

TEST_F(DeliveryTest, KilledFilingLeavesEveryMessageExactlyOnce) {
  std::string jdoe = store_->AddMailbox("jdoe");
  Install(std::string("Spam\r") + sinktest::kMarker + "\r65500");
  Register(jdoe, "inbox", "SHALLOW");
  Register(SystemMailbox(), "StoreEvents/GlobalEvents", "ANY");

  // Kills land at random within about one start-up and a few deliveries,
  // measured as it goes, so that slower builds (sanitizers) are hit as
  // often mid-filing as fast ones.
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> fraction(0.0, 1.5);
  std::chrono::microseconds first_ack(100000);
  std::map<int, int> acked;  // run -> deliveries acknowledged
  int total_acked = 0;
  for (int run = 0; run < kRounds; ++run) {
    const auto start = std::chrono::steady_clock::now();
    auto [pid, fd] = StartHelper(SINK_KILL_HELPER, {root_.string(), std::to_string(run)});
    ASSERT_GT(pid, 0);
    // Odd rounds kill once filing is under way, even ones at any moment
    // after the start (opening the store, recovering it, loading the sink).
    int early = 0;
    if (run % 2 == 1) {
      ASSERT_TRUE(WaitFirstAck(fd)) << "the helper never delivered";
      early = 1;
      first_ack = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - start);
    }
    std::this_thread::sleep_for(first_ack * fraction(rng));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the helper ended by itself, status " << status;
    acked[run] = CountAcks(fd) + early;
    ::close(fd);
    total_acked += acked[run];
  }

  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(store::DatabaseFile(root_).c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  store_ = store::Store::Open(root_);
  std::map<std::pair<int, int>, std::vector<std::string>> where;  // (run, n) -> folders
  int filed = 0;
  for (const char* folder : {"Inbox", "Spam"}) {
    std::optional<store::Item> f = store_->Find(store_->Names(jdoe + "/" + folder));
    if (!f) continue;
    for (const store::Item& item : store_->Children(f->id)) {
      if (item.name == "Zenthra.reg") continue;
      ASSERT_FALSE(item.is_folder) << folder << "/" << item.name;
      std::map<std::string, Variant> props;
      for (auto& [name, value] : store_->Properties(item.id)) props[name] = value;
      int run = -1, n = -1;
      std::string subject =
          props.count(schema::kSubject) ? props[schema::kSubject].AsString() : std::string();
      ASSERT_EQ(std::sscanf(subject.c_str(), "kill %d-%d", &run, &n), 2)
          << "an item without its message: " << folder << "/" << item.name;
      EXPECT_EQ(props[schema::kContent], Variant(KillMessage(run, n))) << item.name;
      where[{run, n}].push_back(folder);
      if (std::string(folder) == "Spam") {
        ++filed;
        EXPECT_TRUE(KillHasAttachment(n)) << "unmarked mail filed: " << subject;
      }
    }
  }
  for (const auto& [message, folders] : where) {
    EXPECT_EQ(folders.size(), 1u) << "kill " << message.first << "-" << message.second << " in "
                                  << ::testing::PrintToString(folders);
  }
  for (const auto& [run, count] : acked) {
    for (int n = 0; n < count; ++n) {
      EXPECT_TRUE(where.count({run, n})) << "acknowledged but lost: kill " << run << "-" << n;
    }
    // Beyond the acknowledged ones only the one in flight.
    EXPECT_FALSE(where.count({run, count + 1})) << "run " << run;
  }
  // Nothing strayed: the mailbox holds its Inbox and Spam only.
  std::vector<std::string> top;
  for (const store::Item& item : store_->Children(store_->Resolve(jdoe).id)) {
    top.push_back(item.name);
  }
  EXPECT_THAT(top, ::testing::UnorderedElementsAre("Inbox", "Spam"));
  std::cout << kRounds << " kills, " << total_acked << " acknowledged deliveries, " << where.size()
            << " messages, " << filed << " of them filed\n";
  EXPECT_GT(filed, 0);
}

}  // namespace

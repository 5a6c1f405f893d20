// Group commit against a real store: many sessions share commits and each
// message lands once; a refused message leaves its batch alone; outcomes do
// not wait for the sinks, Stop does; a full or read-only disk defers the
// whole batch and stores none of it.
#include "tools/zenthra-lmtpd/group_commit.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "platform/com/server.h"
#include "platform/core/variant.h"
#include "platform/store/session.h"
#include "tests/lmtp/store_root.h"
#include "tests/support/small_fs.h"

namespace lmtp {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::StoreRoot;
using ::testing::UnorderedElementsAreArray;

// A parcel as a session hands it over, analysed unless told otherwise.
Parcel MessageFor(const std::string& mailbox, const std::string& subject,
                  std::size_t body_size = 100, bool analysed = true) {
  auto body = std::make_shared<const std::string>("Subject: " + subject + "\r\n\r\n" +
                                                  std::string(body_size, 'x') + "\r\n");
  Parcel p{mailbox, "Return-Path: <s@example.org>\r\n", body, nullptr};
  if (analysed) p.info = std::make_shared<const mime::MessageInfo>(mime::Analyze(p.prefix + *body));
  return p;
}

std::vector<Outcome::Status> Statuses(const std::vector<Outcome>& outcomes) {
  std::vector<Outcome::Status> out;
  for (const Outcome& o : outcomes) out.push_back(o.status);
  return out;
}

TEST(GroupCommitTest, ConcurrentSessionsShareCommitsAndEachMessageLandsOnce) {
  StoreRoot root;
  root.AddMailboxes({"jdoe", "asmith"});
  GroupCommit commit(GroupCommit::Options{root.path()});
  constexpr int kSessions = 8, kEach = 15;
  std::vector<std::string> expected[2];
  std::vector<std::thread> sessions;
  std::vector<std::vector<Outcome>> results(kSessions);
  for (int s = 0; s < kSessions; ++s) {
    for (int i = 0; i < kEach; ++i) {
      expected[s % 2].push_back("m" + std::to_string(s) + "-" + std::to_string(i));
    }
    sessions.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) {
        // Half the sessions leave the parsing to the committer.
        std::vector<Outcome> o = commit.Deliver({MessageFor(
            s % 2 ? "asmith" : "jdoe", "m" + std::to_string(s) + "-" + std::to_string(i), 100,
            s < kSessions / 2)});
        results[s].insert(results[s].end(), o.begin(), o.end());
      }
    });
  }
  for (std::thread& t : sessions) t.join();
  for (const auto& r : results) {
    ASSERT_EQ(r.size(), static_cast<std::size_t>(kEach));
    for (const Outcome& o : r) {
      EXPECT_EQ(o.status, Outcome::kStored) << o.error;
      EXPECT_THAT(o.url, ::testing::StartsWith("file://./backofficestorage/example.com/MBX/"));
    }
  }
  EXPECT_THAT(root.Subjects("jdoe"), UnorderedElementsAreArray(expected[0]));
  EXPECT_THAT(root.Subjects("asmith"), UnorderedElementsAreArray(expected[1]));
  GroupCommit::Stats stats = commit.stats();
  EXPECT_EQ(stats.messages, static_cast<std::uint64_t>(kSessions * kEach));
  // Sessions waiting while a commit runs share the next one.
  EXPECT_LT(stats.commits, stats.messages);
}

// The store's test sinks, loaded and registered for the process.
class TestSinks {
 public:
  TestSinks() : library_(::dlopen(EVENTS_SINK, RTLD_NOW | RTLD_LOCAL)) {
    if (library_) com::RegisterLibrary(EVENTS_SINK);
  }
  ~TestSinks() {
    if (library_) ::dlclose(library_);
  }
  bool loaded() const { return library_ != nullptr; }
  template <typename F>
  F* Function(const char* name) const {
    return reinterpret_cast<F*>(::dlsym(library_, name));
  }

  // Binds sink_class to every save in the Inbox of mailbox.
  static void Register(const StoreRoot& root, const std::string& mailbox,
                       const std::string& sink_class) {
    namespace schema = store::schema;
    using core::Variant;
    std::unique_ptr<store::Store> s = root.Open();
    std::optional<store::Item> inbox = s->Find({"example.com", "MBX", mailbox, "Inbox"});
    ASSERT_TRUE(inbox);
    s->Create(inbox->id, "test.reg", false, store::ExistingItem::Replace,
              {{schema::kContentClass, Variant(schema::kEventRegistrationClass)},
               {schema::kEventMethod, Variant("onsyncsave")},
               {schema::kSinkClass, Variant(sink_class)},
               {schema::kMatchScope, Variant("SHALLOW")},
               {schema::kCriteria, Variant(" WHERE \"DAV:ishidden\" = FALSE")},
               {schema::kIsHidden, Variant(true)}});
  }

 private:
  void* library_;
};

TEST(GroupCommitTest, ARefusedMessageLeavesTheRestOfItsBatch) {
  StoreRoot root;
  root.AddMailboxes({"jdoe", "asmith", "guarded"});
  TestSinks sinks;
  ASSERT_TRUE(sinks.loaded()) << ::dlerror();
  // A sink on "guarded" that vetoes every save.
  TestSinks::Register(root, "guarded", "EventsTest.Veto");
  GroupCommit commit(GroupCommit::Options{root.path()});
  std::vector<Outcome> outcomes =
      commit.Deliver({MessageFor("jdoe", "one"), MessageFor("ghost", "two"),
                      MessageFor("guarded", "three"), MessageFor("asmith", "four")});
  EXPECT_THAT(Statuses(outcomes), ElementsAre(Outcome::kStored, Outcome::kRefused,
                                              Outcome::kRefused, Outcome::kStored));
  EXPECT_THAT(outcomes[1].error, ::testing::HasSubstr("ghost"));
  EXPECT_THAT(outcomes[2].error, ::testing::HasSubstr("refused the save"));
  EXPECT_THAT(root.Subjects("jdoe"), ElementsAre("one"));
  EXPECT_THAT(root.Subjects("asmith"), ElementsAre("four"));
  EXPECT_THAT(root.Subjects("guarded"), IsEmpty());
  EXPECT_EQ(commit.stats().commits, 1u);
  commit.Stop();
}

TEST(GroupCommitTest, AnswersOnceDurableWithoutWaitingForTheSinksAndStopWaitsForThem) {
  StoreRoot root;
  root.AddMailboxes({"jdoe"});
  TestSinks sinks;
  ASSERT_TRUE(sinks.loaded()) << ::dlerror();
  auto* gate_waiting = sinks.Function<bool()>("EventsTestGateWaiting");
  auto* open_gate = sinks.Function<void()>("EventsTestOpenGate");
  ASSERT_TRUE(gate_waiting && open_gate);
  // A sink that holds the committed phase until the gate opens.
  TestSinks::Register(root, "jdoe", "EventsTest.Gate");
  GroupCommit commit(GroupCommit::Options{root.path()});

  auto delivered =
      std::async(std::launch::async, [&] { return commit.Deliver({MessageFor("jdoe", "one")}); });
  // The gate lets the sink through by itself after ten seconds.
  ASSERT_EQ(delivered.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "the outcome waited for the sink";
  std::vector<Outcome> outcomes = delivered.get();
  EXPECT_THAT(Statuses(outcomes), ElementsAre(Outcome::kStored)) << outcomes[0].error;
  EXPECT_TRUE(gate_waiting());
  EXPECT_THAT(root.Subjects("jdoe"), ElementsAre("one"));

  auto stopped = std::async(std::launch::async, [&] { commit.Stop(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "Stop left the sink running";
  open_gate();
  stopped.get();
  std::string log;
  sinks.Function<void(void (*)(const char*, void*), void*)>("EventsTestTakeLog")(
      [](const char* text, void* into) { *static_cast<std::string*>(into) += text; }, &log);
  EXPECT_THAT(log, ::testing::HasSubstr("Gate committed"));
}

TEST(GroupCommitTest, AFullDiskDefersTheWholeBatchAndStoresNoneOfIt) {
  zenthra::testing::SmallFs fs(8 << 20);
  if (!fs.Available()) GTEST_SKIP() << fs.SkipReason();
  StoreRoot root(fs.path());
  root.AddMailboxes({"jdoe", "asmith"});
  GroupCommit commit(GroupCommit::Options{root.path()});
  ASSERT_EQ(commit.Deliver({MessageFor("jdoe", "before")})[0].status, Outcome::kStored);

  fs.Fill();
  std::vector<Outcome> full =
      commit.Deliver({MessageFor("jdoe", "small", 10), MessageFor("asmith", "big", 300000),
                      MessageFor("jdoe", "small too", 10)});
  for (const Outcome& o : full) {
    EXPECT_EQ(o.status, Outcome::kFull) << o.error;
    EXPECT_THAT(o.error, ::testing::HasSubstr("full"));
  }
  EXPECT_THAT(root.Subjects("jdoe"), ElementsAre("before"));
  EXPECT_THAT(root.Subjects("asmith"), IsEmpty());

  // The transport tries again once there is room: each message once.
  fs.FreeSpace();
  std::vector<Outcome> again =
      commit.Deliver({MessageFor("jdoe", "small", 10), MessageFor("asmith", "big", 300000),
                      MessageFor("jdoe", "small too", 10)});
  EXPECT_THAT(Statuses(again), ElementsAre(Outcome::kStored, Outcome::kStored, Outcome::kStored));
  EXPECT_THAT(root.Subjects("jdoe"), UnorderedElementsAreArray({"before", "small", "small too"}));
  EXPECT_THAT(root.Subjects("asmith"), ElementsAre("big"));
}

TEST(GroupCommitTest, AReadOnlyRootDefersAndNothingIsLost) {
  zenthra::testing::SmallFs fs(8 << 20);
  if (!fs.Available()) GTEST_SKIP() << fs.SkipReason();
  StoreRoot root(fs.path());
  root.AddMailboxes({"jdoe"});
  // A root mounted read-only, as after a file system error; the committers
  // have not opened the store yet.
  GroupCommit commit(GroupCommit::Options{root.path()});
  store::Session::ReleaseIdle(root.path());  // this thread's, from provisioning
  ASSERT_TRUE(fs.ReadOnly(true));
  std::vector<Outcome> refused = commit.Deliver({MessageFor("jdoe", "a"), MessageFor("jdoe", "b")});
  EXPECT_THAT(Statuses(refused), ElementsAre(Outcome::kTemporary, Outcome::kTemporary));
  EXPECT_NE(refused[0].error, "not attempted");
  ASSERT_TRUE(fs.ReadOnly(false));
  std::vector<Outcome> stored = commit.Deliver({MessageFor("jdoe", "a"), MessageFor("jdoe", "b")});
  EXPECT_THAT(Statuses(stored), ElementsAre(Outcome::kStored, Outcome::kStored)) << stored[0].error;
  EXPECT_THAT(root.Subjects("jdoe"), UnorderedElementsAreArray({"a", "b"}));
}

TEST(GroupCommitTest, StopFinishesWhatIsQueuedAndTakesNothingAfter) {
  StoreRoot root;
  root.AddMailboxes({"jdoe"});
  GroupCommit commit(GroupCommit::Options{root.path(), 1});
  std::vector<std::thread> sessions;
  std::vector<Outcome> outcomes(16);
  for (int i = 0; i < 16; ++i) {
    sessions.emplace_back(
        [&, i] { outcomes[i] = commit.Deliver({MessageFor("jdoe", "s" + std::to_string(i))})[0]; });
  }
  commit.Stop();
  for (std::thread& t : sessions) t.join();
  std::vector<std::string> stored;
  for (int i = 0; i < 16; ++i) {
    ASSERT_NE(outcomes[i].status, Outcome::kRefused);
    if (outcomes[i].status == Outcome::kStored) stored.push_back("s" + std::to_string(i));
    if (outcomes[i].status == Outcome::kTemporary) {
      EXPECT_EQ(outcomes[i].error, "the service is stopping");
    }
  }
  // Stored exactly when reported stored.
  EXPECT_THAT(root.Subjects("jdoe"), UnorderedElementsAreArray(stored));
  EXPECT_EQ(commit.Deliver({MessageFor("jdoe", "late")})[0].status, Outcome::kTemporary);
}

TEST(GroupCommitTest, TellsStoreFailuresFromRefusals) {
  EXPECT_TRUE(
      IsStorageFailure("Store database error while running \"COMMIT\": database or disk is full"));
  EXPECT_TRUE(
      IsDiskFull("Store database error while running \"COMMIT\": database or disk is full"));
  EXPECT_FALSE(IsStorageFailure("No mailbox \"ghost\""));
  EXPECT_FALSE(IsDiskFull("Store database error while running: disk I/O error"));
}

}  // namespace
}  // namespace lmtp

// Store sessions and their transactions: every data-access object of a
// thread shares one connection, transactions nest, and whatever ends a
// transaction (a rollback below, a failed commit) leaves a usable store.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "tests/store/fixture.h"
#include "tests/store/messages.h"
#include "tests/support/log_sync_recorder.h"
#include "tests/support/small_fs.h"

namespace store::testing {
namespace {

using core::Variant;
namespace err = core::err;

class SessionTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    inbox_ = Mailbox("jdoe") + "/Inbox";
  }

  // Whether url exists as another thread (another connection) sees it.
  bool SeenElsewhere(const std::string& url) {
    bool found = false;
    std::thread([&] {
      std::unique_ptr<Store> other = Store::Open(root_);
      found = other->Find(other->Names(url)).has_value();
    }).join();
    return found;
  }
  bool SeenHere(const std::string& url) { return store_->Find(store_->Names(url)).has_value(); }

  // Creates an item through a record of cnn (or of its own connection).
  static void Put(const std::string& url, adodb::ConnectionPtr cnn = nullptr) {
    adodb::Record rec;
    rec.Open(url, std::move(cnn), adodb::adModeReadWrite, adodb::adCreateNonCollection);
    rec.Fields()["urn:test:x"].Value(Variant(1));
    rec.Fields().Update();
  }

  std::string inbox_;
};

TEST_F(SessionTest, EveryObjectOfAThreadSharesOneConnection) {
  std::unique_ptr<Store> second = Store::Open(root_);
  EXPECT_EQ(&second->session(), &store_->session());
  EXPECT_EQ(&Store::Open()->session(), &store_->session());  // the same root by ZENTHRA_ROOT

  // A record opened without a connection writes inside the handle's
  // transaction: it goes with the rollback, and nothing waited for a lock.
  store_->BeginTrans();
  Put(inbox_ + "/through-a-record");
  store_->Deliver("jdoe", PlainMessage("delivered"));
  EXPECT_TRUE(SeenHere(inbox_ + "/through-a-record"));
  EXPECT_FALSE(SeenElsewhere(inbox_ + "/through-a-record"));
  store_->RollbackTrans();
  EXPECT_FALSE(SeenHere(inbox_ + "/through-a-record"));
  EXPECT_FALSE(SeenHere(inbox_ + "/delivered.EML"));

  // Other threads have sessions of their own.
  Session* elsewhere = nullptr;
  std::thread([&] { elsewhere = &Store::Open(root_)->session(); }).join();
  EXPECT_NE(elsewhere, &store_->session());
}

TEST_F(SessionTest, TheAnalysesOfRecentlySavedTextsAreGivenForExactlyThoseTexts) {
  const std::string marked = MessageWithAttachment("one", "Quarantined Attachment.txt");
  store_->Deliver("jdoe", marked);
  std::shared_ptr<const mime::MessageInfo> known = store_->session().AnalysisOf(marked);
  ASSERT_TRUE(known);
  ASSERT_EQ(known->attachments.size(), 1u);
  EXPECT_EQ(known->attachments[0].file_name, "Quarantined Attachment.txt");
  EXPECT_EQ(known->subject, "one");

  // One byte off: parsed again.
  std::string other = marked;
  other.back() = other.back() == 'x' ? 'y' : 'x';
  EXPECT_FALSE(store_->session().AnalysisOf(other));

  // A batch's messages are all kept for their sinks; a long run of later
  // ones pushes the oldest out.
  store_->BeginTrans();
  store_->Deliver("jdoe", PlainMessage("two"));
  EXPECT_TRUE(store_->session().AnalysisOf(marked));
  std::shared_ptr<const mime::MessageInfo> two = store_->session().AnalysisOf(PlainMessage("two"));
  ASSERT_TRUE(two);
  EXPECT_EQ(two->subject, "two");
  for (int i = 0; i < 100; ++i) store_->Deliver("jdoe", PlainMessage("later " + std::to_string(i)));
  store_->CommitTrans();
  EXPECT_FALSE(store_->session().AnalysisOf(marked));
  EXPECT_TRUE(store_->session().AnalysisOf(PlainMessage("later 99")));

  // A huge text is not copied to be kept.
  const std::string huge = PlainMessage("huge") + std::string(2 << 20, 'x') + "\r\n";
  store_->Deliver("jdoe", huge);
  EXPECT_FALSE(store_->session().AnalysisOf(huge));
}

TEST_F(SessionTest, FoldersFoundOnceAreFoundAgainOnlyWhileTheyStand) {
  const ItemId inbox = store_->Resolve(inbox_).id;
  const auto found = [&](const std::string& name) { return SeenHere(inbox_ + "/" + name); };
  const ItemId a = store_->Create(inbox, "A", true, ExistingItem::Fail, {}).id;
  const ItemId x = store_->Create(a, "x", false, ExistingItem::Fail, {}).id;
  ASSERT_TRUE(found("a"));
  EXPECT_EQ(store_->UrlOf(x), inbox_ + "/A/x");

  // Renamed through another connection: seen at once.
  std::thread([&] {
    std::unique_ptr<Store> other = Store::Open(root_);
    other->Move(other->Resolve(inbox_ + "/A").id, inbox, "B", false);
  }).join();
  EXPECT_FALSE(found("A"));
  EXPECT_TRUE(found("B"));
  EXPECT_EQ(store_->UrlOf(x), inbox_ + "/B/x");

  // Made inside a transaction that is rolled back: gone with it.
  store_->BeginTrans();
  store_->Create(inbox, "C", true, ExistingItem::Fail, {});
  EXPECT_TRUE(found("C"));
  store_->RollbackTrans();
  EXPECT_FALSE(found("C"));

  // Moved or deleted here.
  store_->Move(store_->Resolve(inbox_ + "/B").id, inbox, "D", false);
  EXPECT_FALSE(found("B"));
  ASSERT_TRUE(found("D"));
  store_->Delete(store_->Resolve(inbox_ + "/D").id);
  EXPECT_FALSE(found("D"));

  // A folder replaced by a message of the same name is the message now.
  store_->Create(inbox, "E", true, ExistingItem::Fail, {});
  ASSERT_TRUE(found("E"));
  std::thread([&] {
    std::unique_ptr<Store> other = Store::Open(root_);
    other->Delete(other->Resolve(inbox_ + "/E").id);
    other->Create(inbox, "E", false, ExistingItem::Fail, {});
  }).join();
  std::optional<Item> e = store_->Find(store_->Names(inbox_ + "/E"));
  ASSERT_TRUE(e);
  EXPECT_FALSE(e->is_folder);
}

TEST_F(SessionTest, AMessagesPlaceIsReadAgainWheneverItMayHaveChanged) {
  const ItemId inbox = store_->Resolve(inbox_).id;
  const ItemId folder = store_->Create(inbox, "Kept", true, ExistingItem::Fail, {}).id;
  const ItemId id = store_->Resolve(store_->Deliver("jdoe", PlainMessage("moving"))).id;
  const std::string name = store_->Get(id)->name;
  const auto elsewhere = [&](const std::function<void(Store&)>& change) {
    std::thread([&] { change(*Store::Open(root_)); }).join();
  };

  // Moved here, and moved back by a savepoint or transaction rolled back.
  store_->Move(id, folder, "a", false);
  EXPECT_EQ(store_->UrlOf(id), inbox_ + "/Kept/a");
  store_->BeginTrans();
  store_->Move(id, inbox, "b", false);
  store_->BeginTrans();
  store_->Move(id, folder, "c", false);
  EXPECT_EQ(store_->Get(id)->name, "c");
  store_->RollbackTrans();
  EXPECT_EQ(store_->UrlOf(id), inbox_ + "/b");
  store_->RollbackTrans();
  EXPECT_EQ(store_->Get(id)->parent, folder);
  EXPECT_EQ(store_->UrlOf(id), inbox_ + "/Kept/a");

  // Moved by another connection: seen outside a transaction and inside one.
  elsewhere([&](Store& other) { other.Move(id, inbox, name, false); });
  EXPECT_EQ(store_->UrlOf(id), inbox_ + "/" + name);
  elsewhere([&](Store& other) { other.Move(id, folder, "d", false); });
  store_->BeginTrans();
  EXPECT_EQ(store_->MailboxOf(id), store_->Get(inbox)->parent);
  EXPECT_EQ(store_->Get(id)->name, "d");
  store_->CommitTrans();

  // Replaced here by a message moved over it, or deleted elsewhere.
  const ItemId other_id = store_->Resolve(store_->Deliver("jdoe", PlainMessage("over"))).id;
  ASSERT_TRUE(store_->Get(other_id));
  store_->Move(id, inbox, store_->Get(other_id)->name, true);
  EXPECT_FALSE(store_->Get(other_id));
  EXPECT_EQ(store_->Get(id)->parent, inbox);
  elsewhere([&](Store& other) { other.Delete(id); });
  EXPECT_FALSE(store_->Get(id));
  EXPECT_THROW(store_->UrlOf(id), core::RuntimeError);
}

TEST_F(SessionTest, AnItemsPropertiesAreReadAgainWheneverTheyMayHaveChanged) {
  const std::string text = PlainMessage("first");
  const ItemId id = store_->Resolve(store_->Deliver("jdoe", text)).id;
  const auto subject = [&] { return store_->Property(id, "urn:schemas:httpmail:subject"); };
  const auto value = [&](const char* name) -> Variant {
    for (const auto& [n, v] : store_->Properties(id, true)) {
      if (n == name) return v;
    }
    return Variant();
  };
  const auto elsewhere = [&](const std::function<void(Store&)>& change) {
    std::thread([&] { change(*Store::Open(root_)); }).join();
  };
  ASSERT_EQ(value("urn:test:x"), Variant());
  EXPECT_EQ(value("urn:schemas:httpmail:subject"), Variant("first"));
  EXPECT_EQ(value(schema::kContent), Variant(text));

  // Written here, outside a transaction and inside one.
  store_->Update(id, {{"urn:test:x", Variant(1)}});
  EXPECT_EQ(value("urn:test:x"), Variant(1));
  store_->BeginTrans();
  store_->Update(id, {{"urn:test:x", Variant(2)}});
  EXPECT_EQ(value("urn:test:x"), Variant(2));

  // Rolled back: the value before, at a savepoint and at the outermost level.
  store_->BeginTrans();
  store_->Update(id, {{"urn:test:x", Variant(3)}});
  EXPECT_EQ(value("urn:test:x"), Variant(3));
  store_->RollbackTrans();
  EXPECT_EQ(value("urn:test:x"), Variant(2));
  store_->RollbackTrans();
  EXPECT_EQ(value("urn:test:x"), Variant(1));

  // Written by another connection, seen outside a transaction and at the
  // start of the next one.
  elsewhere([&](Store& other) { other.Update(id, {{"urn:test:x", Variant(4)}}); });
  EXPECT_EQ(value("urn:test:x"), Variant(4));
  elsewhere([&](Store& other) { other.Update(id, {{"urn:test:x", Variant(5)}}); });
  store_->BeginTrans();
  EXPECT_EQ(value("urn:test:x"), Variant(5));
  store_->CommitTrans();

  // The text as well, whether this session or another one wrote it.
  const std::string second = PlainMessage("second");
  store_->Update(id, {{schema::kContent, Variant(second)}});
  EXPECT_EQ(store_->Property(id, schema::kContent), Variant(second));
  EXPECT_EQ(subject(), Variant("second"));
  const std::string third = PlainMessage("third");
  elsewhere([&](Store& other) { other.Update(id, {{schema::kContent, Variant(third)}}); });
  EXPECT_EQ(store_->Property(id, schema::kContent), Variant(third));
  EXPECT_EQ(value(schema::kContent), Variant(third));
  EXPECT_EQ(subject(), Variant("third"));

  // A text too large to keep is read from the database; so is one whose
  // analysis was pushed out by later ones.
  const std::string huge = PlainMessage("huge") + std::string(2 << 20, 'x') + "\r\n";
  const ItemId big = store_->Resolve(store_->Deliver("jdoe", huge)).id;
  const ItemId early = store_->Resolve(store_->Deliver("jdoe", PlainMessage("early"))).id;
  for (int i = 0; i < 70; ++i) store_->Deliver("jdoe", PlainMessage("later " + std::to_string(i)));
  EXPECT_EQ(store_->Property(big, schema::kContent), Variant(huge));
  EXPECT_EQ(store_->Property(early, schema::kContent), Variant(PlainMessage("early")));

  // Deleted here, or elsewhere.
  const ItemId gone = store_->Resolve(store_->Deliver("jdoe", PlainMessage("gone"))).id;
  ASSERT_FALSE(store_->Properties(gone).empty());
  store_->Delete(gone);
  EXPECT_THROW(store_->Properties(gone), core::RuntimeError);
  elsewhere([&](Store& other) { other.Delete(id); });
  EXPECT_THROW(store_->Properties(id), core::RuntimeError);
  EXPECT_THROW(store_->Properties(id, false), core::RuntimeError);
}

TEST_F(SessionTest, ANewItemsPropertiesReadTheSameFromTheCacheAsFromTheDatabase) {
  const ItemId inbox = store_->Resolve(inbox_).id;
  const std::string text = MessageWithAttachment("cached", "Quarantined Attachment.txt");
  const adodb::FieldList properties = {
      {"urn:test:a", Variant("first")},
      {"urn:test:null", Variant::Null()},
      {"URN:TEST:A", Variant("second, same place, first spelling")},
      {"urn:test:bool", Variant(true)},
      {"urn:test:gone", Variant(std::int32_t{7})},
      {schema::kContent, Variant(text)},
      {"urn:test:int", Variant(std::int16_t{-3})},
      {"urn:test:gone", Variant()},
      {"urn:test:double", Variant(2.5)},
      {"DAV:href", Variant("derived, never stored")},
      {"urn:test:back", Variant(std::int32_t{1})},
      {"urn:test:back", Variant()},
      {"urn:test:back", Variant(std::int32_t{2})},
      {"urn:schemas:httpmail:subject", Variant("replaced by the analysis")},
  };
  std::vector<ItemId> ids = {
      store_->Create(inbox, "made.EML", false, ExistingItem::Fail, properties).id,
      store_->Create(inbox, "folder", true, ExistingItem::Fail, {{"urn:test:f", Variant(1)}}).id,
      store_->Resolve(store_->Deliver("jdoe", text)).id,
  };
  // The content removed again after it was written.
  adodb::FieldList no_text = properties;
  no_text.emplace_back(schema::kContent, Variant());
  ids.push_back(store_->Create(inbox, "no text", false, ExistingItem::Fail, no_text).id);

  for (ItemId id : ids) {
    SCOPED_TRACE(store_->UrlOf(id));
    for (bool with_content : {false, true}) {
      adodb::FieldList here = store_->Properties(id, with_content);
      adodb::FieldList there;
      std::string deferred_here, deferred_there;
      adodb::FieldList deferring_here = store_->Properties(id, false, &deferred_here);
      adodb::FieldList deferring_there;
      std::thread([&] {
        std::unique_ptr<Store> other = Store::Open(root_);
        there = other->Properties(id, with_content);
        deferring_there = other->Properties(id, false, &deferred_there);
      }).join();
      EXPECT_EQ(here, there);
      EXPECT_EQ(deferring_here, deferring_there);
      EXPECT_EQ(deferred_here, deferred_there);
    }
  }
}

TEST_F(SessionTest, ARootMadeAgainAtTheSamePathGetsANewSession) {
  store_->Deliver("jdoe", PlainMessage("old root"));
  // Not while a transaction is open on the old one: its work stays whole.
  store_->BeginTrans();
  std::filesystem::rename(root_, root_.string() + ".old");
  Provision(root_, Machine{"mail02", "example.org"});
  EXPECT_EQ(&Store::Open(root_)->session(), &store_->session());
  store_->RollbackTrans();
  EXPECT_NE(&Store::Open(root_)->session(), &store_->session());
  std::filesystem::remove_all(root_);
  std::filesystem::rename(root_.string() + ".old", root_);
  store_.reset();
  std::filesystem::remove_all(root_);
  Provision(root_, Machine{"mail02", "example.org"});
  store_ = Store::Open(root_);
  EXPECT_EQ(store_->DomainFolder(), "example.org");
  EXPECT_FALSE(store_->Find({"example.org", "MBX", "jdoe"}));
  EXPECT_NO_THROW(store_->AddMailbox("jdoe"));
}

TEST_F(SessionTest, AForkedChildNeverUsesItsParentsConnection) {
  Session* parent = &store_->session();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Exit codes: 1 the parent's session was handed out, 2 the write failed.
    int code = 0;
    try {
      std::unique_ptr<Store> child = Store::Open(root_);
      if (&child->session() == parent) ::_exit(1);
      child->Deliver("jdoe", PlainMessage("from the child"));
    } catch (...) {
      code = 2;
    }
    ::_exit(code);  // no exit handlers: the parent's objects are not ours
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's connection still works and sees the child's message.
  EXPECT_EQ(&Store::Open(root_)->session(), parent);
  EXPECT_TRUE(SeenHere(inbox_ + "/from the child.EML"));
  EXPECT_NO_THROW(store_->Deliver("jdoe", PlainMessage("from the parent")));
}

TEST_F(SessionTest, AFullCommitHasSyncedTheLogWhenItReturnsARelaxedOneHasNot) {
  testing_support::LogSyncRecorder log;
  std::thread([&] {  // a new thread: its session opens through the recorder
    std::unique_ptr<Store> store = Store::Open(root_);
    Session& session = store->session();
    store->Deliver("jdoe", PlainMessage("durable"));
    EXPECT_GT(log.Syncs(), 0);
    EXPECT_FALSE(log.Unsynced());

    Session::Level level = session.Begin(Session::Durability::Relaxed);
    Put(inbox_ + "/relaxed");
    session.Commit(level);
    EXPECT_TRUE(log.Unsynced());
    session.Sync();
    EXPECT_FALSE(log.Unsynced());

    // A full commit makes the relaxed ones before it durable too; one that
    // changed nothing syncs nothing.
    level = session.Begin(Session::Durability::Relaxed);
    Put(inbox_ + "/relaxed again");
    session.Commit(level);
    level = session.Begin();
    Put(inbox_ + "/full");
    session.Commit(level);
    EXPECT_FALSE(log.Unsynced());
    const int syncs = log.Syncs();
    level = session.Begin();
    store->Find(store->Names(inbox_));
    session.Commit(level);
    EXPECT_EQ(log.Syncs(), syncs);

    // Savepoints inside a full transaction commit with it, synced.
    level = session.Begin();
    Session::Level inner = session.Begin(Session::Durability::Relaxed);
    Put(inbox_ + "/inner");
    session.Commit(inner);
    session.Commit(level);
    EXPECT_FALSE(log.Unsynced());

    // A log that cannot be synced: the delivery is reported as failed
    // although it is in the store, so that it is sent again rather than
    // counted on; the session goes on working, and syncs again later.
    log.FailSyncs(true);
    EXPECT_NE(ErrorOf([&] { store->Deliver("jdoe", PlainMessage("unsynced")); }), 0);
    EXPECT_FALSE(session.InTransaction());
    EXPECT_TRUE(SeenElsewhere(inbox_ + "/unsynced.EML"));
    log.FailSyncs(false);
    EXPECT_TRUE(log.Unsynced());
    store->Deliver("jdoe", PlainMessage("after"));
    EXPECT_FALSE(log.Unsynced());
  })
      .join();
}

TEST_F(SessionTest, TransactionsNestAndEachLevelEndsOnItsOwn) {
  adodb::ConnectionPtr cnn = Connect(inbox_);
  EXPECT_EQ(cnn->BeginTrans(), 1);
  Put(inbox_ + "/a", cnn);
  EXPECT_EQ(cnn->BeginTrans(), 2);
  Put(inbox_ + "/b", cnn);
  cnn->RollbackTrans();  // only level 2
  EXPECT_TRUE(SeenHere(inbox_ + "/a"));
  EXPECT_FALSE(SeenHere(inbox_ + "/b"));
  EXPECT_EQ(cnn->BeginTrans(), 2);
  Put(inbox_ + "/c", cnn);
  cnn->CommitTrans();
  EXPECT_FALSE(SeenElsewhere(inbox_ + "/c"));  // still inside level 1
  cnn->CommitTrans();
  EXPECT_TRUE(SeenElsewhere(inbox_ + "/a"));
  EXPECT_TRUE(SeenElsewhere(inbox_ + "/c"));
  EXPECT_FALSE(SeenElsewhere(inbox_ + "/b"));
  EXPECT_EQ(ErrorOf([&] { cnn->CommitTrans(); }), err::kAdoInvalidTransaction);
}

TEST_F(SessionTest, AnOuterLevelNeverCommitsAnInnerOnesWork) {
  adodb::ConnectionPtr outer = Connect(inbox_);
  adodb::ConnectionPtr inner = Connect(inbox_);
  outer->BeginTrans();
  Put(inbox_ + "/outer", outer);
  inner->BeginTrans();
  Put(inbox_ + "/inner", inner);
  EXPECT_EQ(ErrorOf([&] { outer->CommitTrans(); }), err::kAdoInvalidTransaction);
  EXPECT_FALSE(SeenElsewhere(inbox_ + "/outer"));

  // Closing the outer connection discards its level and the inner one.
  outer->Close();
  EXPECT_FALSE(SeenHere(inbox_ + "/outer"));
  EXPECT_FALSE(SeenHere(inbox_ + "/inner"));
  EXPECT_EQ(ErrorOf([&] { inner->CommitTrans(); }), err::kAdoInvalidTransaction);
  EXPECT_EQ(ErrorOf([&] { inner->RollbackTrans(); }), 0);
  EXPECT_EQ(ErrorOf([&] { inner->RollbackTrans(); }), err::kAdoInvalidTransaction);

  // Both are usable afterwards.
  inner->BeginTrans();
  Put(inbox_ + "/later", inner);
  inner->CommitTrans();
  EXPECT_TRUE(SeenElsewhere(inbox_ + "/later"));

  // Releasing a connection discards its levels too.
  inner->BeginTrans();
  Put(inbox_ + "/released", inner);
  inner.reset();
  EXPECT_FALSE(SeenHere(inbox_ + "/released"));
  EXPECT_NO_THROW(store_->Deliver("jdoe", PlainMessage("after")));
}

TEST_F(SessionTest, ItemIdsAreNeverReused) {
  Item newest =
      store_->SaveMessage(store_->Resolve(inbox_).id, PlainMessage("newest"), SaveOrigin::Client);
  auto record = std::make_shared<adodb::Record>();
  record->Open(store_->UrlOf(newest.id), nullptr, adodb::adModeReadWrite);
  store_->Delete(newest.id);
  Item next =
      store_->SaveMessage(store_->Resolve(inbox_).id, PlainMessage("next"), SaveOrigin::Client);
  EXPECT_GT(next.id, newest.id);
  // The record of the deleted item never comes to act on the new one.
  EXPECT_EQ(ErrorOf([&] { record->Source(); }), err::kDbNotFound);
  EXPECT_EQ(ErrorOf([&] { record->DeleteRecord(); }), err::kDbNotFound);
  EXPECT_TRUE(store_->Get(next.id));
}

TEST_F(SessionTest, SameNamedMessagesGetNumberedThenRandomNamesAndNoneIsLost) {
  ItemId inbox = store_->Resolve(inbox_).id;
  for (int i = 0; i < 103; ++i) store_->Deliver("jdoe", PlainMessage("Same"));
  std::set<std::string> names;
  for (const Item& item : store_->Children(inbox)) names.insert(item.name);
  ASSERT_EQ(names.size(), 103u);
  EXPECT_TRUE(names.count("Same.EML"));
  for (int n = 1; n <= 100; ++n) {
    EXPECT_TRUE(names.count("Same-" + std::to_string(n) + ".EML")) << n;
  }
  // With a hole among the numbers a free name is still found; nothing is
  // overwritten.
  store_->Delete(store_->Resolve(inbox_ + "/Same-37.EML").id);
  names.erase("Same-37.EML");
  std::string url = store_->Deliver("jdoe", PlainMessage("Same"));
  EXPECT_EQ(store_->Children(inbox).size(), 103u);
  EXPECT_FALSE(names.count(store_->Names(url).back())) << url;
}

TEST_F(SessionTest, AFailedCommitLeavesAUsableConnection) {
  zenthra::testing::SmallFs fs(4 << 20);
  if (!fs.Available()) GTEST_SKIP() << fs.SkipReason();
  std::filesystem::path root = fs.path() / "root";
  Provision(root, Machine{"mail01", "example.com"});
  core::SetServerRoot(root);
  {
    std::unique_ptr<Store> store = Store::Open(root);
    store->AddMailbox("jdoe");
  }
  std::string inbox = std::string(kMbxUrl) + "/jdoe/Inbox";
  std::string big(600 * 1024, 'x');
  std::string message = "Subject: too big\r\n\r\n" + big + "\r\n";
  fs.Fill();

  adodb::ConnectionPtr cnn = Connect(inbox);
  cnn->BeginTrans();
  Put(inbox + "/before", cnn);
  std::string failure;
  try {
    std::unique_ptr<Store> store = Store::Open(root);
    store->Deliver("jdoe", message);
    cnn->CommitTrans();
  } catch (const core::RuntimeError& e) {
    failure = e.Description();
  }
  ASSERT_FALSE(failure.empty()) << "the commit went through on a full disk";
  EXPECT_NE(failure.find("COMMIT"), std::string::npos) << failure;
  EXPECT_NE(failure.find("disk full"), std::string::npos) << failure;
  EXPECT_NE(failure.find((root / "store" / "store.db").string()), std::string::npos) << failure;
  // Rolling back what SQLite already rolled back is harmless; so is Close.
  EXPECT_EQ(ErrorOf([&] { cnn->RollbackTrans(); }), 0);
  EXPECT_EQ(ErrorOf([&] { cnn->Close(); }), 0);

  fs.FreeSpace();
  cnn = Connect(inbox);
  cnn->BeginTrans();
  Put(inbox + "/after", cnn);
  cnn->CommitTrans();
  std::unique_ptr<Store> store = Store::Open(root);
  EXPECT_TRUE(store->Find(store->Names(inbox + "/after")));
  EXPECT_FALSE(store->Find(store->Names(inbox + "/before")));
  EXPECT_FALSE(store->Find(store->Names(inbox + "/too big.EML")));
  EXPECT_FALSE(store->InTransaction());
  EXPECT_FALSE(store->session().InTransaction());
}

}  // namespace
}  // namespace store::testing

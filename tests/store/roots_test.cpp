// Server roots as administrators meet them: a store written by the previous
// format, a read-only file system, a full disk, a permissive umask.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/store/fixture.h"
#include "tests/store/messages.h"
#include "tests/support/small_fs.h"
#include "tools/zenthra-store/cli.h"

namespace store::testing {
namespace {

using core::Variant;
namespace err = core::err;

struct ToolResult {
  int status;
  std::string out, err;
};

ToolResult Tool(const std::filesystem::path& root, std::vector<std::string> args) {
  args.insert(args.begin(), {"--root", root.string()});
  std::istringstream in;
  std::ostringstream out, err;
  int status = cli::Run(args, in, out, err);
  return {status, out.str(), err.str()};
}

// Runs f on a thread of its own, whose store sessions close when it ends.
template <typename F>
void OnItsOwnThread(F&& f) {
  std::thread(std::forward<F>(f)).join();
}

void Exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << message;
}

unsigned Mode(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::string Mbx(const std::string& rest) { return std::string(kMbxUrl) + "/" + rest; }

// A root with the store as the previous format wrote it: the same tables
// without the registrations index, ids that SQLite may reuse.
void MakeFormat2Root(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "store");
  std::ofstream(root / "machine") << "computer=mail01\ndomain=example.com\n";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile(root).c_str(), &db), SQLITE_OK);
  Exec(db, R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE items(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,
  name_key TEXT NOT NULL, is_folder INTEGER NOT NULL, UNIQUE(parent, name_key));
CREATE TABLE props(id INTEGER PRIMARY KEY, item INTEGER NOT NULL, name TEXT NOT NULL,
  name_key TEXT NOT NULL, type INTEGER NOT NULL, value, UNIQUE(item, name_key));
CREATE TABLE mailbox_stores(id INTEGER PRIMARY KEY, name TEXT NOT NULL, guid TEXT NOT NULL);
CREATE TABLE mailboxes(item INTEGER PRIMARY KEY, store INTEGER NOT NULL,
  is_system INTEGER NOT NULL);
PRAGMA user_version=2;
INSERT INTO items VALUES(1, 0, 'example.com', 'example.com', 1);
INSERT INTO items VALUES(2, 1, 'MBX', 'mbx', 1);
INSERT INTO mailbox_stores VALUES(1, 'Mailbox Store (MAIL01)', '{00000000-0000-0000-0000-000000000001}');
INSERT INTO items VALUES(3, 2, 'SystemMailbox{00000000-0000-0000-0000-000000000001}',
  'systemmailbox{00000000-0000-0000-0000-000000000001}', 1);
INSERT INTO mailboxes VALUES(3, 1, 1);
INSERT INTO items VALUES(4, 3, 'StoreEvents', 'storeevents', 1);
INSERT INTO items VALUES(5, 4, 'GlobalEvents', 'globalevents', 1);
INSERT INTO items VALUES(6, 2, 'jdoe', 'jdoe', 1);
INSERT INTO items VALUES(7, 6, 'Inbox', 'inbox', 1);
INSERT INTO mailboxes VALUES(6, 1, 0);
INSERT INTO props(item, name, name_key, type, value) VALUES
  (6, 'urn:schemas:httpmail:inbox', 'urn:schemas:httpmail:inbox', 6,
   CAST('file://./backofficestorage/example.com/MBX/jdoe/Inbox' AS BLOB)),
  (7, 'DAV:contentclass', 'dav:contentclass', 6, CAST('urn:content-classes:mailfolder' AS BLOB));
INSERT INTO items VALUES(8, 7, 'Zenthra.reg', 'zenthra.reg', 0);
INSERT INTO props(item, name, name_key, type, value) VALUES
  (8, 'DAV:contentclass', 'dav:contentclass', 6, CAST(' URN:Content-Class:StoreEventReg' AS BLOB)),
  (8, 'DAV:ishidden', 'dav:ishidden', 2, 1);
INSERT INTO items VALUES(9, 7, 'hello.EML', 'hello.eml', 0);
INSERT INTO props(item, name, name_key, type, value) VALUES
  (9, 'DAV:contentclass', 'dav:contentclass', 6, CAST('urn:content-classes:message' AS BLOB));
)sql");
  sqlite3_close(db);
}

class RootsTest : public StoreTest {};

TEST_F(RootsTest, AStoreOfThePreviousFormatIsUpgradedInPlace) {
  std::filesystem::path old_root = root_.parent_path() / "old";
  MakeFormat2Root(old_root);
  core::SetServerRoot(old_root);
  std::unique_ptr<Store> store = Store::Open(old_root);
  // Everything is where it was, under the same ids.
  EXPECT_EQ(store->Resolve(Mbx("jdoe/Inbox/hello.EML")).id, 9);
  EXPECT_EQ(store->Resolve(Mbx("jdoe/Inbox/Zenthra.reg")).id, 8);
  EXPECT_EQ(store->Mailboxes().size(), 2u);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile(old_root).c_str(), &db), SQLITE_OK);
  auto single = [&](const char* sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sql;
    std::string value = sqlite3_step(s) == SQLITE_ROW
                            ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0))
                            : "(none)";
    sqlite3_finalize(s);
    return value;
  };
  EXPECT_EQ(single("PRAGMA user_version"), "3");
  EXPECT_EQ(single("SELECT group_concat(item || '@' || folder) FROM registrations"), "8@7");
  EXPECT_EQ(single("PRAGMA integrity_check"), "ok");
  sqlite3_close(db);

  // The newest item's id is not handed out again once it is gone.
  store->Delete(9);
  Item next = store->SaveMessage(7, PlainMessage("next"), SaveOrigin::Client);
  EXPECT_GT(next.id, 9);
  // Opening it again changes nothing.
  store.reset();
  OnItsOwnThread([&] { EXPECT_EQ(Store::Open(old_root)->Resolve(Mbx("jdoe/Inbox")).id, 7); });
}

TEST_F(RootsTest, EverythingTheStoreCreatesIsPrivateWhateverTheUmask) {
  std::filesystem::path root = root_.parent_path() / "private";
  mode_t old = ::umask(0);
  OnItsOwnThread([&] {
    Provision(root, Machine{"mail01", "example.com"});
    std::unique_ptr<Store> store = Store::Open(root);
    store->AddMailbox("jdoe");
    store->Deliver("jdoe", PlainMessage("hello"));  // creates the log and its index
    for (const char* name : {"store.db-wal", "store.db-shm"}) {
      EXPECT_EQ(Mode(root / "store" / name), 0600u) << name;
    }
  });
  ::umask(old);
  EXPECT_EQ(Mode(root), 0700u);
  EXPECT_EQ(Mode(root / "store"), 0700u);
  EXPECT_EQ(Mode(root / "machine"), 0600u);
  EXPECT_EQ(Mode(DatabaseFile(root)), 0600u);
  EXPECT_EQ(Mode(root / "store" / "space-reserve"), 0600u);
}

TEST_F(RootsTest, AProviderNeverReplacesAFolderThatHoldsItems) {
  std::string jdoe = Mailbox("jdoe");
  store_->Deliver("jdoe", PlainMessage("kept"));
  adodb::Record rec;
  try {
    rec.Open(jdoe + "/Inbox", nullptr, adodb::adModeReadWrite, adodb::adCreateOverwrite);
    FAIL() << "the Inbox was replaced";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), err::kDbResourceExists);
    EXPECT_NE(e.Description().find(jdoe + "/Inbox"), std::string::npos) << e.Description();
  }
  EXPECT_TRUE(store_->Find(store_->Names(jdoe + "/Inbox/kept.EML")));
  EXPECT_NE(Tool(root_, {"put", jdoe + "/Inbox", "DAV:ishidden=true"}).status, 0);
  EXPECT_TRUE(store_->Find(store_->Names(jdoe + "/Inbox/kept.EML")));
  // An empty folder may still be replaced, as before.
  store_->Create(store_->Resolve(jdoe).id, "Empty", true, ExistingItem::Fail, {});
  rec.Open(jdoe + "/Empty", nullptr, adodb::adModeReadWrite, adodb::adCreateOverwrite);
  EXPECT_EQ(rec.RecordType(), adodb::adSimpleRecord);
}

class SmallRootTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (!fs_.Available()) GTEST_SKIP() << fs_.SkipReason();
    small_ = fs_.path() / "root";
    OnItsOwnThread([&] {
      Provision(small_, Machine{"mail01", "example.com"});
      std::unique_ptr<Store> store = Store::Open(small_);
      store->AddMailbox("jdoe");
      store->Deliver("jdoe", PlainMessage("first"));
      store->Deliver("jdoe", MessageWithAttachment("second", "a.txt"));
    });
    core::SetServerRoot(small_);
  }

  zenthra::testing::SmallFs fs_{4 << 20};
  std::filesystem::path small_;
};

// Reads on a read-only root, whether the store was closed cleanly (no log)
// or its writer was killed (log and index left behind); writes fail naming
// the file and the cause.
void ExpectReadsWorkAndWritesSayWhy(const std::filesystem::path& root) {
  OnItsOwnThread([&] {
    ToolResult ls = Tool(root, {"ls", Mbx("jdoe/Inbox")});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find("first.EML"), std::string::npos) << ls.out;
    ToolResult show = Tool(root, {"show", Mbx("jdoe/Inbox/second.EML")});
    EXPECT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("urn:schemas:httpmail:hasattachment = True"), std::string::npos)
        << show.out;
    ToolResult list = Tool(root, {"mailbox", "list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("jdoe"), std::string::npos);

    adodb::Record rec;
    rec.Open(Mbx("jdoe/Inbox/first.EML"), nullptr, adodb::adModeRead);
    EXPECT_EQ(rec.Fields()["urn:schemas:httpmail:subject"].Value().AsString(), "first");

    std::string file = DatabaseFile(root).string();
    for (auto args :
         std::vector<std::vector<std::string>>{{"mailbox", "add", "asmith"},
                                               {"rm", Mbx("jdoe/Inbox/first.EML")},
                                               {"put", Mbx("jdoe/Inbox/note"), "a=b"}}) {
      ToolResult r = Tool(root, args);
      EXPECT_EQ(r.status, 1) << args[0];
      EXPECT_NE(r.err.find(file + ": read-only file system"), std::string::npos) << r.err;
    }
  });
}

TEST_F(SmallRootTest, AReadOnlyRootCanBeReadAndSaysWhyItCannotBeWritten) {
  // Closed cleanly: the emptied log and its index stay for the next reader.
  ASSERT_TRUE(std::filesystem::exists(small_ / "store" / "store.db-shm"));
  ASSERT_TRUE(fs_.ReadOnly(true));
  ExpectReadsWorkAndWritesSayWhy(small_);
  ASSERT_TRUE(fs_.ReadOnly(false));

  // A writer killed with its log not yet checkpointed: what the log holds
  // is read too.
  pid_t pid = ::fork();
  if (pid == 0) {
    std::unique_ptr<Store> store = Store::Open(small_);
    store->Deliver("jdoe", PlainMessage("third"));
    ::kill(::getpid(), SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_GT(std::filesystem::file_size(small_ / "store" / "store.db-wal"), 0u);
  ASSERT_TRUE(fs_.ReadOnly(true));
  ExpectReadsWorkAndWritesSayWhy(small_);
  OnItsOwnThread([&] {
    EXPECT_NE(Tool(small_, {"ls", Mbx("jdoe/Inbox")}).out.find("third.EML"), std::string::npos);
  });
  ASSERT_TRUE(fs_.ReadOnly(false));

  // A root whose store was closed by a program that removed the log: there
  // is no index to share, and nothing can change the file.
  OnItsOwnThread([&] { Store::Open(small_)->Deliver("jdoe", PlainMessage("fourth")); });
  std::filesystem::remove(small_ / "store" / "store.db-wal");
  std::filesystem::remove(small_ / "store" / "store.db-shm");
  ASSERT_TRUE(fs_.ReadOnly(true));
  ExpectReadsWorkAndWritesSayWhy(small_);
  ASSERT_TRUE(fs_.ReadOnly(false));
}

TEST_F(SmallRootTest, AThreadThatOpenedARootWhileReadOnlyWritesOnceItIsWritableAgain) {
  OnItsOwnThread([&] {
    ASSERT_TRUE(fs_.ReadOnly(true));
    EXPECT_NE(ErrorOf([&] { Store::Open(small_)->AddMailbox("asmith"); }), 0);
    ASSERT_TRUE(fs_.ReadOnly(false));
    // The same thread, whose read-only connection is still open.
    EXPECT_EQ(ErrorOf([&] { Store::Open(small_)->AddMailbox("asmith"); }), 0);
  });
}

TEST_F(SmallRootTest, OnAFullDiskMailCanStillBeRemovedAndErrorsSaySo) {
  fs_.Fill();
  OnItsOwnThread([&] {
    ToolResult r = Tool(small_, {"mailbox", "add", "asmith"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(DatabaseFile(small_).string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("disk full"), std::string::npos) << r.err;
    std::string big = "Subject: big\r\n\r\n" + std::string(200000, 'x') + "\r\n";
    EXPECT_NE(ErrorOf([&] { Store::Open(small_)->Deliver("jdoe", big); }), 0);

    ToolResult rm = Tool(small_, {"rm", Mbx("jdoe/Inbox/second.EML")});
    EXPECT_EQ(rm.status, 0) << rm.err;
    // The reserve made that room.
    std::error_code ec;
    EXPECT_LT(std::filesystem::file_size(small_ / "store" / "space-reserve", ec), 1u << 20);
    EXPECT_EQ(Tool(small_, {"ls", Mbx("jdoe/Inbox")}).out, "message\tfirst.EML\n");
  });
  // It comes back once there is room again.
  fs_.FreeSpace();
  OnItsOwnThread([&] {
    ToolResult rm = Tool(small_, {"rm", Mbx("jdoe/Inbox/first.EML")});
    EXPECT_EQ(rm.status, 0) << rm.err;
  });
  EXPECT_EQ(std::filesystem::file_size(small_ / "store" / "space-reserve"), 1u << 20);
}

}  // namespace
}  // namespace store::testing

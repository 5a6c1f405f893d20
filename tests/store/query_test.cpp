// The store's query language through Recordset.Open, and the file-system view.
#include <gtest/gtest.h>

#include <thread>

#include "platform/store/fsview.h"
#include "tests/store/fixture.h"
#include "tests/store/messages.h"

namespace store::testing {
namespace {

using namespace adodb;
namespace err = core::err;
namespace schema = store::schema;

class QueryTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    mailbox_ = Mailbox("jdoe");
    inbox_ = mailbox_ + "/Inbox";
  }

  void PutItem(const std::string& url, bool hidden) {
    Record r;
    r.Open(url, nullptr, adModeReadWrite, adCreateOverwrite);
    r.Fields()[schema::kIsHidden].Value(Variant(hidden));
    r.Fields().Update();
  }

  // The lookup the setup program makes for a registration item.
  std::string LookupText(const std::string& folder, const std::string& name) {
    return std::string("select ") + " \"DAV:displayname\"" + " from scope ('shallow traversal of " +
           "\"" + folder + "\"') " + " WHERE \"DAV:displayname\" = '" + name + "'" +
           " AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";
  }

  bool Found(const std::string& text) {
    auto cnn = Connect(mailbox_);
    Recordset rs;
    rs.Open(text, cnn, adOpenUnspecified, adLockUnspecified, -1);
    return !rs.Eof();
  }

  std::string mailbox_, inbox_;
};

TEST_F(QueryTest, FindsHiddenRegistrationItemsOnly) {
  EXPECT_FALSE(Found(LookupText(inbox_, "Zenthra.reg")));
  PutItem(inbox_ + "/Zenthra.reg", false);
  EXPECT_FALSE(Found(LookupText(inbox_, "Zenthra.reg")));  // visible: does not count
  PutItem(inbox_ + "/Zenthra.reg", true);
  EXPECT_TRUE(Found(LookupText(inbox_, "Zenthra.reg")));
  // Names compare as the store compares them; the http form works as scope.
  EXPECT_TRUE(Found(
      LookupText("http://mail01.example.com/exadmin/example.com/mbx/jdoe/inbox", "Zenthra.reg")));
  // A hidden folder of that name is not an item; items of subfolders are not
  // in a shallow traversal.
  EXPECT_FALSE(Found(LookupText(mailbox_, "Zenthra.reg")));
  std::string deep = "select \"DAV:href\" from scope('deep traversal of \"" + mailbox_ +
                     "\"') where \"DAV:displayname\" = 'Zenthra.reg'";
  EXPECT_TRUE(Found(deep));
}

TEST_F(QueryTest, RowsCarryColumnsHrefAndOrder) {
  for (const char* subject : {"b", "c", "a"}) store_->Deliver("jdoe", PlainMessage(subject));
  auto cnn = Connect(mailbox_);
  Recordset rs;
  rs.Open(
      "SELECT \"urn:schemas:httpmail:subject\", \"urn:x:none\" FROM SCOPE('shallow traversal "
      "of \"" +
          inbox_ +
          "\"') WHERE \"DAV:isfolder\" = false ORDER BY "
          "\"urn:schemas:httpmail:subject\" DESC",
      cnn);
  std::vector<std::string> subjects;
  for (; !rs.Eof(); rs.MoveNext()) {
    subjects.push_back(rs.Fields()[schema::kSubject].Value().AsString());
    EXPECT_TRUE(rs.Fields()["urn:x:none"].Value().IsNull());
    EXPECT_EQ(rs.Fields()[schema::kHref].Value().AsString(),
              inbox_ + "/" + subjects.back() + ".EML");
  }
  EXPECT_EQ(subjects, (std::vector<std::string>{"c", "b", "a"}));
  // Conditions on the message text work although rows leave it out.
  store_->Deliver("jdoe", "Subject: d\r\n\r\nneedle\r\n");
  Recordset text;
  text.Open("SELECT \"DAV:displayname\" FROM SCOPE('shallow traversal of \"" + inbox_ +
                "\"') WHERE \"urn:schemas:zenthra:content\" LIKE '%NEEDLE%'",
            cnn);
  ASSERT_FALSE(text.Eof());
  EXPECT_EQ(text.Fields()[schema::kDisplayName].Value().AsString(), "d.EML");
  EXPECT_EQ(ErrorOf([&] { text.Fields()[schema::kContent].Value(); }), err::kAdoItemNotFound);
  text.MoveNext();
  EXPECT_TRUE(text.Eof());
}

TEST_F(QueryTest, RejectsBadQueriesWithoutHarm) {
  PutItem(inbox_ + "/Zenthra.reg", true);
  auto run = [&](const std::string& text) {
    return ErrorOf([&] {
      auto cnn = Connect(mailbox_);
      Recordset rs;
      rs.Open(text, cnn);
    });
  };
  // An item name with a quote breaks the literal: a syntax error, nothing run.
  EXPECT_EQ(run(LookupText(inbox_, "it's")), err::kDbErrorsInCommand);
  EXPECT_EQ(run(LookupText(inbox_, "x'; DROP TABLE items; --")), err::kDbErrorsInCommand);
  EXPECT_EQ(run("select from"), err::kDbErrorsInCommand);
  EXPECT_EQ(run(""), err::kDbErrorsInCommand);
  EXPECT_EQ(run("select \"a\" from scope('shallow traversal of \"" + inbox_ + "\"') where ("),
            err::kDbErrorsInCommand);
  // Unknown scopes: a missing folder, another mailbox, another server.
  EXPECT_EQ(run(LookupText(mailbox_ + "/Nowhere", "x")), err::kDbNotFound);
  EXPECT_EQ(run(LookupText(std::string(kMbxUrl) + "/nobody/Inbox", "x")), err::kDbNotFound);
  EXPECT_EQ(run(LookupText("http://elsewhere/exadmin/example.com/mbx/jdoe/Inbox", "x")),
            err::kDbNotFound);
  // The store is intact.
  EXPECT_TRUE(Found(LookupText(inbox_, "Zenthra.reg")));
}

TEST_F(QueryTest, FileSystemViewAnswersFolderLookups) {
  Record r;
  r.Open(mailbox_ + "/Spam", nullptr, adModeReadWrite, adCreateCollection);
  r.Close();
  std::string base = "\\\\.\\backofficestorage\\example.com\\MBX\\jdoe\\";
  EXPECT_EQ(Dir(base + "Spam", kDirectory), "Spam");
  EXPECT_EQ(Dir("\\\\.\\BackOfficeStorage\\EXAMPLE.COM\\mbx\\JDOE\\spam", kDirectory), "Spam");
  EXPECT_EQ(Dir(base + "Junk", kDirectory), "");
  EXPECT_EQ(Dir(base + "Spam\\Deeper", kDirectory), "");
  EXPECT_EQ(Dir(base + "a\\..\\Spam", kDirectory), "");
  // Folders need the directory attribute; items do not.
  EXPECT_EQ(Dir(base + "Spam", 0), "");
  std::string url = store_->Deliver("jdoe", PlainMessage("m"));
  EXPECT_EQ(Dir(base + "Inbox\\M.eml", 0), "m.EML");
  // The listing of the store root starts with the domain folder.
  EXPECT_EQ(Dir("\\\\.\\backofficestorage\\", kDirectory), "example.com");
  EXPECT_EQ(DirEntries(base, kDirectory), (std::vector<std::string>{"Inbox", "Spam"}));
  EXPECT_EQ(ErrorOf([] { Dir("C:\\temp", kDirectory); }), err::kPathNotFound);
}

TEST_F(QueryTest, ConcurrentWritersAllLand) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        // Each thread its own connection, as each store thread has.
        std::unique_ptr<Store> store = Store::Open(root_);
        for (int i = 0; i < kEach; ++i) {
          store->Deliver("jdoe", PlainMessage("same subject"));
          if (i % 5 == 0) {
            // A read-then-write transaction must wait its turn, not fail busy.
            store->BeginTrans();
            Item inbox = store->Resolve(inbox_);
            store->Create(inbox.id, "t" + std::to_string(t) + "-" + std::to_string(i), false,
                          ExistingItem::Fail, {{"urn:x:n", Variant(std::int32_t{i})}});
            store->CommitTrans();
          }
        }
      } catch (const core::RuntimeError& e) {
        ADD_FAILURE() << e.Description();
        ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(store_->Children(store_->Resolve(inbox_).id).size(),
            static_cast<std::size_t>(kThreads * kEach + kThreads * 5));
}

}  // namespace
}  // namespace store::testing

namespace store::testing {
namespace {

TEST_F(StoreTest, PropertyNamesMatchWithoutRegardToCase) {
  std::string inbox = Mailbox("jdoe") + "/Inbox";
  Item folder = store_->Resolve(inbox);
  Item item = store_->Create(folder.id, "Zenthra.reg", false, ExistingItem::Fail,
                             {{"dav:IsHidden", Variant(true)}, {"DAV:HREF", Variant("x")}});
  store_->Update(item.id, {{"DAV:ISHIDDEN", Variant(true)}, {"urn:X:a", Variant("1")}});
  store_->Update(item.id, {{"urn:x:A", Variant("2")}});
  int hidden = 0;
  for (const auto& [name, value] : store_->Properties(item.id)) {
    if (SameProperty(name, schema::kIsHidden)) {
      ++hidden;
      EXPECT_EQ(name, "dav:IsHidden");  // the first spelling stays
      EXPECT_EQ(value, Variant(true));
    }
    if (SameProperty(name, "urn:x:a")) {
      EXPECT_EQ(value.AsString(), "2");
    }
    if (SameProperty(name, schema::kHref)) {
      EXPECT_NE(value.AsString(), "x");
    }
  }
  EXPECT_EQ(hidden, 1);
  adodb::Rowset rows = RunQuery(*store_,
                                "SELECT \"DAV:displayname\" FROM SCOPE('shallow "
                                "traversal of \"" +
                                    inbox + "\"') WHERE \"DAV:ishidden\" = true");
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.rows[0][0].AsString(), "Zenthra.reg");
  EXPECT_TRUE(SameProperty("Boîte", "BOÎTE"));
  EXPECT_FALSE(SameProperty("DAV:ishidden", "DAV:isfolder"));
}

}  // namespace
}  // namespace store::testing

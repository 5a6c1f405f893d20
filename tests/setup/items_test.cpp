// Registration items and the item lookup against a real mail store: where
// the item goes, what it carries, and what the window sees when it fails.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/store/schema.h"
#include "setup/Folders.h"
#include "setup/Items.h"
#include "tests/setup/setup_fixture.h"

namespace {

using setuptest::kHttpMbx;
using setuptest::kMbx;
using setuptest::Line;
using setuptest::Raised;
using setuptest::Undated;
namespace schema = store::schema;

constexpr const char* kItem = "Zenthra.reg";
constexpr const char* kCriteria = " WHERE \"DAV:ishidden\" = FALSE";
constexpr const char* kHidden = " AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";

class ItemsTest : public setuptest::SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    store_->AddMailbox("jdoe");
    store_->AddMailbox("hmueller", "Posteingang");
  }

  std::string Register(const std::string& base, const std::string& folder,
                       const std::string& scope = "SHALLOW", const std::string& priority = "65500",
                       bool log = true) {
    return Items::CreateRegistrationItem(base, folder, kItem, "onsyncsave", "Zenthra.ZenthraCls",
                                         scope, kCriteria, priority, log, txtErr);
  }

  int Exists(const std::string& base, const std::string& folder, const std::string& item = kItem,
             const std::string& condition = kHidden, bool log = true) {
    adodb::ConnectionPtr none;
    return Folders::FolderItemExists(base, folder, item, condition, log, none, txtErr);
  }

  // The properties stored on the item at url, in the order first written.
  adodb::FieldList Stored(const std::string& url) {
    adodb::FieldList all = store_->Properties(store_->Resolve(url).id);
    adodb::FieldList written;
    for (auto& [name, value] : all) {
      if (name != schema::kHref && name != schema::kDisplayName && name != schema::kParentName &&
          name != schema::kIsFolder) {
        written.emplace_back(name, value);
      }
    }
    return written;
  }

  // Items of the given name directly in the folder at url.
  int CountNamed(const std::string& url, const std::string& name) {
    const auto children = store_->Children(store_->Resolve(url).id);
    return static_cast<int>(std::count_if(children.begin(), children.end(),
                                          [&](const store::Item& i) { return i.name == name; }));
  }
};

TEST_F(ItemsTest, MailboxRegistrationIsAHiddenItemInTheInboxWithItsProperties) {
  const std::string folder = Register(std::string(kMbx) + "/jdoe", "INBOX");
  EXPECT_EQ(folder, std::string(kMbx) + "/jdoe/Inbox");
  EXPECT_EQ(txtErr.Text(), "");

  const adodb::FieldList expected = {
      {schema::kContentClass, core::Variant("urn:content-class:storeeventreg")},
      {schema::kEventMethod, core::Variant("onsyncsave")},
      {schema::kSinkClass, core::Variant("Zenthra.ZenthraCls")},
      {schema::kMatchScope, core::Variant("SHALLOW")},
      {schema::kCriteria, core::Variant(" WHERE \"DAV:ishidden\" = FALSE")},
      {schema::kPriority, core::Variant("65500")},
      {schema::kIsHidden, core::Variant(true)},
  };
  const adodb::FieldList stored = Stored(folder + "/Zenthra.reg");
  ASSERT_EQ(stored.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(stored[i].first, expected[i].first) << "property " << i;
    // Same type as well as value: the priority must stay text.
    EXPECT_EQ(stored[i].second.Type(), expected[i].second.Type()) << expected[i].first;
    EXPECT_TRUE(stored[i].second.Equals(expected[i].second)) << expected[i].first;
  }
}

TEST_F(ItemsTest, InboxIsFoundByItsFieldSoALocalisedInboxWorks) {
  const std::string folder = Register(std::string(kMbx) + "/hmueller", "inbox");
  EXPECT_EQ(folder, std::string(kMbx) + "/hmueller/Posteingang");
  EXPECT_EQ(CountNamed(folder, kItem), 1);
  EXPECT_EQ(Exists(std::string(kMbx) + "/hmueller", "Inbox"), 1);
  EXPECT_EQ(Exists(std::string(kHttpMbx) + "/hmueller", "inbox"), 1);
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(ItemsTest, StoreWideRegistrationJoinsTheFolderToTheSystemMailbox) {
  const std::string system = SystemMailbox();
  const std::string folder = Register(system, "StoreEvents/GlobalEvents", "ANY");
  EXPECT_EQ(folder, system + "/StoreEvents/GlobalEvents");
  const adodb::FieldList stored = Stored(folder + "/Zenthra.reg");
  ASSERT_EQ(stored.size(), 7u);
  EXPECT_EQ(stored[3].second.AsString(), "ANY");
  EXPECT_EQ(Exists(system, "StoreEvents/GlobalEvents"), 1);
  // Joined as given, so a base URL with a trailing "/" does not reach it.
  EXPECT_EQ(Exists(system + "/", "StoreEvents/GlobalEvents", kItem, kHidden, false), -1);

  EXPECT_TRUE(
      Items::DeleteRegistrationItem(system, "StoreEvents/GlobalEvents", kItem, true, txtErr));
  EXPECT_EQ(Exists(system, "StoreEvents/GlobalEvents"), 0);
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(ItemsTest, RegisteringAgainReplacesTheItem) {
  const std::string base = std::string(kMbx) + "/jdoe";
  const std::string folder = Register(base, "inbox", "SHALLOW", "100");
  const std::string item = folder + "/Zenthra.reg";
  store_->Update(store_->Resolve(item).id, {{"urn:schemas:zenthra:stale", core::Variant("x")}});

  EXPECT_EQ(Register(base, "inbox", "SHALLOW", "65500"), folder);
  EXPECT_EQ(CountNamed(folder, kItem), 1);
  const adodb::FieldList stored = Stored(item);
  ASSERT_EQ(stored.size(), 7u);  // the stale property went with the old item
  EXPECT_EQ(stored[5].second.AsString(), "65500");
}

TEST_F(ItemsTest, FailedRegistrationReturnsEmptyAndLogsOnlyWhenAsked) {
  const std::string base = std::string(kMbx) + "/nobody";
  const core::RuntimeError openError = Raised([&] {
    adodb::Connection c;
    c.Provider("ExOLEDB.DataSource");
    c.Open(base, "", "", -1);
  });
  EXPECT_EQ(openError.Number(), core::err::kDbNotFound);

  EXPECT_EQ(Register(base, "inbox", "SHALLOW", "65500", false), "");
  EXPECT_EQ(txtErr.Text(), "");

  txtErr.Text("older entry\r\n\r\n");
  EXPECT_EQ(Register(base, "inbox"), "");
  EXPECT_EQ(Undated(txtErr.Text()), Line(base, openError) + "older entry\r\n\r\n");

  // A base URL without an Inbox field (the Inbox itself) fails on the field.
  txtErr.Text("");
  const std::string inbox = std::string(kMbx) + "/jdoe/Inbox";
  EXPECT_EQ(Register(inbox, "inbox"), "");
  const std::string log = Undated(txtErr.Text());
  EXPECT_TRUE(log.starts_with("[DATE] " + inbox + " - ERROR: 3265 ")) << log;
  EXPECT_EQ(CountNamed(inbox, kItem), 0);
}

TEST_F(ItemsTest, AFailedWriteLeavesNoItemBehind) {
  // The item name is refused by the store after the transaction has begun.
  const std::string base = std::string(kMbx) + "/jdoe";
  EXPECT_EQ(
      Items::CreateRegistrationItem(base, "inbox", "bad name ", "onsyncsave", "Zenthra.ZenthraCls",
                                    "SHALLOW", kCriteria, "1", true, txtErr),
      "");
  EXPECT_TRUE(Undated(txtErr.Text()).starts_with("[DATE] " + base + " - ERROR: "));
  EXPECT_TRUE(store_->Children(store_->Resolve(base + "/Inbox").id).empty());
  // The store is not left locked by the abandoned transaction.
  EXPECT_NE(Register(base, "inbox"), "");
}

TEST_F(ItemsTest, DeleteRemovesTheItemAndFailsWhenItIsMissing) {
  const std::string base = std::string(kMbx) + "/jdoe";
  const std::string folder = Register(base, "inbox");
  ASSERT_EQ(Exists(base, "inbox"), 1);

  EXPECT_TRUE(Items::DeleteRegistrationItem(base, "Inbox", kItem, true, txtErr));
  EXPECT_EQ(CountNamed(folder, kItem), 0);
  EXPECT_EQ(Exists(base, "inbox"), 0);
  EXPECT_EQ(txtErr.Text(), "");

  EXPECT_FALSE(Items::DeleteRegistrationItem(base, "inbox", kItem, false, txtErr));
  EXPECT_EQ(txtErr.Text(), "");

  const core::RuntimeError missing = Raised([&] {
    adodb::Record r;
    r.Open(folder + "/Zenthra.reg", nullptr, adodb::adModeReadWrite);
  });
  EXPECT_EQ(missing.Number(), core::err::kDbNotFound);
  EXPECT_FALSE(Items::DeleteRegistrationItem(base, "inbox", kItem, true, txtErr));
  EXPECT_EQ(Undated(txtErr.Text()), Line(base, missing));
}

TEST_F(ItemsTest, LookupCountsOnlyHiddenItemsWhenTheConditionSaysSo) {
  const std::string base = std::string(kMbx) + "/jdoe";
  const store::ItemId inbox = store_->Resolve(base + "/Inbox").id;
  store_->Create(inbox, kItem, false, store::ExistingItem::Fail,
                 {{schema::kSubject, core::Variant("a visible item of the same name")}});

  EXPECT_EQ(Exists(base, "inbox"), 0);
  EXPECT_EQ(Exists(base, "inbox", kItem, ""), 1);
  EXPECT_EQ(Exists(base, "inbox", "Other.reg", ""), 0);
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(ItemsTest, LookupFailuresGiveMinusOneAndNameTheUrlReached) {
  const std::string base = std::string(kMbx) + "/jdoe";

  // Before the folder is resolved the context is the base URL.
  const std::string misspelt = std::string(kMbx) + "/jdeo";
  const core::RuntimeError noMailbox = Raised([&] {
    adodb::Connection c;
    c.Provider("ExOLEDB.DataSource");
    c.Open(misspelt, "", "", -1);
  });
  EXPECT_EQ(Exists(misspelt, "inbox", kItem, kHidden, false), -1);
  EXPECT_EQ(txtErr.Text(), "");
  EXPECT_EQ(Exists(misspelt, "inbox"), -1);
  EXPECT_EQ(Undated(txtErr.Text()), Line(misspelt, noMailbox));

  // After it, the folder URL.
  txtErr.Text("");
  const core::RuntimeError noFolder = Raised([&] {
    adodb::Record r;
    r.Open(base + "/NoSuchFolder", nullptr, adodb::adModeRead);
  });
  EXPECT_EQ(Exists(base, "NoSuchFolder"), -1);
  EXPECT_EQ(Undated(txtErr.Text()), Line(base + "/NoSuchFolder", noFolder));

  txtErr.Text("");
  EXPECT_EQ(Exists(base, "inbox", kItem, " AND ("), -1);
  const std::string log = Undated(txtErr.Text());
  EXPECT_TRUE(log.starts_with(
      "[DATE] " + base + "/Inbox - ERROR: " + std::to_string(core::err::kDbErrorsInCommand) + " "))
      << log;
}

TEST_F(ItemsTest, LookupLeavesTheCallersConnectionClosedForTheNextCall) {
  const std::string base = std::string(kMbx) + "/jdoe";
  Register(base, "inbox");

  auto cnn1 = std::make_shared<adodb::Connection>();
  cnn1->Provider("ExOLEDB.DataSource");
  const adodb::ConnectionPtr given = cnn1;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Folders::FolderItemExists(base, "inbox", kItem, kHidden, true, cnn1, txtErr), 1);
    EXPECT_EQ(cnn1, given);
    EXPECT_EQ(cnn1->State(), adodb::adStateClosed);
  }
  // Also after a failure.
  EXPECT_EQ(Folders::FolderItemExists(base, "Missing", kItem, kHidden, false, cnn1, txtErr), -1);
  EXPECT_EQ(cnn1, given);
  EXPECT_EQ(cnn1->State(), adodb::adStateClosed);

  // An open connection is refused, and closed.
  cnn1->Open(base, "", "", -1);
  EXPECT_EQ(Folders::FolderItemExists(base, "inbox", kItem, kHidden, false, cnn1, txtErr), -1);
  EXPECT_EQ(cnn1->State(), adodb::adStateClosed);
  EXPECT_EQ(Folders::FolderItemExists(base, "inbox", kItem, kHidden, false, cnn1, txtErr), 1);

  // A connection the lookup made for itself does not outlive the call.
  adodb::ConnectionPtr none;
  EXPECT_EQ(Folders::FolderItemExists(base, "inbox", kItem, kHidden, true, none, txtErr), 1);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(ItemsTest, QuotesInNamesAndUrlsCannotChangeTheQuery) {
  EXPECT_EQ(Folders::ItemQuery("file://./x/Inbox", "Zenthra.reg", kHidden),
            "select  \"DAV:displayname\" from scope ('shallow traversal of \"file://./x/Inbox\"')"
            "  WHERE \"DAV:displayname\" = 'Zenthra.reg' AND \"DAV:ishidden\" = true AND "
            "\"DAV:isfolder\" = false ");

  const std::string base = std::string(kMbx) + "/jdoe";
  Register(base, "inbox");
  // Unquoted, this name would turn the condition into one that every item meets.
  EXPECT_EQ(Exists(base, "inbox", "x' OR \"DAV:displayname\" <> '"), 0);
  Items::CreateRegistrationItem(base, "inbox", "O'Brien.reg", "onsyncsave", "Zenthra.ZenthraCls",
                                "SHALLOW", kCriteria, "1", true, txtErr);
  EXPECT_EQ(Exists(base, "inbox", "O'Brien.reg"), 1);

  // A mailbox whose name, and so the folder URL, holds both kinds of quote.
  const std::string odd = std::string(kMbx) + "/o'neil \"jr\"";
  store_->AddMailbox("o'neil \"jr\"");
  EXPECT_EQ(Exists(odd, "inbox"), 0);
  EXPECT_EQ(Register(odd, "inbox"), odd + "/Inbox");
  EXPECT_EQ(Exists(odd, "inbox"), 1);
  EXPECT_EQ(txtErr.Text(), "");
}

}  // namespace

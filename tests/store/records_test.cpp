// Records through the data-access objects, as the sink and the setup program
// use them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <thread>

#include "tests/store/fixture.h"
#include "tests/store/messages.h"

namespace store::testing {
namespace {

using namespace adodb;
namespace err = core::err;
namespace schema = store::schema;

class RecordTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    mailbox_ = Mailbox("jdoe");
    cnn_ = Connect(mailbox_);
  }

  std::int32_t OpenError(const std::string& url, ConnectModeEnum mode,
                         RecordCreateOptionsEnum create) {
    return ErrorOf([&] {
      Record r;
      r.Open(url, cnn_, mode, create);
    });
  }

  std::string mailbox_;
  ConnectionPtr cnn_;
};

TEST_F(RecordTest, ConnectionOpensOnStoreUrlsOnly) {
  EXPECT_EQ(ErrorOf([&] { Connect(mailbox_); }), 0);
  EXPECT_EQ(ErrorOf([&] { Connect("http://mail01.example.com/exadmin/example.com/mbx/JDOE"); }), 0);
  EXPECT_EQ(ErrorOf([&] { Connect("file://./backofficestorage/example.com"); }), 0);
  EXPECT_EQ(ErrorOf([&] { Connect(mailbox_ + "/Inbox/not-yet-there"); }), 0);
  EXPECT_EQ(ErrorOf([&] { Connect("file://./backofficestorage/example.org/mbx/jdoe"); }),
            err::kDbNotFound);
  EXPECT_EQ(ErrorOf([&] { Connect(std::string(kMbxUrl) + "/nobody"); }), err::kDbNotFound);
  EXPECT_EQ(ErrorOf([&] { Connect("http://elsewhere/exadmin/example.com/mbx/jdoe"); }),
            err::kDbNotFound);
  EXPECT_NE(ErrorOf([&] { Connect(""); }), 0);
  // A failure names the URL.
  try {
    Connect(std::string(kMbxUrl) + "/nobody");
    FAIL();
  } catch (const core::RuntimeError& e) {
    EXPECT_NE(e.Description().find("nobody"), std::string::npos) << e.Description();
  }
  // Open on an open connection fails.
  EXPECT_EQ(ErrorOf([&] { cnn_->Open(mailbox_, "", "", -1); }), err::kAdoObjectOpen);
}

TEST_F(RecordTest, CreateOptionsHaveTheirEffects) {
  std::string spam = mailbox_ + "/Spam";
  // adFailIfNotExists: absent folders and items fail in both modes.
  EXPECT_EQ(OpenError(spam, adModeRead, adFailIfNotExists), err::kDbNotFound);
  EXPECT_EQ(OpenError(spam, adModeReadWrite, adFailIfNotExists), err::kDbNotFound);
  // adCreateCollection creates a folder, and fails when it exists.
  {
    Record r;
    r.Open(spam, cnn_, adModeReadWrite, adCreateCollection);
    EXPECT_EQ(r.RecordType(), adCollectionRecord);
    r.Fields()[schema::kOutlookFolderClass].Value(Variant("IPF.Note"));
    r.Fields().Update();
  }
  EXPECT_EQ(OpenError(spam, adModeReadWrite, adCreateCollection), err::kDbResourceExists);
  EXPECT_EQ(OpenError(mailbox_ + "/INBOX", adModeReadWrite, adCreateCollection),
            err::kDbResourceExists);
  // The failed create left the folder's properties alone.
  {
    Record r;
    r.Open(spam, cnn_, adModeRead, adFailIfNotExists);
    EXPECT_EQ(r.Fields()[schema::kOutlookFolderClass].Value().AsString(), "IPF.Note");
    EXPECT_TRUE(r.Fields()[schema::kIsFolder].Value().AsBool());
  }
  // adCreateNonCollection creates new only; adOpenIfExists opens.
  std::string item = spam + "/a.EML";
  {
    Record r;
    r.Open(item, cnn_, adModeReadWrite, adCreateNonCollection);
    r.Fields()["urn:x:keep"].Value(Variant("first"));
    r.Fields().Update();
  }
  EXPECT_EQ(OpenError(item, adModeReadWrite, adCreateNonCollection), err::kDbResourceExists);
  {
    Record r;
    r.Open(item, cnn_, adModeReadWrite,
           static_cast<RecordCreateOptionsEnum>(adCreateNonCollection | adOpenIfExists));
    EXPECT_EQ(r.Fields()["urn:x:keep"].Value().AsString(), "first");
  }
  // adCreateOverwrite replaces the item: the old properties are gone.
  {
    Record r;
    r.Open(item, cnn_, adModeReadWrite, adCreateOverwrite, adDelayFetchFields);
    EXPECT_EQ(ErrorOf([&] { r.Fields()["urn:x:keep"].Value(); }), err::kAdoItemNotFound);
    r.Fields()["urn:x:new"].Value(Variant(true));
    r.Fields().Update();
  }
  Record r;
  r.Open(item, cnn_, adModeRead, adFailIfNotExists);
  EXPECT_EQ(r.Fields()["urn:x:new"].Value(), Variant(true));
  EXPECT_EQ(ErrorOf([&] { r.Fields()["urn:x:keep"].Value(); }), err::kAdoItemNotFound);
  // Creating below a missing folder fails and creates nothing.
  EXPECT_EQ(OpenError(mailbox_ + "/No/Such", adModeReadWrite, adCreateCollection),
            err::kDbNotFound);
  EXPECT_FALSE(store_->Find(store_->Names(mailbox_ + "/No")));
}

TEST_F(RecordTest, FieldsKeepTheirTypesAndOrder) {
  Record r;
  r.Open(mailbox_ + "/Inbox/Zenthra.reg", cnn_, adModeReadWrite, adCreateOverwrite);
  r.Fields()[schema::kContentClass].Value(Variant(schema::kEventRegistrationClass));
  r.Fields()[schema::kPriority].Value(Variant("65500"));
  r.Fields()["urn:x:long"].Value(Variant(std::int32_t{7}));
  r.Fields()["urn:x:double"].Value(Variant(2.5));
  r.Fields()["urn:x:short"].Value(Variant(std::int16_t{-3}));
  r.Fields()["urn:x:null"].Value(Variant::Null());
  r.Fields()[schema::kIsHidden].Value(Variant(true));
  r.Fields().Update();
  r.Close();

  r.Open(mailbox_ + "/inbox/zenthra.REG", cnn_, adModeReadWrite, adFailIfNotExists);
  Fields& f = r.Fields();
  EXPECT_EQ(f[schema::kPriority].Value().Type(), core::VarType::String);
  EXPECT_NE(f[schema::kPriority].Value(), Variant(std::int32_t{65500}));
  EXPECT_EQ(f["urn:x:long"].Value(), Variant(std::int32_t{7}));
  EXPECT_EQ(f["urn:x:long"].Value().Type(), core::VarType::Long);
  EXPECT_EQ(f["urn:x:double"].Value(), Variant(2.5));
  EXPECT_EQ(f["urn:x:short"].Value().Type(), core::VarType::Integer);
  EXPECT_EQ(f["urn:x:short"].Value().AsLong(), -3);
  EXPECT_TRUE(f["urn:x:null"].Value().IsNull());
  EXPECT_EQ(f[schema::kIsHidden].Value(), Variant(true));
  EXPECT_EQ(f[schema::kIsFolder].Value(), Variant(false));
  EXPECT_EQ(f[schema::kDisplayName].Value().AsString(), "Zenthra.reg");
  // Written properties follow the derived ones in the order first written.
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < f.Count(); ++i) names.push_back(f.Item(i).Name());
  std::vector<std::string> expected{schema::kHref,     schema::kDisplayName,  schema::kParentName,
                                    schema::kIsFolder, schema::kContentClass, schema::kPriority,
                                    "urn:x:long",      "urn:x:double",        "urn:x:short",
                                    "urn:x:null",      schema::kIsHidden};
  EXPECT_EQ(names, expected);
  // Writing Empty removes a property; derived properties ignore writes.
  f["urn:x:long"].Value(Variant());
  f[schema::kDisplayName].Value(Variant("renamed"));
  f.Update();
  r.Close();
  r.Open(mailbox_ + "/Inbox/Zenthra.reg", cnn_, adModeRead, adFailIfNotExists);
  EXPECT_EQ(ErrorOf([&] { r.Fields()["urn:x:long"].Value(); }), err::kAdoItemNotFound);
  EXPECT_EQ(r.Fields()[schema::kDisplayName].Value().AsString(), "Zenthra.reg");
  // An item that never had DAV:ishidden reads as visible.
  Record inbox;
  inbox.Open(mailbox_ + "/Inbox", cnn_, adModeRead, adFailIfNotExists);
  EXPECT_EQ(inbox.Fields()[schema::kIsHidden].Value(), Variant(false));
}

TEST_F(RecordTest, AMessagesTextIsReadWhenFirstAskedForInItsPlace) {
  const std::string text = PlainMessage("Report");
  const std::string url = store_->Deliver("jdoe", text);
  Record r;
  r.Open(url, cnn_, adModeReadWrite, adFailIfNotExists);
  Fields& f = r.Fields();
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < f.Count(); ++i) names.push_back(f.Item(i).Name());
  ASSERT_GE(names.size(), 5u);
  EXPECT_EQ(names[4], schema::kContent);  // the first property written
  EXPECT_EQ(f.Item(4).Value(), Variant(text));
  EXPECT_EQ(f["URN:SCHEMAS:ZENTHRA:CONTENT"].Value(), Variant(text));

  // After a write the record reads its fields again, the text once more
  // only when asked for.
  f["urn:x:seen"].Value(Variant(true));
  f.Update();
  EXPECT_EQ(f[schema::kContent].Value(), Variant(text));
  r.MoveRecord("", mailbox_ + "/Inbox/Moved.EML", "", "", adMoveUnspecified, false);
  EXPECT_EQ(f[schema::kContent].Value(), Variant(text));

  // Asked for after the item went: the item is gone, not the text empty.
  Record late;
  late.Open(mailbox_ + "/Inbox/Moved.EML", cnn_, adModeReadWrite, adFailIfNotExists);
  std::thread([&] {
    std::unique_ptr<Store> other = Store::Open(root_);
    other->Delete(other->Resolve(mailbox_ + "/Inbox/Moved.EML").id);
  }).join();
  EXPECT_EQ(ErrorOf([&] { late.Fields()[schema::kContent].Value(); }), err::kDbNotFound);
}

TEST_F(RecordTest, SourceAndParentUseTheStoredSpelling) {
  Record r;
  r.Open("http://MAIL01.example.com/exadmin/EXAMPLE.COM/mbx/JDoe/INBOX", nullptr, adModeRead,
         adFailIfNotExists);
  EXPECT_EQ(r.Source(), std::string(kMbxUrl) + "/jdoe/Inbox");
  EXPECT_EQ(r.ParentURL(), std::string(kMbxUrl) + "/jdoe");
  Record root;
  root.Open(mailbox_, cnn_, adModeRead, adFailIfNotExists);
  EXPECT_EQ(root.ParentURL(), kMbxUrl);
  EXPECT_EQ(root.Fields()[schema::kInbox].Value().AsString(), mailbox_ + "/Inbox");
}

TEST_F(RecordTest, LocalisedInboxIsFoundThroughTheMailboxRoot) {
  std::string de = Mailbox("hmueller", "Posteingang");
  std::string fr = Mailbox("jdupont", "Boîte de réception");
  Record r;
  r.Open(de, Connect(de), adModeRead, adFailIfNotExists);
  EXPECT_EQ(r.Fields()[schema::kInbox].Value().AsString(), de + "/Posteingang");
  r.Close();
  r.Open(fr, Connect(fr), adModeRead, adFailIfNotExists);
  std::string inbox = r.Fields()[schema::kInbox].Value().AsString();
  EXPECT_EQ(inbox, fr + "/Boîte de réception");
  r.Close();
  // The Inbox URL opens, also with the name in another case.
  r.Open(fr + "/BOÎTE DE RÉCEPTION", nullptr, adModeRead, adFailIfNotExists);
  EXPECT_EQ(r.Source(), inbox);
  // Delivery goes into the localised Inbox.
  std::string url = store_->Deliver("hmueller", PlainMessage("Hallo"));
  EXPECT_EQ(url, de + "/Posteingang/Hallo.EML");
}

TEST_F(RecordTest, MoveWithOverwriteReplacesTheDestination) {
  std::string delivered = store_->Deliver("jdoe", PlainMessage("Report"));
  std::string copy;
  {
    Record spam;
    spam.Open(mailbox_ + "/Spam", cnn_, adModeReadWrite, adCreateCollection);
    Record c;
    c.Open(mailbox_ + "/Spam/Report.EML", cnn_, adModeReadWrite, adCreateNonCollection);
    c.Fields()["urn:x:copy"].Value(Variant(true));
    c.Fields().Update();
    copy = c.Source();
  }
  ItemId id = store_->Resolve(delivered).id;
  Record r;
  r.Open(delivered, nullptr, adModeReadWrite, adFailIfNotExists);
  r.Fields()["urn:x:mine"].Value(Variant("kept"));
  r.Fields().Update();
  // Without overwrite the move fails and changes nothing.
  EXPECT_EQ(ErrorOf([&] { r.MoveRecord("", copy, "", "", adMoveUnspecified); }),
            err::kDbResourceExists);
  EXPECT_EQ(r.MoveRecord("", copy, "", "", adMoveOverWrite), copy);
  EXPECT_EQ(r.Source(), copy);
  EXPECT_EQ(r.ParentURL(), mailbox_ + "/Spam");
  // The moved item keeps its identity, properties and content.
  Item moved = store_->Resolve(copy);
  EXPECT_EQ(moved.id, id);
  EXPECT_EQ(r.Fields()["urn:x:mine"].Value().AsString(), "kept");
  EXPECT_EQ(ErrorOf([&] { r.Fields()["urn:x:copy"].Value(); }), err::kAdoItemNotFound);
  EXPECT_EQ(r.Fields()[schema::kSubject].Value().AsString(), "Report");
  EXPECT_FALSE(store_->Find(store_->Names(delivered)));
  EXPECT_EQ(store_->Children(store_->Resolve(mailbox_ + "/Spam").id).size(), 1u);
  // A folder cannot move below itself; mailbox roots cannot move.
  Record spam;
  spam.Open(mailbox_ + "/Spam", cnn_, adModeReadWrite, adFailIfNotExists);
  EXPECT_NE(
      ErrorOf([&] { spam.MoveRecord("", mailbox_ + "/Spam/Inner", "", "", adMoveOverWrite); }), 0);
  Record root;
  root.Open(mailbox_, cnn_, adModeReadWrite, adFailIfNotExists);
  EXPECT_EQ(ErrorOf([&] { root.MoveRecord("", mailbox_ + "/Inbox/x", "", "", adMoveOverWrite); }),
            err::kDbPermissionDenied);
  // Moving an item over the folder that holds it would lose the item.
  std::string inner = store_->Deliver("jdoe", PlainMessage("Inner"));
  Record in;
  in.Open(inner, cnn_, adModeReadWrite, adFailIfNotExists);
  EXPECT_EQ(ErrorOf([&] { in.MoveRecord("", mailbox_ + "/Inbox", "", "", adMoveOverWrite); }),
            err::kAdoInvalidArgument);
  EXPECT_TRUE(store_->Find(store_->Names(inner)));
}

TEST_F(RecordTest, DeleteRecordRemovesTheItemAndEverythingBelow) {
  Record f;
  f.Open(mailbox_ + "/Old", cnn_, adModeReadWrite, adCreateCollection);
  f.Close();
  Record item;
  item.Open(mailbox_ + "/Old/x", cnn_, adModeReadWrite, adCreateNonCollection);
  item.Fields()["urn:x:a"].Value(Variant("a"));
  item.Fields().Update();
  item.Close();
  f.Open(mailbox_ + "/Old", cnn_, adModeReadWrite, adFailIfNotExists);
  f.DeleteRecord(mailbox_ + "/Old", false);
  EXPECT_EQ(OpenError(mailbox_ + "/Old", adModeRead, adFailIfNotExists), err::kDbNotFound);
  EXPECT_EQ(OpenError(mailbox_ + "/Old/x", adModeRead, adFailIfNotExists), err::kDbNotFound);
  // Deleting a missing item fails at its open.
  EXPECT_EQ(OpenError(mailbox_ + "/Old", adModeReadWrite, adFailIfNotExists), err::kDbNotFound);
  // A read-only record neither writes nor deletes.
  Record ro;
  ro.Open(mailbox_ + "/Inbox", cnn_, adModeRead, adFailIfNotExists);
  ro.Fields()["urn:x:a"].Value(Variant("a"));
  EXPECT_EQ(ErrorOf([&] { ro.Fields().Update(); }), err::kDbReadOnly);
  EXPECT_EQ(ErrorOf([&] { ro.DeleteRecord(); }), err::kDbReadOnly);
  // Mailbox roots are the administrator's.
  Record root;
  root.Open(mailbox_, cnn_, adModeReadWrite, adFailIfNotExists);
  EXPECT_EQ(ErrorOf([&] { root.DeleteRecord(); }), err::kDbPermissionDenied);
}

TEST_F(RecordTest, UncommittedTransactionIsDiscardedOnRelease) {
  std::string item = mailbox_ + "/Inbox/Zenthra.reg";
  {
    auto cnn = Connect(mailbox_);
    cnn->BeginTrans();
    Record r;
    r.Open(item, cnn, adModeReadWrite, adCreateOverwrite, adDelayFetchFields);
    r.Fields()[schema::kIsHidden].Value(Variant(true));
    r.Fields().Update();
    r.Close();
    // Released without CommitTrans.
  }
  EXPECT_FALSE(store_->Find(store_->Names(item)));
  {
    auto cnn = Connect(mailbox_);
    cnn->BeginTrans();
    Record r;
    r.Open(item, cnn, adModeReadWrite, adCreateOverwrite, adDelayFetchFields);
    r.Fields()[schema::kIsHidden].Value(Variant(true));
    r.Fields().Update();
    r.Close();
    cnn->CommitTrans();
  }
  ASSERT_TRUE(store_->Find(store_->Names(item)));
  // Others can write again at once: the write lock went with the transaction.
  EXPECT_FALSE(store_->Deliver("jdoe", PlainMessage("after")).empty());
}

TEST_F(RecordTest, SavedMessagesCarryHasAttachmentAndUniqueNames) {
  std::string with =
      store_->Deliver("jdoe", MessageWithAttachment("Hi", "Quarantined Attachment.txt"));
  std::string without = store_->Deliver("jdoe", PlainMessage("Hi"));
  std::string third = store_->Deliver("jdoe", PlainMessage("hi"));
  EXPECT_EQ(with, mailbox_ + "/Inbox/Hi.EML");
  EXPECT_EQ(without, mailbox_ + "/Inbox/Hi-1.EML");
  EXPECT_EQ(third, mailbox_ + "/Inbox/hi-2.EML");
  Record r;
  r.Open(with, nullptr, adModeRead, adFailIfNotExists);
  EXPECT_EQ(r.Fields()[schema::kHasAttachment].Value(), Variant(true));
  EXPECT_EQ(r.Fields()[schema::kContentClass].Value().AsString(), schema::kMessageClass);
  EXPECT_EQ(r.Fields()[schema::kSubject].Value().AsString(), "Hi");
  r.Close();
  r.Open(without, nullptr, adModeRead, adFailIfNotExists);
  EXPECT_EQ(r.Fields()[schema::kHasAttachment].Value(), Variant(false));
  r.Close();
  // A client save of new content recomputes the flag.
  r.Open(without, nullptr, adModeReadWrite, adFailIfNotExists);
  r.Fields()[schema::kContent].Value(Variant(MessageWithAttachment("Hi", "x.zip")));
  r.Fields().Update();
  EXPECT_EQ(r.Fields()[schema::kHasAttachment].Value(), Variant(true));
  // Malformed MIME is stored byte for byte.
  std::string junk =
      "Subject: broken\r\nContent-Type: multipart/mixed; boundary=\r\n\r\n--\x01\xff";
  std::string url = store_->Deliver("jdoe", junk);
  Record j;
  j.Open(url, nullptr, adModeRead, adFailIfNotExists);
  EXPECT_EQ(j.Fields()[schema::kContent].Value().AsString(), junk);
  // Empty deliveries are refused.
  EXPECT_EQ(ErrorOf([&] { store_->Deliver("jdoe", ""); }), err::kAdoInvalidArgument);
  EXPECT_EQ(ErrorOf([&] { store_->Deliver("nobody", "x"); }), err::kDbNotFound);
}

TEST_F(RecordTest, ProvisionedRootHasTheSystemMailbox) {
  std::vector<MailboxInfo> boxes = store_->Mailboxes();
  ASSERT_EQ(boxes.size(), 2u);
  const MailboxInfo& sys = boxes[0].is_system ? boxes[0] : boxes[1];
  EXPECT_EQ(sys.alias.rfind("SystemMailbox{", 0), 0u);
  EXPECT_EQ(sys.alias.size(), 14u + 36u + 1u);
  EXPECT_EQ(sys.alias.back(), '}');
  EXPECT_EQ(sys.mailbox_store, "Mailbox Store (MAIL01)");
  Record r;
  r.Open(sys.url + "/StoreEvents/GlobalEvents", nullptr, adModeRead, adFailIfNotExists);
  EXPECT_EQ(r.RecordType(), adCollectionRecord);
  EXPECT_EQ(store_->DomainFolder(), "example.com");
  EXPECT_EQ(ThisMachine().DnsName(), "mail01.example.com");
  // Provisioning again is refused and leaves the store alone.
  EXPECT_EQ(ErrorOf([&] {
              Provision(root_, Machine{"other", "example.org"});
            }),
            err::kDbResourceExists);
  EXPECT_EQ(ThisMachine().computer, "mail01");
  EXPECT_EQ(ErrorOf([&] { store_->AddMailbox("JDOE"); }), err::kDbResourceExists);
  EXPECT_EQ(ErrorOf([&] { store_->AddMailbox("a/b"); }), err::kAdoInvalidArgument);
  EXPECT_EQ(ErrorOf([&] { store_->AddMailbox("SystemMailbox{x}"); }), err::kAdoInvalidArgument);
}

}  // namespace
}  // namespace store::testing

namespace store::testing {
namespace {

TEST_F(StoreTest, OpeningWhatIsNoStoreFailsClearly) {
  std::filesystem::path empty = root_.parent_path() / "empty";
  std::filesystem::create_directories(empty);
  EXPECT_EQ(ErrorOf([&] { Store::Open(empty); }), core::err::kPathNotFound);
  // A store of another format is refused, not misread: by a thread that
  // opens it afresh, and by this thread's session, opened before the change,
  // as soon as it would write.
  Mailbox("jdoe");
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile(root_).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  auto expect_format_7 = [](const std::function<void()>& f) {
    try {
      f();
      ADD_FAILURE() << "used a store of another format";
    } catch (const core::RuntimeError& e) {
      EXPECT_NE(e.Description().find("format 7"), std::string::npos) << e.Description();
    }
  };
  std::thread([&] {
    expect_format_7([&] { Store::Open(root_); });
    // The data-access objects report it too, naming no half-open connection.
    EXPECT_NE(ErrorOf([] { Connect(std::string(kMbxUrl)); }), 0);
  }).join();
  store_ = Store::Open(root_);
  expect_format_7([&] { store_->Deliver("jdoe", "Subject: x\r\n\r\nx\r\n"); });
}

}  // namespace
}  // namespace store::testing

namespace store::testing {
namespace {

TEST_F(StoreTest, RegisterProviderIsIdempotentAndSurvivesUnregister) {
  RegisterProvider();
  auto first = adodb::ProviderRegistry::Instance().Find("exoledb.datasource");
  RegisterProvider();
  EXPECT_EQ(adodb::ProviderRegistry::Instance().Find(kProviderName), first);
  adodb::ProviderRegistry::Instance().Unregister(kProviderName);
  EXPECT_EQ(ErrorOf([] { Connect(kMbxUrl); }), core::err::kAdoProviderNotFound);
  RegisterProvider();
  EXPECT_EQ(ErrorOf([] { Connect(kMbxUrl); }), 0);
}

}  // namespace
}  // namespace store::testing

// The committed phase of a delivery against a real store: the sink is
// loaded by ProgID and called with the record of a message the transport
// has just delivered.
#include <memory>

#include "platform/ado/ado.h"
#include "platform/core/error.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "tests/sink/sink_fixture.h"

namespace {

using sinktest::EventInfo;
namespace schema = store::schema;

constexpr std::int32_t kDelivered =
    com::EVT_SYNC_COMMITTED | com::EVT_IS_DELIVERED | com::EVT_NEW_ITEM;
constexpr const char* kMarker = "Quarantined Attachment.txt";
constexpr const char* kFolderFlag = "http://schemas.microsoft.com/mapi/proptag/x3fe6000b";

std::string Message(const std::string& subject, std::vector<std::string> attachments) {
  std::string text = "From: scanner@example.com\r\nTo: jdoe@example.com\r\nSubject: " + subject +
                     "\r\nMessage-ID: <" + subject + "@example.com>\r\nMIME-Version: 1.0\r\n";
  if (attachments.empty()) return text + "Content-Type: text/plain\r\n\r\nHello.\r\n";
  text +=
      "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
      "Content-Type: text/plain\r\n\r\nHello.\r\n";
  for (const std::string& name : attachments) {
    text += "--b1\r\nContent-Type: text/plain; name=\"" + name +
            "\"\r\nContent-Disposition: attachment; filename=\"" + name +
            "\"\r\n\r\nThe attachment was removed.\r\n";
  }
  return text + "--b1--\r\n";
}

class SinkStoreTest : public sinktest::SinkTest {
 protected:
  void SetUp() override {
    SinkTest::SetUp();
    store::Provision(root_, store::Machine{"mail01", "example.com"});
    store::RegisterProvider();
    store_ = store::Store::Open();
  }
  void TearDown() override {
    store_.reset();
    SinkTest::TearDown();
  }

  // Delivers text into alias's Inbox and runs one sink object, constructed
  // with ctor, on the committed phase with flags. Returns the item's id.
  store::ItemId DeliverAndHandle(const std::string& alias, const std::string& text,
                                 std::optional<core::Variant> ctor,
                                 std::int32_t flags = kDelivered) {
    std::string url = store_->Deliver(alias, text);
    store::ItemId id = store_->Resolve(url).id;
    auto sink = Activate(std::move(ctor)).As<com::IExStoreSyncEvents>();
    EXPECT_TRUE(sink);
    auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>([url] {
      auto rec = std::make_shared<adodb::Record>();
      rec->Open(url, nullptr, adodb::adModeReadWrite);
      return rec;
    });
    EXPECT_EQ(sink->OnSyncSave(
                  info.Get(), url,
                  com::EVT_SYNC_BEGIN | (flags & ~kDelivered) | (flags & com::EVT_IS_DELIVERED)),
              com::S_OK);
    EXPECT_EQ(sink->OnSyncSave(info.Get(), url, flags), com::S_OK);
    EXPECT_EQ(static_cast<EventInfo*>(info.Get())->aborts, 0);
    return id;
  }

  std::optional<store::Item> Find(std::vector<std::string> names) {
    names.insert(names.begin(), {"example.com", "MBX"});
    return store_->Find(names);
  }
  std::vector<store::Item> Children(std::vector<std::string> names) {
    auto folder = Find(std::move(names));
    return folder ? store_->Children(folder->id) : std::vector<store::Item>{};
  }
  core::Variant Property(store::ItemId id, const std::string& name) {
    for (auto& [n, v] : store_->Properties(id)) {
      if (n == name) return v;
    }
    return core::Variant();
  }

  std::unique_ptr<store::Store> store_;
};

TEST_F(SinkStoreTest, MarkedDeliveryMovesIntoANewSpamFolderBesideTheInbox) {
  store_->AddMailbox("jdoe");
  const std::string ctor = std::string("Spam\r") + kMarker + "\r65500";
  store::ItemId id = DeliverAndHandle("jdoe", Message("Invoice", {"report.pdf", kMarker}), ctor);

  EXPECT_TRUE(Children({"jdoe", "Inbox"}).empty());
  auto spam = Find({"jdoe", "Spam"});
  ASSERT_TRUE(spam);
  EXPECT_TRUE(spam->is_folder);
  // The delivered message itself, not a copy, lies in the new folder.
  auto moved = store_->Children(spam->id);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].id, id);
  EXPECT_EQ(Property(id, schema::kMessageId).AsString(), "<Invoice@example.com>");
  // The folder is a mail folder.
  EXPECT_EQ(Property(spam->id, schema::kOutlookFolderClass).AsString(), "IPF.Note");
  EXPECT_EQ(Property(spam->id, schema::kContentClass).AsString(), schema::kMailFolderClass);
  EXPECT_TRUE(Property(spam->id, kFolderFlag).Equals(core::Variant(false)));
  EXPECT_EQ(ReadSettings().targetFolderURL, "file://./backofficestorage/example.com/MBX/jdoe/Spam");

  // A second message of the same name gets a new name and overwrites nothing.
  store::ItemId second =
      DeliverAndHandle("jdoe", Message("Invoice", {"QUARANTINED ATTACHMENT.TXT"}), ctor);
  auto both = store_->Children(spam->id);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_NE(both[0].name, both[1].name);
  EXPECT_TRUE((both[0].id == id && both[1].id == second) ||
              (both[0].id == second && both[1].id == id));
  EXPECT_TRUE(Children({"jdoe", "Inbox"}).empty());
}

TEST_F(SinkStoreTest, MessagesThatAreNotMarkedDeliveriesStay) {
  store_->AddMailbox("jdoe");
  const std::string ctor = std::string("Spam\r") + kMarker;
  // Saved by a client, not delivered: not even the folder is made.
  DeliverAndHandle("jdoe", Message("Client", {kMarker}), ctor,
                   com::EVT_SYNC_COMMITTED | com::EVT_NEW_ITEM);
  EXPECT_FALSE(Find({"jdoe", "Spam"}));
  DeliverAndHandle("jdoe", Message("Collection", {kMarker}), ctor,
                   kDelivered | com::EVT_IS_COLLECTION);
  EXPECT_FALSE(Find({"jdoe", "Spam"}));

  // Delivered but unmarked: the folder is made all the same.
  DeliverAndHandle("jdoe", Message("Plain", {}), ctor);
  EXPECT_TRUE(Find({"jdoe", "Spam"}));
  DeliverAndHandle("jdoe", Message("Similar", {"Old Quarantined Attachment.txt"}), ctor);
  DeliverAndHandle("jdoe", Message("NoExt", {"Quarantined Attachment"}), ctor);
  EXPECT_EQ(Children({"jdoe", "Inbox"}).size(), 5u);
  EXPECT_TRUE(Children({"jdoe", "Spam"}).empty());
}

TEST_F(SinkStoreTest, EmptyMarkerNameStillMakesTheFolderButMovesNothing) {
  store_->AddMailbox("jdoe");
  DeliverAndHandle("jdoe", Message("Marked", {kMarker}), core::Variant::Null());
  EXPECT_TRUE(Find({"jdoe", "Spam"}));
  EXPECT_EQ(Children({"jdoe", "Inbox"}).size(), 1u);
  EXPECT_TRUE(Children({"jdoe", "Spam"}).empty());
}

TEST_F(SinkStoreTest, TwoMarkersMoveTheMessageOnce) {
  store_->AddMailbox("jdoe");
  store::ItemId id = DeliverAndHandle("jdoe", Message("Twice", {kMarker, kMarker}),
                                      std::string("Spam\r") + kMarker);
  auto moved = Children({"jdoe", "Spam"});
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].id, id);
  EXPECT_TRUE(Children({"jdoe", "Inbox"}).empty());
}

TEST_F(SinkStoreTest, InboxPathResolvesALocalisedInbox) {
  store_->AddMailbox("pierre", "Boîte de réception");
  store::ItemId id = DeliverAndHandle("pierre", Message("Facture", {kMarker}),
                                      std::string("INBOX\\Spam\r") + kMarker + "\r65500");
  EXPECT_EQ(ReadSettings().targetFolder, "Boîte de réception/Spam");
  auto moved = Children({"pierre", "Boîte de réception", "Spam"});
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].id, id);
  EXPECT_FALSE(Find({"pierre", "Spam"}));
  // The Inbox holds only the new folder now.
  auto inbox = Children({"pierre", "Boîte de réception"});
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_TRUE(inbox[0].is_folder);
}

TEST_F(SinkStoreTest, MissingFoldersOfAPathAreMadeAndExistingOnesLeftAlone) {
  store_->AddMailbox("jdoe");
  auto archive = store_->Create(Find({"jdoe"})->id, "Archive", true, store::ExistingItem::Fail,
                                {{schema::kOutlookFolderClass, core::Variant("IPF.Custom")}});
  store::ItemId id = DeliverAndHandle("jdoe", Message("Deep", {kMarker}),
                                      std::string(" /Archive//  Quarantine /\r") + kMarker);
  auto quarantine = Find({"jdoe", "Archive", "Quarantine"});
  ASSERT_TRUE(quarantine);
  EXPECT_EQ(Property(quarantine->id, schema::kOutlookFolderClass).AsString(), "IPF.Note");
  EXPECT_EQ(Property(archive.id, schema::kOutlookFolderClass).AsString(), "IPF.Custom");
  EXPECT_FALSE(Property(archive.id, kFolderFlag).Type() == core::VarType::Boolean);
  auto moved = store_->Children(quarantine->id);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].id, id);
}

TEST_F(SinkStoreTest, ExistingTargetFolderIsUsedAsItIs) {
  store_->AddMailbox("jdoe");
  auto spam = store_->Create(Find({"jdoe"})->id, "Spam", true, store::ExistingItem::Fail,
                             {{schema::kOutlookFolderClass, core::Variant("IPF.Custom")}});
  store::ItemId id =
      DeliverAndHandle("jdoe", Message("Again", {kMarker}), std::string("spam\r") + kMarker);
  EXPECT_EQ(Property(spam.id, schema::kOutlookFolderClass).AsString(), "IPF.Custom");
  auto moved = store_->Children(spam.id);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].id, id);
}

TEST_F(SinkStoreTest, UnusableTargetLeavesTheMessageInTheInbox) {
  store_->AddMailbox("jdoe");
  // A folder name the store refuses: the folder cannot be made, the save
  // into it fails, and the message must not be lost.
  DeliverAndHandle("jdoe", Message("Kept", {kMarker}), std::string("Bad\x01Name\r") + kMarker);
  ASSERT_EQ(Children({"jdoe", "Inbox"}).size(), 1u);
  // A blank folder field: every message stays where it is.
  DeliverAndHandle("jdoe", Message("Kept2", {kMarker}), std::string("   \r") + kMarker);
  EXPECT_EQ(Children({"jdoe", "Inbox"}).size(), 2u);
  EXPECT_EQ(Children({"jdoe"}).size(), 1u);  // only the Inbox
}

}  // namespace

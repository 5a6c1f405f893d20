// The message objects against the mail store's own provider, following the
// steps the event sink takes with a delivered message.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/ado/ado.h"
#include "platform/cdo/cdo.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"

namespace {

namespace schema = store::schema;

const std::string kMarked =
    "From: Mallory <m@example.org>\r\n"
    "To: alice@example.com\r\n"
    "Subject: Your parcel\r\n"
    "Message-ID: <p1@example.org>\r\n"
    "Content-Type: multipart/mixed; boundary=\"=_b\"\r\n"
    "\r\n"
    "--=_b\r\nContent-Type: text/plain\r\n\r\nOpen the attachment.\r\n"
    "--=_b\r\nContent-Type: text/plain; name=\"Quarantined Attachment.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n\r\n"
    "parcel.exe was removed.\r\n"
    "--=_b--\r\n";

template <typename F>
std::int32_t ErrorCode(F&& f) {
  try {
    f();
  } catch (const core::RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

class CdoOverStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zenthra-cdo-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = std::filesystem::path(tmpl) / "root";
    store::Provision(root_, store::Machine{"mail01", "example.com"});
    core::SetServerRoot(root_);
    store::RegisterProvider();
    store_ = store::Store::Open(root_);
    mailbox_ = store_->AddMailbox("alice");
    spam_ = mailbox_ + "/Spam";
    adodb::Record folder;
    folder.Open(spam_, nullptr, adodb::adModeReadWrite, adodb::adCreateCollection);
    folder.Fields()[schema::kContentClass].Value(schema::kMailFolderClass);
    folder.Fields().Update();
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(root_.parent_path());
  }

  std::filesystem::path root_;
  std::unique_ptr<store::Store> store_;
  std::string mailbox_, spam_;
};

TEST_F(CdoOverStore, CopyThenMoveNeverOverwritesAnOlderMessage) {
  const std::string delivered = store_->Deliver("alice", kMarked);
  // An older message of the same subject already lies in the target folder.
  const std::string older = store_->Deliver("alice", kMarked);
  {
    adodb::Record rec;
    rec.Open(older, nullptr, adodb::adModeReadWrite);
    rec.MoveRecord("", spam_ + "/Your parcel.EML", "", "", adodb::adMoveUnspecified);
  }

  cdo::Message msg;
  msg.DataSource()->Open(delivered, nullptr, adodb::adModeReadWrite, adodb::adFailIfNotExists,
                         static_cast<adodb::RecordOpenOptionsEnum>(0), "", "");
  ASSERT_EQ(msg.Attachments().Count(), 1);
  EXPECT_EQ(msg.Attachments().Item(1).FileName(), "Quarantined Attachment.txt");

  msg.DataSource()->SaveToContainer(spam_, nullptr, adodb::adModeUnknown,
                                    adodb::adCreateNonCollection,
                                    static_cast<adodb::RecordOpenOptionsEnum>(0), "", "");
  const std::string copy = msg.DataSource()->SourceURL();
  ASSERT_FALSE(copy.empty());
  EXPECT_NE(copy, delivered);
  EXPECT_TRUE(core::EqualsNoCase(copy, spam_ + "/Your parcel-1.EML")) << copy;
  {
    // The store derives the message's properties from the copied text.
    adodb::Record rec;
    rec.Open(copy, nullptr, adodb::adModeRead);
    EXPECT_TRUE(rec.Fields()[schema::kHasAttachment].Value().Equals(core::Variant(true)));
    EXPECT_EQ(rec.Fields()[schema::kSubject].Value().AsString(), "Your parcel");
    EXPECT_EQ(rec.Fields()[schema::kContent].Value().AsString(), kMarked);
  }

  adodb::Record rec;
  rec.Open(delivered, nullptr, adodb::adModeReadWrite, adodb::adFailIfNotExists);
  rec.MoveRecord("", copy, "", "", adodb::adMoveOverWrite, false);
  rec.Close();

  adodb::Record gone;
  EXPECT_EQ(ErrorCode([&] { gone.Open(delivered, nullptr, adodb::adModeRead); }),
            core::err::kDbNotFound);
  store::Item folder = store_->Resolve(spam_);
  EXPECT_EQ(store_->Children(folder.id).size(), 2u);  // the older one and the moved one
}

TEST_F(CdoOverStore, FailuresAreRunTimeErrors) {
  cdo::Message msg;
  EXPECT_EQ(ErrorCode([&] { msg.DataSource()->Open(mailbox_ + "/Inbox/none.EML"); }),
            core::err::kDbNotFound);
  // A folder is no message.
  EXPECT_EQ(ErrorCode([&] { msg.DataSource()->Open(spam_); }), cdo::err::kNoContent);

  msg.DataSource()->Open(store_->Deliver("alice", kMarked));
  EXPECT_EQ(ErrorCode([&] { msg.DataSource()->SaveToContainer(mailbox_ + "/Missing"); }),
            core::err::kDbNotFound);
  EXPECT_TRUE(store_->Children(store_->Resolve(spam_).id).empty());

  // A read-only mode cannot leave an empty, unwritable copy behind: a save
  // writes.
  msg.DataSource()->SaveToContainer(spam_, nullptr, adodb::adModeRead);
  adodb::Record rec;
  rec.Open(msg.DataSource()->SourceURL(), nullptr, adodb::adModeRead);
  EXPECT_EQ(rec.Fields()[schema::kContent].Value().AsString(), kMarked);
}

}  // namespace

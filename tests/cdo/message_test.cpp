#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/ado/connection.h"
#include "platform/cdo/cdo.h"
#include "platform/core/error.h"
#include "platform/mime/mime.h"
#include "platform/store/schema.h"
#include "tests/cdo/memory_provider.h"

namespace {

using cdo_test::MemoryProvider;
using cdo_test::MemoryStore;
namespace schema = store::schema;

constexpr const char* kProviderName = "Zenthra.CdoTest";
constexpr const char* kInbox = "mem://dom/MBX/alice/Inbox";
constexpr const char* kSpam = "mem://dom/MBX/alice/Spam";

const std::string kMarkerMessage =
    "From: scanner@example.com\r\n"
    "To: alice@example.com\r\n"
    "Subject: Invoice: March?\r\n"
    "Content-Type: multipart/mixed; boundary=B\r\n"
    "\r\n"
    "--B\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n"
    "--B\r\nContent-Type: application/pdf; name=\"invoice.pdf\"\r\n\r\n%PDF\r\n"
    "--B\r\nContent-Type: text/plain\r\n"
    "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n\r\nremoved\r\n"
    "--B--\r\n";

std::int32_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const core::RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

std::string ContentOf(const adodb::FieldList& fields, const std::string& name) {
  for (const auto& [n, v] : fields) {
    if (n == name) return v.AsString();
  }
  return "<absent>";
}

class CdoMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_shared<MemoryStore>();
    adodb::ProviderRegistry::Instance().Register(kProviderName,
                                                 std::make_shared<MemoryProvider>(store_));
    store_->AddFolder("mem://dom/MBX/alice");
    store_->AddFolder(kInbox);
    store_->AddFolder(kSpam);
    store_->PutItem(std::string(kInbox) + "/m1.EML",
                    {{schema::kContentClass, schema::kMessageClass},
                     {schema::kContent, kMarkerMessage},
                     {schema::kHasAttachment, true}});
  }
  void TearDown() override { adodb::ProviderRegistry::Instance().Unregister(kProviderName); }

  std::string ItemUrl() const { return std::string(kInbox) + "/m1.EML"; }

  std::shared_ptr<MemoryStore> store_;
};

TEST_F(CdoMessage, OpenListsAttachmentsInOrder) {
  cdo::Message msg;
  EXPECT_EQ(msg.Attachments().Count(), 0);
  ASSERT_NE(msg.DataSource(), nullptr);
  EXPECT_EQ(msg.DataSource()->SourceURL(), "");

  msg.DataSource()->Open(ItemUrl(), nullptr, adodb::adModeReadWrite, adodb::adFailIfNotExists,
                         static_cast<adodb::RecordOpenOptionsEnum>(0), "", "");
  EXPECT_EQ(msg.DataSource()->SourceURL(), ItemUrl());
  EXPECT_EQ(msg.Subject(), "Invoice: March?");
  cdo::BodyParts& parts = msg.Attachments();
  ASSERT_EQ(parts.Count(), 2);
  EXPECT_EQ(parts.Item(1).FileName(), "invoice.pdf");
  EXPECT_EQ(parts.Item(1).ContentMediaType(), "application/pdf");
  EXPECT_EQ(parts.Item(2).FileName(), "Quarantined Attachment.txt");
  EXPECT_EQ(parts.Item(2).ContentMediaType(), "text/plain");
  std::vector<std::string> names;
  for (const cdo::IBodyPart& p : parts) names.push_back(p.FileName());
  EXPECT_EQ(names, (std::vector<std::string>{"invoice.pdf", "Quarantined Attachment.txt"}));
  EXPECT_EQ(ErrorOf([&] { parts.Item(0); }), cdo::err::kInvalidArg);
  EXPECT_EQ(ErrorOf([&] { parts.Item(3); }), cdo::err::kInvalidArg);
  // Opening the item must not change it.
  EXPECT_EQ(ContentOf(store_->Item(ItemUrl()), schema::kContent), kMarkerMessage);
}

TEST_F(CdoMessage, OpenFailuresKeepThePreviousMessage) {
  cdo::Message msg;
  msg.DataSource()->Open(ItemUrl());
  store_->PutItem(std::string(kInbox) + "/note", {{schema::kSubject, "no body"}});
  store_->PutItem(std::string(kInbox) + "/nulled", {{schema::kContent, core::Variant::Null()}});

  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->Open(std::string(kInbox) + "/missing.EML"); }),
            core::err::kDbNotFound);
  try {
    msg.DataSource()->Open(std::string(kInbox) + "/note");
    ADD_FAILURE() << "an item without message text opened";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), cdo::err::kNoContent);
    EXPECT_NE(e.Description().find("/note"), std::string::npos) << e.Description();
  }
  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->Open(std::string(kInbox) + "/nulled"); }),
            cdo::err::kNoContent);
  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->Open(kInbox); }), cdo::err::kNoContent);
  // Open never creates: the item must not appear.
  EXPECT_EQ(ErrorOf([&] {
              msg.DataSource()->Open(std::string(kInbox) + "/new.EML", nullptr,
                                     adodb::adModeReadWrite, adodb::adCreateNonCollection);
            }),
            core::err::kAdoInvalidArgument);
  EXPECT_FALSE(store_->Exists(std::string(kInbox) + "/new.EML"));
  // No provider binds the URL.
  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->Open("nowhere://x/y"); }),
            core::err::kAdoProviderNotFound);

  EXPECT_EQ(msg.DataSource()->SourceURL(), ItemUrl());
  EXPECT_EQ(msg.Attachments().Count(), 2);
  EXPECT_EQ(msg.Content(), kMarkerMessage);
}

TEST_F(CdoMessage, SaveToContainerMakesUniqueCopies) {
  cdo::Message msg;
  msg.DataSource()->Open(ItemUrl());
  // A differently cased item already has the first name.
  store_->PutItem(std::string(kSpam) + "/INVOICE_ MARCH_.eml", {{schema::kContent, "older"}});

  msg.DataSource()->SaveToContainer(kSpam, nullptr, adodb::adModeUnknown,
                                    adodb::adCreateNonCollection,
                                    static_cast<adodb::RecordOpenOptionsEnum>(0), "", "");
  const std::string first = msg.DataSource()->SourceURL();
  EXPECT_EQ(first, std::string(kSpam) + "/Invoice_ March_-1.EML");
  adodb::FieldList copy = store_->Item(first);
  EXPECT_EQ(ContentOf(copy, schema::kContent), kMarkerMessage);
  EXPECT_EQ(ContentOf(copy, schema::kContentClass), schema::kMessageClass);
  // The older item and the original are untouched.
  EXPECT_EQ(ContentOf(store_->Item(std::string(kSpam) + "/INVOICE_ MARCH_.eml"), schema::kContent),
            "older");
  EXPECT_EQ(ContentOf(store_->Item(ItemUrl()), schema::kContent), kMarkerMessage);

  // Saving again, with a trailing slash on the container, takes the next name.
  msg.DataSource()->SaveToContainer(std::string(kSpam) + "/");
  EXPECT_EQ(msg.DataSource()->SourceURL(), std::string(kSpam) + "/Invoice_ March_-2.EML");
  EXPECT_EQ(store_->ItemsIn(kSpam).size(), 3u);

  // Through an explicit connection, no connection of its own is opened.
  auto cnn = std::make_shared<adodb::Connection>();
  cnn->Provider(kProviderName);
  cnn->Open("mem://dom/MBX/alice");
  const int sessions = store_->sessions_opened();
  msg.DataSource()->SaveToContainer(kSpam, cnn);
  EXPECT_EQ(msg.DataSource()->SourceURL(), std::string(kSpam) + "/Invoice_ March_-3.EML");
  EXPECT_EQ(store_->sessions_opened(), sessions);
  cnn->Close();

  // The copy can be opened as a message in turn.
  cdo::Message again;
  again.DataSource()->Open(first);
  EXPECT_EQ(again.Attachments().Count(), 2);
}

TEST_F(CdoMessage, SaveToContainerBeyondTheSequentialNames) {
  cdo::Message msg;
  msg.DataSource()->Open(ItemUrl());
  std::set<std::string> taken;
  for (int i = 0; i < 100; ++i) {
    const std::string url = std::string(kSpam) + "/" + mime::ItemName(msg.Subject(), i);
    store_->PutItem(url, {{schema::kContent, "spam run"}});
    taken.insert(url);
  }
  for (int n = 0; n < 3; ++n) {
    msg.DataSource()->SaveToContainer(kSpam);
    const std::string url = msg.DataSource()->SourceURL();
    EXPECT_TRUE(taken.insert(url).second) << url << " reused";
    EXPECT_EQ(ContentOf(store_->Item(url), schema::kContent), kMarkerMessage);
  }
  EXPECT_EQ(store_->ItemsIn(kSpam).size(), 103u);
}

TEST_F(CdoMessage, SaveToContainerFailures) {
  cdo::Message unopened;
  EXPECT_EQ(ErrorOf([&] { unopened.DataSource()->SaveToContainer(kSpam); }), cdo::err::kNotOpen);

  cdo::Message msg;
  msg.DataSource()->Open(ItemUrl());
  // Missing folder: the provider's error, nothing created, binding unchanged.
  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->SaveToContainer("mem://dom/MBX/alice/Nope"); }),
            core::err::kDbNotFound);
  EXPECT_EQ(msg.DataSource()->SourceURL(), ItemUrl());
  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->SaveToContainer(""); }),
            core::err::kAdoInvalidArgument);
  EXPECT_EQ(ErrorOf([&] {
              msg.DataSource()->SaveToContainer(kSpam, nullptr, adodb::adModeUnknown,
                                                adodb::adCreateOverwrite);
            }),
            core::err::kAdoInvalidArgument);

  // Every name taken: a bounded search and a clear error.
  store_->EveryNameTaken(true);
  const int before = store_->create_attempts();
  try {
    msg.DataSource()->SaveToContainer(kSpam);
    ADD_FAILURE() << "saved although every name was taken";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), cdo::err::kNoUniqueName);
    EXPECT_NE(e.Description().find(kSpam), std::string::npos) << e.Description();
  }
  EXPECT_EQ(store_->create_attempts() - before, 201);
  store_->EveryNameTaken(false);

  // A refused write removes the half-made copy and reports the write's error.
  store_->FailWritesWith(core::err::kDbPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { msg.DataSource()->SaveToContainer(kSpam); }),
            core::err::kDbPermissionDenied);
  EXPECT_TRUE(store_->ItemsIn(kSpam).empty());
  EXPECT_EQ(msg.DataSource()->SourceURL(), ItemUrl());
  store_->FailWritesWith(0);

  msg.DataSource()->SaveToContainer(kSpam);
  EXPECT_EQ(store_->ItemsIn(kSpam).size(), 1u);
}

}  // namespace

// From the setup program's side: install the sink into the catalog with its
// settings, register it in a mailbox, deliver marked mail and find it moved.
// The store's event dispatch activates the registered class through the
// catalog, which hands it the constructor string the install stored.
#include <string>

#include "platform/complus/activation.h"
#include "platform/store/schema.h"
#include "setup/ComPlus.h"
#include "setup/Folders.h"
#include "setup/Items.h"
#include "tests/setup/complus_fixture.h"

namespace {

std::string Message(const std::string& subject, const std::string& attachment) {
  std::string text = "From: scanner@example.com\r\nTo: jdoe@example.com\r\nSubject: " + subject +
                     "\r\nMIME-Version: 1.0\r\n";
  if (attachment.empty()) return text + "Content-Type: text/plain\r\n\r\nHello.\r\n";
  return text +
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
         "Content-Type: text/plain\r\n\r\nHello.\r\n--b1\r\nContent-Type: text/plain; name=\"" +
         attachment + "\"\r\nContent-Disposition: attachment; filename=\"" + attachment +
         "\"\r\n\r\nThe attachment was removed.\r\n--b1--\r\n";
}

class EndToEndTest : public setuptest::ComPlusTest {};

TEST_F(EndToEndTest, MarkedMailIsMovedIntoTheConfiguredFolder) {
  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  store_->AddMailbox("jdoe", "Posteingang");
  const std::string base = std::string(setuptest::kMbx) + "/jdoe";

  ComPlus::InstallComPlusObject("Zenthra", "", "",
                                "Inbox\\Quarantine\rQuarantined Attachment.txt\r65500", txtErr);
  ASSERT_NE(Items::CreateRegistrationItem(base, "inbox", "Zenthra.reg", "onsyncsave",
                                          "Zenthra.ZenthraCls", "SHALLOW",
                                          " WHERE \"DAV:ishidden\" = FALSE", "65500", true, txtErr),
            "");
  adodb::ConnectionPtr cnn;
  EXPECT_EQ(Folders::FolderItemExists(base, "inbox", "Zenthra.reg",
                                      " AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ",
                                      true, cnn, txtErr),
            1);
  ASSERT_EQ(txtErr.Text(), "");

  store_->Deliver("jdoe", Message("marked", "Quarantined Attachment.txt"));
  store_->Deliver("jdoe", Message("clean", ""));

  auto subjects = [&](const std::string& url) {
    std::vector<std::string> result;
    const auto folder = store_->Find(store_->Names(url));
    if (!folder) return result;
    for (const store::Item& item : store_->Children(folder->id)) {
      for (const auto& [name, value] : store_->Properties(item.id, false)) {
        if (name == store::schema::kSubject) result.push_back(value.AsString());
      }
    }
    return result;
  };
  EXPECT_EQ(subjects(base + "/Posteingang/Quarantine"), std::vector<std::string>{"marked"});
  EXPECT_EQ(subjects(base + "/Posteingang"), std::vector<std::string>{"clean"});
}

}  // namespace

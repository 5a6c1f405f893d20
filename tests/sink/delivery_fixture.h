// The store with Zenthra.dll installed in the component catalog and bound to
// folders by registration items written as the setup program writes them.
#pragma once

#include <gmock/gmock.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/text.h"
#include "platform/store/provider.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "tests/sink/sink_fixture.h"

namespace sinktest {

inline constexpr const char* kMarker = "Quarantined Attachment.txt";
inline constexpr const char* kCriteria = " WHERE \"DAV:ishidden\" = FALSE";

class DeliveryTest : public SinkTest {
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

  // Installs the sink into the catalog application "Zenthra" as the setup
  // program does, with the given constructor string.
  void Install(const std::string& constructorString) {
    complus::COMAdminCatalog catalog;
    complus::CatalogCollectionPtr apps = catalog.GetCollection("Applications");
    apps->Populate();
    auto app = apps->Add();
    app->Value("Name", core::Variant("Zenthra"));
    app->Value("ApplicationAccessChecksEnabled", core::Variant(false));
    apps->SaveChanges();
    catalog.InstallComponent("Zenthra", ZENTHRA_DLL, "", "");
    catalog.RefreshComponents();
    complus::CatalogCollectionPtr comps =
        apps->GetCollection("Components", core::Variant(core::UCase(app->Value("ID").AsString())));
    comps->Populate();
    ASSERT_EQ(comps->Count(), 1);
    comps->Item(0)->Value("ConstructionEnabled", core::Variant(true));
    comps->Item(0)->Value("ConstructorString", core::Variant(constructorString));
    comps->SaveChanges();
  }

  // Writes the registration item Zenthra.reg as the setup program does:
  // one transaction, the item replaced, its seven properties in order.
  std::string Register(const std::string& baseUrl, const std::string& folderName,
                       const std::string& scope) {
    auto cnn = std::make_shared<adodb::Connection>();
    cnn->Provider("exoledb.datasource");
    cnn->ConnectionString(baseUrl);
    cnn->Open(baseUrl, "", "", -1);
    std::string folderUrl = baseUrl + "/" + folderName;
    if (core::EqualsNoCase(folderName, "inbox")) {
      adodb::Record base;
      base.Open(baseUrl, cnn, adodb::adModeRead);
      folderUrl = base.Fields()[store::schema::kInbox].Value().AsString();
      base.Close();
    }
    cnn->BeginTrans();
    adodb::Record rec;
    rec.Open(folderUrl + "/Zenthra.reg", cnn, adodb::adModeReadWrite, adodb::adCreateOverwrite,
             adodb::adDelayFetchFields);
    rec.Fields()[store::schema::kContentClass].Value(
        core::Variant(store::schema::kEventRegistrationClass));
    rec.Fields()[store::schema::kEventMethod].Value(core::Variant("onsyncsave"));
    rec.Fields()[store::schema::kSinkClass].Value(core::Variant("Zenthra.ZenthraCls"));
    rec.Fields()[store::schema::kMatchScope].Value(core::Variant(scope));
    rec.Fields()[store::schema::kCriteria].Value(core::Variant(kCriteria));
    rec.Fields()[store::schema::kPriority].Value(core::Variant("65500"));
    rec.Fields()[store::schema::kIsHidden].Value(core::Variant(true));
    rec.Fields().Update();
    rec.Close();
    cnn->CommitTrans();
    cnn->Close();
    return folderUrl;
  }

  std::string SystemMailbox() {
    for (const store::MailboxInfo& m : store_->Mailboxes()) {
      if (m.is_system) return m.url;
    }
    ADD_FAILURE() << "no system mailbox";
    return "";
  }

  // Names of the messages (not the hidden registration) in folder, or
  // nullopt when it does not exist.
  std::optional<std::vector<std::string>> Messages(const std::string& folderUrl) {
    std::unique_ptr<store::Store> s = store::Store::Open();
    std::optional<store::Item> folder = s->Find(s->Names(folderUrl));
    if (!folder) return std::nullopt;
    std::vector<std::string> names;
    for (const store::Item& item : s->Children(folder->id)) {
      if (!item.is_folder && item.name != "Zenthra.reg") names.push_back(item.name);
    }
    return names;
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    std::filesystem::path file = root_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file.string();
  }

  static std::string Tool() { return ZENTHRA_STORE_TOOL; }

  com::ScopedConstructionHook catalog_{complus::CatalogConstructionHook()};
  std::unique_ptr<store::Store> store_;
};

}  // namespace sinktest

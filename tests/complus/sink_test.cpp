// The event sink installed the way the setup program installs it, then
// activated the way the store activates it: Construct must hand the sink the
// settings kept in the catalog.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/com/activation.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/text.h"
#include "tests/complus/temp_root.h"

namespace {

using complus::CatalogCollectionPtr;
using core::Variant;

struct Settings {
  std::string targetFolder;
  std::string attachmentName;
};

// Activates the sink on this thread and reads back the settings it took.
Settings ActivateSink() {
  com::Ptr<com::IUnknown> sink = com::CreateObject("Zenthra.ZenthraCls");
  EXPECT_TRUE(sink.As<com::IExStoreSyncEvents>());
  void* library = ::dlopen(ZENTHRA_SINK_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(library, nullptr);
  if (!library) return {};
  using Fn = void (*)(const char**, const char**, const char**);
  auto settings = reinterpret_cast<Fn>(::dlsym(library, "ZenthraThreadSettings"));
  Settings s;
  if (settings) {
    const char* folder = nullptr;
    const char* attachment = nullptr;
    settings(&folder, &attachment, nullptr);
    s = {folder, attachment};
  } else {
    ADD_FAILURE() << "the sink exports no ZenthraThreadSettings";
  }
  ::dlclose(library);
  return s;
}

class SinkTest : public catalogtest::TempRootTest {
 protected:
  void TearDown() override {
    com::FreeUnusedLibraries();
    TempRootTest::TearDown();
  }
};

TEST_F(SinkTest, TheSinkIsConstructedWithTheSettingsInTheCatalog) {
  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  complus::COMAdminCatalog catalog;
  CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  apps->Populate();
  auto app = apps->Add();
  app->Value("Name", Variant("Zenthra"));
  app->Value("ApplicationAccessChecksEnabled", Variant(false));
  apps->SaveChanges();
  catalog.InstallComponent("Zenthra", ZENTHRA_SINK_LIBRARY, "", "");
  catalog.RefreshComponents();

  CatalogCollectionPtr comps =
      apps->GetCollection("Components", Variant(core::UCase(app->Value("ID").AsString())));
  comps->Populate();
  ASSERT_EQ(comps->Count(), 1);
  ASSERT_EQ(comps->Item(0)->Name(), "Zenthra.ZenthraCls");
  comps->Item(0)->Value("ConstructionEnabled", Variant(true));
  comps->Item(0)->Value("ConstructorString",
                        Variant("Inbox\\Junk\rQuarantined Attachment.txt\r65500"));
  comps->SaveChanges();

  Settings s = ActivateSink();
  EXPECT_EQ(s.targetFolder, "Inbox/Junk");
  EXPECT_EQ(s.attachmentName, "Quarantined Attachment.txt");

  comps->Item(0)->Value("ConstructorString", Variant(" Spam \r marker.txt \r1"));
  comps->SaveChanges();
  s = ActivateSink();
  EXPECT_EQ(s.targetFolder, "Spam");
  EXPECT_EQ(s.attachmentName, "marker.txt");
}

}  // namespace

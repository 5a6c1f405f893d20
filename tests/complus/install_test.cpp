#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/class_registry.h"
#include "platform/com/guid.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/complus/errors.h"
#include "platform/core/error.h"
#include "tests/complus/temp_root.h"
#include "tests/complus/test_probe.h"

namespace {

using complus::CatalogCollectionPtr;
using complus::CatalogObjectPtr;
using complus::COMAdminCatalog;
using core::Variant;

core::RuntimeError ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const core::RuntimeError& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return core::RuntimeError(0, "");
}

class InstallTest : public catalogtest::TempRootTest {
 protected:
  void TearDown() override {
    com::FreeUnusedLibraries();
    TempRootTest::TearDown();
  }

  // Adds an application and returns its ID.
  std::string AddApplication(const std::string& name) {
    CatalogCollectionPtr apps = catalog().GetCollection("Applications");
    apps->Populate();
    CatalogObjectPtr app = apps->Add();
    app->Value("Name", Variant(name));
    apps->SaveChanges();
    return app->Key();
  }

  CatalogCollectionPtr Components(const std::string& appId) {
    CatalogCollectionPtr apps = catalog().GetCollection("Applications");
    apps->Populate();
    CatalogCollectionPtr comps = apps->GetCollection("Components", Variant(appId));
    comps->Populate();
    return comps;
  }

  // Removes the application at index and saves.
  void RemoveApplication(std::int32_t index) {
    CatalogCollectionPtr apps = catalog().GetCollection("Applications");
    apps->Populate();
    apps->Remove(index);
    apps->SaveChanges();
  }

  COMAdminCatalog& catalog() {
    if (!catalog_) catalog_ = std::make_unique<COMAdminCatalog>();
    return *catalog_;
  }

  // What Construct gave a new object of progId.
  static std::string Activate(const char* progId) {
    com::Ptr<catalogtest::IProbe> probe = com::CreateObject(progId).As<catalogtest::IProbe>();
    return probe ? probe->Constructed() : "<no probe>";
  }

  std::unique_ptr<COMAdminCatalog> catalog_;
};

// ---- installing ----

TEST_F(InstallTest, InstallRegistersTheClassesAndAddsOneComponentPerClass) {
  const std::string id = AddApplication("Zenthra");
  catalog().InstallComponent("zenthra", CATALOG_TEST_COMPONENT, "", "");

  auto sink = com::LookupProgId(catalogtest::kSinkProgId);
  ASSERT_TRUE(sink);
  EXPECT_EQ(sink->clsid, com::GUID::Parse(catalogtest::kSinkClsid));
  EXPECT_TRUE(com::LookupProgId(catalogtest::kPlainProgId));

  CatalogCollectionPtr comps = Components(id);
  ASSERT_EQ(comps->Count(), 2);
  CatalogObjectPtr c = comps->Item(0);
  EXPECT_EQ(c->Name(), catalogtest::kSinkProgId);
  EXPECT_EQ(c->Value("ProgID"), Variant(catalogtest::kSinkProgId));
  EXPECT_EQ(c->Key(), catalogtest::kSinkClsid);
  EXPECT_EQ(c->Value("CLSID"), Variant(catalogtest::kSinkClsid));
  EXPECT_EQ(c->Value("DLL"), Variant(sink->libraryPath));
  EXPECT_EQ(c->Value("ThreadingModel"), Variant("Apartment"));
  EXPECT_EQ(c->Value("ConstructionEnabled"), Variant(false));
  EXPECT_EQ(c->Value("ConstructorString"), Variant(""));
  EXPECT_TRUE(c->IsPropertyReadOnly("Name"));
  EXPECT_EQ(ErrorOf([&] { c->Value("Name", Variant("X.Y")); }).Number(),
            core::err::kInvalidProcedureCall);
  EXPECT_EQ(comps->Item(1)->Name(), catalogtest::kPlainProgId);

  // Settings are saved per component; installing again keeps them.
  c->Value("ConstructionEnabled", Variant(true));
  c->Value("ConstructorString", Variant("Spam\rMarker.txt\r65500"));
  EXPECT_EQ(comps->SaveChanges(), 1);
  catalog().InstallComponent(id, CATALOG_TEST_COMPONENT, "", "");
  comps = Components(id);
  ASSERT_EQ(comps->Count(), 2);
  EXPECT_EQ(comps->Item(0)->Value("ConstructorString"), Variant("Spam\rMarker.txt\r65500"));
  EXPECT_EQ(comps->Item(0)->Value("ConstructionEnabled"), Variant(true));
}

TEST_F(InstallTest, LibraryFailuresNameTheFileAndInstallNothing) {
  const std::string id = AddApplication("Zenthra");
  const std::string missing = (root_ / "Zenthra.dll").string();
  auto e = ErrorOf([&] { catalog().InstallComponent("Zenthra", missing, "", ""); });
  EXPECT_EQ(e.Number(), core::err::kFileNotFound);
  EXPECT_NE(e.Description().find(missing), std::string::npos) << e.Description();

  const std::string garbage = (root_ / "garbage.dll").string();
  std::ofstream(garbage) << "not a shared object\n";
  e = ErrorOf([&] { catalog().InstallComponent("Zenthra", garbage, "", ""); });
  EXPECT_EQ(e.Number(), core::err::kCannotCreateObject);
  EXPECT_NE(e.Description().find(garbage), std::string::npos) << e.Description();

  e = ErrorOf([&] { catalog().InstallComponent("Zenthra", CATALOG_TEST_NO_CLASS, "", ""); });
  EXPECT_EQ(e.Number(), complus::COMADMIN_E_COMPFILE_CLASSNOTAVAIL);
  EXPECT_NE(e.Description().find("catalog_test_no_class"), std::string::npos) << e.Description();
  EXPECT_NE(e.Description().find(catalogtest::kBrokenSecondProgId), std::string::npos);

  e = ErrorOf([&] { catalog().InstallComponent("Zenthra", CATALOG_TEST_BAD_SELFREG, "", ""); });
  EXPECT_EQ(e.Number(), complus::COMADMIN_E_DLLREGISTERSERVER);
  EXPECT_NE(e.Description().find("catalog_test_bad_selfreg"), std::string::npos);

  e = ErrorOf([&] {
    catalog().InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, (root_ / "x.tlb").string(), "");
  });
  EXPECT_EQ(e.Number(), core::err::kFileNotFound);
  EXPECT_NE(e.Description().find("x.tlb"), std::string::npos);

  e = ErrorOf([&] { catalog().InstallComponent("Nobody", CATALOG_TEST_COMPONENT, "", ""); });
  EXPECT_EQ(e.Number(), complus::COMADMIN_E_OBJECT_DOES_NOT_EXIST);
  EXPECT_NE(e.Description().find("Nobody"), std::string::npos);

  // Half-done registrations were taken back.
  EXPECT_EQ(Components(id)->Count(), 0);
  EXPECT_TRUE(com::List().empty());
}

TEST_F(InstallTest, AFailedInstallPutsBackRegistrationsItReplaced) {
  // The broken library registers a class another application already holds.
  const std::string id = AddApplication("Zenthra");
  com::RegisterClass(catalogtest::kBrokenFirstProgId,
                     com::GUID::Parse(catalogtest::kBrokenFirstClsid), "/opt/elsewhere/first.so",
                     "Free");
  ErrorOf([&] { catalog().InstallComponent(id, CATALOG_TEST_NO_CLASS, "", ""); });
  auto first = com::LookupProgId(catalogtest::kBrokenFirstProgId);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->libraryPath, "/opt/elsewhere/first.so");
  EXPECT_EQ(first->threadingModel, "Free");
  EXPECT_FALSE(com::LookupProgId(catalogtest::kBrokenSecondProgId));
}

// ---- removing ----

TEST_F(InstallTest, RemovingAnApplicationUnregistersClassesNoOtherApplicationHolds) {
  AddApplication("Zenthra");
  const std::string second = AddApplication("Zenthra");
  catalog().InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, "", "");  // the first one
  catalog().InstallComponent(second, CATALOG_TEST_COMPONENT, "", "");

  RemoveApplication(0);
  EXPECT_TRUE(com::LookupProgId(catalogtest::kSinkProgId)) << "the second still holds it";
  EXPECT_EQ(Components(second)->Count(), 2);

  // Removing one component unregisters just that class.
  CatalogCollectionPtr comps = Components(second);
  comps->Remove(1);
  EXPECT_EQ(comps->SaveChanges(), 1);
  EXPECT_FALSE(com::LookupProgId(catalogtest::kPlainProgId));
  EXPECT_TRUE(com::LookupProgId(catalogtest::kSinkProgId));

  RemoveApplication(0);
  EXPECT_FALSE(com::LookupProgId(catalogtest::kSinkProgId));
  EXPECT_TRUE(com::List().empty());
  EXPECT_EQ(ErrorOf([&] { Components(second); }).Number(),
            complus::COMADMIN_E_OBJECT_DOES_NOT_EXIST);
}

TEST_F(InstallTest, RefreshComponentsFollowsTheClassRegistry) {
  const std::string id = AddApplication("Zenthra");
  catalog().InstallComponent(id, CATALOG_TEST_COMPONENT, "", "");
  com::RegisterClass("CatalogTest.Renamed", com::GUID::Parse(catalogtest::kSinkClsid),
                     "/opt/moved/component.so", "Both");
  EXPECT_EQ(Components(id)->Item(0)->Name(), catalogtest::kSinkProgId) << "not before the refresh";
  catalog().RefreshComponents();
  CatalogObjectPtr c = Components(id)->Item(0);
  EXPECT_EQ(c->Name(), "CatalogTest.Renamed");
  EXPECT_EQ(c->Value("DLL"), Variant("/opt/moved/component.so"));
  EXPECT_EQ(c->Value("ThreadingModel"), Variant("Both"));

  // A class gone from the registry keeps what the catalog knew.
  com::UnregisterClass(com::GUID::Parse(catalogtest::kPlainClsid));
  catalog().RefreshComponents();
  EXPECT_EQ(Components(id)->Item(1)->Name(), catalogtest::kPlainProgId);
}

// ---- activation ----

TEST_F(InstallTest, ClassesOutsideTheCatalogAreNotConstructed) {
  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  com::RegisterClass(catalogtest::kSinkProgId, com::GUID::Parse(catalogtest::kSinkClsid),
                     CATALOG_TEST_COMPONENT, "Apartment");
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "<not constructed>") << "no catalog yet";
  AddApplication("Zenthra");
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "<not constructed>") << "in no application";
}

TEST_F(InstallTest, ActivationReadsTheCatalogAfreshEachTime) {
  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  const std::string first = AddApplication("First");
  const std::string second = AddApplication("Second");
  catalog().InstallComponent(second, CATALOG_TEST_COMPONENT, "", "");
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "<not constructed>") << "disabled by default";

  CatalogCollectionPtr comps = Components(second);
  comps->Item(0)->Value("ConstructionEnabled", Variant(true));
  comps->Item(0)->Value("ConstructorString",
                        Variant("Inbox\\Spam\rQuarantined Attachment.txt\r65500"));
  comps->SaveChanges();
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "Inbox\\Spam\rQuarantined Attachment.txt\r65500");

  comps->Item(0)->Value("ConstructorString", Variant(""));
  comps->SaveChanges();
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "");

  // The first application in catalog order that holds the class decides.
  catalog().InstallComponent(first, CATALOG_TEST_COMPONENT, "", "");
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "<not constructed>");
  CatalogCollectionPtr firstComps = Components(first);
  firstComps->Item(0)->Value("ConstructionEnabled", Variant(true));
  firstComps->Item(0)->Value("ConstructorString", Variant("from first"));
  firstComps->SaveChanges();
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "from first");

  // A class with construction enabled but no Construct cannot be handed out.
  CatalogCollectionPtr plain = Components(first);
  plain->Item(1)->Value("ConstructionEnabled", Variant(true));
  plain->SaveChanges();
  EXPECT_EQ(ErrorOf([] { com::CreateObject(catalogtest::kPlainProgId); }).Number(),
            core::err::kCannotCreateObject);
}

// Activation keeps what it read from the catalog and the class registry once
// their files have been left alone for a few seconds; any change after that
// must be seen by the very next activation.
TEST_F(InstallTest, ActivationSeesEveryChangeOfSettledFiles) {
  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  const std::string id = AddApplication("Settled");
  catalog().InstallComponent(id, CATALOG_TEST_COMPONENT, "", "");
  CatalogCollectionPtr comps = Components(id);
  comps->Item(0)->Value("ConstructionEnabled", Variant(true));
  comps->Item(0)->Value("ConstructorString", Variant("one"));
  comps->SaveChanges();
  const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(4200)); };

  settle();
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "one");
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "one");
  comps->Item(0)->Value("ConstructorString", Variant("two"));
  comps->SaveChanges();
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "two");

  settle();
  EXPECT_EQ(Activate(catalogtest::kSinkProgId), "two");
  ASSERT_TRUE(com::UnregisterClass(*com::GUID::TryParse(catalogtest::kSinkClsid)));
  EXPECT_EQ(ErrorOf([] { com::CreateObject(catalogtest::kSinkProgId); }).Number(),
            core::err::kCannotCreateObject);
}

TEST_F(InstallTest, ActivationsOnSeveralThreadsShareOneHook) {
  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  const std::string id = AddApplication("Zenthra");
  catalog().InstallComponent(id, CATALOG_TEST_COMPONENT, "", "");
  CatalogCollectionPtr comps = Components(id);
  comps->Item(0)->Value("ConstructionEnabled", Variant(true));
  comps->Item(0)->Value("ConstructorString", Variant("Spam\rmarker"));
  comps->SaveChanges();

  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 25; ++i) wrong[t] += Activate(catalogtest::kSinkProgId) != "Spam\rmarker";
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST_F(InstallTest, AnUnreadableCatalogFailsTheActivation) {
  const std::string id = AddApplication("Zenthra");
  catalog().InstallComponent(id, CATALOG_TEST_COMPONENT, "", "");
  catalog_.reset();
  com::ConstructionHook previous = complus::EnableCatalogActivation();
  ASSERT_EQ(::chmod((root_ / "complus" / "catalog.db").c_str(), 0640), 0);
  auto e = ErrorOf([] { com::CreateObject(catalogtest::kSinkProgId); });
  com::SetConstructionHook(previous);
  EXPECT_EQ(e.Number(), core::err::kCannotCreateObject);
  EXPECT_NE(e.Description().find(catalogtest::kSinkProgId), std::string::npos);
  EXPECT_NE(e.Description().find("catalog.db"), std::string::npos) << e.Description();
}

}  // namespace

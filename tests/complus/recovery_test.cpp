// The catalog and the class registry stay in step through crashes: what a
// process killed half-way left behind is finished or taken back by the next
// opening, and activation refuses a class the two disagree about.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/com/activation.h"
#include "platform/com/class_registry.h"
#include "platform/com/file_lock.h"
#include "platform/com/guid.h"
#include "platform/complus/activation.h"
#include "platform/complus/catalog.h"
#include "platform/core/error.h"
#include "tests/complus/temp_root.h"
#include "tests/complus/test_probe.h"
#include "tests/support/small_fs.h"

namespace {

namespace fs = std::filesystem;
using complus::CatalogCollectionPtr;

[[noreturn]] void Die() { ::_exit(0); }
using complus::COMAdminCatalog;
using core::Variant;

const com::GUID kSink = com::GUID::Parse(catalogtest::kSinkClsid);

CatalogCollectionPtr Applications(COMAdminCatalog& catalog) {
  CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  apps->Populate();
  return apps;
}

std::string AddApplication(COMAdminCatalog& catalog, const std::string& name) {
  CatalogCollectionPtr apps = Applications(catalog);
  complus::CatalogObjectPtr app = apps->Add();
  app->Value("Name", Variant(name));
  apps->SaveChanges();
  return app->Key();
}

// Runs body in a child process. A body that stands for a killed process ends
// with Die() while its objects are alive: no destructor runs, and every lock
// the process held goes.
void InDyingProcess(const std::function<void()>& body) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int rc = 0;
    try {
      body();
    } catch (...) {
      rc = 1;
    }
    ::_exit(rc);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed";
}

class RecoveryTest : public catalogtest::TempRootTest {
 protected:
  void TearDown() override {
    com::FreeUnusedLibraries();
    TempRootTest::TearDown();
  }

  void Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(::sqlite3_open((root_ / "complus" / "catalog.db").c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(::sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
    ::sqlite3_free(error);
    ::sqlite3_close(db);
  }

  std::int32_t ApplicationCount() {
    COMAdminCatalog catalog;
    return Applications(catalog)->Count();
  }
};

TEST_F(RecoveryTest, ARegistryChangeLeftHalfDoneIsPutRightByTheNextOpening) {
  { COMAdminCatalog create; }
  // As a crash during a self-registration leaves it: the new class is in the
  // registry, the one it displaced is gone, and the record says what was.
  com::RegisterClass(catalogtest::kSinkProgId, kSink, CATALOG_TEST_COMPONENT, "Apartment");
  Sql("INSERT INTO registry_journal (clsid, progid, library, threading_model) VALUES ('" +
      kSink.ToString() + "', 'Old.Sink', '/opt/old/sink.so', 'Free')");

  // A change in progress (holding the lock) is left to finish its own.
  {
    com::FileLock busy(root_ / "complus" / "registry.lock");
    COMAdminCatalog reader;
    EXPECT_EQ(com::LookupClsid(kSink)->libraryPath, CATALOG_TEST_COMPONENT);
  }

  COMAdminCatalog catalog;
  std::optional<com::ClassEntry> entry = com::LookupClsid(kSink);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->progId, "Old.Sink");
  EXPECT_EQ(entry->libraryPath, "/opt/old/sink.so");
  EXPECT_EQ(entry->threadingModel, "Free");
  EXPECT_EQ(com::List().size(), 1u);

  // Done once: the record is gone, so a later change to the registry stays.
  com::UnregisterClass(kSink);
  COMAdminCatalog again;
  EXPECT_TRUE(com::List().empty());
}

TEST_F(RecoveryTest, AnApplicationWhoseProcessDiedBeforeItGotAComponentIsRemoved) {
  InDyingProcess([] {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    Die();
  });
  EXPECT_EQ(ApplicationCount(), 0);
  EXPECT_TRUE(fs::is_empty(root_ / "complus" / "sessions"));

  // Once its component is in, an application stays whatever happens next.
  InDyingProcess([] {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    catalog.InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, "", "");
    Die();
  });
  COMAdminCatalog catalog;
  CatalogCollectionPtr apps = Applications(catalog);
  ASSERT_EQ(apps->Count(), 1);
  CatalogCollectionPtr comps = apps->GetCollection("Components", Variant(apps->Item(0)->Key()));
  comps->Populate();
  EXPECT_EQ(comps->Count(), 2);
  EXPECT_TRUE(com::LookupClsid(kSink));
}

TEST_F(RecoveryTest, ALiveProcessKeepsItsApplicationAndAFailedInstallLeavesItAsBefore) {
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    char c = 1;
    (void)!::write(ready[1], &c, 1);
    (void)!::read(go[0], &c, 1);
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(ApplicationCount(), 1) << "removed while its process was still installing";
  ASSERT_EQ(::write(go[1], &c, 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);

  // An install that fails in a process that carries on: the application
  // stays, empty, as the administrator's program reports it.
  {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    EXPECT_THROW(catalog.InstallComponent("Zenthra", (root_ / "missing.dll").string(), "", ""),
                 core::RuntimeError);
  }
  EXPECT_EQ(ApplicationCount(), 1);
}

TEST_F(RecoveryTest, ActivationRefusesAClassTheRegistryAndTheCatalogDisagreeAbout) {
  {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    catalog.InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, "", "");
  }
  // Another library took the class over in the registry.
  const fs::path other = root_ / "other.so";
  fs::copy_file(CATALOG_TEST_COMPONENT, other);
  com::RegisterClass(catalogtest::kSinkProgId, kSink, other.string(), "Apartment");

  com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
  try {
    com::CreateObject(catalogtest::kSinkProgId);
    ADD_FAILURE() << "activated";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kCannotCreateObject);
    EXPECT_NE(e.Description().find(other.string()), std::string::npos) << e.Description();
    EXPECT_NE(e.Description().find(CATALOG_TEST_COMPONENT), std::string::npos) << e.Description();
  }
  EXPECT_EQ(::dlopen(other.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "its code was loaded";

  // A link to the installed file is the same library.
  fs::remove(other);
  fs::create_symlink(CATALOG_TEST_COMPONENT, other);
  com::RegisterClass(catalogtest::kSinkProgId, kSink, other.string(), "Apartment");
  EXPECT_NO_THROW(com::CreateObject(catalogtest::kSinkProgId));
}

TEST_F(RecoveryTest, OnAFullDiskChangesSayDiskFullNameTheFileAndChangeNothing) {
  zenthra::testing::SmallFs disk;
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  const fs::path root = disk.path() / "root";
  fs::create_directory(root);
  core::SetServerRoot(root);
  {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
  }
  auto open = std::make_unique<COMAdminCatalog>();  // its journal files exist
  disk.Fill();
  auto expectDiskFull = [&](const std::function<void()>& change, const char* what) {
    try {
      change();
      ADD_FAILURE() << what << " succeeded on a full disk";
    } catch (const core::RuntimeError& e) {
      const std::string& text = e.Description();
      EXPECT_NE(text.find("disk full"), std::string::npos) << what << ": " << text;
      EXPECT_NE(text.find((root / "complus" / "catalog.db").string()), std::string::npos)
          << what << ": " << text;
    }
  };
  expectDiskFull([&] { AddApplication(*open, "Second"); }, "adding an application");
  expectDiskFull([&] { open->InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, "", ""); },
                 "installing a component");
  open.reset();
  expectDiskFull(
      [] {
        COMAdminCatalog catalog;
        AddApplication(catalog, "Second");
      },
      "opening the catalog");
  disk.FreeSpace();

  COMAdminCatalog catalog;
  CatalogCollectionPtr apps = Applications(catalog);
  ASSERT_EQ(apps->Count(), 1);
  CatalogCollectionPtr comps = apps->GetCollection("Components", Variant(apps->Item(0)->Key()));
  comps->Populate();
  EXPECT_EQ(comps->Count(), 0);
  EXPECT_TRUE(com::List().empty());
  // And with space again, the install goes through.
  catalog.InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, "", "");
  EXPECT_TRUE(com::LookupClsid(kSink));
}

TEST_F(RecoveryTest, OnAReadOnlyRootTheCatalogIsReadAndChangesSayReadOnly) {
  zenthra::testing::SmallFs disk;
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  const fs::path root = disk.path() / "root";
  fs::create_directory(root);
  core::SetServerRoot(root);
  {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    catalog.InstallComponent("Zenthra", CATALOG_TEST_COMPONENT, "", "");
  }
  ASSERT_TRUE(disk.ReadOnly(true));
  {
    COMAdminCatalog catalog;
    CatalogCollectionPtr apps = Applications(catalog);
    ASSERT_EQ(apps->Count(), 1);
    EXPECT_EQ(apps->Item(0)->Name(), "Zenthra");
    try {
      AddApplication(catalog, "Second");
      ADD_FAILURE() << "saved on a read-only file system";
    } catch (const core::RuntimeError& e) {
      EXPECT_NE(e.Description().find("read-only file system"), std::string::npos)
          << e.Description();
      EXPECT_NE(e.Description().find(root.string()), std::string::npos) << e.Description();
    }
  }
  // Activation reads the catalog and the registry as they are.
  {
    com::ScopedConstructionHook hook(complus::CatalogConstructionHook());
    EXPECT_NO_THROW(com::CreateObject(catalogtest::kSinkProgId));
  }
  com::FreeUnusedLibraries();
  ASSERT_TRUE(disk.ReadOnly(false));
  EXPECT_EQ(ApplicationCount(), 1);
}

}  // namespace

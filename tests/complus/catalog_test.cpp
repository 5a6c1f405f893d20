#include "platform/complus/catalog.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "platform/com/activation.h"
#include "platform/com/class_registry.h"
#include "platform/com/guid.h"
#include "platform/complus/activation.h"
#include "platform/complus/errors.h"
#include "platform/complus/password.h"
#include "platform/core/error.h"
#include "tests/complus/temp_root.h"
#include "tests/complus/test_probe.h"

namespace {

using complus::CatalogCollectionPtr;
using complus::CatalogObjectPtr;
using complus::COMAdminCatalog;
using core::Variant;

// The error that fn raises; fails the test when it raises none.
core::RuntimeError ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const core::RuntimeError& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return core::RuntimeError(0, "");
}

CatalogCollectionPtr Applications(COMAdminCatalog& catalog) {
  CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  apps->Populate();
  return apps;
}

std::string AddApplication(COMAdminCatalog& catalog, const std::string& name) {
  CatalogCollectionPtr apps = Applications(catalog);
  CatalogObjectPtr app = apps->Add();
  app->Value("Name", Variant(name));
  EXPECT_EQ(apps->SaveChanges(), 1);
  return app->Key();
}

std::vector<std::string> Names(const CatalogCollectionPtr& collection) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < collection->Count(); ++i) {
    names.push_back(collection->Item(i)->Name());
  }
  return names;
}

using CatalogTest = catalogtest::TempRootTest;

// ---- collections ----

TEST_F(CatalogTest, NewApplicationsGetAFreshIdAndTheDefaultsAndPersistOnlyOnSave) {
  COMAdminCatalog catalog;
  CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  EXPECT_EQ(apps->Name(), "Applications");
  apps->Populate();
  EXPECT_EQ(apps->Count(), 0);

  CatalogObjectPtr a = apps->Add();
  CatalogObjectPtr b = apps->Add();
  EXPECT_EQ(apps->Count(), 2);
  ASSERT_TRUE(com::GUID::TryParse(a->Key()));
  EXPECT_EQ(a->Value("ID").AsString(), a->Key());
  EXPECT_EQ(com::GUID::Parse(a->Key()).ToString(), a->Key()) << "registry text form";
  EXPECT_NE(a->Key(), b->Key());
  EXPECT_EQ(a->Value("ApplicationAccessChecksEnabled"), Variant(true));
  EXPECT_EQ(a->Value("Identity"), Variant("Interactive User"));
  EXPECT_EQ(a->Value("identity"), Variant("Interactive User")) << "names ignore case";

  a->Value("Name", Variant("Zenthra"));
  a->Value("ApplicationAccessChecksEnabled", Variant(false));
  a->Value("Identity", Variant("EXAMPLE\\svc-zenthra"));
  b->Value("Name", Variant("Other"));

  // Another catalog sees nothing before SaveChanges.
  COMAdminCatalog other;
  EXPECT_EQ(Applications(other)->Count(), 0);

  EXPECT_EQ(apps->SaveChanges(), 2);
  EXPECT_EQ(apps->SaveChanges(), 0) << "nothing left to save";

  CatalogCollectionPtr reread = Applications(other);
  ASSERT_EQ(reread->Count(), 2);
  CatalogObjectPtr z = reread->Item(0);
  EXPECT_EQ(z->Name(), "Zenthra");
  EXPECT_EQ(z->Key(), a->Key());
  EXPECT_EQ(z->Value("ApplicationAccessChecksEnabled"), Variant(false));
  EXPECT_EQ(z->Value("Identity"), Variant("EXAMPLE\\svc-zenthra"));
  EXPECT_EQ(reread->Item(1)->Name(), "Other");
}

TEST_F(CatalogTest, RemoveShiftsLaterItemsAndSaveDeletesOnlyWhatWasRemoved) {
  COMAdminCatalog catalog;
  for (const char* name : {"A", "B", "Zenthra", "zenthra", "C"}) AddApplication(catalog, name);

  CatalogCollectionPtr apps = Applications(catalog);
  EXPECT_EQ(Names(apps), (std::vector<std::string>{"A", "B", "Zenthra", "zenthra", "C"}))
      << "applications of the same name coexist, in creation order";
  apps->Remove(1);
  EXPECT_EQ(apps->Item(1)->Name(), "Zenthra");
  apps->Remove(1);
  EXPECT_EQ(apps->Count(), 3);
  apps->Item(0)->Value("Identity", Variant("someone"));
  EXPECT_EQ(apps->SaveChanges(), 3);

  CatalogCollectionPtr reread = Applications(catalog);
  EXPECT_EQ(Names(reread), (std::vector<std::string>{"A", "zenthra", "C"}));
  EXPECT_EQ(reread->Item(0)->Value("Identity"), Variant("someone"));

  // Populate throws away unsaved work; removing an unsaved object saves nothing.
  reread->Remove(0);
  reread->Add()->Value("Name", Variant("never saved"));
  reread->Populate();
  EXPECT_EQ(Names(reread), (std::vector<std::string>{"A", "zenthra", "C"}));
  reread->Add();
  reread->Remove(3);
  EXPECT_EQ(reread->SaveChanges(), 0);
}

TEST_F(CatalogTest, MisuseIsAClearErrorAndChangesNothing) {
  COMAdminCatalog catalog;
  const std::string id = AddApplication(catalog, "Zenthra");
  CatalogCollectionPtr apps = Applications(catalog);
  CatalogObjectPtr app = apps->Item(0);

  auto e = ErrorOf([&] { app->Value("Colour"); });
  EXPECT_EQ(e.Number(), core::err::kObjectDoesNotSupport);
  EXPECT_NE(e.Description().find("Colour"), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { app->Value("Colour", Variant("red")); }).Number(),
            core::err::kObjectDoesNotSupport);
  e = ErrorOf([&] { app->Value("ID", Variant(com::GUID{}.ToString())); });
  EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
  EXPECT_NE(e.Description().find("read-only"), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { app->Value("Identity", Variant::Null()); }).Number(),
            core::err::kInvalidUseOfNull);
  e = ErrorOf([&] { app->Value("ApplicationAccessChecksEnabled", Variant("maybe")); });
  EXPECT_EQ(e.Number(), core::err::kTypeMismatch);
  EXPECT_NE(e.Description().find("ApplicationAccessChecksEnabled"), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { app->Value("Name", Variant("")); }).Number(),
            core::err::kInvalidProcedureCall);
  EXPECT_EQ(apps->SaveChanges(), 0) << "failed writes leave the object unchanged";
  EXPECT_EQ(app->Name(), "Zenthra");

  EXPECT_EQ(ErrorOf([&] { apps->Item(1); }).Number(), complus::err::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorOf([&] { apps->Item(-1); }).Number(), complus::err::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorOf([&] { apps->Remove(5); }).Number(), complus::err::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorOf([&] { catalog.GetCollection("Roles"); }).Number(),
            core::err::kInvalidProcedureCall);
  EXPECT_EQ(ErrorOf([&] { apps->GetCollection("Roles", Variant(id)); }).Number(),
            core::err::kInvalidProcedureCall);
  EXPECT_EQ(ErrorOf([&] { apps->GetCollection("Components", Variant("Zenthra")); }).Number(),
            core::err::kInvalidProcedureCall);

  // The key matches whatever its letter case; a key that names nothing fails at Populate.
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  CatalogCollectionPtr comps = apps->GetCollection("Components", Variant(lower));
  comps->Populate();
  EXPECT_EQ(comps->Count(), 0);
  EXPECT_EQ(ErrorOf([&] { comps->Add(); }).Number(), core::err::kInvalidProcedureCall);
  CatalogCollectionPtr none =
      apps->GetCollection("Components", Variant(com::GUID{1, 2, 3, {}}.ToString()));
  EXPECT_EQ(ErrorOf([&] { none->Populate(); }).Number(), complus::COMADMIN_E_OBJECT_DOES_NOT_EXIST);

  // A new application without a Name is refused, and the good one beside it
  // is not saved either.
  apps->Add();
  apps->Add()->Value("Name", Variant("Second"));
  e = ErrorOf([&] { apps->SaveChanges(); });
  EXPECT_EQ(e.Number(), complus::COMADMIN_E_OBJECTERRORS);
  EXPECT_EQ(Names(Applications(catalog)), (std::vector<std::string>{"Zenthra"}));
}

// ---- the password ----

TEST_F(CatalogTest, PasswordIsNeverReadableOnlyItsSaltedHashIsStored) {
  const std::string secret = "S3cret-Pa55word-for-the-run-as-account";
  COMAdminCatalog catalog;
  CatalogCollectionPtr apps = Applications(catalog);
  CatalogObjectPtr app = apps->Add();
  app->Value("Name", Variant("Zenthra"));
  app->Value("Identity", Variant("EXAMPLE\\svc"));
  app->Value("Password", Variant(secret));
  EXPECT_TRUE(app->IsPropertyWriteOnly("Password"));
  EXPECT_FALSE(app->IsPropertyReadOnly("Password"));
  EXPECT_EQ(app->Value("Password"), Variant(""));
  apps->SaveChanges();

  CatalogObjectPtr reread = Applications(catalog)->Item(0);
  EXPECT_EQ(reread->Value("Password"), Variant(""));
  EXPECT_EQ(reread->Value("Identity"), Variant("EXAMPLE\\svc"));

  // What is stored checks against the password, and no file holds the password.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(catalog.Path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT password_hash FROM applications", -1, &s, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  const std::string hash = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  sqlite3_finalize(s);
  sqlite3_close(db);
  EXPECT_TRUE(complus::internal::VerifyPassword(secret, hash));
  EXPECT_FALSE(complus::internal::VerifyPassword("wrong", hash));
  EXPECT_NE(complus::internal::HashPassword(secret), complus::internal::HashPassword(secret))
      << "salted";
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string bytes = catalogtest::ReadBytes(catalog.Path().string() + suffix);
    EXPECT_EQ(bytes.find(secret), std::string::npos) << suffix;
    EXPECT_EQ(bytes.find("S3cret"), std::string::npos) << suffix;
  }
  EXPECT_EQ(ErrorOf([&] { reread->Value("Password", Variant(std::string("a\0b", 3))); }).Number(),
            core::err::kInvalidProcedureCall);
}

// ---- storage ----

TEST_F(CatalogTest, CatalogFilesArePrivateAndALooseCatalogIsRefused) {
  std::filesystem::path path;
  {
    COMAdminCatalog catalog;
    AddApplication(catalog, "Zenthra");
    path = catalog.Path();
    EXPECT_EQ(path, root_ / "complus" / "catalog.db");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "complus").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      ASSERT_EQ(::stat((path.string() + suffix).c_str(), &st), 0) << suffix;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
    }
  }
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  auto e = ErrorOf([] { COMAdminCatalog catalog; });
  EXPECT_NE(e.Description().find(path.string()), std::string::npos) << e.Description();
  EXPECT_NE(e.Description().find("0644"), std::string::npos) << e.Description();
  // Private but another user's: its settings are not taken either.
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    e = ErrorOf([] { COMAdminCatalog catalog; });
    EXPECT_NE(e.Description().find("belongs to user 65534"), std::string::npos) << e.Description();
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
  }

  core::SetServerRoot(root_ / "no-such-server");
  EXPECT_EQ(ErrorOf([] { COMAdminCatalog catalog; }).Number(), core::err::kPathNotFound);
  EXPECT_FALSE(std::filesystem::exists(root_ / "no-such-server")) << "nothing created";
}

// ---- several processes ----

// Runs body in a child process; true when it exited 0.
bool InChild(const std::function<void()>& body, pid_t* pid) {
  *pid = ::fork();
  if (*pid == 0) {
    int rc = 0;
    try {
      body();
    } catch (...) {
      rc = 1;
    }
    ::_exit(rc);
  }
  return *pid > 0;
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(CatalogTest, TwoProcessesSavingAtOnceLoseNothing) {
  { COMAdminCatalog create; }
  constexpr int kEach = 12;
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    ASSERT_TRUE(InChild(
        [p] {
          COMAdminCatalog catalog;
          CatalogCollectionPtr apps = catalog.GetCollection("Applications");
          for (int i = 0; i < kEach; ++i) {
            apps->Populate();
            apps->Add()->Value("Name", Variant("P" + std::to_string(p) + "-" + std::to_string(i)));
            if (apps->Count() > 1)
              apps->Item(0)->Value("Identity", Variant("P" + std::to_string(p)));
            apps->SaveChanges();
          }
        },
        &pids[p]));
  }
  EXPECT_EQ(ExitCode(pids[0]), 0);
  EXPECT_EQ(ExitCode(pids[1]), 0);

  COMAdminCatalog catalog;
  std::vector<std::string> names = Names(Applications(catalog));
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(names.size(), 2u * kEach);
  EXPECT_EQ(unique.size(), 2u * kEach);
}

TEST_F(CatalogTest, AStaleCollectionKeepsOtherWorkAndRefusesToUpdateWhatWasDeleted) {
  COMAdminCatalog mine;
  AddApplication(mine, "Keep");
  AddApplication(mine, "Doomed");
  CatalogCollectionPtr stale = Applications(mine);

  COMAdminCatalog theirs;
  CatalogCollectionPtr other = Applications(theirs);
  other->Item(0)->Value("Identity", Variant("changed elsewhere"));
  other->Add()->Value("Name", Variant("Added elsewhere"));
  EXPECT_EQ(other->SaveChanges(), 2);

  // Only the touched property is written: the other side's Identity stays.
  stale->Item(0)->Value("ApplicationAccessChecksEnabled", Variant(false));
  stale->Remove(1);
  EXPECT_EQ(stale->SaveChanges(), 2);
  CatalogCollectionPtr now = Applications(theirs);
  EXPECT_EQ(Names(now), (std::vector<std::string>{"Keep", "Added elsewhere"}));
  EXPECT_EQ(now->Item(0)->Value("Identity"), Variant("changed elsewhere"));
  EXPECT_EQ(now->Item(0)->Value("ApplicationAccessChecksEnabled"), Variant(false));

  // Changing an application someone else deleted fails, and the save is all or nothing.
  CatalogCollectionPtr a = Applications(mine);
  now->Remove(1);
  now->SaveChanges();
  a->Item(0)->Value("Identity", Variant("mine"));
  a->Item(1)->Value("Identity", Variant("gone"));
  auto e = ErrorOf([&] { a->SaveChanges(); });
  EXPECT_EQ(e.Number(), complus::COMADMIN_E_OBJECT_DOES_NOT_EXIST);
  EXPECT_NE(e.Description().find("Added elsewhere"), std::string::npos) << e.Description();
  EXPECT_EQ(Applications(theirs)->Item(0)->Value("Identity"), Variant("changed elsewhere"));
}

}  // namespace

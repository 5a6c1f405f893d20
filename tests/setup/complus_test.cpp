// Installing, removing and reading back the application that hosts the sink,
// against the real catalog and the real Zenthra.dll.
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/complus/password.h"
#include "setup/ComPlus.h"
#include "tests/setup/complus_fixture.h"

namespace {

using setuptest::AppInfo;
using setuptest::Line;
using setuptest::ProgramDir;
using setuptest::Raised;
using setuptest::Undated;

constexpr const char* kCtor = "Inbox\\Junk\rmarker.txt\r100";

// The password hashes of the catalog's applications, in catalog order.
std::vector<std::string> PasswordHashes(const std::filesystem::path& root) {
  sqlite3* db = nullptr;
  std::vector<std::string> hashes;
  const std::string file = (root / "complus" / "catalog.db").string();
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT password_hash FROM applications ORDER BY seq", -1, &s,
                           nullptr) == SQLITE_OK) {
      while (sqlite3_step(s) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        hashes.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
      }
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return hashes;
}

class InstallTest : public setuptest::ComPlusTest {};

TEST_F(InstallTest, InstallCreatesTheApplicationWithAccountAndConstructorString) {
  ComPlus::InstallComPlusObject("Zenthra", "  EXAMPLE\\svc-zenthra  ", "  s3cret ", kCtor, txtErr);
  EXPECT_EQ(txtErr.Text(), "");

  const std::vector<AppInfo> apps = Catalog();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].name, "Zenthra");
  EXPECT_FALSE(apps[0].accessChecks);
  EXPECT_EQ(apps[0].identity, "EXAMPLE\\svc-zenthra");
  ASSERT_EQ(apps[0].components.size(), 1u);
  EXPECT_EQ(apps[0].components[0].progId, "Zenthra.ZenthraCls");
  EXPECT_TRUE(std::filesystem::equivalent(apps[0].components[0].library, ZENTHRA_DLL));
  EXPECT_TRUE(apps[0].components[0].constructionEnabled);
  EXPECT_EQ(apps[0].components[0].constructorString, kCtor);

  const std::vector<std::string> hashes = PasswordHashes(root_);
  ASSERT_EQ(hashes.size(), 1u);
  EXPECT_TRUE(complus::internal::VerifyPassword("s3cret", hashes[0]));
  EXPECT_FALSE(complus::internal::VerifyPassword("  s3cret ", hashes[0]));
}

TEST_F(InstallTest, ABlankIdentityOrPasswordKeepsTheDefaultAccount) {
  ComPlus::InstallComPlusObject("Zenthra", "EXAMPLE\\svc", "   ", kCtor, txtErr);
  ComPlus::InstallComPlusObject("Zenthra", "  ", "secret", kCtor, txtErr);
  EXPECT_EQ(txtErr.Text(), "");
  const std::vector<AppInfo> apps = Catalog();
  ASSERT_EQ(apps.size(), 2u);  // a second install does not look for the first
  for (const AppInfo& app : apps) {
    EXPECT_EQ(app.name, "Zenthra");
    EXPECT_EQ(app.identity, "Interactive User");
  }
  EXPECT_EQ(PasswordHashes(root_), (std::vector<std::string>{"", ""}));
}

TEST_F(InstallTest, AnEmptyConstructorStringLeavesConstructionOff) {
  ComPlus::InstallComPlusObject("Zenthra", "", "", "", txtErr);
  EXPECT_EQ(txtErr.Text(), "");
  const std::vector<AppInfo> apps = Catalog();
  ASSERT_EQ(apps.size(), 1u);
  ASSERT_EQ(apps[0].components.size(), 1u);
  EXPECT_FALSE(apps[0].components[0].constructionEnabled);
  EXPECT_EQ(apps[0].components[0].constructorString, "");
}

TEST_F(InstallTest, TheComponentPrefixIsCaseSensitive) {
  // Application "zenthra" takes zenthra.dll, whose class is Zenthra.ZenthraCls.
  ComPlus::InstallComPlusObject("zenthra", "", "", kCtor, txtErr);
  EXPECT_EQ(txtErr.Text(), "");
  const std::vector<AppInfo> apps = Catalog();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].name, "zenthra");
  ASSERT_EQ(apps[0].components.size(), 1u);
  EXPECT_FALSE(apps[0].components[0].constructionEnabled);
  EXPECT_EQ(apps[0].components[0].constructorString, "");
}

TEST_F(InstallTest, AMissingLibraryLeavesTheApplicationEmptyAndIsLogged) {
  RunWithoutLibrary();
  txtErr.Text("older\r\n\r\n");
  ComPlus::InstallComPlusObject("Zenthra", "EXAMPLE\\svc", "secret", kCtor, txtErr);

  const std::vector<AppInfo> apps = Catalog();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].identity, "EXAMPLE\\svc");
  EXPECT_TRUE(apps[0].components.empty());

  const core::RuntimeError missing = Raised([&] {
    complus::COMAdminCatalog catalog;
    catalog.InstallComponent("Zenthra", ComPlus::ComponentLibraryPath("Zenthra"), "", "");
  });
  EXPECT_EQ(missing.Number(), core::err::kFileNotFound);
  EXPECT_EQ(Undated(txtErr.Text()), Line("", missing) + "older\r\n\r\n");
  EXPECT_TRUE(Undated(txtErr.Text()).starts_with("[DATE]  - ERROR: 53 "));
}

TEST_F(InstallTest, LibraryPathIsTheCurrentDirectoryAtTheTimeOfTheCall) {
  EXPECT_EQ(ComPlus::ComponentLibraryPath("Zenthra"), (ProgramDir() / "Zenthra.dll").string());
  std::filesystem::current_path("/");
  EXPECT_EQ(ComPlus::ComponentLibraryPath("Zenthra"), "/Zenthra.dll");
}

class UninstallTest : public setuptest::ComPlusTest {
 protected:
  // An application added directly, without components.
  static void AddApplication(const std::string& name) {
    complus::COMAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps->Populate();
    apps->Add()->Value("Name", core::Variant(name));
    apps->SaveChanges();
  }
  static std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const AppInfo& a : Catalog()) names.push_back(a.name);
    return names;
  }
};

TEST_F(UninstallTest, RemovesTheFirstMatchInAnyLetterCaseOnly) {
  AddApplication("Other");
  ComPlus::InstallComPlusObject("Zenthra", "", "", kCtor, txtErr);
  AddApplication("ZENTHRA");
  const std::vector<AppInfo> before = Catalog();
  ASSERT_EQ(before.size(), 3u);

  ComPlus::UninstallComPlusObject("zenthra", txtErr);
  std::vector<AppInfo> after = Catalog();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].id, before[0].id);
  EXPECT_EQ(after[1].id, before[2].id);

  ComPlus::UninstallComPlusObject("Zenthra", txtErr);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Other"}));
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(UninstallTest, ANameNotInTheCatalogChangesNothing) {
  AddApplication("Other");
  ComPlus::UninstallComPlusObject("Zenthra", txtErr);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Other"}));
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(UninstallTest, AnUnusableCatalogIsLoggedByEveryProcedure) {
  AddApplication("Zenthra");
  const std::filesystem::path file = root_ / "complus" / "catalog.db";
  std::filesystem::permissions(file, std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  const core::RuntimeError refused = Raised([] { complus::COMAdminCatalog catalog; });

  ComPlus::UninstallComPlusObject("Zenthra", txtErr);
  EXPECT_EQ(Undated(txtErr.Text()), Line("", refused));
  ComPlus::InstallComPlusObject("Zenthra", "", "", kCtor, txtErr);
  EXPECT_EQ(Undated(txtErr.Text()), Line("", refused) + Line("", refused));

  txtErr.Text("");
  ui::TextBox prio("txtPriority"), tag("txtSpamTag"), folder("txtSpamFolder");
  std::string identity = "unchanged";
  EXPECT_FALSE(ComPlus::GetComPlusSettings("Zenthra", identity, prio, tag, folder, txtErr));
  EXPECT_EQ(identity, "unchanged");
  EXPECT_EQ(prio.Text(), "65500");
  EXPECT_EQ(tag.Text(), "Quarantined Attachment.txt");
  EXPECT_EQ(folder.Text(), "Spam");
  EXPECT_EQ(Undated(txtErr.Text()), Line("", refused));

  std::filesystem::permissions(file, std::filesystem::perms::group_read,
                               std::filesystem::perm_options::remove);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Zenthra"}));
}

class SettingsTest : public setuptest::ComPlusTest {
 protected:
  void SetUp() override {
    ComPlusTest::SetUp();
    ComPlus::LastValidPriority.clear();
    ComPlus::PriorityChanging = false;
  }
  bool Read(std::string& identity) {
    return ComPlus::GetComPlusSettings("Zenthra", identity, txtPriority, txtSpamTag, txtSpamFolder,
                                       txtErr);
  }
  bool Read() {
    std::string identity;
    return Read(identity);
  }
  void Boxes(const std::string& priority, const std::string& tag, const std::string& folder) {
    txtPriority.Text(priority);
    txtSpamTag.Text(tag);
    txtSpamFolder.Text(folder);
  }
  ui::TextBox txtPriority{"txtPriority"}, txtSpamTag{"txtSpamTag"}, txtSpamFolder{"txtSpamFolder"};
};

TEST_F(SettingsTest, NotInstalledFillsTheBoxesFromThemselvesOrTheDefaults) {
  std::string identity = "kept";
  EXPECT_FALSE(Read(identity));
  EXPECT_EQ(identity, "kept");
  EXPECT_EQ(txtPriority.Text(), "65500");
  EXPECT_EQ(txtSpamTag.Text(), "Quarantined Attachment.txt");
  EXPECT_EQ(txtSpamFolder.Text(), "Spam");
  EXPECT_EQ(ComPlus::LastValidPriority, "65500");

  Boxes("7", "tag.txt", "Inbox\\Q");
  EXPECT_FALSE(Read());
  EXPECT_EQ(txtPriority.Text(), "7");
  EXPECT_EQ(txtSpamTag.Text(), "tag.txt");
  EXPECT_EQ(txtSpamFolder.Text(), "Inbox\\Q");
  EXPECT_EQ(ComPlus::LastValidPriority, "7");
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(SettingsTest, InstalledApplicationGivesIdentityAndSettings) {
  ComPlus::InstallComPlusObject("Zenthra", " EXAMPLE\\svc ", "pw", kCtor, txtErr);
  Boxes("1", "own.txt", "Own");
  std::vector<bool> changingDuringWrite;
  txtPriority.OnChange([&] { changingDuringWrite.push_back(ComPlus::PriorityChanging); });

  std::string identity;
  EXPECT_TRUE(ComPlus::GetComPlusSettings("Zenthra", identity, txtPriority, txtSpamTag,
                                          txtSpamFolder, txtErr));
  EXPECT_EQ(identity, "EXAMPLE\\svc");
  EXPECT_EQ(txtSpamFolder.Text(), "Inbox\\Junk");
  EXPECT_EQ(txtSpamTag.Text(), "marker.txt");
  EXPECT_EQ(txtPriority.Text(), "100");
  EXPECT_EQ(ComPlus::LastValidPriority, "100");
  EXPECT_EQ(changingDuringWrite, std::vector<bool>{true});
  EXPECT_FALSE(ComPlus::PriorityChanging);
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(SettingsTest, ConstructorStringFieldsAreSplitAtTheFirstTwoCRs) {
  ComPlus::InstallComPlusObject("Zenthra", "", "", kCtor, txtErr);
  struct Case {
    std::string ctor, folder, tag, priority;
  };
  const std::vector<Case> cases = {
      {"no separator at all", "Own", "own.txt", "1"},
      {"\rtag.txt\r5", "Own", "own.txt", "1"},
      {" Junk \r tag.txt ", "Junk", "tag.txt", "1"},
      {"Junk\rtag.txt\r 5\r6\r7 ", "Junk", "tag.txt", "5\r6\r7"},
      {"\tJunk\t\r\ntag\n\r 9", "\tJunk\t", "\ntag\n", "9"},
  };
  for (const Case& c : cases) {
    SetComponent("ConstructorString", core::Variant(c.ctor));
    Boxes("1", "own.txt", "Own");
    EXPECT_TRUE(Read()) << c.ctor;
    EXPECT_EQ(txtSpamFolder.Text(), c.folder) << c.ctor;
    EXPECT_EQ(txtSpamTag.Text(), c.tag) << c.ctor;
    EXPECT_EQ(txtPriority.Text(), c.priority) << c.ctor;
    EXPECT_EQ(ComPlus::LastValidPriority, c.priority) << c.ctor;
  }
  // Empty boxes get the defaults for what the string leaves out.
  SetComponent("ConstructorString", core::Variant("Junk\rtag.txt"));
  Boxes("", "", "");
  EXPECT_TRUE(Read());
  EXPECT_EQ(txtPriority.Text(), "65500");
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(SettingsTest, ConstructionDisabledOrNoMatchingComponentKeepsTheBoxes) {
  ComPlus::InstallComPlusObject("Zenthra", "", "", kCtor, txtErr);
  SetComponent("ConstructionEnabled", core::Variant(false));
  Boxes("1", "own.txt", "Own");
  EXPECT_TRUE(Read());
  EXPECT_EQ(txtSpamFolder.Text(), "Own");
  EXPECT_EQ(txtSpamTag.Text(), "own.txt");
  EXPECT_EQ(txtPriority.Text(), "1");

  // "zenthra." is not the prefix of Zenthra.ZenthraCls.
  ComPlus::UninstallComPlusObject("Zenthra", txtErr);
  ComPlus::InstallComPlusObject("zenthra", "", "", "", txtErr);
  SetComponent("ConstructionEnabled", core::Variant(true));
  SetComponent("ConstructorString", core::Variant(kCtor));
  Boxes("", "", "");
  std::string identity;
  EXPECT_TRUE(ComPlus::GetComPlusSettings("zenthra", identity, txtPriority, txtSpamTag,
                                          txtSpamFolder, txtErr));
  EXPECT_EQ(txtSpamFolder.Text(), "Spam");
  EXPECT_EQ(txtErr.Text(), "");
}

TEST_F(SettingsTest, TheFirstOfTwoApplicationsIsReadAndAnEmptyIdentityEmptiesTheBox) {
  ComPlus::InstallComPlusObject("Zenthra", "A\\one", "pw", kCtor, txtErr);
  ComPlus::InstallComPlusObject("Zenthra", "B\\two", "pw", "", txtErr);
  std::string identity;
  EXPECT_TRUE(Read(identity));
  EXPECT_EQ(identity, "A\\one");
  EXPECT_EQ(txtPriority.Text(), "100");

  {
    complus::COMAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps->Populate();
    apps->Item(0)->Value("Identity", core::Variant(""));
    apps->SaveChanges();
  }
  identity = "previous";
  EXPECT_TRUE(Read(identity));
  EXPECT_EQ(identity, "");
  EXPECT_EQ(txtErr.Text(), "");
}

}  // namespace

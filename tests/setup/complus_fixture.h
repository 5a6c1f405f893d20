// A temporary current directory holding the component library, as the
// install expects it, and a view of the catalog for checks.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/complus/catalog.h"
#include "tests/setup/setup_fixture.h"

namespace setuptest {

struct ComponentInfo {
  std::string progId;
  std::string library;
  bool constructionEnabled = false;
  std::string constructorString;
};

struct AppInfo {
  std::string id;
  std::string name;
  bool accessChecks = true;
  std::string identity;
  std::vector<ComponentInfo> components;
};

// The folder the setup program runs in, holding the component library under
// the names the tests install (Zenthra.dll, zenthra.dll). One per process and
// kept to its end: a library stays loaded once loaded, and it registers
// itself under the path it was first loaded by, which must go on existing.
inline const std::filesystem::path& ProgramDir() {
  struct Folder {
    std::filesystem::path path;
    Folder() {
      std::string pattern =
          (std::filesystem::temp_directory_path() / "zenthra-setup-program-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr) return;
      path = pattern;
      std::filesystem::create_symlink(ZENTHRA_DLL, path / "Zenthra.dll");
      std::filesystem::create_symlink(ZENTHRA_DLL, path / "zenthra.dll");
    }
    // Removed when the process ends.
    ~Folder() {
      std::error_code ec;
      if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
  };
  static const Folder folder;
  return folder.path;
}

class ComPlusTest : public SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    previous_ = std::filesystem::current_path();
    ASSERT_FALSE(ProgramDir().empty());
    std::filesystem::current_path(ProgramDir());
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    com::FreeUnusedLibraries();
    SetupTest::TearDown();
  }

  // Runs the program from a folder without the component library.
  void RunWithoutLibrary() {
    const std::filesystem::path empty = temp_ / "elsewhere";
    std::filesystem::create_directory(empty);
    std::filesystem::current_path(empty);
  }

  static std::vector<AppInfo> Catalog() {
    complus::COMAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps->Populate();
    std::vector<AppInfo> result;
    for (std::int32_t i = 0; i < apps->Count(); ++i) {
      auto app = apps->Item(i);
      AppInfo info{app->Key(),
                   app->Name(),
                   app->Value("ApplicationAccessChecksEnabled").AsBool(),
                   app->Value("Identity").AsString(),
                   {}};
      auto comps = apps->GetCollection("Components", core::Variant(app->Key()));
      comps->Populate();
      for (std::int32_t j = 0; j < comps->Count(); ++j) {
        auto c = comps->Item(j);
        info.components.push_back({c->Name(), c->Value("DLL").AsString(),
                                   c->Value("ConstructionEnabled").AsBool(),
                                   c->Value("ConstructorString").AsString()});
      }
      result.push_back(std::move(info));
    }
    return result;
  }

  // Sets a property of the first component of the first application.
  static void SetComponent(const std::string& property, const core::Variant& value) {
    complus::COMAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps->Populate();
    auto comps = apps->GetCollection("Components", core::Variant(apps->Item(0)->Key()));
    comps->Populate();
    comps->Item(0)->Value(property, value);
    comps->SaveChanges();
  }

  std::filesystem::path previous_;
};

}  // namespace setuptest

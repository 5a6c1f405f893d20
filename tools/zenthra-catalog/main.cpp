// zenthra-catalog: administers the component catalog from scripts.
//
//   zenthra-catalog [--root DIR] list
//   zenthra-catalog [--root DIR] show APP
//   zenthra-catalog [--root DIR] install APP LIBRARY
//   zenthra-catalog [--root DIR] set APP PROGID PROPERTY VALUE
//   zenthra-catalog [--root DIR] delete APP
//
// Exit status 0 on success, 1 when the catalog refuses or fails, 2 on a bad
// command line; every failure is one line on stderr and changes nothing.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/server.h"
#include "platform/complus/catalog.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "tools/zenthra-catalog/escape.h"

namespace {

namespace fs = std::filesystem;
using complus::CatalogCollectionPtr;
using complus::CatalogObjectPtr;
using complus::COMAdminCatalog;
using core::Variant;

constexpr const char* kUsage =
    "usage: zenthra-catalog [--root DIR] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  list                              every application with its components\n"
    "  show APP                          one application with its components\n"
    "  install APP LIBRARY               install the library's classes into APP,\n"
    "                                    creating APP when there is none\n"
    "  set APP PROGID PROPERTY VALUE     set ConstructionEnabled (true or false) or\n"
    "                                    ConstructorString of a component\n"
    "  delete APP                        remove APP and its components\n"
    "\n"
    "APP is an application's ID or the name of the first application so named,\n"
    "PROGID a component's ProgID or CLSID (letter case ignored in both).\n"
    "The server root is DIR, or else $ZENTHRA_ROOT.\n"
    "Values are printed with \\r, \\n, \\t and \\xHH for control characters and\n"
    "\\\\ for a backslash that would otherwise start one of those; VALUE takes\n"
    "the same escapes, and any other backslash stands for itself.\n"
    "Passwords are never shown.\n";

// A bad command line: exit status 2.
struct UsageError {
  std::string message;
};

// A request the catalog cannot meet (no such application or component): exit
// status 1.
struct Refusal {
  std::string message;
};

const char* const kAppProperties[] = {"ID", "ApplicationAccessChecksEnabled", "Identity"};
const char* const kComponentProperties[] = {"CLSID", "DLL", "ThreadingModel", "ConstructionEnabled",
                                            "ConstructorString"};

std::string Show(const Variant& v) {
  if (v.IsNull()) return "(null)";
  if (v.Type() == core::VarType::Boolean) return v.AsBool() ? "true" : "false";
  return zenthra_catalog::Escape(v.AsString());
}

void PrintApplication(const CatalogCollectionPtr& apps, std::int32_t index) {
  CatalogObjectPtr app = apps->Item(index);
  std::cout << "Application: " << zenthra_catalog::Escape(app->Name()) << "\n";
  for (const char* p : kAppProperties)
    std::cout << "  " << p << ": " << Show(app->Value(p)) << "\n";
  CatalogCollectionPtr comps = apps->GetCollection("Components", Variant(app->Key()));
  comps->Populate();
  for (std::int32_t i = 0; i < comps->Count(); ++i) {
    CatalogObjectPtr c = comps->Item(i);
    std::cout << "  Component: " << zenthra_catalog::Escape(c->Name()) << "\n";
    for (const char* p : kComponentProperties) {
      std::cout << "    " << p << ": " << Show(c->Value(p)) << "\n";
    }
  }
}

// Index of the application APP names in a populated collection, or nullopt.
std::optional<std::int32_t> FindApplication(const CatalogCollectionPtr& apps,
                                            std::string_view app) {
  std::optional<com::GUID> id = com::GUID::TryParse(app);
  for (std::int32_t i = 0; i < apps->Count(); ++i) {
    CatalogObjectPtr o = apps->Item(i);
    if (id ? com::GUID::TryParse(o->Key()) == id : core::EqualsNoCase(o->Name(), app)) return i;
  }
  return std::nullopt;
}

[[noreturn]] void NoApplication(std::string_view app) {
  throw Refusal{"no application \"" + std::string(app) + "\" in the catalog"};
}

CatalogCollectionPtr LoadedApplications(COMAdminCatalog& catalog) {
  CatalogCollectionPtr apps = catalog.GetCollection("Applications");
  apps->Populate();
  return apps;
}

void List(COMAdminCatalog& catalog) {
  CatalogCollectionPtr apps = LoadedApplications(catalog);
  for (std::int32_t i = 0; i < apps->Count(); ++i) PrintApplication(apps, i);
}

void ShowApplication(COMAdminCatalog& catalog, std::string_view app) {
  CatalogCollectionPtr apps = LoadedApplications(catalog);
  std::optional<std::int32_t> index = FindApplication(apps, app);
  if (!index) NoApplication(app);
  PrintApplication(apps, *index);
}

void Install(COMAdminCatalog& catalog, std::string_view app, const std::string& library) {
  if (app.empty()) throw UsageError{"the application name is empty"};
  // Read the library first, so that a bad one leaves no empty application behind.
  std::vector<com::ClassDescription> classes = com::DescribeLibrary(library);

  CatalogCollectionPtr apps = LoadedApplications(catalog);
  std::optional<std::int32_t> index = FindApplication(apps, app);
  std::string id;
  std::string name;
  bool created = false;
  if (index) {
    id = apps->Item(*index)->Key();
    name = apps->Item(*index)->Name();
  } else {
    if (com::GUID::TryParse(app)) NoApplication(app);
    CatalogObjectPtr added = apps->Add();
    added->Value("Name", Variant(app));
    apps->SaveChanges();
    id = added->Key();
    name = std::string(app);
    created = true;
  }
  try {
    catalog.InstallComponent(id, library, "", "");
  } catch (...) {
    if (created) {
      try {
        apps->Populate();
        if (std::optional<std::int32_t> i = FindApplication(apps, id)) {
          apps->Remove(*i);
          apps->SaveChanges();
        }
      } catch (...) {
        // The install's own error is the one to report.
      }
    }
    throw;
  }
  for (const com::ClassDescription& c : classes) {
    std::cout << "installed " << zenthra_catalog::Escape(c.progId) << " in "
              << zenthra_catalog::Escape(name) << " " << id << "\n";
  }
}

void Set(COMAdminCatalog& catalog, std::string_view app, std::string_view progId,
         std::string_view property, std::string_view value) {
  Variant v;
  if (core::EqualsNoCase(property, "ConstructionEnabled")) {
    if (core::EqualsNoCase(value, "true")) {
      v = Variant(true);
    } else if (core::EqualsNoCase(value, "false")) {
      v = Variant(false);
    } else {
      throw UsageError{"ConstructionEnabled takes true or false, not \"" + std::string(value) +
                       "\""};
    }
  } else if (core::EqualsNoCase(property, "ConstructorString")) {
    v = Variant(zenthra_catalog::Unescape(value));
  } else {
    throw UsageError{"a component's property \"" + std::string(property) +
                     "\" cannot be set; use ConstructionEnabled or ConstructorString"};
  }
  CatalogCollectionPtr apps = LoadedApplications(catalog);
  std::optional<std::int32_t> index = FindApplication(apps, app);
  if (!index) NoApplication(app);
  CatalogCollectionPtr comps =
      apps->GetCollection("Components", Variant(apps->Item(*index)->Key()));
  comps->Populate();
  std::optional<com::GUID> clsid = com::GUID::TryParse(progId);
  for (std::int32_t i = 0; i < comps->Count(); ++i) {
    CatalogObjectPtr c = comps->Item(i);
    if (clsid ? com::GUID::TryParse(c->Key()) == clsid : core::EqualsNoCase(c->Name(), progId)) {
      c->Value(property, v);
      comps->SaveChanges();
      return;
    }
  }
  throw Refusal{"the application \"" + apps->Item(*index)->Name() + "\" has no component \"" +
                std::string(progId) + "\""};
}

void Delete(COMAdminCatalog& catalog, std::string_view app) {
  CatalogCollectionPtr apps = LoadedApplications(catalog);
  std::optional<std::int32_t> index = FindApplication(apps, app);
  if (!index) NoApplication(app);
  apps->Remove(*index);
  apps->SaveChanges();
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<std::string> root;
  std::size_t at = 0;
  for (; at < args.size(); ++at) {
    const std::string& a = args[at];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--root") {
      if (at + 1 >= args.size()) throw UsageError{"--root needs a folder"};
      root = args[++at];
    } else if (a.rfind("--root=", 0) == 0) {
      root = a.substr(7);
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option " + a};
    } else {
      break;
    }
  }
  if (at >= args.size()) throw UsageError{"no command given"};
  const std::string command = args[at];
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
  auto expect = [&](std::size_t n, const char* shape) {
    if (rest.size() != n) throw UsageError{"usage: zenthra-catalog " + std::string(shape)};
  };
  if (command == "list") {
    expect(0, "list");
  } else if (command == "show") {
    expect(1, "show APP");
  } else if (command == "install") {
    expect(2, "install APP LIBRARY");
  } else if (command == "set") {
    expect(4, "set APP PROGID PROPERTY VALUE");
  } else if (command == "delete") {
    expect(1, "delete APP");
  } else {
    throw UsageError{"unknown command \"" + command + "\""};
  }

  if (root) {
    if (root->empty()) throw UsageError{"--root needs a folder"};
    core::SetServerRoot(*root);
  }
  std::error_code ec;
  fs::path serverRoot = core::ServerRoot();
  if (!fs::is_directory(serverRoot, ec)) {
    throw core::RuntimeError(core::err::kPathNotFound,
                             "the server root " + serverRoot.string() + " is not a folder");
  }

  COMAdminCatalog catalog;
  if (command == "list") List(catalog);
  if (command == "show") ShowApplication(catalog, rest[0]);
  if (command == "install") Install(catalog, rest[0], rest[1]);
  if (command == "set") Set(catalog, rest[0], rest[1], rest[2], rest[3]);
  if (command == "delete") Delete(catalog, rest[0]);
  std::cout.flush();
  return std::cout ? 0 : 1;
}

// One line, whatever the message holds: it may quote names and values from
// the catalog or the command line.
std::string OneLine(const std::string& text) { return core::TerminalSafe(text); }

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "zenthra-catalog: " << OneLine(e.message) << " (try --help)\n";
    return 2;
  } catch (const Refusal& e) {
    std::cerr << "zenthra-catalog: " << OneLine(e.message) << "\n";
    return 1;
  } catch (const core::RuntimeError& e) {
    std::cerr << "zenthra-catalog: " << OneLine(e.Description()) << " (error " << e.Number()
              << ")\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "zenthra-catalog: " << OneLine(e.what()) << "\n";
    return 1;
  }
}

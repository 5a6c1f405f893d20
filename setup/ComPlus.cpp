#include "setup/ComPlus.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/complus/catalog.h"
#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/core/variant.h"
#include "platform/win/user.h"
#include "setup/ErrorLog.h"

namespace ComPlus {

namespace {

using complus::CatalogCollectionPtr;
using complus::CatalogObjectPtr;
using complus::COMAdminCatalogPtr;
using core::Variant;

constexpr char kCR[] = "\r";

// True when a component's ProgID names a class of the application's own
// library: it begins with appName and ".", compared exactly.
bool IsOwnComponent(const std::string& progId, const std::string& appName) {
  return core::Left(progId, core::Len(appName) + 1) == appName + ".";
}

struct Settings {
  std::string targetFolder;
  std::string attachmentName;
  std::string priority;
};

// Target folder CR attachment name CR priority. A field is taken only when
// the CR before the next field has something in front of it; the priority
// keeps any further CRs.
Settings SplitConstructorString(const std::string& text) {
  Settings s;
  std::string rest;
  const std::size_t first = core::InStr(text, kCR);
  if (first >= 2) {
    s.targetFolder = core::Trim(core::Left(text, first - 1));
    rest = core::Trim(core::Mid(text, first + 1));
  }
  const std::size_t second = core::InStr(rest, kCR);
  if (second >= 2) {
    s.priority = core::Trim(core::Mid(rest, second + 1));
    s.attachmentName = core::Trim(core::Left(rest, second - 1));
  } else {
    s.attachmentName = rest;
  }
  return s;
}

void FillFromBox(std::string& value, const ui::TextBox& box, const char* fallback) {
  if (!value.empty()) return;
  value = box.Text().empty() ? std::string(fallback) : box.Text();
}

// Keeps PriorityChanging set for the lifetime of the guard, whatever happens
// inside, so the priority box's handler is never left switched off.
class PriorityWrite {
 public:
  PriorityWrite() { PriorityChanging = true; }
  ~PriorityWrite() { PriorityChanging = false; }
  PriorityWrite(const PriorityWrite&) = delete;
  PriorityWrite& operator=(const PriorityWrite&) = delete;
};

}  // namespace

std::string ComponentLibraryPath(const std::string& appName) {
  // "/" stands where the Windows server has "\"; the root directory already
  // ends in one.
  std::string dir = win::CurDir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + appName + ".dll";
}

void InstallComPlusObject(const std::string& appName, const std::string& identity,
                          const std::string& password, const std::string& constructorString,
                          ui::TextBox& txtErr) {
  COMAdminCatalogPtr catalog;
  CatalogCollectionPtr apps;
  CatalogObjectPtr app;
  CatalogCollectionPtr components;
  CatalogObjectPtr component;
  std::optional<core::RuntimeError> error;

  try {
    catalog = std::make_shared<complus::COMAdminCatalog>();
    apps = catalog->GetCollection("Applications");
    apps->Populate();

    app = apps->Add();
    app->Value("Name", Variant(appName));
    app->Value("ApplicationAccessChecksEnabled", Variant(false));
    const std::string trimmedIdentity = core::Trim(identity);
    const std::string trimmedPassword = core::Trim(password);
    if (!trimmedIdentity.empty() && !trimmedPassword.empty()) {
      app->Value("Identity", Variant(trimmedIdentity));
      app->Value("Password", Variant(trimmedPassword));
    }
    apps->SaveChanges();

    catalog->InstallComponent(appName, ComponentLibraryPath(appName), "", "");
    catalog->RefreshComponents();

    if (!constructorString.empty()) {
      const std::string key = core::UCase(app->Value("ID").AsString());
      components = apps->GetCollection("Components", Variant(key));
      components->Populate();
      const std::int32_t count = components->Count();
      for (std::int32_t i = 0; i < count; ++i) {
        component = components->Item(i);
        if (!IsOwnComponent(component->Name(), appName)) continue;
        component->Value("ConstructionEnabled", Variant(true));
        component->Value("ConstructorString", Variant(constructorString));
        components->SaveChanges();
        break;
      }
    }
  } catch (const core::RuntimeError& e) {
    error = e;
  }

  component.reset();
  components.reset();
  app.reset();
  apps.reset();
  catalog.reset();
  if (error) ErrorLog::LogError(txtErr, "", *error);
}

void UninstallComPlusObject(const std::string& appName, ui::TextBox& txtErr) {
  COMAdminCatalogPtr catalog;
  CatalogCollectionPtr apps;
  CatalogObjectPtr app;
  std::optional<core::RuntimeError> error;

  try {
    catalog = std::make_shared<complus::COMAdminCatalog>();
    apps = catalog->GetCollection("Applications");
    apps->Populate();
    const std::int32_t count = apps->Count();

    // A full-width index: the walk must not overflow on a large catalog.
    std::optional<std::int32_t> match;
    for (std::int32_t i = 0; i < count; ++i) {
      app = apps->Item(i);
      if (app && core::EqualsNoCase(app->Name(), appName)) {
        match = i;
        break;
      }
    }
    if (match) {
      apps->Remove(*match);
      apps->SaveChanges();
    }
  } catch (const core::RuntimeError& e) {
    error = e;
  }

  app.reset();
  apps.reset();
  catalog.reset();
  if (error) ErrorLog::LogError(txtErr, "", *error);
}

bool GetComPlusSettings(const std::string& appName, std::string& identity, ui::TextBox& txtPriority,
                        ui::TextBox& txtSpamTag, ui::TextBox& txtSpamFolder, ui::TextBox& txtErr) {
  std::string constructorText;
  bool result = false;
  COMAdminCatalogPtr catalog;
  CatalogCollectionPtr apps;
  CatalogObjectPtr app;
  CatalogCollectionPtr components;
  CatalogObjectPtr component;
  std::optional<core::RuntimeError> error;

  // A failing catalog call ends the lookup only; the boxes are filled anyway.
  try {
    catalog = std::make_shared<complus::COMAdminCatalog>();
    apps = catalog->GetCollection("Applications");
    apps->Populate();
    const std::int32_t count = apps->Count();
    for (std::int32_t i = 0; i < count; ++i) {
      CatalogObjectPtr entry = apps->Item(i);
      if (entry && core::EqualsNoCase(entry->Name(), appName)) {
        app = std::move(entry);
        break;
      }
    }

    if (app) {
      result = true;
      identity = app->Value("Identity").AsString();
      catalog->RefreshComponents();

      const std::string key = core::UCase(app->Value("ID").AsString());
      components = apps->GetCollection("Components", Variant(key));
      components->Populate();
      const std::int32_t n = components->Count();
      for (std::int32_t i = 0; i < n; ++i) {
        CatalogObjectPtr entry = components->Item(i);
        if (entry && IsOwnComponent(entry->Name(), appName)) {
          component = std::move(entry);
          break;
        }
      }

      if (component) {
        const Variant enabled = component->Value("ConstructionEnabled");
        const Variant text = component->Value("ConstructorString");
        if (enabled.Equals(Variant(true)) && !text.IsNull()) constructorText = text.AsString();
      }
    }
  } catch (const core::RuntimeError& e) {
    error = e;
  }

  try {
    Settings s = SplitConstructorString(constructorText);
    FillFromBox(s.priority, txtPriority, kDefaultPriority);
    FillFromBox(s.attachmentName, txtSpamTag, kDefaultAttachmentName);
    FillFromBox(s.targetFolder, txtSpamFolder, kDefaultTargetFolder);
    {
      PriorityWrite guard;
      txtPriority.Text(s.priority);
      LastValidPriority = txtPriority.Text();
    }
    txtSpamTag.Text(s.attachmentName);
    txtSpamFolder.Text(s.targetFolder);
  } catch (const core::RuntimeError& e) {
    if (!error) error = e;
  }

  component.reset();
  components.reset();
  app.reset();
  apps.reset();
  catalog.reset();
  if (error) ErrorLog::LogError(txtErr, "", *error);
  return result;
}

}  // namespace ComPlus

#include "platform/complus/catalog.h"

#include <dlfcn.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/com/class_registry.h"
#include "platform/com/guid.h"
#include "platform/com/library_loader.h"
#include "platform/com/server.h"
#include "platform/complus/database.h"
#include "platform/complus/errors.h"
#include "platform/complus/password.h"
#include "platform/complus/registry_journal.h"
#include "platform/complus/session.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"

namespace complus {

namespace fs = std::filesystem;
using internal::Database;
using internal::Statement;
using internal::Transaction;

namespace {

constexpr const char* kSource = "complus";
constexpr const char* kDefaultIdentity = "Interactive User";

[[noreturn]] void Fail(std::int32_t number, const std::string& what) {
  throw core::RuntimeError(number, what, kSource);
}

// ---- properties ----

enum class Kind { Application, Component };
enum class Type { Text, Boolean };
enum class Access { ReadWrite, ReadOnly, WriteOnly };

struct PropertySpec {
  const char* name;
  int column;  // index into the object's values and the table's columns below
  Type type;
  Access access;
};

// Application columns.
constexpr int kAppId = 0, kAppName = 1, kAppAccessChecks = 2, kAppIdentity = 3,
              kAppPasswordHash = 4, kAppColumns = 5;
constexpr std::array<const char*, kAppColumns> kAppColumnNames = {"id", "name", "access_checks",
                                                                  "identity", "password_hash"};
constexpr PropertySpec kAppProperties[] = {
    {"ID", kAppId, Type::Text, Access::ReadOnly},
    {"Name", kAppName, Type::Text, Access::ReadWrite},
    {"ApplicationAccessChecksEnabled", kAppAccessChecks, Type::Boolean, Access::ReadWrite},
    {"Identity", kAppIdentity, Type::Text, Access::ReadWrite},
    {"Password", kAppPasswordHash, Type::Text, Access::WriteOnly},
};

// Component columns.
constexpr int kCompClsid = 0, kCompProgId = 1, kCompLibrary = 2, kCompThreading = 3,
              kCompConstructionEnabled = 4, kCompConstructorString = 5, kCompColumns = 6;
constexpr std::array<const char*, kCompColumns> kCompColumnNames = {
    "clsid", "progid", "library", "threading_model", "construction_enabled", "constructor_string"};
constexpr PropertySpec kCompProperties[] = {
    {"Name", kCompProgId, Type::Text, Access::ReadOnly},
    {"ProgID", kCompProgId, Type::Text, Access::ReadOnly},
    {"CLSID", kCompClsid, Type::Text, Access::ReadOnly},
    {"DLL", kCompLibrary, Type::Text, Access::ReadOnly},
    {"ThreadingModel", kCompThreading, Type::Text, Access::ReadOnly},
    {"ConstructionEnabled", kCompConstructionEnabled, Type::Boolean, Access::ReadWrite},
    {"ConstructorString", kCompConstructorString, Type::Text, Access::ReadWrite},
};

const char* KindName(Kind kind) { return kind == Kind::Application ? "application" : "component"; }

void BindValue(Statement& s, int index, const core::Variant& v) {
  switch (v.Type()) {
    case core::VarType::Null:
    case core::VarType::Empty:
      s.BindNull(index);
      break;
    case core::VarType::Boolean:
      s.Bind(index, std::int64_t{v.AsBool() ? 1 : 0});
      break;
    default:
      s.Bind(index, v.AsString());
      break;
  }
}

std::string HexResult(com::HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

// ---- objects ----

class CatalogObject : public ICatalogObject {
 public:
  CatalogObject(Kind kind, std::vector<core::Variant> values, bool isNew)
      : kind_(kind), values_(std::move(values)), dirty_(values_.size(), isNew), new_(isNew) {}

  std::string Name() const override {
    return values_[kind_ == Kind::Application ? kAppName : kCompProgId].AsString();
  }
  std::string Key() const override {
    return values_[kind_ == Kind::Application ? kAppId : kCompClsid].AsString();
  }

  core::Variant Value(std::string_view property) const override {
    const PropertySpec& spec = Find(property);
    if (spec.access == Access::WriteOnly) return core::Variant(std::string());
    return values_[spec.column];
  }

  void Value(std::string_view property, const core::Variant& value) override {
    const PropertySpec& spec = Find(property);
    if (spec.access == Access::ReadOnly) {
      Fail(core::err::kInvalidProcedureCall,
           "the " + std::string(KindName(kind_)) + " property " + spec.name + " is read-only");
    }
    if (value.IsNull()) {
      Fail(core::err::kInvalidUseOfNull,
           std::string("invalid use of Null: the property ") + spec.name + " needs a value");
    }
    core::Variant stored;
    if (spec.type == Type::Boolean) {
      try {
        stored = core::Variant(value.AsBool());
      } catch (const core::RuntimeError&) {
        Fail(core::err::kTypeMismatch, std::string("type mismatch: the property ") + spec.name +
                                           " takes True or False, not \"" + value.AsString() +
                                           "\"");
      }
    } else {
      std::string text = value.AsString();
      if (kind_ == Kind::Application && spec.column == kAppName && text.empty()) {
        Fail(core::err::kInvalidProcedureCall, "an application's Name cannot be empty");
      }
      if (spec.column == kAppPasswordHash && kind_ == Kind::Application) {
        if (text.find('\0') != std::string::npos) {
          ::explicit_bzero(text.data(), text.size());
          Fail(core::err::kInvalidProcedureCall, "a Password cannot hold a NUL character");
        }
        // Hashed at once, so not even this object holds the password.
        stored = text.empty() ? core::Variant::Null() : core::Variant(internal::HashPassword(text));
        ::explicit_bzero(text.data(), text.size());
      } else {
        stored = core::Variant(std::move(text));
      }
    }
    values_[spec.column] = std::move(stored);
    dirty_[spec.column] = true;
  }

  bool IsPropertyReadOnly(std::string_view property) const override {
    return Find(property).access == Access::ReadOnly;
  }
  bool IsPropertyWriteOnly(std::string_view property) const override {
    return Find(property).access == Access::WriteOnly;
  }

  // For the collection.
  Kind kind() const { return kind_; }
  const core::Variant& column(int i) const { return values_[i]; }
  bool isNew() const { return new_; }
  bool changed() const { return std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end(); }
  bool dirty(int i) const { return dirty_[i]; }
  void MarkSaved() {
    new_ = false;
    std::fill(dirty_.begin(), dirty_.end(), false);
  }

 private:
  const PropertySpec& Find(std::string_view property) const {
    auto match = [&](const auto& table) -> const PropertySpec* {
      for (const PropertySpec& p : table) {
        if (core::EqualsNoCase(p.name, property)) return &p;
      }
      return nullptr;
    };
    const PropertySpec* spec =
        kind_ == Kind::Application ? match(kAppProperties) : match(kCompProperties);
    if (!spec) {
      Fail(core::err::kObjectDoesNotSupport, "an " + std::string(KindName(kind_)) +
                                                 " has no property \"" + std::string(property) +
                                                 "\"");
    }
    return *spec;
  }

  Kind kind_;
  std::vector<core::Variant> values_;
  std::vector<bool> dirty_;
  bool new_;
};

std::shared_ptr<CatalogObject> ApplicationFromRow(const Statement& s) {
  std::vector<core::Variant> v(kAppColumns);
  v[kAppId] = s.Text(0);
  v[kAppName] = s.Text(1);
  v[kAppAccessChecks] = s.Int(2) != 0;
  v[kAppIdentity] = s.Text(3);
  v[kAppPasswordHash] = s.IsNull(4) ? core::Variant::Null() : core::Variant(s.Text(4));
  return std::make_shared<CatalogObject>(Kind::Application, std::move(v), false);
}

std::shared_ptr<CatalogObject> ComponentFromRow(const Statement& s) {
  std::vector<core::Variant> v(kCompColumns);
  v[kCompClsid] = s.Text(0);
  v[kCompProgId] = s.Text(1);
  v[kCompLibrary] = s.Text(2);
  v[kCompThreading] = s.Text(3);
  v[kCompConstructionEnabled] = s.Int(4) != 0;
  v[kCompConstructorString] = s.IsNull(5) ? core::Variant::Null() : core::Variant(s.Text(5));
  return std::make_shared<CatalogObject>(Kind::Component, std::move(v), false);
}

// ---- class registrations that follow the catalog ----

// What the registry must hold once the classes in clsids are no longer held
// by any component: nothing for each of them still registered. Read inside
// the caller's transaction, under the registry lock.
std::vector<internal::RegistryTarget> ReleasedTargets(Database& db,
                                                      std::vector<std::string> clsids) {
  std::sort(clsids.begin(), clsids.end());
  clsids.erase(std::unique(clsids.begin(), clsids.end()), clsids.end());
  std::vector<internal::RegistryTarget> targets;
  Statement held(db, "SELECT 1 FROM components WHERE clsid = ?1 LIMIT 1");
  for (const std::string& text : clsids) {
    held.Bind(1, text);
    bool stillHeld = held.Step();
    held.Reset();
    if (stillHeld) continue;
    std::optional<com::GUID> clsid = com::GUID::TryParse(text);
    if (clsid && com::LookupClsid(*clsid)) targets.push_back({*clsid, std::nullopt});
  }
  return targets;
}

// ---- collections ----

class CatalogCollection : public ICatalogCollection {
 public:
  CatalogCollection(std::shared_ptr<Database> db, Kind kind, std::string appId)
      : db_(std::move(db)), kind_(kind), appId_(std::move(appId)) {}

  std::string Name() const override {
    return kind_ == Kind::Application ? "Applications" : "Components";
  }

  void Populate() override {
    std::vector<std::shared_ptr<CatalogObject>> loaded;
    if (kind_ == Kind::Application) {
      Statement s(*db_,
                  "SELECT id, name, access_checks, identity, password_hash FROM applications "
                  "ORDER BY seq");
      while (s.Step()) loaded.push_back(ApplicationFromRow(s));
    } else {
      Statement exists(*db_, "SELECT 1 FROM applications WHERE id = ?1");
      exists.Bind(1, appId_);
      if (!exists.Step()) {
        Fail(COMADMIN_E_OBJECT_DOES_NOT_EXIST, "there is no application with ID " + appId_);
      }
      exists.Reset();
      Statement s(*db_,
                  "SELECT clsid, progid, library, threading_model, construction_enabled, "
                  "constructor_string FROM components WHERE app_id = ?1 ORDER BY seq");
      s.Bind(1, appId_);
      while (s.Step()) loaded.push_back(ComponentFromRow(s));
    }
    items_ = std::move(loaded);
    removed_.clear();
  }

  std::int32_t Count() const override { return static_cast<std::int32_t>(items_.size()); }

  CatalogObjectPtr Item(std::int32_t index) const override { return items_[CheckIndex(index)]; }

  CatalogObjectPtr Add() override {
    if (kind_ != Kind::Application) {
      Fail(core::err::kInvalidProcedureCall,
           "components cannot be added to a collection; install their library with "
           "InstallComponent");
    }
    std::vector<core::Variant> v(kAppColumns);
    v[kAppId] = com::GUID::New().ToString();
    v[kAppName] = std::string();
    v[kAppAccessChecks] = true;
    v[kAppIdentity] = std::string(kDefaultIdentity);
    v[kAppPasswordHash] = core::Variant::Null();
    auto object = std::make_shared<CatalogObject>(Kind::Application, std::move(v), true);
    items_.push_back(object);
    return object;
  }

  void Remove(std::int32_t index) override {
    std::size_t i = CheckIndex(index);
    if (!items_[i]->isNew()) removed_.push_back(items_[i]);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
  }

  std::int32_t SaveChanges() override {
    // Removing components may unregister classes: that takes the registry
    // lock, and finishing whatever a crashed change left first.
    std::optional<com::FileLock> lock;
    if (!removed_.empty()) {
      lock.emplace(internal::LockRegistry(*db_));
      internal::ApplyTargets(*db_);
    }
    const bool adds = std::any_of(items_.begin(), items_.end(),
                                  [](const auto& object) { return object->isNew(); });
    const std::string mark = adds ? db_->session().Mark() : std::string();
    std::int32_t count = 0;
    bool unregister = false;
    {
      Transaction t(*db_);
      std::vector<std::string> released;
      for (const auto& object : removed_) {
        DeleteRow(*object, released);
        ++count;
      }
      for (const auto& object : items_) {
        if (object->isNew()) {
          InsertApplication(*object, mark);
          ++count;
        } else if (object->changed()) {
          UpdateRow(*object);
          ++count;
        }
      }
      std::vector<internal::RegistryTarget> targets = ReleasedTargets(*db_, std::move(released));
      internal::RecordTargets(*db_, targets);
      unregister = !targets.empty();
      t.Commit();
    }
    removed_.clear();
    for (const auto& object : items_) object->MarkSaved();
    if (unregister) {
      try {
        internal::ApplyTargets(*db_);
      } catch (const core::RuntimeError& e) {
        Fail(e.Number(),
             "the changes were saved, but classes no component holds any more are "
             "still registered (the next opening of the catalog unregisters them): " +
                 e.Description());
      }
    }
    return count;
  }

  CatalogCollectionPtr GetCollection(std::string_view name, const core::Variant& key) override {
    if (kind_ != Kind::Application || !core::EqualsNoCase(name, "Components")) {
      Fail(core::err::kInvalidProcedureCall,
           "the " + Name() + " collection has no collection \"" + std::string(name) + "\"");
    }
    std::string text = key.IsNull() ? std::string("Null") : key.AsString();
    std::optional<com::GUID> id = com::GUID::TryParse(text);
    if (!id) {
      Fail(core::err::kInvalidProcedureCall, "\"" + text + "\" is not an application ID");
    }
    return std::make_shared<CatalogCollection>(db_, Kind::Component, id->ToString());
  }

 private:
  std::size_t CheckIndex(std::int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
      Fail(err::kSubscriptOutOfRange, "subscript out of range: the " + Name() +
                                          " collection has no item " + std::to_string(index) +
                                          " (it holds " + std::to_string(items_.size()) + ")");
    }
    return static_cast<std::size_t>(index);
  }

  std::string Describe(const CatalogObject& object) const {
    return std::string(KindName(object.kind())) + " \"" + object.Name() + "\" " + object.Key();
  }

  // Saved with the session's mark: provisional until a component is installed
  // into it or the session ends (session.h).
  void InsertApplication(const CatalogObject& object, const std::string& mark) {
    if (object.column(kAppName).AsString().empty()) {
      Fail(COMADMIN_E_OBJECTERRORS,
           "the new application " + object.Key() + " has no Name; nothing was saved");
    }
    Statement s(*db_,
                "INSERT INTO applications (id, name, access_checks, identity, password_hash, "
                "unfinished_by) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    for (int i = 0; i < kAppColumns; ++i) BindValue(s, i + 1, object.column(i));
    s.Bind(kAppColumns + 1, mark);
    s.Run();
  }

  // Writes only the properties this collection changed, so another process's
  // changes to the others survive.
  void UpdateRow(const CatalogObject& object) {
    const bool app = object.kind() == Kind::Application;
    const int columns = app ? kAppColumns : kCompColumns;
    std::string sql = std::string("UPDATE ") + (app ? "applications" : "components") + " SET ";
    std::vector<int> set;
    for (int i = 0; i < columns; ++i) {
      if (!object.dirty(i)) continue;
      if (!set.empty()) sql += ", ";
      sql += std::string(app ? kAppColumnNames[i] : kCompColumnNames[i]) + " = ?" +
             std::to_string(set.size() + 1);
      set.push_back(i);
    }
    const std::string next = std::to_string(set.size() + 1);
    sql += app ? " WHERE id = ?" + next
               : " WHERE clsid = ?" + next + " AND app_id = ?" + std::to_string(set.size() + 2);
    Statement s(*db_, sql.c_str());
    for (std::size_t k = 0; k < set.size(); ++k) {
      BindValue(s, static_cast<int>(k + 1), object.column(set[k]));
    }
    s.Bind(static_cast<int>(set.size() + 1), object.Key());
    if (!app) s.Bind(static_cast<int>(set.size() + 2), appId_);
    if (s.Run() == 0) {
      Fail(COMADMIN_E_OBJECT_DOES_NOT_EXIST,
           "the " + Describe(object) + " no longer exists (removed by another process); " +
               "nothing was saved");
    }
  }

  void DeleteRow(const CatalogObject& object, std::vector<std::string>& released) {
    if (object.kind() == Kind::Application) {
      Statement held(*db_, "SELECT clsid FROM components WHERE app_id = ?1");
      held.Bind(1, object.Key());
      while (held.Step()) released.push_back(held.Text(0));
      held.Reset();
      Statement(*db_, "DELETE FROM components WHERE app_id = ?1").Bind(1, object.Key()).Run();
      Statement(*db_, "DELETE FROM applications WHERE id = ?1").Bind(1, object.Key()).Run();
    } else {
      Statement s(*db_, "DELETE FROM components WHERE app_id = ?1 AND clsid = ?2");
      if (s.Bind(1, appId_).Bind(2, object.Key()).Run() > 0) released.push_back(object.Key());
    }
  }

  std::shared_ptr<Database> db_;
  Kind kind_;
  std::string appId_;  // components collections only
  std::vector<std::shared_ptr<CatalogObject>> items_;
  std::vector<std::shared_ptr<CatalogObject>> removed_;
};

// ---- installing a library ----

std::string FindApplication(Database& db, std::string_view application) {
  if (std::optional<com::GUID> id = com::GUID::TryParse(application)) {
    Statement s(db, "SELECT id FROM applications WHERE id = ?1");
    s.Bind(1, id->ToString());
    if (s.Step()) return s.Text(0);
  } else {
    Statement s(db, "SELECT id, name FROM applications ORDER BY seq");
    while (s.Step()) {
      if (core::EqualsNoCase(s.Text(1), application)) return s.Text(0);
    }
  }
  Fail(COMADMIN_E_OBJECT_DOES_NOT_EXIST,
       "there is no application \"" + std::string(application) + "\" in the component catalog");
}

void CheckOptionalFile(std::string_view path, const char* what) {
  if (path.empty()) return;
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(path), ec)) {
    Fail(core::err::kFileNotFound, std::string(what) + " " + std::string(path) + " not found");
  }
}

// Loads the library for good (the loaded image stays, as activations would
// keep it anyway), runs its self-registration and checks every class.
void RegisterLibrary(const std::string& library,
                     const std::vector<com::ClassDescription>& classes) {
  void* handle =
      com::LoadTrustedLibrary(library, RTLD_NOW | RTLD_NODELETE, "the component library");
  struct Closer {
    void* h;
    ~Closer() { com::UnloadTrustedLibrary(h); }
  } closer{handle};

  auto registerServer = reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
  if (!registerServer) {
    Fail(COMADMIN_E_DLLREGISTERSERVER,
         "the component library " + library + " exports no DllRegisterServer");
  }
  com::HRESULT hr = registerServer();
  if (com::Failed(hr)) {
    Fail(COMADMIN_E_DLLREGISTERSERVER, "DllRegisterServer of the component library " + library +
                                           " failed (" + HexResult(hr) + ")");
  }
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  for (const com::ClassDescription& c : classes) {
    const std::string which =
        "class " + c.progId + " " + c.clsid.ToString() + " of the component library " + library;
    std::optional<com::ClassEntry> entry = com::LookupClsid(c.clsid);
    std::error_code ec;
    if (!entry || !fs::equivalent(entry->libraryPath, library, ec)) {
      Fail(COMADMIN_E_COMPFILE_CLASSNOTAVAIL,
           "the " + which + " was not registered by its DllRegisterServer");
    }
    if (!getClassObject) {
      Fail(COMADMIN_E_COMPFILE_CLASSNOTAVAIL,
           "the " + which + " cannot be loaded: the library exports no DllGetClassObject");
    }
    com::Ptr<com::IClassFactory> factory;
    hr = getClassObject(c.clsid, com::IClassFactory::kIID, factory.PutVoid());
    if (com::Failed(hr) || !factory) {
      Fail(COMADMIN_E_COMPFILE_CLASSNOTAVAIL,
           "the " + which + " cannot be loaded (" + HexResult(hr) + ")");
    }
  }
}

}  // namespace

// ---- the catalog ----

COMAdminCatalog::COMAdminCatalog() : db_(Database::Open(core::ServerRoot(), true)) {
  // What a process killed half-way through a change left behind.
  try {
    // A change in progress holds the registry lock and finishes its own.
    if (internal::HasTargets(*db_)) {
      if (std::optional<com::FileLock> lock = internal::TryLockRegistry(*db_)) {
        internal::ApplyTargets(*db_);
      }
    }
    internal::RemoveAbandonedApplications(*db_, internal::SessionsFolder(db_->Path()));
  } catch (const core::RuntimeError&) {
    // Reading still works (on a read-only root, say); every change that
    // depends on it finishes it first or says why it cannot.
  }
}

COMAdminCatalog::~COMAdminCatalog() = default;

fs::path COMAdminCatalog::Path() const { return db_->Path(); }

CatalogCollectionPtr COMAdminCatalog::GetCollection(std::string_view name) {
  if (!core::EqualsNoCase(name, "Applications")) {
    Fail(core::err::kInvalidProcedureCall,
         "the component catalog has no collection \"" + std::string(name) + "\"");
  }
  return std::make_shared<CatalogCollection>(db_, Kind::Application, std::string());
}

void COMAdminCatalog::InstallComponent(std::string_view application, std::string_view dllPath,
                                       std::string_view typelibPath,
                                       std::string_view proxyStubPath) {
  if (dllPath.empty()) Fail(core::err::kInvalidProcedureCall, "no component library was given");
  com::FileLock lock = internal::LockRegistry(*db_);
  internal::ApplyTargets(*db_);

  // First a record of the registry as it is, so that a crash during the
  // library's self-registration is undone by the next opening.
  std::string library;
  std::vector<com::ClassDescription> classes;
  {
    Transaction t(*db_);
    FindApplication(*db_, application);
    CheckOptionalFile(typelibPath, "type library");
    CheckOptionalFile(proxyStubPath, "proxy-stub library");
    std::error_code ec;
    fs::path absolute = fs::absolute(fs::path(dllPath), ec);
    if (ec) absolute = fs::path(dllPath);
    classes = com::DescribeLibrary(absolute);
    library = fs::weakly_canonical(absolute, ec).string();
    if (classes.empty()) {
      Fail(COMADMIN_E_COMPFILE_NOTINSTALLABLE,
           "the component library " + library + " describes no classes");
    }
    internal::RecordTargets(*db_, internal::CurrentTargets(classes));
    t.Commit();
  }

  try {
    // A self-registration can only say that it failed; a registry that
    // cannot be written says why.
    com::CheckWritable();
    RegisterLibrary(library, classes);

    Transaction t(*db_);
    const std::string appId = FindApplication(*db_, application);
    Statement add(*db_,
                  "INSERT INTO components (app_id, clsid, progid, progid_key, library, "
                  "threading_model, construction_enabled, constructor_string) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0, '') "
                  "ON CONFLICT (app_id, clsid) DO UPDATE SET progid = excluded.progid, "
                  "progid_key = excluded.progid_key, library = excluded.library, "
                  "threading_model = excluded.threading_model");
    for (const com::ClassDescription& c : classes) {
      add.Bind(1, appId)
          .Bind(2, c.clsid.ToString())
          .Bind(3, c.progId)
          .Bind(4, core::FoldCase(c.progId))
          .Bind(5, library)
          .Bind(6, c.threadingModel)
          .Run();
    }
    // The application is complete now, whatever becomes of its session.
    Statement(*db_, "UPDATE applications SET unfinished_by = NULL WHERE id = ?1")
        .Bind(1, appId)
        .Run();
    internal::ClearTargets(*db_);
    t.Commit();
  } catch (...) {
    try {
      internal::ApplyTargets(*db_);
    } catch (const core::RuntimeError&) {
      // The record stays; the next opening puts the registry back.
    }
    throw;
  }
}

void COMAdminCatalog::RefreshComponents() {
  Transaction t(*db_);
  std::vector<com::ClassEntry> registered = com::List();
  struct Row {
    std::int64_t seq;
    com::ClassEntry known;
  };
  std::vector<Row> stale;
  {
    Statement s(*db_, "SELECT seq, clsid, progid, library, threading_model FROM components");
    while (s.Step()) {
      std::optional<com::GUID> clsid = com::GUID::TryParse(s.Text(1));
      if (!clsid) continue;
      auto it = std::find_if(registered.begin(), registered.end(),
                             [&](const com::ClassEntry& e) { return e.clsid == *clsid; });
      if (it == registered.end()) continue;
      if (it->progId != s.Text(2) || it->libraryPath != s.Text(3) ||
          it->threadingModel != s.Text(4)) {
        stale.push_back({s.Int(0), *it});
      }
    }
  }
  Statement update(*db_,
                   "UPDATE components SET progid = ?1, progid_key = ?2, library = ?3, "
                   "threading_model = ?4 WHERE seq = ?5");
  for (const Row& row : stale) {
    update.Bind(1, row.known.progId)
        .Bind(2, core::FoldCase(row.known.progId))
        .Bind(3, row.known.libraryPath)
        .Bind(4, row.known.threadingModel)
        .Bind(5, row.seq)
        .Run();
  }
  t.Commit();
}

}  // namespace complus

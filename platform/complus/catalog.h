// The component catalog: server applications and the component classes
// installed into them, with the settings the hosting services apply when a
// class is activated.
//
// Object model, shaped like the published administration interfaces:
//   COMAdminCatalog     GetCollection("Applications"), InstallComponent,
//                       RefreshComponents
//   ICatalogCollection  Populate, Count, Item, Add, Remove, SaveChanges, and
//                       GetCollection("Components", applicationId) on the
//                       applications collection
//   ICatalogObject      Name, Key, Value(property) to read and write
//
// Nothing is read before Populate and nothing is written before SaveChanges:
// a collection works on its own copy of the rows it loaded. SaveChanges
// applies the changes object by object in one transaction (rows changed by
// another process meanwhile keep the properties this collection did not
// touch; a row another process deleted fails the save and nothing is
// applied). A catalog, its collections and objects are used by one thread at
// a time; several catalogs, in one process or many, may work at once.
//
// Application properties ("ID" is read-only; "Password" is write-only):
//   ID                              GUID text, fresh for each new application
//   Name                            text, required
//   ApplicationAccessChecksEnabled  Boolean, default true
//   Identity                        run-as account, default "Interactive User"
//   Password                        reads as "" whatever was written; only a
//                                   salted one-way hash is stored
// Component properties (read-only unless noted):
//   Name, ProgID                    the class's ProgID
//   CLSID                           the class id, GUID text
//   DLL                             path of the component library
//   ThreadingModel                  as the library describes the class
//   ConstructionEnabled             Boolean, default false, writable
//   ConstructorString               text, default "", writable
// Property names compare without regard to case. An unknown property is
// error 438, writing a read-only one error 5, writing Null error 94 and a
// value of the wrong kind error 13; nothing changes on any of them.
//
// Storage: <server root>/complus/catalog.db, an SQLite database in WAL mode
// created with mode 0600 in a folder created with mode 0700. Opening refuses
// a catalog file that group or others may access.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/core/variant.h"

namespace complus {

namespace internal {
class Database;
}

class ICatalogObject;
class ICatalogCollection;
using CatalogObjectPtr = std::shared_ptr<ICatalogObject>;
using CatalogCollectionPtr = std::shared_ptr<ICatalogCollection>;

class ICatalogObject {
 public:
  virtual ~ICatalogObject() = default;

  // The application's "Name", or the component's ProgID.
  virtual std::string Name() const = 0;
  // The application's "ID", or the component's "CLSID".
  virtual std::string Key() const = 0;

  virtual core::Variant Value(std::string_view property) const = 0;
  virtual void Value(std::string_view property, const core::Variant& value) = 0;

  virtual bool IsPropertyReadOnly(std::string_view property) const = 0;
  virtual bool IsPropertyWriteOnly(std::string_view property) const = 0;
};

class ICatalogCollection {
 public:
  virtual ~ICatalogCollection() = default;

  // "Applications" or "Components".
  virtual std::string Name() const = 0;

  // Loads the collection's rows in catalog order (the order of creation),
  // discarding any unsaved change. For a components collection,
  // COMADMIN_E_OBJECT_DOES_NOT_EXIST when its application is gone.
  virtual void Populate() = 0;
  virtual std::int32_t Count() const = 0;
  // The object at 0-based index; error 9 outside 0 .. Count()-1.
  virtual CatalogObjectPtr Item(std::int32_t index) const = 0;
  // A new application at the end of the collection, with a fresh "ID" and
  // the defaults. Components are added by COMAdminCatalog::InstallComponent
  // only: error 5 on a components collection.
  virtual CatalogObjectPtr Add() = 0;
  // Takes the object at index out of the collection (later items move down
  // by one); SaveChanges deletes it. Removing an application removes its
  // components. A class no application holds any more is unregistered.
  virtual void Remove(std::int32_t index) = 0;
  // Writes every added, changed and removed object and returns how many
  // there were. On failure nothing is written and the pending changes stay.
  virtual std::int32_t SaveChanges() = 0;

  // On an applications collection: the "Components" collection of the
  // application whose "ID" is key (any letter case). Error 5 for any other
  // name or a key that is no GUID.
  virtual CatalogCollectionPtr GetCollection(std::string_view name, const core::Variant& key) = 0;
};

class COMAdminCatalog {
 public:
  // Opens the catalog of the server root (core::ServerRoot()), creating it
  // when absent. Error 76 when the server root does not exist.
  COMAdminCatalog();
  ~COMAdminCatalog();
  COMAdminCatalog(const COMAdminCatalog&) = delete;
  COMAdminCatalog& operator=(const COMAdminCatalog&) = delete;

  // "Applications"; error 5 for any other name.
  CatalogCollectionPtr GetCollection(std::string_view name);

  // Installs every class of the component library dllPath into the
  // application named by application (its "ID", or the first whose "Name"
  // matches without regard to case): loads the library, runs its
  // DllRegisterServer, checks that each class it describes can be loaded and
  // adds one component per class, or refreshes the registration details of a
  // component the application already holds (its settings stay).
  // typelibPath and proxyStubPath may be empty; when given, they must exist.
  // Errors, each naming the file: 53 when it is missing, 429 when it cannot
  // be loaded or describes no classes, COMADMIN_E_DLLREGISTERSERVER when its
  // self-registration fails, COMADMIN_E_COMPFILE_CLASSNOTAVAIL when a class
  // cannot be loaded; COMADMIN_E_OBJECT_DOES_NOT_EXIST naming the
  // application when there is none. On failure nothing is installed and the
  // class registrations are as they were.
  void InstallComponent(std::string_view application, std::string_view dllPath,
                        std::string_view typelibPath, std::string_view proxyStubPath);

  // Brings each installed component's ProgID, library and threading model
  // up to date with the class registry. Classes no longer registered keep
  // what the catalog knows of them.
  void RefreshComponents();

  // The catalog database file.
  std::filesystem::path Path() const;

 private:
  std::shared_ptr<internal::Database> db_;
};

using COMAdminCatalogPtr = std::shared_ptr<COMAdminCatalog>;

}  // namespace complus

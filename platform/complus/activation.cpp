#include "platform/complus/activation.h"

#include <sys/stat.h>

#include <memory>
#include <mutex>

#include "platform/complus/database.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"

namespace complus {

namespace fs = std::filesystem;
using internal::Database;
using internal::Statement;

namespace {

// One open connection and prepared query, reused while the catalog file stays
// the same file.
struct CatalogReader {
  std::mutex mutex;
  fs::path path;
  dev_t device = 0;
  ino_t inode = 0;
  std::shared_ptr<Database> db;
  std::unique_ptr<Statement> query;  // declared after db: finalized first

  void Close() {
    query.reset();
    db.reset();
  }

  // The open query for the catalog below root, or null when there is none.
  Statement* Query(const fs::path& root) {
    const fs::path file = internal::CatalogPath(root);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
      Close();
      return nullptr;
    }
    if (query && file == path && st.st_dev == device && st.st_ino == inode) return query.get();
    Close();
    db = Database::Open(root, false);
    if (!db) return nullptr;
    {
      Statement version(*db, "PRAGMA user_version");
      if (!version.Step() || version.Int(0) == 0) {  // still being created
        Close();
        return nullptr;
      }
    }
    query = std::make_unique<Statement>(
        *db,
        "SELECT c.construction_enabled, c.constructor_string, c.library FROM components c "
        "JOIN applications a ON a.id = c.app_id "
        "WHERE c.clsid = ?1 OR c.progid_key = ?2 ORDER BY a.seq, c.seq LIMIT 1");
    path = file;
    device = st.st_dev;
    inode = st.st_ino;
    return query.get();
  }
};

// The registry and the catalog may spell one file differently (a link, say).
bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

}  // namespace

com::ConstructionHook CatalogConstructionHook() {
  auto reader = std::make_shared<CatalogReader>();
  return [reader](const com::ClassEntry& entry) -> std::optional<core::Variant> {
    std::lock_guard<std::mutex> lock(reader->mutex);
    try {
      Statement* query = reader->Query(core::ServerRoot());
      if (!query) return std::nullopt;
      query->Bind(1, entry.clsid.ToString()).Bind(2, core::FoldCase(entry.progId));
      std::optional<core::Variant> result;
      std::string installed;
      if (query->Step()) {
        installed = query->Text(2);
        if (query->Int(0) != 0) {
          result = query->IsNull(1) ? core::Variant::Null() : core::Variant(query->Text(1));
        }
      }
      query->Reset();
      if (!installed.empty() && !SameFile(installed, entry.libraryPath)) {
        throw core::RuntimeError(core::err::kCannotCreateObject,
                                 "ActiveX component can't create object \"" + entry.progId +
                                     "\": the class registry names the library " +
                                     entry.libraryPath +
                                     ", but the component catalog installed it from " + installed +
                                     "; install the component again",
                                 "complus");
      }
      return result;
    } catch (const core::RuntimeError& e) {
      if (e.Number() == core::err::kCannotCreateObject) throw;
      reader->Close();
      throw core::RuntimeError(
          core::err::kCannotCreateObject,
          "ActiveX component can't create object \"" + entry.progId + "\": " + e.Description(),
          "complus");
    }
  };
}

com::ConstructionHook EnableCatalogActivation() {
  return com::SetConstructionHook(CatalogConstructionHook());
}

}  // namespace complus

#include "platform/complus/activation.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/complus/database.h"
#include "platform/core/error.h"
#include "platform/core/file_stamp.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"

namespace complus {

namespace fs = std::filesystem;
using internal::Database;
using internal::Statement;

namespace {

// What the catalog says about one class.
struct Answer {
  std::optional<core::Variant> construction;  // the constructor string, when enabled
  std::string installed;                      // the library it was installed from
};

// One open connection and prepared query, reused while the catalog file stays
// the same file, and the answers already given, kept while neither the
// catalog nor its write-ahead log changes (core::FileStamp).
struct CatalogReader {
  std::mutex mutex;
  fs::path path;
  dev_t device = 0;
  ino_t inode = 0;
  std::shared_ptr<Database> db;
  std::unique_ptr<Statement> query;  // declared after db: finalized first
  std::optional<core::FileStamp> file_stamp, log_stamp;
  std::map<std::pair<std::string, std::string>, Answer> answers;

  void Close() {
    query.reset();
    db.reset();
    answers.clear();
  }

  // The catalog's answer for the class, from memory while the files are as
  // they were when it was asked, else from the file.
  std::optional<Answer> Ask(const fs::path& root, const com::ClassEntry& entry) {
    const fs::path file = internal::CatalogPath(root);
    std::optional<core::FileStamp> now_file = core::FileStamp::Of(file);
    std::optional<core::FileStamp> now_log = core::FileStamp::Of(file.string() + "-wal");
    const bool same =
        now_file && file_stamp && *now_file == *file_stamp && now_log == log_stamp && file == path;
    std::pair<std::string, std::string> key{entry.clsid.ToString(), core::FoldCase(entry.progId)};
    if (same) {
      auto it = answers.find(key);
      if (it != answers.end()) return it->second;
    } else {
      answers.clear();
    }
    Statement* q = Query(root);
    if (!q) return std::nullopt;
    q->Bind(1, key.first).Bind(2, key.second);
    Answer answer;
    if (q->Step()) {
      answer.installed = q->Text(2);
      if (q->Int(0) != 0) {
        answer.construction = q->IsNull(1) ? core::Variant::Null() : core::Variant(q->Text(1));
      }
    }
    q->Reset();
    // Kept only when both stamps vouch for what was read after them. An
    // empty log holds nothing to vouch for: it is what a reader's first open
    // leaves, and any write to it gives it another size.
    const bool settled =
        now_file && now_file->Settled() && (!now_log || now_log->empty() || now_log->Settled());
    file_stamp = settled ? now_file : std::nullopt;
    log_stamp = now_log;
    if (settled) answers[key] = answer;
    return answer;
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
      std::optional<Answer> answer = reader->Ask(core::ServerRoot(), entry);
      if (!answer) return std::nullopt;
      const std::optional<core::Variant>& result = answer->construction;
      const std::string& installed = answer->installed;
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

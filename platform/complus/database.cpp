#include "platform/complus/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/core/error.h"

namespace complus::internal {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "complus";
constexpr int kBusyTimeoutMs = 15000;
constexpr int kSchemaVersion = 1;

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path) {
  throw core::RuntimeError(core::err::kPathNotFound,
                           what + " " + path.string() + ": " + std::strerror(errno), kSource);
}

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

void EnsurePrivateFile(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return;  // another process made it first
    FailErrno("cannot create the component catalog", path);
  }
  // The umask may have taken bits away; the owner must still read and write.
  if (::fchmod(fd, 0600) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    FailErrno("cannot set the mode of the component catalog", path);
  }
  ::close(fd);
}

void CheckPrivateFile(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) FailErrno("cannot read the component catalog", path);
  if (!S_ISREG(st.st_mode)) {
    throw core::RuntimeError(core::err::kEFail,
                             "the component catalog " + path.string() + " is not a regular file",
                             kSource);
  }
  if ((st.st_mode & 077) != 0) {
    throw core::RuntimeError(core::err::kEFail,
                             "the component catalog " + path.string() + " has mode " +
                                 Octal(st.st_mode) +
                                 "; it must not be accessible to group or others (0600)",
                             kSource);
  }
}

}  // namespace

fs::path CatalogPath(const fs::path& root) { return root / "complus" / "catalog.db"; }

std::shared_ptr<Database> Database::Open(const fs::path& root, bool create) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    throw core::RuntimeError(core::err::kPathNotFound,
                             "the server root " + root.string() + " is not a folder", kSource);
  }
  const fs::path folder = root / "complus";
  const fs::path path = CatalogPath(root);
  if (!create && !fs::exists(path, ec)) return nullptr;
  if (create) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      FailErrno("cannot create the component catalog folder", folder);
    }
    EnsurePrivateFile(path);
  }
  CheckPrivateFile(path);

  sqlite3* handle = nullptr;
  int rc = ::sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
  std::shared_ptr<Database> db(new Database(path, handle));
  if (rc != SQLITE_OK) {
    if (!handle) {
      throw core::RuntimeError(core::err::kEFail,
                               "cannot open the component catalog " + path.string(), kSource);
    }
    db->Fail("opening");
  }
  ::sqlite3_extended_result_codes(handle, 1);
  ::sqlite3_busy_timeout(handle, kBusyTimeoutMs);
  db->Exec("PRAGMA foreign_keys = ON");
  // Removed rows (password hashes among them) are overwritten, not left in free pages.
  db->Exec("PRAGMA secure_delete = ON");
  if (create) db->CreateSchema();
  return db;
}

Database::~Database() { ::sqlite3_close_v2(db_); }

void Database::Fail(const std::string& doing) const {
  std::string what = doing + " in the component catalog " + path_.string();
  if (db_) what += std::string(": ") + ::sqlite3_errmsg(db_);
  throw core::RuntimeError(core::err::kEFail, what, kSource);
}

void Database::Exec(const char* sql) {
  if (::sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail("running " + std::string(sql));
}

void Database::CreateSchema() {
  // WAL lets activations read while an administrator saves.
  {
    Statement mode(*this, "PRAGMA journal_mode = WAL");
    mode.Step();
  }
  Transaction t(*this);
  Statement version(*this, "PRAGMA user_version");
  version.Step();
  const std::int64_t found = version.Int(0);
  version.Reset();
  if (found > kSchemaVersion) {
    throw core::RuntimeError(core::err::kEFail,
                             "the component catalog " + path_.string() +
                                 " was written by a newer version (schema " +
                                 std::to_string(found) + ")",
                             kSource);
  }
  if (found == kSchemaVersion) return;
  Exec(R"sql(
    CREATE TABLE applications (
      seq INTEGER PRIMARY KEY AUTOINCREMENT,
      id TEXT NOT NULL UNIQUE,
      name TEXT NOT NULL,
      access_checks INTEGER NOT NULL,
      identity TEXT NOT NULL,
      password_hash TEXT
    );
    CREATE TABLE components (
      seq INTEGER PRIMARY KEY AUTOINCREMENT,
      app_id TEXT NOT NULL REFERENCES applications(id),
      clsid TEXT NOT NULL,
      progid TEXT NOT NULL,
      progid_key TEXT NOT NULL,
      library TEXT NOT NULL,
      threading_model TEXT NOT NULL,
      construction_enabled INTEGER NOT NULL,
      constructor_string TEXT,
      UNIQUE (app_id, clsid)
    );
    CREATE INDEX components_clsid ON components(clsid);
    CREATE INDEX components_progid ON components(progid_key);
    PRAGMA user_version = 1;
  )sql");
  t.Commit();
}

Statement::Statement(Database& db, const char* sql) : db_(db) {
  if (::sqlite3_prepare_v2(db.Handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    db.Fail("preparing a query");
  }
}

Statement::~Statement() { ::sqlite3_finalize(stmt_); }

Statement& Statement::Bind(int index, std::string_view text) {
  if (::sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
    db_.Fail("binding a value");
  }
  return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
  if (::sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_.Fail("binding a value");
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (::sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_.Fail("binding a value");
  return *this;
}

bool Statement::Step() {
  int rc = ::sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.Fail(rc == SQLITE_BUSY ? "waiting for another process" : "reading or writing");
}

int Statement::Run() {
  while (Step()) {
  }
  int changed = ::sqlite3_changes(db_.Handle());
  Reset();
  return changed;
}

void Statement::Reset() {
  ::sqlite3_reset(stmt_);
  ::sqlite3_clear_bindings(stmt_);
}

std::string Statement::Text(int column) const {
  const unsigned char* text = ::sqlite3_column_text(stmt_, column);
  if (!text) return "";
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(::sqlite3_column_bytes(stmt_, column)));
}

std::int64_t Statement::Int(int column) const { return ::sqlite3_column_int64(stmt_, column); }

bool Statement::IsNull(int column) const {
  return ::sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Transaction::Transaction(Database& db) : db_(db) {
  if (::sqlite3_exec(db.Handle(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    db.Fail("starting a change (another process may hold the catalog)");
  }
}

Transaction::~Transaction() {
  if (open_) ::sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  if (::sqlite3_exec(db_.Handle(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    db_.Fail("saving changes");
  }
  open_ = false;
}

}  // namespace complus::internal

#include "platform/complus/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/core/error.h"
#include "platform/core/files.h"

namespace complus::internal {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "complus";
constexpr int kBusyTimeoutMs = 15000;
constexpr int kSchemaVersion = 2;

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path) {
  throw core::RuntimeError(core::err::kPathNotFound, core::DescribeFileError(what, path, errno),
                           kSource);
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
    FailErrno("Cannot create the component catalog", path);
  }
  // The umask may have taken bits away; the owner must still read and write.
  if (::fchmod(fd, 0600) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    FailErrno("Cannot set the mode of the component catalog", path);
  }
  ::close(fd);
}

void CheckPrivateFile(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) FailErrno("Cannot read the component catalog", path);
  if (!S_ISREG(st.st_mode)) {
    throw core::RuntimeError(core::err::kEFail,
                             "the component catalog " + path.string() + " is not a regular file",
                             kSource);
  }
  // Its constructor strings configure what activations run: another user's
  // file is not taken, however private.
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    throw core::RuntimeError(core::err::kEFail,
                             "the component catalog " + path.string() + " belongs to user " +
                                 std::to_string(st.st_uid) + ", not to root or this user",
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

fs::path SessionsFolder(const fs::path& catalog) { return catalog.parent_path() / "sessions"; }

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
    core::CreatePrivateFolders(folder);
    EnsurePrivateFile(path);
  }
  CheckPrivateFile(path);

  // On a read-only file system nothing can be written, not even the
  // journal's shared index a WAL database wants: such a catalog is read as it
  // stands, and every change says why it cannot be made.
  const bool readOnlyFs = ::access(folder.c_str(), W_OK) != 0 && errno == EROFS;
  sqlite3* handle = nullptr;
  int rc = SQLITE_OK;
  if (readOnlyFs) {
    const std::string uri = core::FileUri(path) + "?immutable=1";
    rc = ::sqlite3_open_v2(uri.c_str(), &handle,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW, nullptr);
  } else {
    rc = ::sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  }
  std::shared_ptr<Database> db(new Database(path, handle));
  db->readOnlyFs_ = readOnlyFs;
  if (rc != SQLITE_OK) {
    if (!handle) {
      throw core::RuntimeError(core::err::kEFail,
                               "cannot open the component catalog " + path.string(), kSource);
    }
    db->Fail("opening");
  }
  ::sqlite3_extended_result_codes(handle, 1);
  ::sqlite3_busy_timeout(handle, kBusyTimeoutMs);
  // The first read opens the journal's files: its failure is the opening's.
  if (::sqlite3_exec(handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    db->Fail("opening");
  }
  db->Exec("PRAGMA foreign_keys = ON");
  // Removed rows (password hashes among them) are overwritten, not left in free pages.
  db->Exec("PRAGMA secure_delete = ON");
  if (create && !readOnlyFs) db->CreateSchema();
  if (create && readOnlyFs && db->SchemaVersion() != kSchemaVersion) {
    db->FailCause("reading", EROFS);
  }
  return db;
}

Database::~Database() {
  if (db_) session_.End(*this);
  ::sqlite3_close_v2(db_);
}

void Database::Fail(const std::string& doing) const {
  std::string what = doing + " in the component catalog " + path_.string();
  if (db_) {
    // The file system's reason, in the words an administrator acts on, where
    // SQLite has one; SQLite's own text otherwise.
    const int code = ::sqlite3_extended_errcode(db_) & 0xFF;
    const int system = ::sqlite3_system_errno(db_);
    if (code == SQLITE_READONLY && readOnlyFs_) {
      what += ": " + core::FileErrorCause(EROFS);
    } else if (code == SQLITE_FULL) {
      what += ": " + core::FileErrorCause(ENOSPC);
    } else if ((code == SQLITE_IOERR || code == SQLITE_CANTOPEN || code == SQLITE_READONLY) &&
               system != 0) {
      what += ": " + core::FileErrorCause(system);
    } else {
      what += std::string(": ") + ::sqlite3_errmsg(db_);
    }
  }
  throw core::RuntimeError(core::err::kEFail, what, kSource);
}

void Database::FailCause(const std::string& doing, int errnum) const {
  throw core::RuntimeError(
      core::err::kEFail,
      doing + " in the component catalog " + path_.string() + ": " + core::FileErrorCause(errnum),
      kSource);
}

void Database::Exec(const char* sql) {
  if (::sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail("running " + std::string(sql));
}

std::int64_t Database::SchemaVersion() {
  Statement version(*this, "PRAGMA user_version");
  version.Step();
  return version.Int(0);
}

void Database::CreateSchema() {
  // WAL lets activations read while an administrator saves.
  {
    Statement mode(*this, "PRAGMA journal_mode = WAL");
    mode.Step();
  }
  // Checked before any write, so that a current catalog opens on a
  // read-only file system too.
  if (SchemaVersion() == kSchemaVersion) return;
  Transaction t(*this);
  const std::int64_t found = SchemaVersion();
  if (found > kSchemaVersion) {
    throw core::RuntimeError(core::err::kEFail,
                             "the component catalog " + path_.string() +
                                 " was written by a newer version (schema " +
                                 std::to_string(found) + ")",
                             kSource);
  }
  if (found == kSchemaVersion) return;
  if (found < 1) {
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
    )sql");
  }
  // Version 2: what makes changes that span the catalog and the class
  // registry safe against a crash (see registry_journal.h and session.h).
  Exec(R"sql(
    ALTER TABLE applications ADD COLUMN unfinished_by TEXT;
    CREATE TABLE registry_journal (
      seq INTEGER PRIMARY KEY AUTOINCREMENT,
      clsid TEXT NOT NULL,
      progid TEXT,
      library TEXT,
      threading_model TEXT
    );
    PRAGMA user_version = 2;
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

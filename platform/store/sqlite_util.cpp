#include "platform/store/sqlite_util.h"

#include <cerrno>

#include "platform/core/error.h"
#include "platform/core/files.h"

namespace store::sql {

std::string FailureCause(sqlite3* db) {
  if (!db) return "out of memory";
  const int code = sqlite3_extended_errcode(db);
  const int errnum = sqlite3_system_errno(db);
  switch (code & 0xFF) {
    case SQLITE_FULL:
      return core::FileErrorCause(ENOSPC);
    case SQLITE_NOTADB:
      return "not a database";
    case SQLITE_CORRUPT:
      return "the database is damaged (" + std::string(sqlite3_errmsg(db)) + ")";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return std::string("the store is busy (another writer held it too long): ") +
             sqlite3_errmsg(db);
    case SQLITE_READONLY:
      if (code == SQLITE_READONLY_DBMOVED) return "the database file was moved or deleted";
      return errnum != 0 ? core::FileErrorCause(errnum) : "the store is open for reading only";
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_PERM:
      // The operating system's reason says what to do about it.
      if (errnum != 0) return core::FileErrorCause(errnum);
      break;
    default:
      break;
  }
  return sqlite3_errmsg(db);
}

namespace {
thread_local bool t_disk_full = false;
}

std::string DescribeFailure(sqlite3* db, const std::string& doing) {
  const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
  const int errnum = db ? sqlite3_system_errno(db) : 0;
  t_disk_full = (code & 0xFF) == SQLITE_FULL ||
                ((code & 0xFF) == SQLITE_IOERR && (errnum == ENOSPC || errnum == EDQUOT));
  const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
  std::string where = file && *file ? std::string(" in ") + file : std::string();
  return "Store database error" + where + " while " + doing + ": " + FailureCause(db);
}

bool LastFailureWasDiskFull() { return t_disk_full; }
void ForgetLastFailure() { t_disk_full = false; }

void Throw(sqlite3* db, const std::string& doing) {
  throw core::RuntimeError(core::err::kEFail, DescribeFailure(db, doing));
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    Throw(db, "running \"" + std::string(sql) + "\"");
  }
}

Stmt::Stmt(sqlite3* db, const char* sql) : db_(db), sql_(sql) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    Throw(db, "preparing \"" + sql_ + "\"");
  }
}

Stmt::~Stmt() { sqlite3_finalize(stmt_); }

Stmt& Stmt::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) Throw(db_, "binding");
  return *this;
}

Stmt& Stmt::Bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) Throw(db_, "binding");
  return *this;
}

Stmt& Stmt::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) !=
      SQLITE_OK) {
    Throw(db_, "binding");
  }
  return *this;
}

Stmt& Stmt::BindBlob(int index, std::string_view bytes) {
  // A zero-length blob with a null pointer would bind NULL; keep it a blob.
  static const char kEmpty = 0;
  const void* data = bytes.empty() ? &kEmpty : bytes.data();
  if (sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_STATIC) != SQLITE_OK) {
    Throw(db_, "binding");
  }
  return *this;
}

Stmt& Stmt::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) Throw(db_, "binding");
  return *this;
}

bool Stmt::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  Throw(db_, "running \"" + sql_ + "\"");
}

void Stmt::Run() {
  while (Step()) {
  }
}

std::int64_t Stmt::Int(int column) const { return sqlite3_column_int64(stmt_, column); }
double Stmt::Real(int column) const { return sqlite3_column_double(stmt_, column); }

std::string Stmt::Text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (!data || size <= 0) return std::string();
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

bool Stmt::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

void Stmt::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

StmtCache::Handle StmtCache::Get(const char* sql) {
  std::unique_ptr<Stmt>& stmt = stmts_[sql];
  if (!stmt) stmt = std::make_unique<Stmt>(db_, sql);
  return Handle(stmt.get());
}

}  // namespace store::sql

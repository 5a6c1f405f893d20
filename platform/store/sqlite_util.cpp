#include "platform/store/sqlite_util.h"

#include "platform/core/error.h"

namespace store::sql {

void Throw(sqlite3* db, const std::string& doing) {
  int code = sqlite3_extended_errcode(db);
  std::string text = db ? sqlite3_errmsg(db) : "out of memory";
  if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED) {
    text = "the store is busy (another writer held it too long): " + text;
  }
  throw core::RuntimeError(core::err::kEFail, "Store database error while " + doing + ": " + text);
}

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw core::RuntimeError(core::err::kEFail, "Store database error while running \"" +
                                                    std::string(sql) + "\": " + text);
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
  if (sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_TRANSIENT) != SQLITE_OK) {
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

void Stmt::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

StmtCache::Handle StmtCache::Get(const char* sql) {
  std::unique_ptr<Stmt>& stmt = stmts_[sql];
  if (!stmt) stmt = std::make_unique<Stmt>(db_, sql);
  return Handle(stmt.get());
}

bool Stmt::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

}  // namespace store::sql

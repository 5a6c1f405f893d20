// Thin helpers over the SQLite C API for the store: prepared statements with
// checked steps, and errors turned into core::RuntimeError. Internal.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace store::sql {

// Why the latest call on db failed, in words an administrator acts on: "disk
// full", "read-only file system", "permission denied", "not a database", ...
// (from the error code and, for file errors, the operating system's errno);
// SQLite's own text for everything else.
std::string FailureCause(sqlite3* db);

// "Store database error in <file> while <doing>: <cause>", and notes for
// LastFailureWasDiskFull whether the cause was a full disk.
std::string DescribeFailure(sqlite3* db, const std::string& doing);

// True when the latest failure this thread described was a full disk (the
// error code is gone once a rollback has run).
bool LastFailureWasDiskFull();
void ForgetLastFailure();

// Throws RuntimeError (kEFail) with DescribeFailure's text.
[[noreturn]] void Throw(sqlite3* db, const std::string& doing);

// Runs statements without results.
void Exec(sqlite3* db, const char* sql);

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int index, std::int64_t value);
  Stmt& Bind(int index, double value);
  Stmt& Bind(int index, std::string_view text);  // as TEXT
  // Not copied (a message text is tens of KB): bytes must stay valid until
  // the statement is done stepping (Reset; a cache Handle resets it).
  Stmt& BindBlob(int index, std::string_view bytes);
  Stmt& BindNull(int index);

  // True while a row is available; false when done.
  bool Step();
  // Steps a statement that returns no rows.
  void Run();

  std::int64_t Int(int column) const;
  double Real(int column) const;
  std::string Text(int column) const;  // TEXT or BLOB bytes
  bool IsNull(int column) const;

  // Makes the statement ready for new bindings and ends its read.
  void Reset();

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string sql_;
};

// Prepared statements kept for the life of a connection. Get() hands out a
// statement that is reset when the handle goes, so a cached statement never
// keeps a read open. One handle per statement at a time: a statement is not
// used again while a handle to it is alive.
class StmtCache {
 public:
  explicit StmtCache(sqlite3* db) : db_(db) {}

  class Handle {
   public:
    explicit Handle(Stmt* stmt) : stmt_(stmt) {}
    ~Handle() { stmt_->Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Stmt& operator*() const { return *stmt_; }
    Stmt* operator->() const { return stmt_; }

   private:
    Stmt* stmt_;
  };

  // sql must have static storage (a literal): it is the cache key.
  Handle Get(const char* sql);

 private:
  sqlite3* db_;
  std::unordered_map<const char*, std::unique_ptr<Stmt>> stmts_;
};

}  // namespace store::sql

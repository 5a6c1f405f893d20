// Thin helpers over the SQLite C API for the store: prepared statements with
// checked steps, and errors turned into core::RuntimeError. Internal.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace store::sql {

// Throws RuntimeError (kEFail) naming what was being done and SQLite's text.
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

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string sql_;
};

}  // namespace store::sql

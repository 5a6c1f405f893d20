// The catalog database: opening it safely, statements and transactions.
// Internal to the catalog.
//
// Tables: applications (one row per application, in creation order) and
// components (one row per class installed in an application, keyed by the
// application's id and the class id). Every failure is a core::RuntimeError
// naming the catalog file.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/complus/session.h"

namespace complus::internal {

// <root>/complus/catalog.db
std::filesystem::path CatalogPath(const std::filesystem::path& root);
// <root>/complus/sessions beside the catalog file catalog.
std::filesystem::path SessionsFolder(const std::filesystem::path& catalog);

class Database {
 public:
  // Opens the catalog below root, creating the folder (0700), the file
  // (0600) and the tables when create is true. Without create, returns null
  // when there is no catalog file yet. On a read-only file system the catalog
  // is opened for reading only; changes then fail saying so. Error 76 when root is no folder;
  // refuses (kEFail) a catalog file that is not a regular file or that group
  // or others may access.
  static std::shared_ptr<Database> Open(const std::filesystem::path& root, bool create);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* Handle() const { return db_; }
  const std::filesystem::path& Path() const { return path_; }
  // The session that marks the applications saved through this connection;
  // it ends when the connection closes.
  Session& session() { return session_; }

  // Throws kEFail: "<doing> in the component catalog <path>: <cause>", the
  // cause in the file system's words where there is one ("disk full",
  // "read-only file system"), else SQLite's text.
  [[noreturn]] void Fail(const std::string& doing) const;
  [[noreturn]] void FailCause(const std::string& doing, int errnum) const;
  void Exec(const char* sql);

 private:
  Database(std::filesystem::path path, sqlite3* db)
      : path_(std::move(path)), db_(db), session_(SessionsFolder(path_)) {}
  void CreateSchema();
  std::int64_t SchemaVersion();

  std::filesystem::path path_;
  sqlite3* db_;
  bool readOnlyFs_ = false;  // opened read-only: the file system allows no writes
  Session session_;
};

class Statement {
 public:
  Statement(Database& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, std::int64_t value);
  Statement& BindNull(int index);

  // True while a row is available.
  bool Step();
  // Runs a statement without rows and returns the number of rows changed.
  int Run();
  void Reset();

  std::string Text(int column) const;
  std::int64_t Int(int column) const;
  bool IsNull(int column) const;

 private:
  Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE: the write lock is taken at once, so the reads inside the
// transaction see what the writes will be applied to. Rolls back unless
// committed.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Database& db_;
  bool open_ = true;
};

}  // namespace complus::internal

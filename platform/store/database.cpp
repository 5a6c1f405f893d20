#include "platform/store/database.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/text.h"
#include "platform/core/variant.h"
#include "platform/store/schema.h"
#include "platform/store/sqlite_util.h"

namespace store::db {

namespace {

using core::RuntimeError;
namespace err = core::err;

constexpr int kBusyTimeoutMs = 30000;
constexpr int kOldFormat = 2;

// The tables of the current format. props keeps a property's place in the
// order it was first written by its id; items never reuse an id, so an open
// record or a queued event can never come to name another item.
const char* kSchema = R"sql(
CREATE TABLE items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  is_folder INTEGER NOT NULL,
  UNIQUE(parent, name_key));
CREATE TABLE props(
  id INTEGER PRIMARY KEY,
  item INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  UNIQUE(item, name_key));
CREATE TABLE mailbox_stores(id INTEGER PRIMARY KEY, name TEXT NOT NULL, guid TEXT NOT NULL);
CREATE TABLE mailboxes(
  item INTEGER PRIMARY KEY,
  store INTEGER NOT NULL,
  is_system INTEGER NOT NULL);
CREATE TABLE registrations(item INTEGER PRIMARY KEY, folder INTEGER NOT NULL);
CREATE INDEX registrations_by_folder ON registrations(folder, item);
)sql";

// Format 2 to 3: items rebuilt with AUTOINCREMENT (ids kept; the sequence
// starts above the highest), and the registrations table filled.
const char* kUpgradeItems = R"sql(
CREATE TABLE items_v3(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  is_folder INTEGER NOT NULL,
  UNIQUE(parent, name_key));
INSERT INTO items_v3(id, parent, name, name_key, is_folder)
  SELECT id, parent, name, name_key, is_folder FROM items ORDER BY id;
DROP TABLE items;
ALTER TABLE items_v3 RENAME TO items;
CREATE TABLE registrations(item INTEGER PRIMARY KEY, folder INTEGER NOT NULL);
CREATE INDEX registrations_by_folder ON registrations(folder, item);
)sql";

// Waits for the write lock in short, jittered steps for up to kBusyTimeoutMs.
// SQLite's own busy timeout backs off to 100 ms sleeps, so a writer that
// lost once keeps losing to one that commits every few milliseconds. A
// connection is used by one thread, so the wait's state is the thread's.
int OnBusy(void*, int count) {
  thread_local std::chrono::steady_clock::time_point start;
  thread_local std::minstd_rand jitter{std::random_device{}()};
  auto now = std::chrono::steady_clock::now();
  if (count == 0) start = now;
  if (now - start > std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  std::this_thread::sleep_for(std::chrono::microseconds(200 + jitter() % 800));
  return 1;
}

}  // namespace

int ReadOnlyReason(const std::filesystem::path& file) {
  struct statvfs vfs {};
  if (::statvfs(file.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) return EROFS;
  if (::access(file.c_str(), W_OK) != 0) return errno;
  if (::access(file.parent_path().c_str(), W_OK) != 0) return errno;
  return 0;
}

namespace {

bool FileSystemIsReadOnly(const std::filesystem::path& file) {
  struct statvfs vfs {};
  return ::statvfs(file.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY);
}

// True when there is no write-ahead log with content beside file.
bool NoLog(const std::filesystem::path& file) {
  struct stat st {};
  std::string wal = file.string() + "-wal";
  return ::stat(wal.c_str(), &st) != 0 || st.st_size == 0;
}

[[noreturn]] void CannotOpen(const std::filesystem::path& file, const std::string& cause) {
  throw RuntimeError(err::kPathNotFound, "Cannot open the store " + file.string() + ": " + cause);
}

// Configures a new connection and reads its format; -1 when that first
// read failed, which is where a store that cannot be opened shows it.
int Configure(sqlite3* handle) {
  sqlite3_extended_result_codes(handle, 1);
  sqlite3_busy_handler(handle, OnBusy, nullptr);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(handle, "PRAGMA user_version", -1, &stmt, nullptr) != SQLITE_OK) {
    return -1;
  }
  int rc = sqlite3_step(stmt);
  int version = rc == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  return version;
}

// The settings of a connection that writes.
void Settings(sqlite3* handle) {
  // Every commit is fsynced to the log before it returns, so an
  // acknowledged write survives a power loss, not only a killed process.
  sql::Exec(handle, "PRAGMA synchronous=FULL");
  // The log and its index stay when the last connection closes (the log
  // emptied): the next open then needs no new disk space, which a full disk
  // would refuse, and a root remounted read-only can still be read.
  int persist = 1;
  sqlite3_file_control(handle, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  sql::Exec(handle, "PRAGMA journal_size_limit=4194304");
}

void Upgrade(sqlite3* handle, const std::filesystem::path& file) {
  try {
    sql::Exec(handle, "BEGIN IMMEDIATE");
  } catch (const RuntimeError& e) {
    throw RuntimeError(
        e.Number(), "Cannot upgrade the store " + file.string() + ": " + sql::FailureCause(handle));
  }
  try {
    // Another process may have upgraded it while this one waited.
    int version = -1;
    {
      sql::Stmt v(handle, "PRAGMA user_version");
      if (v.Step()) version = static_cast<int>(v.Int(0));
    }
    if (version == kOldFormat) {
      sql::Exec(handle, kUpgradeItems);
      std::vector<std::pair<std::int64_t, std::int64_t>> registrations;
      {
        sql::Stmt s(handle,
                    "SELECT i.id, i.parent, CAST(p.value AS TEXT) FROM items i JOIN props p "
                    "ON p.item = i.id AND p.name_key = ? WHERE i.is_folder = 0 AND p.type = ?");
        s.Bind(1, core::FoldCase(schema::kContentClass))
            .Bind(2, static_cast<std::int64_t>(core::VarType::String));
        while (s.Step()) {
          if (IsRegistrationClass(s.Text(2))) registrations.emplace_back(s.Int(0), s.Int(1));
        }
      }
      for (auto [item, folder] : registrations) {
        sql::Stmt s(handle, "INSERT INTO registrations(item, folder) VALUES(?, ?)");
        s.Bind(1, item).Bind(2, folder).Run();
      }
      sql::Exec(handle, ("PRAGMA user_version=" + std::to_string(kFormatVersion)).c_str());
    }
    sql::Exec(handle, "COMMIT");
  } catch (const RuntimeError&) {
    std::string cause = sql::FailureCause(handle);
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw RuntimeError(err::kEFail, "Cannot upgrade the store " + file.string() + " to format " +
                                        std::to_string(kFormatVersion) + ": " + cause +
                                        " (the store is unchanged)");
  }
}

}  // namespace

bool IsRegistrationClass(std::string_view content_class) {
  return core::EqualsNoCase(core::Trim(content_class), schema::kEventRegistrationClass);
}

sqlite3* OpenNew(const std::filesystem::path& file) {
  sqlite3* handle = nullptr;
  int rc =
      sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK || Configure(handle) != 0) {
    std::string cause = sql::FailureCause(handle);
    sqlite3_close(handle);
    throw RuntimeError(err::kPathNotFound,
                       "Cannot create the store " + file.string() + ": " + cause);
  }
  try {
    sql::Exec(handle, "PRAGMA journal_mode=WAL");
    Settings(handle);
  } catch (...) {
    sqlite3_close(handle);
    throw;
  }
  return handle;
}

void CreateSchema(sqlite3* handle) {
  sql::Exec(handle, kSchema);
  sql::Exec(handle, ("PRAGMA user_version=" + std::to_string(kFormatVersion)).c_str());
}

Opened Open(const std::filesystem::path& file) {
  Opened out;
  sqlite3* handle = nullptr;
  int rc =
      sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string cause = sql::FailureCause(handle);
    sqlite3_close(handle);
    CannotOpen(file, cause);
  }
  int version = Configure(handle);
  bool read_only = sqlite3_db_readonly(handle, "main") == 1;
  if (version < 0) {
    std::string cause = sql::FailureCause(handle);
    sqlite3_close(handle);
    handle = nullptr;
    // A read-only file system without a log to read: nothing can change the
    // file under us, so it may be read as it is, without the shared memory
    // the log's index needs.
    if (FileSystemIsReadOnly(file) && NoLog(file)) {
      rc = sqlite3_open_v2((core::FileUri(file) + "?immutable=1").c_str(), &handle,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
      if (rc == SQLITE_OK) version = Configure(handle);
      if (rc != SQLITE_OK || version < 0) {
        cause = sql::FailureCause(handle);
        sqlite3_close(handle);
        CannotOpen(file, cause);
      }
      read_only = true;
    } else {
      if (cause == "unable to open database file") {
        int reason = ReadOnlyReason(file);
        if (reason != 0) cause = core::FileErrorCause(reason);
      }
      CannotOpen(file, cause);
    }
  }
  out.handle = handle;
  out.read_only = read_only;
  if (read_only) out.read_only_errno = ReadOnlyReason(file);
  try {
    if (version == kOldFormat && !read_only) {
      Upgrade(handle, file);
      version = kFormatVersion;
    }
    if (version != kFormatVersion && version != kOldFormat) {
      throw RuntimeError(
          err::kEFail, "The store " + file.string() + " has format " + std::to_string(version) +
                           ", this program reads formats " + std::to_string(kOldFormat) + " and " +
                           std::to_string(kFormatVersion));
    }
    if (!read_only) Settings(handle);
  } catch (...) {
    sqlite3_close(handle);
    throw;
  }
  return out;
}

}  // namespace store::db

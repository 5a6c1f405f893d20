// The store's database file: opening it with the settings the store relies
// on, the schema of a new store, and upgrading an older store in place.
// Internal to the store.
//
// Format history (PRAGMA user_version):
//   2  items, props, mailbox_stores, mailboxes
//   3  item ids are never reused (AUTOINCREMENT); registration items are
//      indexed by folder in a table of their own (registrations)
// A format-2 store is upgraded in one transaction when it is opened for
// writing, and read as it is where it cannot be written. Other formats are
// refused, never guessed at.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string_view>

namespace store::db {

inline constexpr int kFormatVersion = 3;

struct Opened {
  sqlite3* handle = nullptr;  // the caller closes it
  bool read_only = false;
  // Why the store cannot be written (EROFS, EACCES, ...); 0 when writable or
  // when the reason is not known.
  int read_only_errno = 0;
};

// Opens file, which must exist, for reading and writing. Where it cannot be
// written (a read-only file system, a file or folder the user may not
// write) it is opened for reading only: with its write-ahead log when that
// is there to be read, as an immutable file when the file system is
// read-only and there is no log. Upgrades a format-2 store when writable.
// RuntimeError naming the file and the cause ("permission denied", "not a
// database", ...) when it cannot be opened at all.
Opened Open(const std::filesystem::path& file);

// Why file cannot be written now: EROFS for its file system, else the
// errno of a write access check on the file or on its folder; 0 when it can.
int ReadOnlyReason(const std::filesystem::path& file);

// True when a content class (a string property value) makes an item a
// registration item, which the registrations table then lists.
bool IsRegistrationClass(std::string_view content_class);

// Opens the empty file of a new store and puts it in write-ahead-log mode.
sqlite3* OpenNew(const std::filesystem::path& file);

// Creates the tables of a new store (format kFormatVersion), in the caller's
// transaction.
void CreateSchema(sqlite3* handle);

}  // namespace store::db

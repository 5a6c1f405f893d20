// The class registry of the server: which library implements a class, found
// by ProgID or class id.
//
// Kept in <server root>/com/classes.tsv, one class a line (ProgID, class id,
// library path, threading model, tab-separated). Writers take an exclusive
// lock on <server root>/com/classes.lock and replace the file by renaming a
// complete new one over it, so several processes may register and look up at
// once and a reader never sees half a file. ProgIDs compare without regard to
// case; a ProgID and a class id each name at most one entry.
//
// The table decides which code an activation runs, so it is created 0600 in
// a 0700 folder whatever the umask, and it is read only when it and every
// folder above it can be trusted (trusted_file.h): a table someone else could
// have written is an error (70), never a silent lookup. Libraries are named
// by absolute paths only, so an entry means the same file whatever the
// current directory of the process that reads it.
//
// Every failure is a core::RuntimeError naming the file or the bad value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/guid.h"

namespace com {

struct ClassEntry {
  std::string progId;
  CLSID clsid;
  std::string libraryPath;
  std::string threadingModel;  // "Apartment", "Free", "Both" or "Neutral"
};

// Adds the class, replacing any entry with the same ProgID or class id.
// Error 5 when a value is empty, holds a tab or line break, the library path
// is not absolute, or the threading model is not one of the four.
void RegisterClass(std::string_view progId, const CLSID& clsid, std::string_view libraryPath,
                   std::string_view threadingModel);

// Removes the entry of that class id; false when there was none.
bool UnregisterClass(const CLSID& clsid);

std::optional<ClassEntry> LookupProgId(std::string_view progId);
std::optional<ClassEntry> LookupClsid(const CLSID& clsid);

// Writes the table back as it is, so that an installer learns, naming the
// file and the cause ("disk full", "read-only file system"), whether a change
// can be written before it runs a library's self-registration, which can only
// say that it failed.
void CheckWritable();

// Every entry, in registration order.
std::vector<ClassEntry> List();

}  // namespace com

#include "platform/com/class_registry.h"

#include <filesystem>
#include <mutex>

#include "platform/com/file_lock.h"
#include "platform/com/trusted_file.h"
#include "platform/core/error.h"
#include "platform/core/file_stamp.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"

namespace com {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSource = "com";

fs::path Folder() { return core::ServerRoot() / "com"; }
fs::path TablePath() { return Folder() / "classes.tsv"; }

[[noreturn]] void Fail(std::int32_t number, const std::string& what) {
  throw core::RuntimeError(number, what, kSource);
}

void CheckValue(std::string_view name, std::string_view value) {
  if (value.empty())
    Fail(core::err::kInvalidProcedureCall, "the class's " + std::string(name) + " is empty");
  if (value.find_first_of("\t\r\n") != std::string_view::npos) {
    Fail(core::err::kInvalidProcedureCall, "the class's " + std::string(name) + " \"" +
                                               std::string(value) +
                                               "\" holds a tab or a line break");
  }
}

// The table decides which libraries activations load, so it is read only
// when nobody but root and the running user can have written it.
std::vector<ClassEntry> ReadTable(const fs::path& path) {
  std::vector<ClassEntry> entries;
  std::optional<TrustedFile> file = OpenTrustedIfExists(path, "the class registry");
  if (!file) return entries;
  const std::string text = file->ReadAll();
  int number = 0;
  for (const std::string& line : core::Split(text, "\n")) {
    ++number;
    if (line.empty()) continue;
    std::vector<std::string> cols = core::Split(line, "\t");
    std::optional<GUID> clsid = cols.size() == 4 ? GUID::TryParse(cols[1]) : std::nullopt;
    if (!clsid) {
      Fail(core::err::kEFail,
           "the class registry " + path.string() + " is damaged at line " + std::to_string(number));
    }
    entries.push_back({cols[0], *clsid, cols[2], cols[3]});
  }
  return entries;
}

// Every activation looks its class up, and reading the table means checking
// every folder above it: the process keeps the latest table it read and
// reads again only when the file's stamp changes. The stamp is taken before
// the read, so a table written meanwhile is read again next time.
std::vector<ClassEntry> ReadTableCached(const fs::path& path) {
  struct Cache {
    std::mutex mutex;
    fs::path path;
    std::optional<core::FileStamp> stamp;
    std::vector<ClassEntry> entries;
  };
  static Cache* cache = new Cache();  // outlives static destructors
  std::lock_guard<std::mutex> lock(cache->mutex);
  std::optional<core::FileStamp> stamp = core::FileStamp::Of(path);
  if (stamp && cache->stamp && *cache->stamp == *stamp && cache->path == path) {
    return cache->entries;
  }
  std::vector<ClassEntry> entries = ReadTable(path);
  cache->path = path;
  cache->stamp = stamp && stamp->Settled() ? stamp : std::nullopt;
  cache->entries = entries;
  return entries;
}

void WriteTable(const fs::path& path, const std::vector<ClassEntry>& entries) {
  std::string text;
  for (const ClassEntry& e : entries) {
    text += e.progId + '\t' + e.clsid.ToString() + '\t' + e.libraryPath + '\t' + e.threadingModel +
            '\n';
  }
  core::WriteFileAtomically(path, text);
}

fs::path EnsureFolder() {
  fs::path folder = Folder();
  core::CreatePrivateFolders(folder);
  return folder;
}

}  // namespace

void RegisterClass(std::string_view progId, const CLSID& clsid, std::string_view libraryPath,
                   std::string_view threadingModel) {
  CheckValue("ProgID", progId);
  CheckValue("library path", libraryPath);
  CheckValue("threading model", threadingModel);
  if (libraryPath.front() != '/') {
    Fail(core::err::kInvalidProcedureCall, "the class's library path \"" +
                                               std::string(libraryPath) +
                                               "\" is not absolute; a class names its library "
                                               "by its full path");
  }
  if (threadingModel != "Apartment" && threadingModel != "Free" && threadingModel != "Both" &&
      threadingModel != "Neutral") {
    Fail(core::err::kInvalidProcedureCall,
         "unknown threading model \"" + std::string(threadingModel) + "\"");
  }
  fs::path folder = EnsureFolder();
  FileLock lock(folder / "classes.lock");
  std::vector<ClassEntry> entries = ReadTable(TablePath());
  std::erase_if(entries, [&](const ClassEntry& e) {
    return e.clsid == clsid || core::EqualsNoCase(e.progId, progId);
  });
  entries.push_back(
      {std::string(progId), clsid, std::string(libraryPath), std::string(threadingModel)});
  WriteTable(TablePath(), entries);
}

bool UnregisterClass(const CLSID& clsid) {
  fs::path folder = EnsureFolder();
  FileLock lock(folder / "classes.lock");
  std::vector<ClassEntry> entries = ReadTable(TablePath());
  std::size_t removed =
      std::erase_if(entries, [&](const ClassEntry& e) { return e.clsid == clsid; });
  if (removed == 0) return false;
  WriteTable(TablePath(), entries);
  return true;
}

void CheckWritable() {
  fs::path folder = EnsureFolder();
  FileLock lock(folder / "classes.lock");
  WriteTable(TablePath(), ReadTable(TablePath()));
}

std::vector<ClassEntry> List() { return ReadTableCached(TablePath()); }

std::optional<ClassEntry> LookupProgId(std::string_view progId) {
  for (ClassEntry& e : List()) {
    if (core::EqualsNoCase(e.progId, progId)) return std::move(e);
  }
  return std::nullopt;
}

std::optional<ClassEntry> LookupClsid(const CLSID& clsid) {
  for (ClassEntry& e : List()) {
    if (e.clsid == clsid) return std::move(e);
  }
  return std::nullopt;
}

}  // namespace com

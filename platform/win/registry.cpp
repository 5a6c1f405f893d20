#include "platform/win/registry.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"

namespace win {
namespace {

namespace fs = std::filesystem;

struct KeyRef {
  HKEY root;
  std::vector<std::string> parts;  // folder names as they are on disk
};

struct HandleTable {
  std::mutex mu;
  std::map<HKEY, KeyRef> open;
  HKEY next = 0x100;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

const char* RootName(HKEY key) {
  switch (key) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
      return "HKEY_USERS";
    case HKEY_PERFORMANCE_DATA:
      return "HKEY_PERFORMANCE_DATA";
    case HKEY_CURRENT_CONFIG:
      return "HKEY_CURRENT_CONFIG";
    default:
      return nullptr;
  }
}

std::optional<KeyRef> Resolve(HKEY key) {
  if (RootName(key) != nullptr) return KeyRef{key, {}};
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.open.find(key);
  if (it == t.open.end()) return std::nullopt;
  return it->second;
}

// The folder of a key; nullopt when the server root is not configured.
std::optional<fs::path> FolderOf(const KeyRef& ref) {
  fs::path p;
  try {
    p = core::ServerRoot() / "registry" / RootName(ref.root);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  for (const std::string& part : ref.parts) p /= part;
  return p;
}

// The names of a sub-key path; nullopt when one of them cannot be a key
// name here (empty, "." or "..", or holding "/", which would leave the key's
// folder).
std::optional<std::vector<std::string>> SplitSubKey(std::string_view sub) {
  std::vector<std::string> names = core::Split(sub, "\\");
  for (const std::string& n : names) {
    if (n.empty() || n == "." || n == ".." || n.find('/') != std::string::npos ||
        n.find('\0') != std::string::npos) {
      return std::nullopt;
    }
  }
  return names;
}

// The folder in dir named name without regard to case.
std::optional<std::string> FindChild(const fs::path& dir, std::string_view name) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    std::string child = it->path().filename().string();
    std::error_code dir_ec;
    if (core::EqualsNoCase(child, name) && it->is_directory(dir_ec)) return child;
  }
  return std::nullopt;
}

bool CreatePrivate(const fs::path& folder) {
  try {
    core::CreatePrivateFolders(folder);
    return true;
  } catch (const core::RuntimeError&) {
    return false;
  }
}

HKEY NewHandle(KeyRef ref) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  while (t.next == 0 || RootName(t.next) != nullptr || t.open.count(t.next) != 0) t.next += 4;
  HKEY h = t.next;
  t.next += 4;
  t.open.emplace(h, std::move(ref));
  return h;
}

// Finds the existing key subKey below ref; the error code on failure.
LONG Walk(KeyRef& ref, std::string_view subKey) {
  auto names = SplitSubKey(subKey);
  if (!names) return ERROR_FILE_NOT_FOUND;
  auto folder = FolderOf(ref);
  if (!folder) return ERROR_FILE_NOT_FOUND;
  for (const std::string& n : *names) {
    auto child = FindChild(*folder, n);
    if (!child) return ERROR_FILE_NOT_FOUND;
    *folder /= *child;
    ref.parts.push_back(*child);
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyA(HKEY hKey, const char* subKey, HKEY* phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = 0;
  auto ref = Resolve(hKey);
  if (!ref) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr || *subKey == '\0') {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  LONG rc = Walk(*ref, subKey);
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = NewHandle(std::move(*ref));
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (RootName(hKey) != nullptr) return ERROR_SUCCESS;
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.open.erase(hKey) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegCreateKeyA(HKEY hKey, const char* subKey, HKEY* phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = 0;
  auto ref = Resolve(hKey);
  if (!ref) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr || *subKey == '\0') {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  auto names = SplitSubKey(subKey);
  if (!names) return ERROR_INVALID_PARAMETER;
  auto folder = FolderOf(*ref);
  if (!folder) return ERROR_ACCESS_DENIED;
  // Keys are private to the server's owner (0700), whatever the umask.
  if (!CreatePrivate(*folder)) return ERROR_ACCESS_DENIED;
  for (const std::string& n : *names) {
    auto child = FindChild(*folder, n);
    if (!child) {
      if (!CreatePrivate(*folder / n)) return ERROR_ACCESS_DENIED;
      child = n;
    }
    *folder /= *child;
    ref->parts.push_back(*child);
  }
  *phkResult = NewHandle(std::move(*ref));
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY hKey, const char* subKey) {
  auto ref = Resolve(hKey);
  if (!ref) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  LONG rc = Walk(*ref, subKey);
  if (rc != ERROR_SUCCESS) return rc;
  auto folder = FolderOf(*ref);
  if (!folder) return ERROR_FILE_NOT_FOUND;
  std::error_code ec;
  for (fs::directory_iterator it(*folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::error_code dir_ec;
    if (it->is_directory(dir_ec)) return ERROR_ACCESS_DENIED;  // has sub-keys
  }
  if (ec) return ERROR_ACCESS_DENIED;
  fs::remove_all(*folder, ec);
  return ec ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

}  // namespace win

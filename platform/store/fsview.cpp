#include "platform/store/fsview.h"

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/store.h"
#include "platform/store/url.h"

namespace store {

namespace {

struct FsPath {
  std::vector<std::string> names;  // below the store root
  bool listing = false;            // ended in "\"
  bool valid = true;               // false: names that cannot exist
};

FsPath ParseFsPath(std::string_view path) {
  if (!core::StartsWith(path, kFsPrefix, core::Compare::Text)) {
    throw core::RuntimeError(core::err::kPathNotFound, "Path not found: \"" + std::string(path) +
                                                           "\" is not below " + kFsPrefix);
  }
  std::string_view rest = path.substr(std::string_view(kFsPrefix).size());
  FsPath out;
  if (rest.empty()) {
    out.listing = true;
    return out;
  }
  if (rest.back() == '\\') {
    out.listing = true;
    rest.remove_suffix(1);
  }
  for (std::string& piece : core::Split(rest, "\\")) {
    if (!CheckItemName(piece).empty()) out.valid = false;
    out.names.push_back(std::move(piece));
  }
  return out;
}

bool Wanted(const Item& item, int attributes) {
  return !item.is_folder || (attributes & kDirectory);
}

}  // namespace

std::vector<std::string> DirEntries(std::string_view path, int attributes) {
  FsPath p = ParseFsPath(path);
  std::unique_ptr<Store> store = Store::Open();
  std::vector<std::string> out;
  if (!p.valid) return out;
  ItemId folder = 0;
  if (!p.names.empty()) {
    std::optional<Item> item = store->Find(p.names);
    if (!item || !item->is_folder) return out;
    folder = item->id;
  }
  for (const Item& child : store->Children(folder)) {
    if (Wanted(child, attributes)) out.push_back(child.name);
  }
  return out;
}

std::string Dir(std::string_view path, int attributes) {
  FsPath p = ParseFsPath(path);
  if (p.listing) {
    std::vector<std::string> entries = DirEntries(path, attributes);
    return entries.empty() ? std::string() : entries.front();
  }
  std::unique_ptr<Store> store = Store::Open();
  if (!p.valid) return "";
  std::optional<Item> item = store->Find(p.names);
  return item && Wanted(*item, attributes) ? item->name : std::string();
}

}  // namespace store

// An item of the store as its tree knows it: identity, place, name, kind.
#pragma once

#include <cstdint>
#include <string>

namespace store {

// Never reused, so an open record or a queued event can never come to name
// another item.
using ItemId = std::int64_t;

struct Item {
  ItemId id = 0;
  ItemId parent = 0;  // 0 for the domain folder
  std::string name;   // as created
  bool is_folder = false;
};

}  // namespace store

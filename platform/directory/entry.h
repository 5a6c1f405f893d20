// Entry: one directory object as a backend returns it, its distinguished
// name and its attributes. Attribute names compare without regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace directory {

struct Attribute {
  std::string name;  // as first written
  std::vector<std::string> values;
};

struct Entry {
  std::string dn;
  std::vector<Attribute> attributes;

  // The attribute called name (any case), or null.
  const Attribute* Find(std::string_view name) const;
  // Appends value to the attribute called name, adding the attribute first
  // when the entry has none of that name.
  void Add(std::string_view name, std::string value);
};

struct SortKey;

// Orders entries by keys as a directory server does: values compare
// without regard to case, a missing value sorts after every value, and
// entries equal in every key keep their order.
void SortEntries(std::vector<const Entry*>& entries, const std::vector<SortKey>& keys);

}  // namespace directory

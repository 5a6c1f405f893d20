#include "platform/directory/entry.h"

#include <algorithm>
#include <optional>

#include "platform/core/text.h"
#include "platform/directory/query.h"

namespace directory {
namespace {

// Attribute names are ASCII by their grammar; compare those without the
// general Unicode folding, which dominates lookups otherwise.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    bool ascii = true;
    for (char c : a) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    for (char c : b) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    return ascii ? false : core::EqualsNoCase(a, b);
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 0x80 || y >= 0x80) return core::EqualsNoCase(a, b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

const Attribute* Entry::Find(std::string_view name) const {
  for (const Attribute& a : attributes) {
    if (SameName(a.name, name)) return &a;
  }
  return nullptr;
}

void Entry::Add(std::string_view name, std::string value) {
  for (Attribute& a : attributes) {
    if (SameName(a.name, name)) {
      a.values.push_back(std::move(value));
      return;
    }
  }
  attributes.push_back(Attribute{std::string(name), {std::move(value)}});
}

void SortEntries(std::vector<const Entry*>& entries, const std::vector<SortKey>& keys) {
  if (keys.empty()) return;
  // Keys folded once, not at every comparison.
  struct Keyed {
    const Entry* entry;
    std::vector<std::optional<std::string>> keys;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(entries.size());
  for (const Entry* e : entries) {
    Keyed k{e, {}};
    for (const SortKey& s : keys) {
      const Attribute* a = e->Find(s.attribute);
      if (a && !a->values.empty()) {
        k.keys.emplace_back(core::FoldCase(a->values[0]));
      } else {
        k.keys.emplace_back(std::nullopt);
      }
    }
    keyed.push_back(std::move(k));
  }
  std::stable_sort(keyed.begin(), keyed.end(), [&](const Keyed& x, const Keyed& y) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const auto& a = x.keys[i];
      const auto& b = y.keys[i];
      if (a == b) continue;
      if (!a) return false;
      if (!b) return true;
      return keys[i].descending ? *a > *b : *a < *b;
    }
    return false;
  });
  for (std::size_t i = 0; i < keyed.size(); ++i) entries[i] = keyed[i].entry;
}

}  // namespace directory

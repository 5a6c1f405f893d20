#include "platform/directory/entry.h"

#include "platform/core/text.h"

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

}  // namespace directory

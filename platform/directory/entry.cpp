#include "platform/directory/entry.h"

#include "platform/core/text.h"

namespace directory {

const Attribute* Entry::Find(std::string_view name) const {
  for (const Attribute& a : attributes) {
    if (core::EqualsNoCase(a.name, name)) return &a;
  }
  return nullptr;
}

void Entry::Add(std::string_view name, std::string value) {
  for (Attribute& a : attributes) {
    if (core::EqualsNoCase(a.name, name)) {
      a.values.push_back(std::move(value));
      return;
    }
  }
  attributes.push_back(Attribute{std::string(name), {std::move(value)}});
}

}  // namespace directory

// LDAP filters: any text either parses or is refused, and what parses is
// evaluated on an entry without fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/core/error.h"
#include "platform/directory/entry.h"
#include "platform/directory/filter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const directory::Entry entry = [] {
    directory::Entry e;
    e.dn = "CN=John Doe,CN=Users,DC=example,DC=com";
    e.Add("objectCategory", "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com");
    e.Add("cn", "John Doe");
    e.Add("mail", "jdoe@example.com");
    e.Add("userAccountControl", "512");
    return e;
  }();
  try {
    directory::Matches(directory::ParseFilter(text), entry);
  } catch (const core::RuntimeError&) {
  }
  return 0;
}

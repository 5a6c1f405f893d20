// The directory's query dialect: any text either parses or is refused, and
// the LDAP filter a query becomes is always one the filter parser accepts.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/core/error.h"
#include "platform/directory/filter.h"
#include "platform/directory/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  directory::Query query;
  try {
    query = directory::ParseQuery(text);
  } catch (const core::RuntimeError&) {
    return 0;
  }
  try {
    directory::ParseFilter(query.filter);
  } catch (const core::RuntimeError&) {
    __builtin_trap();  // a query that parses must make a valid filter
  }
  return 0;
}

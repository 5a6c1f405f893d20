// LDIF: any text either gives records or is refused with a line number.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/error.h"
#include "platform/directory/ldif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    for (const directory::Entry& e : directory::ParseLdif(text, "fuzz")) {
      if (e.dn.empty()) __builtin_trap();  // every record has its name
    }
  } catch (const core::RuntimeError& e) {
    if (e.Description().rfind("fuzz", 0) != 0) __builtin_trap();  // names its source
  }
  std::string decoded;
  directory::DecodeBase64(text, decoded);
  return 0;
}

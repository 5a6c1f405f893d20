// LDIF: any text either gives records or is refused naming the line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/error.h"
#include "platform/directory/ldif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    directory::ParseLdif(text, "fuzz");
  } catch (const core::RuntimeError& e) {
    // Names the source and the line.
    if (e.Description().find("fuzz line ") == std::string::npos) __builtin_trap();
  }
  std::string decoded;
  directory::DecodeBase64(text, decoded);
  return 0;
}

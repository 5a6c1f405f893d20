// zenthra-catalog's escaping: every text reads back exactly, and nothing a
// terminal would act on is ever written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "tools/zenthra-catalog/escape.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string escaped = zenthra_catalog::Escape(text);
  if (zenthra_catalog::Unescape(escaped) != text) __builtin_trap();
  if (core::TerminalSafe(escaped) != core::Replace(escaped, "\\", "\\\\")) __builtin_trap();
  // Whatever a user types as a value reads in without fault.
  zenthra_catalog::Unescape(text);
  return 0;
}

// Store URLs: any text either parses or is refused, and the names of a URL
// that parses spell a file URL that parses to the same names.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/core/error.h"
#include "platform/store/machine.h"
#include "platform/store/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const store::Machine machine{"mail01", "example.com"};
  store::LooksLikeStoreUrl(text);
  store::CheckItemName(text);
  store::StoreUrl url;
  try {
    url = store::ParseUrl(text, machine);
  } catch (const core::RuntimeError&) {
    return 0;
  }
  if (url.names.empty()) __builtin_trap();
  try {
    if (store::ParseUrl(store::FileUrl(url.names), machine).names != url.names) __builtin_trap();
  } catch (const core::RuntimeError&) {
    __builtin_trap();
  }
  return 0;
}

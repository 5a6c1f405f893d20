// Message analysis: any bytes give a result without fault, and the item name
// made from the subject is always a safe file name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/mime/mime.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const mime::MessageInfo info = mime::Analyze(text);
  if (info.has_attachment && info.attachments.empty()) __builtin_trap();
  const std::string name = mime::ItemName(info.subject, static_cast<int>(size % 3));
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".EML") != 0) __builtin_trap();
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) !=
                                     std::string_view::npos) {
      __builtin_trap();
    }
  }
  return 0;
}

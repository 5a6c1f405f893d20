// The sink's constructor string: Construct takes any text (or none) and
// leaves settings of the agreed shape.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/activation.h"
#include "platform/core/text.h"
#include "sink/ZenthraCls.h"
#include "sink/ZenthraModule.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The first byte chooses between a string and Null, as the catalog holds either.
  const bool null = size > 0 && data[0] == 0xFF;
  auto sink = com::MakeObject<zenthra::ZenthraCls, com::IObjectConstruct>();
  auto ctor = com::MakeConstructString(null ? core::Variant::Null() : core::Variant(text));
  if (sink->Construct(ctor.Get()) != com::S_OK) __builtin_trap();

  const std::string& folder = ZenthraModule::strTargetFolder;
  const std::string& marker = ZenthraModule::strAttachmentName;
  const std::size_t cr = null ? 0 : core::InStr(text, "\r");
  if (cr > 1) {
    // The first field, trimmed, with "/" for "\"; the second without its CR.
    if (folder.find('\\') != std::string::npos) __builtin_trap();
    if (!folder.empty() && (folder.front() == ' ' || folder.back() == ' ')) __builtin_trap();
    if (core::InStr(marker, "\r") == 1) {
      // A second field that begins with CR keeps it: it matches no file name.
    } else if (marker.find('\r') != std::string::npos) {
      __builtin_trap();
    }
  } else {
    if (folder != "Spam") __builtin_trap();
    if (marker != (null ? std::string() : text)) __builtin_trap();
  }
  return 0;
}

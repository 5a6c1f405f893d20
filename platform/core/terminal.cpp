#include "platform/core/terminal.h"

#include <cstdio>

#include "platform/core/text.h"

namespace core {

namespace {

bool Dangerous(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) ||      // C1 controls (CSI, OSC, ...)
         (c >= 0x202A && c <= 0x202E) ||  // bidirectional embeddings and overrides
         (c >= 0x2066 && c <= 0x2069);    // bidirectional isolates
}

}  // namespace

std::string TerminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buf[16];
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      switch (byte) {
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\\':
          out += "\\\\";
          break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", byte);
            out += buf;
          } else {
            out += static_cast<char>(byte);
          }
      }
      ++i;
      continue;
    }
    char32_t code = 0;
    const std::size_t n = Utf8SequenceAt(text, i, &code);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02X", byte);
      out += buf;
      ++i;
    } else if (Dangerous(code)) {
      std::snprintf(buf, sizeof buf, "\\u{%04X}", static_cast<unsigned>(code));
      out += buf;
      i += n;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace core

#include "tools/zenthra-catalog/escape.h"

#include <cstdio>

#include "platform/core/terminal.h"
#include "platform/core/text.h"

namespace zenthra_catalog {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when text[i] is the start of an escape that Unescape would decode.
bool StartsEscape(std::string_view text, std::size_t i) {
  if (i + 1 >= text.size() || text[i] != '\\') return false;
  char n = text[i + 1];
  if (n == '\\' || n == 'r' || n == 'n' || n == 't') return true;
  return n == 'x' && i + 3 < text.size() && HexValue(text[i + 2]) >= 0 &&
         HexValue(text[i + 3]) >= 0;
}

}  // namespace

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buf[8];
  auto hex = [&](unsigned char c) {
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      // Whatever a terminal would act on (C1 controls, bidirectional
      // overrides, bytes that are no UTF-8) goes out byte by byte as \xHH,
      // which reads back exactly.
      char32_t code = 0;
      const std::size_t n = core::Utf8SequenceAt(text, i, &code);
      const std::string_view character = text.substr(i, n == 0 ? 1 : n);
      if (n == 0 || core::TerminalSafe(character) != character) {
        for (char b : character) hex(static_cast<unsigned char>(b));
      } else {
        out += character;
      }
      i += character.size();
      continue;
    }
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (IsControl(c)) {
      hex(c);
    } else if (c == '\\' && (StartsEscape(text, i) || i + 1 == text.size() || text[i + 1] == '\r' ||
                             text[i + 1] == '\n' || text[i + 1] == '\t' || IsControl(text[i + 1]) ||
                             static_cast<unsigned char>(text[i + 1]) >= 0x80)) {
      // Doubled wherever the next characters written could read as an escape.
      out += "\\\\";
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!StartsEscape(text, i)) {
      out += text[i];
      continue;
    }
    char n = text[i + 1];
    if (n == 'x') {
      out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 3;
    } else {
      out += n == 'r' ? '\r' : n == 'n' ? '\n' : n == 't' ? '\t' : '\\';
      i += 1;
    }
  }
  return out;
}

}  // namespace zenthra_catalog

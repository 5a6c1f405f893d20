#include "tools/zenthra-catalog/escape.h"

#include <cstdio>

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
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (IsControl(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else if (c == '\\' &&
               (StartsEscape(text, i) || i + 1 == text.size() || text[i + 1] == '\r' ||
                text[i + 1] == '\n' || text[i + 1] == '\t' || IsControl(text[i + 1]))) {
      // Doubled wherever the next characters written could read as an escape.
      out += "\\\\";
    } else {
      out += static_cast<char>(c);
    }
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

#include "platform/com/guid.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/core/error.h"

namespace com {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 2*bytes hex digits at text[pos] into value; false on a non-digit.
bool ReadHex(std::string_view text, std::size_t pos, int digits, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(text[pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<std::uint64_t>(h);
  }
  *value = v;
  return true;
}

}  // namespace

std::string GUID::ToString() const {
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(Data1), static_cast<unsigned>(Data2),
                static_cast<unsigned>(Data3), Data4[0], Data4[1], Data4[2], Data4[3], Data4[4],
                Data4[5], Data4[6], Data4[7]);
  return buf;
}

std::optional<GUID> GUID::TryParse(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  GUID g;
  std::uint64_t v = 0;
  if (!ReadHex(text, 0, 8, &v)) return std::nullopt;
  g.Data1 = static_cast<std::uint32_t>(v);
  if (!ReadHex(text, 9, 4, &v)) return std::nullopt;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(text, 14, 4, &v)) return std::nullopt;
  g.Data3 = static_cast<std::uint16_t>(v);
  static constexpr std::size_t kByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kByteAt[i], 2, &v)) return std::nullopt;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  return g;
}

GUID GUID::Parse(std::string_view text) {
  if (auto g = TryParse(text)) return *g;
  throw core::RuntimeError(core::err::kInvalidProcedureCall,
                           "\"" + std::string(text) + "\" is not a class or interface identifier",
                           "com");
}

GUID GUID::New() {
  unsigned char bytes[16];
  std::size_t done = 0;
  while (done < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + done, sizeof bytes - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw core::RuntimeError(core::err::kEFail, "cannot make a new identifier: no random numbers",
                               "com");
    }
    done += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  GUID g;
  g.Data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  std::copy(bytes + 8, bytes + 16, g.Data4);
  return g;
}

}  // namespace com

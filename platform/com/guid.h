// GUID: the 128-bit identifier of a class or an interface.
//
// The text form is the registry's: "{CD000001-8B95-11D1-82DB-00C04FB1625D}",
// upper-case hex with braces. Parse also accepts lower case and a missing
// pair of braces, and rejects everything else.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace com {

struct GUID {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
  friend constexpr auto operator<=>(const GUID&, const GUID&) = default;

  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
  std::string ToString() const;

  // Nullopt when text is not a GUID.
  static std::optional<GUID> TryParse(std::string_view text);
  // RuntimeError 5 (invalid procedure call) naming the text when it is not.
  static GUID Parse(std::string_view text);

  // A fresh random identifier (RFC 4122 version 4). RuntimeError (E_FAIL)
  // when the system has no random numbers to give.
  static GUID New();
};

using IID = GUID;
using CLSID = GUID;

inline constexpr GUID GUID_NULL{};

}  // namespace com

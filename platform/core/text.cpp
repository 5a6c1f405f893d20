#include "platform/core/text.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace core {
namespace {

// A decoded string: one code per character, and the byte offset where each
// character starts (plus one past the end). A byte that does not start a valid
// UTF-8 sequence becomes its own character with a code above U+10FFFF, so it
// never matches or folds to a real character and is copied back unchanged.
struct Decoded {
  std::vector<char32_t> codes;
  std::vector<std::size_t> offsets;
};

constexpr char32_t kRawByteBase = 0x110000;

Decoded Decode(std::string_view s) {
  Decoded d;
  d.codes.reserve(s.size());
  d.offsets.reserve(s.size() + 1);
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    std::size_t len = Utf8SequenceAt(s, i, &c);
    if (len == 0) {
      c = kRawByteBase + static_cast<unsigned char>(s[i]);
      len = 1;
    }
    d.codes.push_back(c);
    d.offsets.push_back(i);
    i += len;
  }
  d.offsets.push_back(s.size());
  return d;
}

void Encode(char32_t c, std::string* out) {
  if (c >= kRawByteBase) {
    out->push_back(static_cast<char>(c - kRawByteBase));
  } else if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

char32_t Fold(char32_t c) {
  if (c >= kRawByteBase || c < 0x80) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  }
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

template <typename F>
std::string MapCodes(std::string_view s, F f) {
  Decoded d = Decode(s);
  std::string out;
  out.reserve(s.size());
  for (char32_t c : d.codes) Encode(c >= kRawByteBase ? c : f(c), &out);
  return out;
}

bool CodesEqual(char32_t a, char32_t b, Compare compare) {
  return a == b || (compare == Compare::Text && Fold(a) == Fold(b));
}

// Whether needle lies in hay at i, elements compared by same.
template <typename Seq, typename Same>
bool MatchesAt(const Seq& hay, const Seq& needle, std::size_t i, Same same) {
  std::size_t k = 0;
  while (k < needle.size() && same(hay[i + k], needle[k])) ++k;
  return k == needle.size();
}

// Index of the first needle in hay at or after from, or npos.
template <typename Seq, typename Same>
std::size_t FindFirst(const Seq& hay, const Seq& needle, std::size_t from, Same same) {
  if (needle.size() > hay.size()) return std::string::npos;
  for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
    if (MatchesAt(hay, needle, i, same)) return i;
  }
  return std::string::npos;
}

// Index of the last needle in hay, or npos.
template <typename Seq, typename Same>
std::size_t FindLast(const Seq& hay, const Seq& needle, Same same) {
  if (needle.size() > hay.size()) return std::string::npos;
  for (std::size_t i = hay.size() - needle.size() + 1; i-- > 0;) {
    if (MatchesAt(hay, needle, i, same)) return i;
  }
  return std::string::npos;
}

auto SameCodes(Compare compare) {
  return [compare](char32_t a, char32_t b) { return CodesEqual(a, b, compare); };
}

// 0-based character index of needle in haystack at or after from, or npos.
std::size_t FindCodes(const std::vector<char32_t>& hay, const std::vector<char32_t>& needle,
                      std::size_t from, Compare compare) {
  return FindFirst(hay, needle, from, SameCodes(compare));
}

// Strings of ASCII alone, the usual case (URLs, property names, folder
// names), take byte paths: a character is a byte and folds by itself. Only
// when both sides are ASCII, since other characters may fold to ASCII ones
// (U+212A KELVIN SIGN to "k").
bool IsAscii(std::string_view s) {
  // Eight bytes at a time: most texts asked about are ASCII, so they are
  // read to the end anyway.
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, sizeof word);
    bits |= word;
  }
  for (; i < s.size(); ++i) bits |= static_cast<unsigned char>(s[i]);
  return (bits & 0x8080808080808080ULL) == 0;
}

char AsciiFold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

auto SameAscii(Compare compare) {
  return [compare](char a, char b) {
    return a == b || (compare == Compare::Text && AsciiFold(a) == AsciiFold(b));
  };
}

// Byte index of needle in haystack at or after from, or npos.
std::size_t AsciiFind(std::string_view hay, std::string_view needle, std::size_t from,
                      Compare compare) {
  if (compare == Compare::Binary) return hay.find(needle, from);
  return FindFirst(hay, needle, from, SameAscii(compare));
}

template <typename F>
std::string MapAscii(std::string_view s, F f) {
  std::string out(s);
  for (char& c : out) c = f(c);
  return out;
}

}  // namespace

std::size_t Utf8SequenceAt(std::string_view s, std::size_t i, char32_t* code) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    *code = b0;
    return 1;
  }
  std::size_t len;
  char32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  // Reject overlong forms, surrogates and values past U+10FFFF.
  if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF)) {
    return 0;
  }
  *code = c;
  return len;
}

std::size_t Len(std::string_view s) { return IsAscii(s) ? s.size() : Decode(s).codes.size(); }

std::string Left(std::string_view s, std::size_t n) {
  if (IsAscii(s)) return std::string(s.substr(0, n));
  Decoded d = Decode(s);
  if (n >= d.codes.size()) return std::string(s);
  return std::string(s.substr(0, d.offsets[n]));
}

std::string Right(std::string_view s, std::size_t n) {
  if (IsAscii(s)) return std::string(n >= s.size() ? s : s.substr(s.size() - n));
  Decoded d = Decode(s);
  if (n >= d.codes.size()) return std::string(s);
  return std::string(s.substr(d.offsets[d.codes.size() - n]));
}

std::string Mid(std::string_view s, std::size_t start, std::size_t n) {
  if (IsAscii(s)) {
    const std::size_t first = start == 0 ? 0 : start - 1;
    return first >= s.size() ? std::string() : std::string(s.substr(first, n));
  }
  Decoded d = Decode(s);
  const std::size_t count = d.codes.size();
  const std::size_t first = start == 0 ? 0 : start - 1;
  if (first >= count) return "";
  const std::size_t last = (n == std::string::npos || n >= count - first) ? count : first + n;
  return std::string(s.substr(d.offsets[first], d.offsets[last] - d.offsets[first]));
}

std::size_t InStr(std::string_view haystack, std::string_view needle, Compare compare,
                  std::size_t start) {
  if (IsAscii(haystack) && IsAscii(needle)) {
    const std::size_t from = start == 0 ? 0 : start - 1;
    if (from > haystack.size()) return 0;
    const std::size_t i = AsciiFind(haystack, needle, from, compare);
    return i == std::string::npos ? 0 : i + 1;
  }
  Decoded h = Decode(haystack);
  Decoded n = Decode(needle);
  const std::size_t from = start == 0 ? 0 : start - 1;
  if (from > h.codes.size()) return 0;
  const std::size_t i = FindCodes(h.codes, n.codes, from, compare);
  return i == std::string::npos ? 0 : i + 1;
}

std::size_t InStrRev(std::string_view haystack, std::string_view needle, Compare compare) {
  std::size_t i;
  if (IsAscii(haystack) && IsAscii(needle)) {
    i = FindLast(haystack, needle, SameAscii(compare));
  } else {
    Decoded h = Decode(haystack);
    Decoded n = Decode(needle);
    i = FindLast(h.codes, n.codes, SameCodes(compare));
  }
  return i == std::string::npos ? 0 : i + 1;
}

std::string LTrim(std::string_view s) {
  const std::size_t i = s.find_first_not_of(' ');
  return i == std::string_view::npos ? "" : std::string(s.substr(i));
}

std::string RTrim(std::string_view s) {
  const std::size_t i = s.find_last_not_of(' ');
  return i == std::string_view::npos ? "" : std::string(s.substr(0, i + 1));
}

std::string Trim(std::string_view s) { return LTrim(RTrim(s)); }

std::string Replace(std::string_view s, std::string_view find, std::string_view with,
                    Compare compare) {
  if (find.empty()) return std::string(s);
  if (compare == Compare::Binary) {
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = s.find(find, pos)) != std::string_view::npos;
         pos = hit + find.size()) {
      out.append(s.substr(pos, hit - pos)).append(with);
    }
    out.append(s.substr(pos));
    return out;
  }
  if (IsAscii(s) && IsAscii(find)) {
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = AsciiFind(s, find, pos, compare)) != std::string::npos;
         pos = hit + find.size()) {
      out.append(s.substr(pos, hit - pos)).append(with);
    }
    out.append(s.substr(pos));
    return out;
  }
  Decoded h = Decode(s);
  Decoded f = Decode(find);
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; (hit = FindCodes(h.codes, f.codes, pos, compare)) != std::string::npos;
       pos = hit + f.codes.size()) {
    out.append(s.substr(h.offsets[pos], h.offsets[hit] - h.offsets[pos])).append(with);
  }
  out.append(s.substr(h.offsets[pos]));
  return out;
}

std::vector<std::string> Split(std::string_view s, std::string_view delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    pieces.emplace_back(s);
    return pieces;
  }
  std::size_t pos = 0;
  for (std::size_t hit; (hit = s.find(delimiter, pos)) != std::string_view::npos;
       pos = hit + delimiter.size()) {
    pieces.emplace_back(s.substr(pos, hit - pos));
  }
  pieces.emplace_back(s.substr(pos));
  return pieces;
}

std::string UCase(std::string_view s) {
  if (IsAscii(s)) {
    return MapAscii(s,
                    [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
  }
  return MapCodes(s, [](char32_t c) { return static_cast<char32_t>(u_toupper(c)); });
}

std::string LCase(std::string_view s) {
  if (IsAscii(s)) return MapAscii(s, AsciiFold);
  return MapCodes(s, [](char32_t c) { return static_cast<char32_t>(u_tolower(c)); });
}

std::string FoldCase(std::string_view s) {
  return IsAscii(s) ? MapAscii(s, AsciiFold) : MapCodes(s, Fold);
}

bool Equals(std::string_view a, std::string_view b, Compare compare) {
  if (compare == Compare::Binary || a == b) return a == b;
  if (IsAscii(a) && IsAscii(b)) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameAscii(compare));
  }
  Decoded x = Decode(a);
  Decoded y = Decode(b);
  if (x.codes.size() != y.codes.size()) return false;
  return std::equal(x.codes.begin(), x.codes.end(), y.codes.begin(),
                    [](char32_t p, char32_t q) { return CodesEqual(p, q, Compare::Text); });
}

bool StartsWith(std::string_view s, std::string_view prefix, Compare compare) {
  if (compare == Compare::Binary) return s.substr(0, prefix.size()) == prefix;
  return Equals(Left(s, Len(prefix)), prefix, compare);
}

}  // namespace core

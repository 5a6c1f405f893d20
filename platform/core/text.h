// Text rules shared by every module.
//
// Strings are UTF-8 std::string throughout. Positions, lengths and counts are
// in characters (Unicode code points), never bytes, and positions are 1-based
// with 0 meaning "not found", so that procedures written in terms of "the
// first N characters" or "the position of the first CR" carry over unchanged.
//
// Bytes that are not valid UTF-8 each count as one character and survive every
// operation unchanged, so no input is ever lost or rejected here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// Binary compares character codes; Text ignores case by Unicode simple case
// folding ("INBOX" = "inbox", "BOÎTE" = "boîte").
enum class Compare { Binary, Text };

// Number of characters in s.
std::size_t Len(std::string_view s);

// The first n characters (all of s when n >= Len(s)).
std::string Left(std::string_view s, std::size_t n);
// The last n characters.
std::string Right(std::string_view s, std::size_t n);
// From 1-based position start on, at most n characters. start 0 is treated as 1.
std::string Mid(std::string_view s, std::size_t start, std::size_t n = std::string::npos);

// 1-based position of the first occurrence of needle in haystack at or after
// position start, or 0. An empty needle is found at start (if start <= Len+1).
std::size_t InStr(std::string_view haystack, std::string_view needle,
                  Compare compare = Compare::Binary, std::size_t start = 1);
// 1-based position of the last occurrence of needle, or 0.
std::size_t InStrRev(std::string_view haystack, std::string_view needle,
                     Compare compare = Compare::Binary);

// Remove U+0020 only; tabs, line breaks and other blanks stay.
std::string Trim(std::string_view s);
std::string LTrim(std::string_view s);
std::string RTrim(std::string_view s);

// Every non-overlapping occurrence of find, scanning left to right, replaced.
// An empty find returns s unchanged.
std::string Replace(std::string_view s, std::string_view find, std::string_view with,
                    Compare compare = Compare::Binary);

// Pieces between every occurrence of delimiter (binary). Split("", d) gives
// one empty piece; an empty delimiter gives s whole.
std::vector<std::string> Split(std::string_view s, std::string_view delimiter);

// Full-string case mapping, character by character (simple mappings, so the
// length in characters never changes).
std::string UCase(std::string_view s);
std::string LCase(std::string_view s);

// Equality under the given comparison.
bool Equals(std::string_view a, std::string_view b, Compare compare);
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return Equals(a, b, Compare::Text);
}
// True when s begins with prefix under the given comparison.
bool StartsWith(std::string_view s, std::string_view prefix, Compare compare = Compare::Binary);

// The case-folded form of s, usable as a key for case-insensitive lookup.
std::string FoldCase(std::string_view s);

// The UTF-8 sequence that starts at byte i of s: its length in bytes, with
// its code point in *code; 0 when the byte there starts no valid sequence (a
// stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, a sequence cut short). The rule every character count here uses.
std::size_t Utf8SequenceAt(std::string_view s, std::size_t i, char32_t* code);

}  // namespace core

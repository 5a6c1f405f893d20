// LDAP search filters (RFC 4515 text form): what every backend receives.
//
// A backend that talks to a real server sends the text unchanged; a backend
// that holds its own data parses it here and evaluates it on each entry.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/entry.h"

namespace directory {

// Escapes an assertion value so that every character stands for itself:
// "*", "(", ")", "\" and NUL become "\2a", "\28", "\29", "\5c", "\00".
std::string EscapeFilterValue(std::string_view value);

// Appends c as "\" and two lower-case hexadecimal digits, the escape that
// filters and distinguished names share.
void AppendHexEscape(char c, std::string& out);

struct Filter {
  enum class Kind {
    kAnd,
    kOr,
    kNot,
    kEqual,
    kApprox,
    kGreaterOrEqual,
    kLessOrEqual,
    kPresent,
    kSubstring
  };
  Kind kind = Kind::kPresent;
  std::vector<Filter> children;  // and, or (any number); not (one)
  std::string attribute;
  std::string value;  // unescaped assertion value
  // Substring pieces: initial, any..., final; initial and final may be empty.
  std::vector<std::string> pieces;
};

// Parses filter text; error kFilterUnknown naming the offset of the fault.
Filter ParseFilter(std::string_view text);

// The text form of filter, which ParseFilter reads back to the same
// filter; values are escaped as EscapeFilterValue does.
std::string FilterText(const Filter& filter);

// True when entry satisfies filter. Values compare without regard to case;
// ordering compares integers as numbers. An "objectCategory" assertion that
// is a bare class name ("person") matches a category given by its
// distinguished name ("CN=Person,CN=Schema,...") as the directory resolves
// it.
bool Matches(const Filter& filter, const Entry& entry);

}  // namespace directory

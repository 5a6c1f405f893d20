// The directory's query dialect and its translation to an LDAP filter.
//
//   SELECT attr [, attr]... FROM 'path' [WHERE condition]
//          [ORDER BY attr [ASC|DESC] [, ...]]
//
// Keywords and attribute names are read without regard to case. A condition
// joins comparisons "attr op value" (op one of = <> != < <= > >=) with AND,
// OR, NOT and parentheses. A value is a quoted text ('' stands for one
// quote), an integer, or TRUE/FALSE. "attr='*'" asks for the attribute's
// presence (and "attr<>'*'" for its absence); any other "*" in a value is
// the character itself, so a value can never widen the search.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace directory {

struct SortKey {
  std::string attribute;
  bool descending = false;
};

struct Query {
  std::vector<std::string> columns;  // as written
  std::string source;                // the path between the quotes after FROM
  std::string filter;                // LDAP filter text; "(objectClass=*)" without WHERE
  std::vector<SortKey> order;
};

// Parses text; error kErrorsInCommand naming the character position of the
// fault for anything that is not a whole query of the dialect.
Query ParseQuery(std::string_view text);

}  // namespace directory

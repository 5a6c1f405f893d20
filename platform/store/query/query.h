// The mail store's query language.
//
// A query names the properties to return, the folders to search and an
// optional condition and sort order:
//
//   SELECT "DAV:displayname" FROM SCOPE('shallow traversal of "file://./x/Inbox"')
//     WHERE "DAV:ishidden" = true AND "DAV:displayname" LIKE 'Zen%'
//     ORDER BY "DAV:displayname" DESC
//
// Keywords ignore case; property names are double-quoted and case-sensitive
// (they are schema URIs); string literals are single-quoted with '' standing
// for one quote, and "" inside a quoted name or URL stands for one double
// quote. Event registrations carry a bare condition (" WHERE ..."), which
// ParseCriteria reads.
//
// Every syntax error throws core::RuntimeError with number
// core::err::kDbErrorsInCommand and a description of the form
// "Query syntax error at position N: expected X, found Y", where N is the
// 1-based character position in the text. No input makes the parser crash.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/variant.h"

namespace store::query {

// One folder to search. Shallow covers the folder's own items; Deep also
// covers every folder below it.
struct Scope {
  enum class Depth { Shallow, Deep };
  Depth depth = Depth::Deep;
  std::string url;
};

// A parsed condition. Immutable once built, so one tree may be shared and
// evaluated from several threads at once.
class Expr;

struct Query {
  std::vector<std::string> columns;   // in the order written; empty for "*"
  bool all_columns = false;           // SELECT *
  std::vector<Scope> scopes;          // at least one
  std::shared_ptr<const Expr> where;  // null when there is no WHERE clause
  // Sort keys in order of significance; second is true for DESC.
  std::vector<std::pair<std::string, bool>> order_by;
};

// Parses a whole statement:
//   SELECT ("prop" [, "prop"]... | *)
//   FROM (SCOPE('traversal' [, 'traversal']...) | "url")
//   [WHERE condition] [ORDER BY "prop" [ASC|DESC] [, ...]]
// A traversal is 'shallow traversal of "url"', 'deep traversal of "url"' or
// just '"url"' (deep). FROM "url" alone is a shallow traversal of url.
Query Parse(std::string_view text);

// Parses the criteria of an event registration: an optional WHERE keyword
// followed by a condition. Empty or blank text gives null, which matches
// every item.
std::shared_ptr<const Expr> ParseCriteria(std::string_view text);

// Gives the value of the named property of an item, or null when the item
// does not have it. The pointer need only stay valid until the next call.
using PropertyLookup = std::function<const core::Variant*(std::string_view name)>;

// True when the item whose properties lookup gives satisfies where; a null
// where matches everything.
//
// A comparison with a property that is absent, Empty or Null is unknown, and
// unknown is never true, not even under NOT. Strings compare without regard
// to case; numbers (Integer, Long, Double) compare by value; Booleans compare
// with TRUE and FALSE. Values of different kinds are never equal (so <> is
// true) and have no order (so <, <=, >, >= are unknown). LIKE ignores case;
// % stands for any run of characters (none included) and _ for exactly one;
// on a value that is not a string LIKE is unknown.
bool Matches(const Expr* where, const PropertyLookup& lookup);

// The string that property must equal (compared without regard to case) for
// where to hold, when where demands one plainly: a comparison "property =
// 'text'" on its own or among the operands of its top-level AND. Lets a
// caller look the candidates up instead of testing every item; the caller
// still evaluates where on them.
std::optional<std::string> RequiredEqual(const Expr* where, std::string_view property,
                                         bool (*same_name)(std::string_view, std::string_view));

// Orders two property values for ORDER BY: negative, zero or positive as a
// sorts before, with or after b in ascending order. Null pointers (absent),
// Empty and Null sort first, then Booleans (False before True), numbers by
// value (NaN first among them), and strings without regard to case. This is
// a strict weak order, so it is safe to use with std::sort.
int CompareValues(const core::Variant* a, const core::Variant* b);

}  // namespace store::query

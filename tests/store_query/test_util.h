// Helpers shared by the query tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <string_view>

#include "platform/core/error.h"
#include "platform/core/variant.h"
#include "platform/store/query/query.h"

namespace store::query::testing {

// An item's properties by exact name.
using Item = std::map<std::string, core::Variant, std::less<>>;

// Property names as MatchesItem finds them: exactly.
inline bool SameName(std::string_view a, std::string_view b) { return a == b; }

inline bool MatchesItem(const std::shared_ptr<const Expr>& where, const Item& item) {
  return Matches(where.get(), [&](std::string_view name) -> const core::Variant* {
    auto it = item.find(name);
    return it == item.end() ? nullptr : &it->second;
  });
}

// Condition text against an item.
inline bool Holds(std::string_view criteria, const Item& item) {
  return MatchesItem(ParseCriteria(criteria), item);
}

// The 1-based position a syntax error reports, or 0 when f did not throw
// the store's syntax error with a position.
template <typename F>
std::size_t ErrorPosition(F&& f, std::string* description = nullptr) {
  try {
    f();
  } catch (const core::RuntimeError& e) {
    if (description != nullptr) *description = e.Description();
    if (e.Number() != core::err::kDbErrorsInCommand) return 0;
    std::smatch m;
    static const std::regex kPosition(R"(^Query syntax error at position (\d+): .+)");
    if (!std::regex_match(e.Description(), m, kPosition)) return 0;
    return static_cast<std::size_t>(std::stoul(m[1]));
  }
  return 0;
}

}  // namespace store::query::testing

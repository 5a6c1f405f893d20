// The condition tree that the parser builds and the evaluator walks.
// Internal to the query library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/core/variant.h"
#include "platform/store/query/query.h"

namespace store::query {

// One element of a LIKE pattern, already case-folded.
struct LikePiece {
  enum class Kind { Char, AnyOne, AnyRun };
  Kind kind = Kind::Char;
  std::string ch;  // one character (UTF-8) for Kind::Char
};

class Expr {
 public:
  enum class Kind { And, Or, Not, Compare, IsNull, Like };
  enum class Op { Eq, Ne, Lt, Le, Gt, Ge };

  Kind kind = Kind::And;
  // And and Or hold two or more operands side by side rather than nesting,
  // so a long chain of conditions cannot make the tree deep. Not holds one.
  std::vector<std::unique_ptr<const Expr>> operands;

  // Compare, IsNull and Like: the property tested.
  std::string property;
  // Compare: "property op literal" (the parser turns "literal op property"
  // around). The literal is a String, Long, Double or Boolean.
  Op op = Op::Eq;
  core::Variant literal;
  // Compare with a String literal: the literal case-folded, made once.
  std::string folded;
  // IsNull: IS NOT NULL. Like: NOT LIKE.
  bool negated = false;
  // Like: the pattern, folded for comparison without regard to case.
  std::vector<LikePiece> pattern;
};

// Splits UTF-8 text into characters the way core::Len counts them: a valid
// sequence is one character, and every byte of an invalid one is one.
std::vector<std::string_view> SplitCharacters(std::string_view s);

// Compiles the text of a LIKE pattern.
std::vector<LikePiece> CompileLike(std::string_view pattern);

}  // namespace store::query

// Evaluation of conditions and ordering of values.

#include <cmath>

#include "platform/core/text.h"
#include "platform/store/query/expr.h"
#include "platform/store/query/query.h"

namespace store::query {
namespace {

// SQL's three truth values. Unknown comes from comparing with a missing or
// Null value and, like False, keeps an item out of the result.
enum class Truth { False, True, Unknown };

Truth Negate(Truth t) {
  if (t == Truth::Unknown) return t;
  return t == Truth::True ? Truth::False : Truth::True;
}

Truth FromBool(bool b) { return b ? Truth::True : Truth::False; }

// Kinds of value that compare with each other.
enum class Family { None, Boolean, Number, String };

Family FamilyOf(const core::Variant* v) {
  if (v == nullptr) return Family::None;
  switch (v->Type()) {
    case core::VarType::Boolean:
      return Family::Boolean;
    case core::VarType::Integer:
    case core::VarType::Long:
    case core::VarType::Double:
      return Family::Number;
    case core::VarType::String:
      return Family::String;
    default:
      return Family::None;  // Empty and Null
  }
}

int Sign(int c) { return (c > 0) - (c < 0); }

Truth Apply(Expr::Op op, int c) {
  switch (op) {
    case Expr::Op::Eq:
      return FromBool(c == 0);
    case Expr::Op::Ne:
      return FromBool(c != 0);
    case Expr::Op::Lt:
      return FromBool(c < 0);
    case Expr::Op::Le:
      return FromBool(c <= 0);
    case Expr::Op::Gt:
      return FromBool(c > 0);
    case Expr::Op::Ge:
      return FromBool(c >= 0);
  }
  return Truth::Unknown;
}

Truth EvalCompare(const Expr& e, const core::Variant* value) {
  const Family family = FamilyOf(value);
  if (family == Family::None) return Truth::Unknown;
  if (family != FamilyOf(&e.literal)) {
    // Different kinds are plainly unequal but have no order.
    if (e.op == Expr::Op::Eq) return Truth::False;
    if (e.op == Expr::Op::Ne) return Truth::True;
    return Truth::Unknown;
  }
  switch (family) {
    case Family::Boolean:
      return Apply(e.op, static_cast<int>(value->AsBool()) - static_cast<int>(e.literal.AsBool()));
    case Family::Number: {
      const double a = value->AsDouble();
      const double b = e.literal.AsDouble();
      if (std::isnan(a) || std::isnan(b)) return Truth::Unknown;
      return Apply(e.op, (a > b) - (a < b));
    }
    case Family::String:
      return Apply(e.op, Sign(core::FoldCase(value->AsString()).compare(e.folded)));
    case Family::None:
      break;
  }
  return Truth::Unknown;
}

// Matches characters against pieces, trying the last % seen at one more
// character whenever the rest fails; each % only ever moves forward, so the
// work is bounded by characters times pieces.
bool LikeMatches(const std::vector<std::string_view>& text, const std::vector<LikePiece>& pattern) {
  std::size_t t = 0, p = 0;
  std::size_t star_p = std::string::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p].kind == LikePiece::Kind::AnyRun) {
      star_p = p++;
      star_t = t;
    } else if (p < pattern.size() &&
               (pattern[p].kind == LikePiece::Kind::AnyOne || pattern[p].ch == text[t])) {
      ++p;
      ++t;
    } else if (star_p != std::string::npos) {
      p = star_p + 1;
      t = ++star_t;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p].kind == LikePiece::Kind::AnyRun) ++p;
  return p == pattern.size();
}

Truth Eval(const Expr& e, const PropertyLookup& lookup) {
  switch (e.kind) {
    case Expr::Kind::And: {
      Truth result = Truth::True;
      for (const auto& operand : e.operands) {
        const Truth t = Eval(*operand, lookup);
        if (t == Truth::False) return t;
        if (t == Truth::Unknown) result = t;
      }
      return result;
    }
    case Expr::Kind::Or: {
      Truth result = Truth::False;
      for (const auto& operand : e.operands) {
        const Truth t = Eval(*operand, lookup);
        if (t == Truth::True) return t;
        if (t == Truth::Unknown) result = t;
      }
      return result;
    }
    case Expr::Kind::Not:
      return Negate(Eval(*e.operands.front(), lookup));
    case Expr::Kind::Compare:
      return EvalCompare(e, lookup(e.property));
    case Expr::Kind::IsNull: {
      const bool is_null = FamilyOf(lookup(e.property)) == Family::None;
      return FromBool(is_null != e.negated);
    }
    case Expr::Kind::Like: {
      const core::Variant* value = lookup(e.property);
      if (FamilyOf(value) != Family::String) return Truth::Unknown;
      const std::string folded = core::FoldCase(value->AsString());
      const bool match = LikeMatches(SplitCharacters(folded), e.pattern);
      return FromBool(match != e.negated);
    }
  }
  return Truth::Unknown;
}

}  // namespace

std::vector<std::string_view> SplitCharacters(std::string_view s) {
  std::vector<std::string_view> out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t code;
    std::size_t len = core::Utf8SequenceAt(s, i, &code);
    if (len == 0) len = 1;
    out.push_back(s.substr(i, len));
    i += len;
  }
  return out;
}

std::vector<LikePiece> CompileLike(std::string_view pattern) {
  const std::string folded = core::FoldCase(pattern);
  std::vector<LikePiece> pieces;
  for (std::string_view ch : SplitCharacters(folded)) {
    LikePiece piece;
    if (ch == "%") {
      // Adjacent % mean the same as one.
      if (!pieces.empty() && pieces.back().kind == LikePiece::Kind::AnyRun) continue;
      piece.kind = LikePiece::Kind::AnyRun;
    } else if (ch == "_") {
      piece.kind = LikePiece::Kind::AnyOne;
    } else {
      piece.ch.assign(ch);
    }
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

bool Matches(const Expr* where, const PropertyLookup& lookup) {
  return where == nullptr || Eval(*where, lookup) == Truth::True;
}

std::optional<std::string> RequiredEqual(const Expr* where, std::string_view property,
                                         bool (*same_name)(std::string_view, std::string_view)) {
  if (!where) return std::nullopt;
  auto plain = [&](const Expr& e) {
    return e.kind == Expr::Kind::Compare && e.op == Expr::Op::Eq &&
           e.literal.Type() == core::VarType::String && same_name(e.property, property);
  };
  if (plain(*where)) return where->literal.AsString();
  if (where->kind != Expr::Kind::And) return std::nullopt;
  for (const auto& operand : where->operands) {
    if (plain(*operand)) return operand->literal.AsString();
  }
  return std::nullopt;
}

int CompareValues(const core::Variant* a, const core::Variant* b) {
  const Family fa = FamilyOf(a);
  const Family fb = FamilyOf(b);
  if (fa != fb) return static_cast<int>(fa) < static_cast<int>(fb) ? -1 : 1;
  switch (fa) {
    case Family::None:
      return 0;
    case Family::Boolean:
      return static_cast<int>(a->AsBool()) - static_cast<int>(b->AsBool());
    case Family::Number: {
      // NaN sorts before every other number so the order stays strict weak.
      const double x = a->AsDouble();
      const double y = b->AsDouble();
      const bool nx = std::isnan(x), ny = std::isnan(y);
      if (nx || ny) return static_cast<int>(ny) - static_cast<int>(nx);
      return (x > y) - (x < y);
    }
    case Family::String:
      return Sign(core::FoldCase(a->AsString()).compare(core::FoldCase(b->AsString())));
  }
  return 0;
}

}  // namespace store::query

// Recursive-descent parser for statements and criteria.
//
//   statement  := SELECT columns FROM source [WHERE or] [ORDER BY keys] end
//   columns    := '*' | name {',' name}
//   source     := SCOPE '(' string {',' string} ')' | name
//   keys       := name [ASC | DESC] {',' name [ASC | DESC]}
//   or         := and {OR and}
//   and        := not {AND not}
//   not        := NOT not | '(' or ')' | predicate
//   predicate  := name op literal | literal op name
//               | name IS [NOT] NULL | name [NOT] LIKE string

#include <charconv>
#include <cstdint>
#include <limits>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/query/expr.h"
#include "platform/store/query/lexer.h"
#include "platform/store/query/query.h"

namespace store::query {
namespace {

// Parentheses and NOT nest the grammar recursively; a cap keeps hostile
// input from exhausting the stack. Real conditions are a few levels deep.
constexpr int kMaxNesting = 200;

bool IsKeyword(const Token& t, std::string_view keyword) {
  if (t.kind != Token::Kind::Word || t.text.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    char c = t.text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != keyword[i]) return false;
  }
  return true;
}

// A token as an error message names it; long literals are cut short.
std::string Describe(const Token& t) {
  auto clip = [](const std::string& s) {
    return core::Len(s) > 40 ? core::Left(s, 40) + "..." : s;
  };
  switch (t.kind) {
    case Token::Kind::End:
      return "end of text";
    case Token::Kind::Name:
      return "name \"" + clip(t.text) + "\"";
    case Token::Kind::String:
      return "string '" + clip(t.text) + "'";
    case Token::Kind::Number:
      return "number " + clip(t.text);
    default:
      return "'" + clip(t.text) + "'";
  }
}

class Parser {
 public:
  explicit Parser(std::string_view text) : lex_(text) {}

  Query Statement() {
    Query q;
    ExpectKeyword("SELECT");
    Columns(&q);
    ExpectKeyword("FROM");
    Source(&q);
    std::string_view expected = "WHERE, ORDER BY or end of text";
    if (AcceptKeyword("WHERE")) {
      q.where = Condition();
      expected = "AND, OR, ORDER BY or end of text";
    }
    if (AcceptKeyword("ORDER")) {
      ExpectKeyword("BY");
      OrderBy(&q);
      expected = "',' or end of text";
    }
    if (lex_.Peek().kind != Token::Kind::End) Fail(lex_.Peek(), expected);
    return q;
  }

  std::shared_ptr<const Expr> Criteria() {
    if (lex_.Peek().kind == Token::Kind::End) return nullptr;
    AcceptKeyword("WHERE");
    std::shared_ptr<const Expr> where = Condition();
    if (lex_.Peek().kind != Token::Kind::End) {
      Fail(lex_.Peek(), "AND, OR or end of text");
    }
    return where;
  }

 private:
  [[noreturn]] void Fail(const Token& found, std::string_view expected) {
    ThrowSyntaxError(lex_.source(), found.offset,
                     "expected " + std::string(expected) + ", found " + Describe(found));
  }

  bool AcceptKeyword(std::string_view keyword) {
    if (!IsKeyword(lex_.Peek(), keyword)) return false;
    lex_.Next();
    return true;
  }

  void ExpectKeyword(std::string_view keyword) {
    if (!AcceptKeyword(keyword)) Fail(lex_.Peek(), keyword);
  }

  void Expect(Token::Kind kind, std::string_view what) {
    if (lex_.Peek().kind != kind) Fail(lex_.Peek(), what);
    lex_.Next();
  }

  // A property name; the empty name "" names nothing and is refused.
  std::string PropertyName(std::string_view what) {
    const Token& t = lex_.Peek();
    if (t.kind != Token::Kind::Name) Fail(t, what);
    if (t.text.empty()) ThrowSyntaxError(lex_.source(), t.offset, "empty property name");
    return lex_.Next().text;
  }

  void Columns(Query* q) {
    if (lex_.Peek().kind == Token::Kind::Star) {
      lex_.Next();
      q->all_columns = true;
      return;
    }
    q->columns.push_back(PropertyName("'*' or a property name in double quotes"));
    while (lex_.Peek().kind == Token::Kind::Comma) {
      lex_.Next();
      q->columns.push_back(PropertyName("a property name in double quotes"));
    }
  }

  void Source(Query* q) {
    const Token& t = lex_.Peek();
    if (t.kind == Token::Kind::Name) {
      if (t.text.empty()) ThrowSyntaxError(lex_.source(), t.offset, "empty URL");
      q->scopes.push_back(Scope{Scope::Depth::Shallow, lex_.Next().text});
      return;
    }
    if (!IsKeyword(t, "SCOPE")) Fail(t, "SCOPE or a URL in double quotes");
    lex_.Next();
    Expect(Token::Kind::LeftParen, "'('");
    for (;;) {
      if (lex_.Peek().kind != Token::Kind::String) {
        Fail(lex_.Peek(), "a traversal in single quotes");
      }
      q->scopes.push_back(Traversal(lex_.Next()));
      if (lex_.Peek().kind != Token::Kind::Comma) break;
      lex_.Next();
    }
    Expect(Token::Kind::RightParen, "',' or ')'");
  }

  // The content of one scope literal: [SHALLOW|DEEP TRAVERSAL OF] "url".
  // Errors point at the offending character inside the literal.
  Scope Traversal(const Token& literal) {
    const std::string& s = literal.text;
    auto fail = [&](std::size_t i, std::string_view message) {
      ThrowSyntaxError(lex_.source(), literal.source_offsets[i], message);
    };
    auto blank = [&](std::size_t i) {
      return i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n');
    };
    auto letter = [&](std::size_t i) {
      return i < s.size() && ((s[i] >= 'a' && s[i] <= 'z') || (s[i] >= 'A' && s[i] <= 'Z'));
    };
    std::size_t i = 0;
    auto skip_blanks = [&] {
      while (blank(i)) ++i;
    };
    auto word = [&] {
      const std::size_t start = i;
      while (letter(i)) ++i;
      return core::UCase(std::string_view(s).substr(start, i - start));
    };
    // Requires the word `expected` followed by at least one blank.
    auto expect_word = [&](std::string_view expected) {
      const std::size_t start = i;
      if (word() != expected) {
        fail(start, "expected " + std::string(expected) + " in the traversal");
      }
      if (!blank(i)) fail(i, "expected a blank after " + std::string(expected));
      skip_blanks();
    };

    Scope scope;
    skip_blanks();
    if (i >= s.size() || s[i] != '"') {
      const std::size_t start = i;
      const std::string depth = word();
      if (depth == "SHALLOW") {
        scope.depth = Scope::Depth::Shallow;
      } else if (depth == "DEEP") {
        scope.depth = Scope::Depth::Deep;
      } else {
        fail(start, depth.empty()
                        ? "expected SHALLOW TRAVERSAL OF, DEEP TRAVERSAL OF or a URL in "
                          "double quotes"
                        : "unknown traversal '" + core::Left(s.substr(start, i - start), 40) +
                              "', expected SHALLOW or DEEP");
      }
      if (!blank(i)) fail(i, "expected a blank after " + depth);
      skip_blanks();
      expect_word("TRAVERSAL");
      const std::size_t of = i;
      if (word() != "OF") fail(of, "expected OF in the traversal");
      skip_blanks();
      if (i >= s.size() || s[i] != '"') fail(i, "expected a URL in double quotes");
    }

    const std::size_t open = i++;
    for (;;) {
      if (i >= s.size()) fail(open, "URL in the traversal is not terminated (missing closing \")");
      if (s[i] == '"') {
        if (i + 1 < s.size() && s[i + 1] == '"') {
          scope.url.push_back('"');
          i += 2;
          continue;
        }
        ++i;
        break;
      }
      scope.url.push_back(s[i++]);
    }
    if (scope.url.empty()) fail(open, "empty URL");
    skip_blanks();
    if (i < s.size()) fail(i, "unexpected text after the URL in the traversal");
    return scope;
  }

  void OrderBy(Query* q) {
    for (;;) {
      std::string name = PropertyName("a property name in double quotes");
      bool descending = false;
      if (AcceptKeyword("DESC")) {
        descending = true;
      } else {
        AcceptKeyword("ASC");
      }
      q->order_by.emplace_back(std::move(name), descending);
      if (lex_.Peek().kind != Token::Kind::Comma) break;
      lex_.Next();
    }
  }

  std::shared_ptr<const Expr> Condition() { return Or(0); }

  std::unique_ptr<Expr> Or(int depth) {
    std::unique_ptr<Expr> first = And(depth);
    if (!IsKeyword(lex_.Peek(), "OR")) return first;
    auto node = std::make_unique<Expr>();
    node->kind = Expr::Kind::Or;
    node->operands.push_back(std::move(first));
    while (AcceptKeyword("OR")) node->operands.push_back(And(depth));
    return node;
  }

  std::unique_ptr<Expr> And(int depth) {
    std::unique_ptr<Expr> first = Not(depth);
    if (!IsKeyword(lex_.Peek(), "AND")) return first;
    auto node = std::make_unique<Expr>();
    node->kind = Expr::Kind::And;
    node->operands.push_back(std::move(first));
    while (AcceptKeyword("AND")) node->operands.push_back(Not(depth));
    return node;
  }

  std::unique_ptr<Expr> Not(int depth) {
    const Token& t = lex_.Peek();
    const bool is_not = IsKeyword(t, "NOT");
    if (is_not || t.kind == Token::Kind::LeftParen) {
      if (depth >= kMaxNesting)
        ThrowSyntaxError(lex_.source(), t.offset, "condition nested too deeply");
      lex_.Next();
      if (is_not) {
        auto node = std::make_unique<Expr>();
        node->kind = Expr::Kind::Not;
        node->operands.push_back(Not(depth + 1));
        return node;
      }
      std::unique_ptr<Expr> inner = Or(depth + 1);
      Expect(Token::Kind::RightParen, "AND, OR or ')'");
      return inner;
    }
    return Predicate();
  }

  static bool IsLiteral(const Token& t) {
    return t.kind == Token::Kind::String || t.kind == Token::Kind::Number || IsKeyword(t, "TRUE") ||
           IsKeyword(t, "FALSE") || IsKeyword(t, "NULL");
  }

  core::Variant Literal(const Token& t) {
    if (IsKeyword(t, "NULL")) {
      ThrowSyntaxError(lex_.source(), t.offset,
                       "NULL cannot be compared, use IS NULL or IS NOT NULL");
    }
    if (IsKeyword(t, "TRUE")) return core::Variant(true);
    if (IsKeyword(t, "FALSE")) return core::Variant(false);
    if (t.kind == Token::Kind::String) return core::Variant(t.text);
    // Number: whole numbers that fit are Long, everything else Double.
    const char* first = t.text.data();
    const char* last = first + t.text.size();
    if (t.text.find('.') == std::string::npos) {
      std::int64_t n = 0;
      const auto r = std::from_chars(first, last, n);
      if (r.ec == std::errc() && r.ptr == last && n >= std::numeric_limits<std::int32_t>::min() &&
          n <= std::numeric_limits<std::int32_t>::max()) {
        return core::Variant(static_cast<std::int32_t>(n));
      }
    }
    double d = 0;
    const auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last) {
      ThrowSyntaxError(lex_.source(), t.offset, "number out of range");
    }
    return core::Variant(d);
  }

  static Expr::Op Mirror(Expr::Op op) {
    switch (op) {
      case Expr::Op::Lt:
        return Expr::Op::Gt;
      case Expr::Op::Le:
        return Expr::Op::Ge;
      case Expr::Op::Gt:
        return Expr::Op::Lt;
      case Expr::Op::Ge:
        return Expr::Op::Le;
      default:
        return op;
    }
  }

  static Expr::Op OpOf(const Token& t) {
    if (t.text == "=") return Expr::Op::Eq;
    if (t.text == "<>" || t.text == "!=") return Expr::Op::Ne;
    if (t.text == "<") return Expr::Op::Lt;
    if (t.text == "<=") return Expr::Op::Le;
    if (t.text == ">") return Expr::Op::Gt;
    return Expr::Op::Ge;
  }

  void SetLiteral(Expr* node, core::Variant literal) {
    if (literal.Type() == core::VarType::String) node->folded = core::FoldCase(literal.AsString());
    node->literal = std::move(literal);
  }

  std::unique_ptr<Expr> Predicate() {
    auto node = std::make_unique<Expr>();
    const Token& first = lex_.Peek();

    if (IsLiteral(first)) {
      // literal op name: stored the other way round.
      const Token literal = lex_.Next();
      if (lex_.Peek().kind != Token::Kind::Op) Fail(lex_.Peek(), "a comparison operator");
      const Expr::Op op = OpOf(lex_.Next());
      node->kind = Expr::Kind::Compare;
      SetLiteral(node.get(), Literal(literal));
      node->op = Mirror(op);
      node->property = PropertyName("a property name in double quotes");
      return node;
    }

    node->property = PropertyName("a condition");
    const Token& next = lex_.Peek();
    if (next.kind == Token::Kind::Op) {
      node->kind = Expr::Kind::Compare;
      node->op = OpOf(lex_.Next());
      if (!IsLiteral(lex_.Peek())) Fail(lex_.Peek(), "a string, number, TRUE or FALSE");
      SetLiteral(node.get(), Literal(lex_.Next()));
      return node;
    }
    if (AcceptKeyword("IS")) {
      node->kind = Expr::Kind::IsNull;
      node->negated = AcceptKeyword("NOT");
      ExpectKeyword("NULL");
      return node;
    }
    node->negated = AcceptKeyword("NOT");
    if (!AcceptKeyword("LIKE")) {
      Fail(lex_.Peek(), node->negated ? "LIKE" : "a comparison operator, IS or LIKE");
    }
    if (lex_.Peek().kind != Token::Kind::String) Fail(lex_.Peek(), "a pattern in single quotes");
    node->kind = Expr::Kind::Like;
    node->pattern = CompileLike(lex_.Next().text);
    return node;
  }

  Lexer lex_;
};

}  // namespace

Query Parse(std::string_view text) { return Parser(text).Statement(); }

std::shared_ptr<const Expr> ParseCriteria(std::string_view text) { return Parser(text).Criteria(); }

}  // namespace store::query

#include "platform/directory/query.h"

#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/filter.h"

namespace directory {
namespace {

// Parentheses and NOT nest the grammar recursively; a cap keeps hostile
// text from exhausting the stack. Real conditions are a few levels deep.
constexpr int kMaxNesting = 200;

struct Token {
  enum class Kind { kEnd, kName, kString, kNumber, kSymbol };
  Kind kind = Kind::kEnd;
  std::string text;        // name, unquoted string, number, or the symbol
  std::size_t offset = 0;  // byte offset of its first character
};

// A token as a message quotes it: long ones are cut short.
std::string Quoted(std::string_view text) { return "\"" + Excerpt(text, 40) + "\""; }

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) { Advance(); }

  Query Parse() {
    Query q;
    ExpectKeyword("SELECT");
    if (tok_.kind == Token::Kind::kSymbol && tok_.text == "*") {
      Fail("name the attributes to read; \"*\" is not accepted");
    }
    q.columns.push_back(ExpectName("an attribute name"));
    while (IsSymbol(",")) {
      Advance();
      q.columns.push_back(ExpectName("an attribute name"));
    }
    ExpectKeyword("FROM");
    if (tok_.kind != Token::Kind::kString) Fail("expected the quoted search path after FROM");
    q.source = tok_.text;
    Advance();
    q.filter = "(objectClass=*)";
    if (IsKeyword("WHERE")) {
      Advance();
      q.filter = ParseOr();
    }
    if (IsKeyword("ORDER")) {
      Advance();
      ExpectKeyword("BY");
      while (true) {
        SortKey key;
        key.attribute = ExpectName("an attribute name");
        if (IsKeyword("ASC")) {
          Advance();
        } else if (IsKeyword("DESC")) {
          key.descending = true;
          Advance();
        }
        q.order.push_back(std::move(key));
        if (!IsSymbol(",")) break;
        Advance();
      }
    }
    if (tok_.kind != Token::Kind::kEnd) Fail("unexpected " + Quoted(tok_.text));
    return q;
  }

 private:
  [[noreturn]] void Fail(std::string_view what) { FailAt(tok_.offset, what); }
  // The position is counted in characters once, here, so that reading stays
  // linear in the length of the text.
  [[noreturn]] void FailAt(std::size_t offset, std::string_view what) {
    Raise(err::kErrorsInCommand, "Query at position " +
                                     std::to_string(core::Len(s_.substr(0, offset)) + 1) + ": " +
                                     std::string(what));
  }

  void Advance() {
    while (i_ < s_.size() &&
           (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) {
      ++i_;
    }
    tok_ = Token{};
    tok_.offset = i_;
    if (i_ >= s_.size()) return;
    char c = s_[i_];
    if (IsNameStart(c)) {
      std::size_t start = i_;
      while (i_ < s_.size() && IsNameChar(s_[i_])) ++i_;
      tok_.kind = Token::Kind::kName;
      tok_.text = std::string(s_.substr(start, i_ - start));
    } else if (IsDigit(c) || (c == '-' && i_ + 1 < s_.size() && IsDigit(s_[i_ + 1]))) {
      std::size_t start = i_++;
      while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
      tok_.kind = Token::Kind::kNumber;
      tok_.text = std::string(s_.substr(start, i_ - start));
      if (i_ < s_.size() && IsNameChar(s_[i_])) Fail("malformed number");
    } else if (c == '\'') {
      ++i_;
      tok_.kind = Token::Kind::kString;
      while (true) {
        if (i_ >= s_.size()) Fail("text in quotes is not closed");
        if (s_[i_] == '\'') {
          if (i_ + 1 < s_.size() && s_[i_ + 1] == '\'') {
            tok_.text += '\'';
            i_ += 2;
            continue;
          }
          ++i_;
          break;
        }
        tok_.text += s_[i_++];
      }
    } else {
      static const char* kTwo[] = {"<>", "!=", "<=", ">="};
      tok_.kind = Token::Kind::kSymbol;
      for (const char* two : kTwo) {
        if (s_.substr(i_, 2) == two) {
          tok_.text = two;
          i_ += 2;
          return;
        }
      }
      if (std::string_view(",()=<>*").find(c) == std::string_view::npos) {
        Fail("unexpected character " + Quoted(core::Left(s_.substr(i_, 4), 1)));
      }
      tok_.text = std::string(1, c);
      ++i_;
    }
  }

  bool IsKeyword(std::string_view k) const {
    return tok_.kind == Token::Kind::kName && core::EqualsNoCase(tok_.text, k);
  }
  bool IsSymbol(std::string_view sym) const {
    return tok_.kind == Token::Kind::kSymbol && tok_.text == sym;
  }
  void ExpectKeyword(std::string_view k) {
    if (!IsKeyword(k)) Fail("expected " + std::string(k));
    Advance();
  }
  void ExpectSymbol(std::string_view sym) {
    if (!IsSymbol(sym)) Fail("expected \"" + std::string(sym) + "\"");
    Advance();
  }
  std::string ExpectName(std::string_view what) {
    static const char* kReserved[] = {"SELECT", "FROM", "WHERE", "ORDER", "BY",
                                      "AND",    "OR",   "NOT",   "ASC",   "DESC"};
    if (tok_.kind != Token::Kind::kName) Fail("expected " + std::string(what));
    for (const char* r : kReserved) {
      if (core::EqualsNoCase(tok_.text, r)) Fail("expected " + std::string(what));
    }
    std::string name = tok_.text;
    Advance();
    return name;
  }

  // Each returns the LDAP filter of what it read.
  std::string ParseOr() {
    std::vector<std::string> parts{ParseAnd()};
    while (IsKeyword("OR")) {
      Advance();
      parts.push_back(ParseAnd());
    }
    return Join('|', parts);
  }
  std::string ParseAnd() {
    std::vector<std::string> parts{ParseNot()};
    while (IsKeyword("AND")) {
      Advance();
      parts.push_back(ParseNot());
    }
    return Join('&', parts);
  }
  std::string ParseNot() {
    const bool is_not = IsKeyword("NOT");
    if (is_not || IsSymbol("(")) {
      if (depth_ >= kMaxNesting) {
        Fail("conditions nested deeper than " + std::to_string(kMaxNesting) + " levels");
      }
      Advance();
      ++depth_;
      std::string inner = is_not ? "(!" + ParseNot() + ")" : ParseOr();
      --depth_;
      if (!is_not) ExpectSymbol(")");
      return inner;
    }
    return ParseComparison();
  }
  static std::string Join(char op, const std::vector<std::string>& parts) {
    if (parts.size() == 1) return parts[0];
    std::string out = "(";
    out += op;
    for (const std::string& p : parts) out += p;
    return out + ")";
  }

  std::string ParseComparison() {
    std::string attr = ExpectName("an attribute name");
    if (tok_.kind != Token::Kind::kSymbol) Fail("expected a comparison after " + Quoted(attr));
    std::string op = tok_.text;
    if (op != "=" && op != "<>" && op != "!=" && op != "<" && op != "<=" && op != ">" &&
        op != ">=") {
      Fail("expected a comparison after " + Quoted(attr));
    }
    Advance();
    bool presence = false;
    std::string value;
    if (tok_.kind == Token::Kind::kString) {
      presence = tok_.text == "*";
      value = tok_.text;
    } else if (tok_.kind == Token::Kind::kNumber) {
      value = tok_.text;
    } else if (IsKeyword("TRUE") || IsKeyword("FALSE")) {
      value = core::UCase(tok_.text);
    } else {
      Fail("expected a value in quotes, a number, TRUE or FALSE");
    }
    Advance();
    std::string v = EscapeFilterValue(value);
    if (op == "=" || op == "<>" || op == "!=") {
      std::string eq = "(" + attr + "=" + (presence ? std::string("*") : v) + ")";
      return op == "=" ? eq : "(!" + eq + ")";
    }
    if (presence) Fail("\"*\" asks for presence and cannot be ordered");
    if (op == "<=") return "(" + attr + "<=" + v + ")";
    if (op == ">=") return "(" + attr + ">=" + v + ")";
    // Strict order: the inclusive one without equality.
    std::string incl = "(" + attr + (op == "<" ? "<=" : ">=") + v + ")";
    return "(&" + incl + "(!(" + attr + "=" + v + ")))";
  }

  std::string_view s_;
  std::size_t i_ = 0;
  Token tok_;
  int depth_ = 0;  // NOTs and parentheses open around the current token
};

}  // namespace

Query ParseQuery(std::string_view text) { return Parser(text).Parse(); }

}  // namespace directory

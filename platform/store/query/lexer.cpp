#include "platform/store/query/lexer.h"

#include <cstdio>

#include "platform/core/error.h"
#include "platform/core/text.h"

namespace store::query {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWordStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsWordChar(char c) { return IsWordStart(c) || IsDigit(c); }

// How an unexpected character reads in a message: printable ASCII as itself,
// anything else by its byte value, since it may not display at all.
std::string DescribeChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  char buf[32];
  if (b >= 0x21 && b < 0x7F) {
    std::snprintf(buf, sizeof buf, "character '%c'", c);
  } else {
    std::snprintf(buf, sizeof buf, "byte 0x%02X", b);
  }
  return buf;
}

}  // namespace

void ThrowSyntaxError(std::string_view source, std::size_t offset, std::string_view message) {
  if (offset > source.size()) offset = source.size();
  const std::size_t position = core::Len(source.substr(0, offset)) + 1;
  throw core::RuntimeError(
      core::err::kDbErrorsInCommand,
      "Query syntax error at position " + std::to_string(position) + ": " + std::string(message));
}

const Token& Lexer::Peek() {
  if (!has_peeked_) {
    peeked_ = Scan();
    has_peeked_ = true;
  }
  return peeked_;
}

Token Lexer::Next() {
  if (has_peeked_) {
    has_peeked_ = false;
    return std::move(peeked_);
  }
  return Scan();
}

Token Lexer::Scan() {
  const std::string_view s = source_;
  while (pos_ < s.size() && IsBlank(s[pos_])) ++pos_;

  Token t;
  t.offset = pos_;
  if (pos_ >= s.size()) return t;  // End

  const char c = s[pos_];

  // Quoted names and string literals: the closing quote doubled stands for
  // itself, so the literal ends at the first quote not followed by another.
  if (c == '"' || c == '\'') {
    t.kind = c == '"' ? Token::Kind::Name : Token::Kind::String;
    std::size_t i = pos_ + 1;
    for (;;) {
      if (i >= s.size()) {
        ThrowSyntaxError(s, pos_,
                         c == '"' ? "quoted name is not terminated (missing closing \")"
                                  : "string is not terminated (missing closing ')");
      }
      if (s[i] == c) {
        if (i + 1 < s.size() && s[i + 1] == c) {
          t.text.push_back(c);
          if (t.kind == Token::Kind::String) t.source_offsets.push_back(i);
          i += 2;
          continue;
        }
        break;
      }
      t.text.push_back(s[i]);
      if (t.kind == Token::Kind::String) t.source_offsets.push_back(i);
      ++i;
    }
    if (t.kind == Token::Kind::String) t.source_offsets.push_back(i);
    pos_ = i + 1;
    return t;
  }

  // Numbers: digits with an optional fraction, optionally negative.
  {
    std::size_t i = pos_;
    if (s[i] == '-') ++i;
    const bool starts_number =
        i < s.size() && (IsDigit(s[i]) || (s[i] == '.' && i + 1 < s.size() && IsDigit(s[i + 1])));
    if (starts_number) {
      while (i < s.size() && IsDigit(s[i])) ++i;
      if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) ++i;
      }
      if (i < s.size() && (IsWordChar(s[i]) || s[i] == '.')) {
        ThrowSyntaxError(s, pos_, "malformed number");
      }
      t.kind = Token::Kind::Number;
      t.text.assign(s.substr(pos_, i - pos_));
      pos_ = i;
      return t;
    }
  }

  if (IsWordStart(c)) {
    std::size_t i = pos_;
    while (i < s.size() && IsWordChar(s[i])) ++i;
    t.kind = Token::Kind::Word;
    t.text.assign(s.substr(pos_, i - pos_));
    pos_ = i;
    return t;
  }

  auto single = [&](Token::Kind kind) {
    t.kind = kind;
    t.text.assign(1, c);
    ++pos_;
    return t;
  };
  switch (c) {
    case ',':
      return single(Token::Kind::Comma);
    case '(':
      return single(Token::Kind::LeftParen);
    case ')':
      return single(Token::Kind::RightParen);
    case '*':
      return single(Token::Kind::Star);
    case '=':
      return single(Token::Kind::Op);
    case '<':
    case '>':
    case '!': {
      const char next = pos_ + 1 < s.size() ? s[pos_ + 1] : '\0';
      t.kind = Token::Kind::Op;
      if (next == '=' || (c == '<' && next == '>')) {
        t.text.assign(s.substr(pos_, 2));
        pos_ += 2;
        return t;
      }
      if (c == '!') break;
      return single(Token::Kind::Op);
    }
    default:
      break;
  }
  ThrowSyntaxError(s, pos_, "unexpected " + DescribeChar(c));
}

}  // namespace store::query

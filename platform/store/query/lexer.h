// Splits query text into tokens. Internal to the query library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace store::query {

struct Token {
  enum class Kind {
    End,     // past the last token
    Word,    // a bare word, keyword or not, as written
    Name,    // "quoted name"; text holds it without quotes, "" undone
    String,  // 'string literal'; text holds it without quotes, '' undone
    Number,  // text holds the literal as written, sign included
    Op,      // = <> != < > <= >=; text holds it
    Comma,
    LeftParen,
    RightParen,
    Star,
  };
  Kind kind = Kind::End;
  std::string text;
  std::size_t offset = 0;  // byte offset of the first character in the source
  // String only: for each byte of text, the byte offset in the source it came
  // from, plus one last entry for the closing quote. Lets errors inside a
  // literal (a malformed scope) point into the source.
  std::vector<std::size_t> source_offsets;
};

class Lexer {
 public:
  explicit Lexer(std::string_view source) : source_(source) {}

  // The next token without consuming it.
  const Token& Peek();
  // The next token, consumed.
  Token Next();

  std::string_view source() const { return source_; }

 private:
  Token Scan();

  std::string_view source_;
  std::size_t pos_ = 0;
  bool has_peeked_ = false;
  Token peeked_;
};

// Throws the syntax error: core::RuntimeError(kDbErrorsInCommand,
// "Query syntax error at position N: " + message), where N is the 1-based
// character position of byte offset within source.
[[noreturn]] void ThrowSyntaxError(std::string_view source, std::size_t offset,
                                   std::string_view message);

}  // namespace store::query

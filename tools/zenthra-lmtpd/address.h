// Mail addresses as LMTP clients give them in MAIL FROM and RCPT TO.
//
// A path is "<" [source route ":"] mailbox ">", or "<>" for the null sender;
// a source route is read and dropped. The mailbox is local-part "@" domain,
// the local part a dot-string or a quoted string, the domain host names or
// an address literal in brackets. Only ASCII is accepted (the service does
// not offer SMTPUTF8), and no control characters, so an address can be put
// into a header or a log line without changing what those say.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lmtp {

inline constexpr std::size_t kMaxPathLength = 256;

struct Address {
  std::string local;   // unquoted: "a b" for "\"a b\"@x"
  std::string domain;  // as written; empty only for <postmaster>

  // The mailbox in its SMTP form, the local part quoted when it must be.
  std::string Text() const;
};

struct Path {
  bool null = false;  // "<>"
  Address address;
};

// Parses a path at the start of text. On success sets *consumed to the
// number of bytes read (through ">") and returns the path; otherwise sets
// *error to what is wrong and returns nothing. allow_postmaster admits
// "<postmaster>" without a domain (RCPT TO); allow_null admits "<>".
std::optional<Path> ParsePath(std::string_view text, bool allow_null, bool allow_postmaster,
                              std::size_t* consumed, std::string* error);

// True when text is a domain name or an address literal, as LHLO takes.
bool IsDomainOrLiteral(std::string_view text);

}  // namespace lmtp

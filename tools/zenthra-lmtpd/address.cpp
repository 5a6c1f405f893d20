#include "tools/zenthra-lmtpd/address.h"

namespace lmtp {

namespace {

bool IsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsAtext(char c) {
  if (IsAlnum(c)) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '/':
    case '=':
    case '?':
    case '^':
    case '_':
    case '`':
    case '{':
    case '|':
    case '}':
    case '~':
      return true;
    default:
      return false;
  }
}

// qtextSMTP: printable ASCII but '"' and '\'.
bool IsQtext(char c) { return c >= 32 && c <= 126 && c != '"' && c != '\\'; }

// A dot-string ("a.b.c") at the start of text; its length, 0 when none.
std::size_t DotString(std::string_view text) {
  std::size_t i = 0;
  for (;;) {
    std::size_t atom = i;
    while (i < text.size() && IsAtext(text[i])) ++i;
    if (i == atom) return 0;  // empty atom: leading, trailing or double dot
    if (i < text.size() && text[i] == '.') {
      ++i;
      continue;
    }
    return i;
  }
}

// A domain ("mail.example.com") at the start of text; its length, 0 when none.
// Labels are letters, digits and inner hyphens (underscores are tolerated,
// as real host names carry them).
std::size_t DomainName(std::string_view text) {
  std::size_t i = 0;
  for (;;) {
    std::size_t label = i;
    while (i < text.size() && (IsAlnum(text[i]) || text[i] == '-' || text[i] == '_')) ++i;
    if (i == label || text[label] == '-' || text[i - 1] == '-') return 0;
    if (i + 1 < text.size() && text[i] == '.' && (IsAlnum(text[i + 1]) || text[i + 1] == '_')) {
      ++i;
      continue;
    }
    return i;
  }
}

// "[...]" with printable ASCII but "[", "]" and "\" inside; its length, 0
// when none.
std::size_t AddressLiteral(std::string_view text) {
  if (text.empty() || text[0] != '[') return 0;
  std::size_t i = 1;
  while (i < text.size() && text[i] >= 33 && text[i] <= 126 && text[i] != '[' && text[i] != ']' &&
         text[i] != '\\') {
    ++i;
  }
  if (i == 1 || i >= text.size() || text[i] != ']') return 0;
  return i + 1;
}

std::size_t Domain(std::string_view text) {
  std::size_t n = AddressLiteral(text);
  return n ? n : DomainName(text);
}

// The position of the ">" that closes a path, skipping quoted text (a
// quoted local part may hold ">"); npos when there is none.
std::size_t ClosingBracket(std::string_view text) {
  bool quoted = false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && text[i] == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string Address::Text() const {
  std::string out;
  if (!local.empty() && DotString(local) == local.size()) {
    out = local;
  } else {
    out = "\"";
    for (char c : local) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  if (!domain.empty()) out += "@" + domain;
  return out;
}

std::optional<Path> ParsePath(std::string_view text, bool allow_null, bool allow_postmaster,
                              std::size_t* consumed, std::string* error) {
  auto fail = [&](const char* why) -> std::optional<Path> {
    *error = why;
    return std::nullopt;
  };
  if (text.empty() || text[0] != '<') return fail("the address must be enclosed in <>");
  std::size_t close = ClosingBracket(text);
  if (close == std::string_view::npos) return fail("the address lacks its closing >");
  if (close + 1 > kMaxPathLength) return fail("the address is too long");
  std::string_view inner = text.substr(1, close - 1);
  *consumed = close + 1;
  Path path;
  if (inner.empty()) {
    if (!allow_null) return fail("an empty address is not allowed here");
    path.null = true;
    return path;
  }
  if (allow_postmaster && EqualsNoCaseAscii(inner, "postmaster")) {
    path.address.local = std::string(inner);
    return path;
  }
  // A source route ("@a,@b:") is obsolete; it is read and dropped.
  if (inner[0] == '@') {
    std::size_t i = 0;
    for (;;) {
      if (i >= inner.size() || inner[i] != '@') return fail("bad source route");
      std::size_t n = Domain(inner.substr(i + 1));
      if (n == 0) return fail("bad source route");
      i += 1 + n;
      if (i < inner.size() && inner[i] == ',') {
        ++i;
        continue;
      }
      if (i < inner.size() && inner[i] == ':') {
        inner.remove_prefix(i + 1);
        break;
      }
      return fail("bad source route");
    }
  }
  // Local part.
  std::size_t i = 0;
  if (!inner.empty() && inner[0] == '"') {
    i = 1;
    for (;;) {
      if (i >= inner.size()) return fail("unterminated quoted local part");
      char c = inner[i];
      if (c == '"') break;
      if (c == '\\') {
        if (i + 1 >= inner.size() || inner[i + 1] < 32 || inner[i + 1] > 126) {
          return fail("bad quoted character in the local part");
        }
        path.address.local += inner[i + 1];
        i += 2;
        continue;
      }
      if (!IsQtext(c)) return fail("bad character in the local part");
      path.address.local += c;
      ++i;
    }
    ++i;  // the closing quote
  } else {
    i = DotString(inner);
    if (i == 0) return fail("bad local part");
    path.address.local = std::string(inner.substr(0, i));
  }
  if (i >= inner.size() || inner[i] != '@') return fail("the address lacks @domain");
  std::string_view domain = inner.substr(i + 1);
  if (domain.empty() || Domain(domain) != domain.size()) return fail("bad domain");
  path.address.domain = std::string(domain);
  return path;
}

bool IsDomainOrLiteral(std::string_view text) {
  return !text.empty() && text.size() <= 255 && Domain(text) == text.size();
}

}  // namespace lmtp

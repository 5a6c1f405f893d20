#include "platform/directory/filter.h"

#include <charconv>

#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/path.h"

namespace directory {

void AppendHexEscape(char c, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char u = static_cast<unsigned char>(c);
  out += '\\';
  out += kHex[u >> 4];
  out += kHex[u & 0xF];
}

std::string EscapeFilterValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      AppendHexEscape(c, out);
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

// "&", "|" and "!" nest the grammar recursively; a cap keeps hostile text
// from exhausting the stack (and the evaluation that follows it).
constexpr int kMaxNesting = 200;

class FilterParser {
 public:
  explicit FilterParser(std::string_view text) : s_(text) {}

  Filter ParseWhole() {
    Filter f = ParseOne();
    if (i_ != s_.size()) Fail("text after the end of the filter");
    return f;
  }

 private:
  [[noreturn]] void Fail(std::string_view what) {
    Raise(err::kFilterUnknown,
          "(" + Excerpt(s_) + ") at offset " + std::to_string(i_ + 1) + ": " + std::string(what));
  }

  void Expect(char c) {
    if (i_ >= s_.size() || s_[i_] != c) Fail(std::string("expected \"") + c + "\"");
    ++i_;
  }

  Filter ParseOne() {
    Expect('(');
    Filter f;
    if (i_ >= s_.size()) Fail("unexpected end");
    char c = s_[i_];
    if (c == '&' || c == '|' || c == '!') {
      if (depth_ >= kMaxNesting) {
        Fail("filters nested deeper than " + std::to_string(kMaxNesting) + " levels");
      }
      ++i_;
      ++depth_;
      if (c == '!') {
        f.kind = Filter::Kind::kNot;
        f.children.push_back(ParseOne());
      } else {
        f.kind = c == '&' ? Filter::Kind::kAnd : Filter::Kind::kOr;
        while (i_ < s_.size() && s_[i_] == '(') f.children.push_back(ParseOne());
      }
      --depth_;
    } else {
      ParseItem(f);
    }
    Expect(')');
    return f;
  }

  void ParseItem(Filter& f) {
    std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] != '=' && s_[i_] != '~' && s_[i_] != '<' && s_[i_] != '>' &&
           s_[i_] != '(' && s_[i_] != ')' && s_[i_] != ':') {
      ++i_;
    }
    f.attribute = std::string(s_.substr(start, i_ - start));
    if (f.attribute.empty()) Fail("expected an attribute name");
    for (char c : f.attribute) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == ';' || c == '.' || c == '_';
      if (!ok) Fail("\"" + Excerpt(f.attribute) + "\" is not an attribute name");
    }
    if (i_ >= s_.size()) Fail("unexpected end");
    if (s_[i_] == ':') Fail("extensible matching is not supported");
    if (s_[i_] == '~' || s_[i_] == '<' || s_[i_] == '>') {
      char op = s_[i_++];
      Expect('=');
      f.kind = op == '~'   ? Filter::Kind::kApprox
               : op == '<' ? Filter::Kind::kLessOrEqual
                           : Filter::Kind::kGreaterOrEqual;
      bool star = false;
      f.value = ParseValue(&star);
      if (star) Fail("\"*\" must be escaped in this assertion");
      return;
    }
    Expect('=');
    // Equality, presence or substrings: the unescaped "*"s decide.
    std::vector<std::string> pieces;
    while (true) {
      bool star = false;
      pieces.push_back(ParseValue(&star));
      if (!star) break;
      ++i_;  // the "*"
    }
    if (pieces.size() == 1) {
      f.kind = Filter::Kind::kEqual;
      f.value = pieces[0];
    } else if (pieces.size() == 2 && pieces[0].empty() && pieces[1].empty()) {
      f.kind = Filter::Kind::kPresent;
    } else {
      f.kind = Filter::Kind::kSubstring;
      f.pieces = std::move(pieces);
    }
  }

  // Reads an assertion value up to ")" or an unescaped "*" (which is left
  // in place and reported through star).
  std::string ParseValue(bool* star) {
    std::string v;
    while (i_ < s_.size() && s_[i_] != ')') {
      char c = s_[i_];
      if (c == '*') {
        *star = true;
        return v;
      }
      if (c == '(') Fail("\"(\" must be escaped in a value");
      if (c == '\\') {
        auto hex = [](char h) {
          if (h >= '0' && h <= '9') return h - '0';
          if (h >= 'a' && h <= 'f') return h - 'a' + 10;
          if (h >= 'A' && h <= 'F') return h - 'A' + 10;
          return -1;
        };
        int hi = i_ + 1 < s_.size() ? hex(s_[i_ + 1]) : -1;
        int lo = i_ + 2 < s_.size() ? hex(s_[i_ + 2]) : -1;
        if (hi < 0 || lo < 0) Fail("\"\\\" must be followed by two hexadecimal digits");
        v += static_cast<char>(hi * 16 + lo);
        i_ += 3;
        continue;
      }
      v += c;
      ++i_;
    }
    return v;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  int depth_ = 0;
};

bool ParseInteger(std::string_view s, long long& out) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

// -1, 0, 1 for a < b, a = b, a > b.
int CompareValues(std::string_view a, std::string_view b) {
  long long x, y;
  if (ParseInteger(a, x) && ParseInteger(b, y)) return x < y ? -1 : x > y ? 1 : 0;
  std::string fa = core::FoldCase(a), fb = core::FoldCase(b);
  return fa < fb ? -1 : fa > fb ? 1 : 0;
}

bool EqualValues(std::string_view attribute, std::string_view stored, std::string_view asserted) {
  if (core::EqualsNoCase(attribute, "objectCategory") &&
      asserted.find('=') == std::string_view::npos) {
    // A class name stands for the class's category object.
    return core::EqualsNoCase(stored, asserted) ||
           core::EqualsNoCase(FirstRdnValue(stored), asserted);
  }
  if (core::EqualsNoCase(stored, asserted)) return true;
  // Names of objects compare as names, whatever the spacing and escaping.
  if (stored.find('=') != std::string_view::npos && asserted.find('=') != std::string_view::npos) {
    try {
      return NormalizeDn(stored) == NormalizeDn(asserted);
    } catch (const std::exception&) {
      return false;
    }
  }
  return false;
}

bool MatchesSubstrings(std::string_view stored, const std::vector<std::string>& pieces) {
  std::string s = core::FoldCase(stored);
  std::size_t pos = 0;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    std::string p = core::FoldCase(pieces[k]);
    if (k == 0) {
      if (s.compare(0, p.size(), p) != 0) return false;
      pos = p.size();
    } else if (k + 1 == pieces.size()) {
      return s.size() >= pos + p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
    } else {
      std::size_t found = s.find(p, pos);
      if (found == std::string::npos) return false;
      pos = found + p.size();
    }
  }
  return true;
}

}  // namespace

Filter ParseFilter(std::string_view text) { return FilterParser(text).ParseWhole(); }

namespace {

void AppendText(const Filter& f, std::string& out) {
  out += '(';
  switch (f.kind) {
    case Filter::Kind::kAnd:
    case Filter::Kind::kOr:
    case Filter::Kind::kNot:
      out += f.kind == Filter::Kind::kAnd ? '&' : f.kind == Filter::Kind::kOr ? '|' : '!';
      for (const Filter& c : f.children) AppendText(c, out);
      break;
    case Filter::Kind::kEqual:
      out += f.attribute + "=" + EscapeFilterValue(f.value);
      break;
    case Filter::Kind::kApprox:
      out += f.attribute + "~=" + EscapeFilterValue(f.value);
      break;
    case Filter::Kind::kGreaterOrEqual:
      out += f.attribute + ">=" + EscapeFilterValue(f.value);
      break;
    case Filter::Kind::kLessOrEqual:
      out += f.attribute + "<=" + EscapeFilterValue(f.value);
      break;
    case Filter::Kind::kPresent:
      out += f.attribute + "=*";
      break;
    case Filter::Kind::kSubstring:
      out += f.attribute + "=";
      for (std::size_t i = 0; i < f.pieces.size(); ++i) {
        if (i > 0) out += '*';
        out += EscapeFilterValue(f.pieces[i]);
      }
      break;
  }
  out += ')';
}

}  // namespace

std::string FilterText(const Filter& filter) {
  std::string out;
  AppendText(filter, out);
  return out;
}

bool Matches(const Filter& f, const Entry& entry) {
  switch (f.kind) {
    case Filter::Kind::kAnd:
      for (const Filter& c : f.children) {
        if (!Matches(c, entry)) return false;
      }
      return true;
    case Filter::Kind::kOr:
      for (const Filter& c : f.children) {
        if (Matches(c, entry)) return true;
      }
      return false;
    case Filter::Kind::kNot:
      return !Matches(f.children[0], entry);
    default:
      break;
  }
  const Attribute* a = entry.Find(f.attribute);
  if (a == nullptr || a->values.empty()) return false;
  for (const std::string& v : a->values) {
    switch (f.kind) {
      case Filter::Kind::kPresent:
        return true;
      case Filter::Kind::kEqual:
      case Filter::Kind::kApprox:
        if (EqualValues(f.attribute, v, f.value)) return true;
        break;
      case Filter::Kind::kGreaterOrEqual:
        if (CompareValues(v, f.value) >= 0) return true;
        break;
      case Filter::Kind::kLessOrEqual:
        if (CompareValues(v, f.value) <= 0) return true;
        break;
      case Filter::Kind::kSubstring:
        if (MatchesSubstrings(v, f.pieces)) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace directory

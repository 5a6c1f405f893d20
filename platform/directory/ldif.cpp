#include "platform/directory/ldif.h"

#include <set>
#include <string>
#include <unordered_map>

#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/path.h"

namespace directory {
namespace {

struct Line {
  std::size_t number;  // of its first physical line, 1-based
  std::string text;    // unfolded
  bool comment;
  bool blank;
};

[[noreturn]] void Fail(std::string_view source, std::size_t line, std::string_view what) {
  Raise(err::kDecodingError,
        std::string(source) + " line " + std::to_string(line) + ": " + std::string(what));
}

// Physical lines joined into logical ones.
std::vector<Line> Unfold(std::string_view text, std::string_view source) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  std::size_t number = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view phys = text.substr(pos, end - pos);
    if (!phys.empty() && phys.back() == '\r') phys.remove_suffix(1);
    pos = end + 1;
    ++number;
    if (!phys.empty() && phys[0] == ' ') {
      if (lines.empty() || lines.back().blank) {
        Fail(source, number, "a continuation line must follow a line it continues");
      }
      lines.back().text += phys.substr(1);
      continue;
    }
    Line line{number, std::string(phys), !phys.empty() && phys[0] == '#', phys.empty()};
    lines.push_back(std::move(line));
  }
  return lines;
}

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An attribute description: a name (letters, digits, "-"; or a numeric
// OID) with optional ";option" parts.
bool ValidAttributeDescription(std::string_view d) {
  if (d.empty()) return false;
  std::size_t i = 0;
  if (IsAlpha(d[0])) {
    while (i < d.size() && (IsAlpha(d[i]) || IsDigit(d[i]) || d[i] == '-')) ++i;
  } else if (IsDigit(d[0])) {
    while (i < d.size() && (IsDigit(d[i]) || d[i] == '.')) ++i;
    if (d[i - 1] == '.') return false;
  } else {
    return false;
  }
  while (i < d.size()) {
    if (d[i] != ';' || i + 1 == d.size()) return false;
    ++i;
    std::size_t start = i;
    while (i < d.size() && (IsAlpha(d[i]) || IsDigit(d[i]) || d[i] == '-')) ++i;
    if (i == start) return false;
  }
  return true;
}

// Splits "name: value", "name:: base64" into name and decoded value.
void ParseAttrVal(const Line& line, std::string_view source, std::string& name,
                  std::string& value) {
  std::string_view t = line.text;
  std::size_t colon = t.find(':');
  if (colon == std::string_view::npos) Fail(source, line.number, "expected \"name: value\"");
  name = std::string(t.substr(0, colon));
  if (!ValidAttributeDescription(name)) {
    Fail(source, line.number, "\"" + name + "\" is not an attribute name");
  }
  std::string_view rest = t.substr(colon + 1);
  auto skip_fill = [](std::string_view s) {
    while (!s.empty() && s[0] == ' ') s.remove_prefix(1);
    return s;
  };
  if (!rest.empty() && rest[0] == ':') {
    std::string_view b64 = skip_fill(rest.substr(1));
    if (!DecodeBase64(b64, value)) {
      Fail(source, line.number, "the value of \"" + name + "\" is not valid base64");
    }
  } else if (!rest.empty() && rest[0] == '<') {
    Fail(source, line.number, "values read from a URL are not accepted");
  } else {
    value = std::string(skip_fill(rest));
  }
}

}  // namespace

bool DecodeBase64(std::string_view text, std::string& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  auto decode = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // data after padding
      v[k] = decode(c);
      if (v[k] < 0) return false;
    }
    std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>((n >> 16) & 0xFF);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(n & 0xFF);
  }
  return true;
}

std::vector<Entry> ParseLdif(std::string_view text, std::string_view source) {
  std::vector<Line> lines = Unfold(text, source);
  std::vector<Entry> entries;
  std::set<std::string> names;
  // The open record's attributes by lower-case name: a record may carry
  // very many, and Entry::Add looks them up one by one.
  std::unordered_map<std::string, std::size_t> attribute_index;
  bool first_content = true;
  bool in_record = false;  // the open record is entries.back()
  for (const Line& line : lines) {
    if (line.comment) continue;
    if (line.blank) {
      in_record = false;
      continue;
    }
    std::string name, value;
    ParseAttrVal(line, source, name, value);
    if (first_content && core::EqualsNoCase(name, "version")) {
      first_content = false;
      if (value != "1") Fail(source, line.number, "only LDIF version 1 is understood");
      continue;
    }
    first_content = false;
    if (!in_record) {
      if (!core::EqualsNoCase(name, "dn")) {
        Fail(source, line.number, "a record must begin with \"dn:\"");
      }
      std::string key;
      try {
        key = NormalizeDn(value);
      } catch (const std::exception&) {
        Fail(source, line.number, "\"" + value + "\" is not a distinguished name");
      }
      if (!names.insert(key).second) {
        Fail(source, line.number, "\"" + value + "\" names a record given before");
      }
      entries.push_back(Entry{value, {}});
      attribute_index.clear();
      in_record = true;
      continue;
    }
    if (core::EqualsNoCase(name, "changetype") || core::EqualsNoCase(name, "control")) {
      Fail(source, line.number, "change records are not accepted in a directory file");
    }
    if (core::EqualsNoCase(name, "dn")) {
      Fail(source, line.number, "a second \"dn:\" inside one record (missing blank line?)");
    }
    // Names are ASCII by their grammar (ValidAttributeDescription).
    std::string key = name;
    for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    std::vector<Attribute>& attributes = entries.back().attributes;
    auto [it, added] = attribute_index.emplace(std::move(key), attributes.size());
    if (added) {
      attributes.push_back(Attribute{std::move(name), {}});
    }
    attributes[it->second].values.push_back(std::move(value));
  }
  return entries;
}

}  // namespace directory

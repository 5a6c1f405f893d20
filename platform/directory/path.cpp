#include "platform/directory/path.h"

#include <optional>
#include <vector>

#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/filter.h"

namespace directory {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Rdn {
  std::string type;
  std::string value;
};

// Splits a distinguished name into its components, resolving escapes
// ("\,", "\2C") and quoted values. nullopt when it is not a name.
std::optional<std::vector<Rdn>> SplitDn(std::string_view dn) {
  std::vector<Rdn> out;
  std::string_view s = dn;
  std::size_t i = 0;
  auto skip_blanks = [&] {
    while (i < s.size() && s[i] == ' ') ++i;
  };
  skip_blanks();
  if (i == s.size()) return out;
  while (true) {
    Rdn rdn;
    skip_blanks();
    while (i < s.size() && s[i] != '=' && s[i] != ',' && s[i] != '+') rdn.type += s[i++];
    if (i == s.size() || s[i] != '=') return std::nullopt;
    ++i;
    while (!rdn.type.empty() && rdn.type.back() == ' ') rdn.type.pop_back();
    if (rdn.type.empty()) return std::nullopt;
    skip_blanks();
    std::size_t trailing_blanks = 0;  // unescaped blanks at the end are dropped
    if (i < s.size() && s[i] == '"') {
      ++i;
      while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        rdn.value += s[i++];
      }
      if (i == s.size()) return std::nullopt;
      ++i;
      skip_blanks();
    } else {
      while (i < s.size() && s[i] != ',' && s[i] != ';') {
        char c = s[i];
        if (c == '\\') {
          if (i + 1 >= s.size()) return std::nullopt;
          int hi = HexValue(s[i + 1]);
          int lo = i + 2 < s.size() ? HexValue(s[i + 2]) : -1;
          if (hi >= 0 && lo >= 0) {
            rdn.value += static_cast<char>(hi * 16 + lo);
            i += 3;
          } else {
            rdn.value += s[i + 1];
            i += 2;
          }
          trailing_blanks = 0;
          continue;
        }
        trailing_blanks = c == ' ' ? trailing_blanks + 1 : 0;
        rdn.value += c;
        ++i;
      }
      rdn.value.resize(rdn.value.size() - trailing_blanks);
    }
    out.push_back(std::move(rdn));
    if (i == s.size()) return out;
    if (s[i] != ',' && s[i] != ';') return std::nullopt;
    ++i;
  }
}

}  // namespace

AdsPath ParseAdsPath(std::string_view path) {
  AdsPath out;
  std::size_t sep = path.find("://");
  std::string_view rest;
  if (sep == std::string_view::npos) {
    // "GC:" alone names the root of every catalog.
    if (!path.empty() && path.back() == ':') {
      out.scheme = std::string(path.substr(0, path.size() - 1));
    } else {
      Raise(err::kBadPathname, "(" + std::string(path) + ")");
    }
  } else {
    out.scheme = std::string(path.substr(0, sep));
    rest = path.substr(sep + 3);
  }
  if (!core::EqualsNoCase(out.scheme, "GC") && !core::EqualsNoCase(out.scheme, "LDAP")) {
    Raise(err::kBadPathname, "(" + std::string(path) + "): only GC: and LDAP: paths are served");
  }
  // The first unescaped "/" separates host and name.
  std::size_t slash = std::string_view::npos;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '\\') {
      ++i;
    } else if (rest[i] == '/') {
      slash = i;
      break;
    }
  }
  std::string_view name;
  if (slash != std::string_view::npos) {
    out.host = std::string(rest.substr(0, slash));
    name = rest.substr(slash + 1);
    if (out.host.empty()) Raise(err::kBadPathname, "(" + std::string(path) + "): empty host");
  } else if (rest.find('=') != std::string_view::npos || core::EqualsNoCase(rest, "RootDSE")) {
    name = rest;
  } else {
    out.host = std::string(rest);
  }
  if (core::EqualsNoCase(name, "RootDSE")) {
    out.root_dse = true;
    return out;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size() && name[i + 1] == '/') {
      out.dn += '/';
      ++i;
    } else {
      out.dn += name[i];
    }
  }
  if (!SplitDn(out.dn)) {
    Raise(err::kBadPathname, "(" + std::string(path) + "): not a distinguished name");
  }
  return out;
}

std::string MakeAdsPath(std::string_view scheme, std::string_view host, std::string_view dn) {
  std::string out(scheme);
  out += "://";
  out += host;
  if (!dn.empty()) {
    if (!host.empty()) out += '/';
    for (char c : dn) {
      if (c == '/') out += '\\';
      out += c;
    }
  }
  return out;
}

std::string NormalizeDn(std::string_view dn) {
  auto rdns = SplitDn(dn);
  if (!rdns) Raise(err::kBadPathname, "(" + std::string(dn) + "): not a distinguished name");
  std::string out;
  for (const Rdn& rdn : *rdns) {
    if (!out.empty()) out += ',';
    out += core::FoldCase(rdn.type);
    out += '=';
    // Escape the separators again so that component boundaries stay exact.
    for (char c : core::FoldCase(rdn.value)) {
      if (c == ',' || c == '\\' || c == '=') out += '\\';
      out += c;
    }
  }
  return out;
}

namespace {

// Start offsets of the components of a normalized name.
std::vector<std::size_t> ComponentStarts(std::string_view n) {
  std::vector<std::size_t> starts;
  if (n.empty()) return starts;
  starts.push_back(0);
  for (std::size_t i = 0; i < n.size(); ++i) {
    if (n[i] == '\\') {
      ++i;
    } else if (n[i] == ',') {
      starts.push_back(i + 1);
    }
  }
  return starts;
}

}  // namespace

std::size_t DnDepth(std::string_view normalized) { return ComponentStarts(normalized).size(); }

bool DnWithin(std::string_view dn, std::string_view base) {
  if (base.empty()) return true;
  if (dn == base) return true;
  for (std::size_t start : ComponentStarts(dn)) {
    if (start > 0 && dn.substr(start) == base) return true;
  }
  return false;
}

std::string FirstRdnValue(std::string_view dn) {
  auto rdns = SplitDn(dn);
  if (!rdns || rdns->empty()) return "";
  return (*rdns)[0].value;
}

std::string EscapeDnValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const bool special = c == '\0' ||
                         std::string_view(",+\"\\<>;=").find(c) != std::string_view::npos ||
                         (i == 0 && (c == '#' || c == ' ')) || (i + 1 == value.size() && c == ' ');
    if (special) {
      AppendHexEscape(c, out);
    } else {
      out += c;
    }
  }
  return out;
}

std::string_view HostName(std::string_view host) {
  std::size_t colon = host.rfind(':');
  return colon == std::string_view::npos ? host : host.substr(0, colon);
}

}  // namespace directory

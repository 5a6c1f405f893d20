#include "platform/store/url.h"

#include "platform/core/error.h"
#include "platform/core/text.h"

namespace store {

namespace {

constexpr std::string_view kHttpPrefix = "http://";
constexpr std::string_view kExadmin = "exadmin";

[[noreturn]] void Malformed(std::string_view url, const std::string& why) {
  throw core::RuntimeError(core::err::kAdoInvalidArgument,
                           "Malformed store URL \"" + std::string(url) + "\": " + why);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(std::string_view url, std::string_view piece) {
  std::string out;
  for (std::size_t i = 0; i < piece.size(); ++i) {
    if (piece[i] != '%') {
      out += piece[i];
      continue;
    }
    if (i + 2 >= piece.size()) Malformed(url, "bad %-escape");
    int hi = HexValue(piece[i + 1]), lo = HexValue(piece[i + 2]);
    if (hi < 0 || lo < 0) Malformed(url, "bad %-escape");
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::vector<std::string> SplitPath(std::string_view url, std::string_view path, bool unescape) {
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) Malformed(url, "no domain folder");
  std::vector<std::string> names;
  for (std::string& piece : core::Split(path, "/")) {
    std::string name = unescape ? Unescape(url, piece) : piece;
    std::string problem = CheckItemName(name);
    if (!problem.empty()) Malformed(url, problem);
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

bool LooksLikeStoreUrl(std::string_view url) {
  if (core::StartsWith(url, kFileUrlPrefix, core::Compare::Text)) return true;
  if (!core::StartsWith(url, kHttpPrefix, core::Compare::Text)) return false;
  std::size_t slash = url.find('/', kHttpPrefix.size());
  if (slash == std::string_view::npos) return false;
  std::string_view rest = url.substr(slash + 1);
  return core::StartsWith(rest, "exadmin/", core::Compare::Text) ||
         core::EqualsNoCase(rest, kExadmin);
}

StoreUrl ParseUrl(std::string_view url, const Machine& machine) {
  StoreUrl result;
  if (core::StartsWith(url, kFileUrlPrefix, core::Compare::Text)) {
    result.names = SplitPath(url, url.substr(std::string_view(kFileUrlPrefix).size()), false);
    return result;
  }
  if (!core::StartsWith(url, kHttpPrefix, core::Compare::Text)) {
    Malformed(url, "expected file://./backofficestorage/ or http://<server>/exadmin/");
  }
  std::string_view rest = url.substr(kHttpPrefix.size());
  std::size_t slash = rest.find('/');
  std::string_view host = rest.substr(0, slash);
  if (host.empty()) Malformed(url, "no host");
  if (!core::EqualsNoCase(host, machine.DnsName()) && !core::EqualsNoCase(host, machine.computer)) {
    throw core::RuntimeError(core::err::kDbNotFound,
                             "The URL \"" + std::string(url) + "\" names the server \"" +
                                 std::string(host) + "\", not this server (" + machine.DnsName() +
                                 ")");
  }
  if (slash == std::string_view::npos) Malformed(url, "no /exadmin/ path");
  rest = rest.substr(slash + 1);
  if (!core::StartsWith(rest, "exadmin/", core::Compare::Text)) {
    Malformed(url, "the path must begin with /exadmin/");
  }
  result.names = SplitPath(url, rest.substr(kExadmin.size() + 1), true);
  return result;
}

std::string FileUrl(const std::vector<std::string>& names) {
  std::string url = kFileUrlPrefix;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) url += '/';
    url += names[i];
  }
  return url;
}

std::string CheckItemName(std::string_view name) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "the name \"" + std::string(name) + "\" is reserved";
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') return "the name \"" + std::string(name) + "\" holds a slash";
    if (u < 0x20 || u == 0x7F) return "the name holds a control character";
  }
  if (name.back() == ' ') return "the name \"" + std::string(name) + "\" ends in a blank";
  return "";
}

}  // namespace store

#include "platform/directory/ldap_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/core/files.h"
#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/ldap_library.h"
#include "platform/directory/path.h"

namespace directory {
namespace {

[[noreturn]] void Fail(std::string_view source, std::size_t line, std::string_view what) {
  std::string where(source);
  if (line > 0) where += " line " + std::to_string(line);
  Raise(err::kDecodingError, where + ": " + std::string(what));
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The parts of uri, or nullopt with why saying what is wrong.
std::optional<LdapUri> TryParseLdapUri(std::string_view text, std::string& why) {
  const std::string uri(text);
  why = "\"" + Excerpt(uri) + "\" is no usable LDAP URI: ";
  if (HasControl(uri)) {
    why += "it holds control characters";
    return std::nullopt;
  }
  LDAPURLDesc* desc = nullptr;
  if (Ldap().ldap_url_parse(uri.c_str(), &desc) != LDAP_URL_SUCCESS || desc == nullptr) {
    why += "expected ldap://host[:port], ldaps://host[:port] or ldapi://socket";
    return std::nullopt;
  }
  LdapUri out;
  out.scheme = core::LCase(desc->lud_scheme != nullptr ? desc->lud_scheme : "");
  out.host = desc->lud_host != nullptr ? desc->lud_host : "";
  out.port = desc->lud_port;
  const bool has_more = (desc->lud_dn != nullptr && desc->lud_dn[0] != '\0') ||
                        desc->lud_attrs != nullptr || desc->lud_filter != nullptr ||
                        desc->lud_exts != nullptr;
  Ldap().ldap_free_urldesc(desc);
  if (out.scheme != "ldap" && out.scheme != "ldaps" && out.scheme != "ldapi") {
    why += "the scheme must be ldap, ldaps or ldapi";
  } else if (has_more) {
    why += "name the server only; the base is a setting of its own";
  } else if (out.scheme != "ldapi" && out.host.empty()) {
    why += "it names no host";
  } else {
    why.clear();
    return out;
  }
  return std::nullopt;
}

// What is wrong with c as a whole; "" when nothing.
std::string Problem(const LdapConfig& c) {
  if (c.uri.empty()) return "no \"uri\" given";
  if (c.base.empty()) return "no \"base\" given";
  std::string why;
  if (!TryParseLdapUri(c.uri, why) || !TryParseLdapUri(c.gc_uri.empty() ? c.uri : c.gc_uri, why)) {
    return why;
  }
  try {
    NormalizeDn(c.base);
  } catch (const core::RuntimeError&) {
    return "the base \"" + Excerpt(c.base) + "\" is not a distinguished name";
  }
  const bool simple = c.bind == LdapConfig::Bind::kSimple;
  if (simple && (c.bind_dn.empty() || c.password_file.empty())) {
    return "a simple bind needs \"bind_dn\" and \"password_file\"";
  }
  if (!simple && (!c.bind_dn.empty() || !c.password_file.empty())) {
    return "\"bind_dn\" and \"password_file\" belong to a simple bind";
  }
  for (const std::string& uri : {c.uri, c.gc_uri}) {
    if (uri.empty()) continue;
    const std::string scheme = TryParseLdapUri(uri, why)->scheme;
    if (c.starttls && scheme != "ldap") {
      return "\"starttls\" applies to ldap:// only, not to " + uri;
    }
    if (c.bind == LdapConfig::Bind::kSaslExternal && scheme != "ldapi") {
      return "a SASL EXTERNAL bind needs ldapi://, not " + uri;
    }
  }
  return "";
}

}  // namespace

std::filesystem::path LdapConfigPath(const std::filesystem::path& server_root) {
  return server_root / "directory" / "ldap.conf";
}

LdapUri ParseLdapUri(std::string_view text) {
  std::string why;
  std::optional<LdapUri> uri = TryParseLdapUri(text, why);
  if (!uri) Raise(err::kDecodingError, why);
  return *uri;
}

LdapConfig ParseLdapConfig(std::string_view text, std::string_view source) {
  LdapConfig c;
  std::vector<std::string> seen;
  std::size_t number = 0, last = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = TrimBlanks(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (line.empty() || line.front() == '#') continue;
    last = number;
    std::size_t gap = line.find_first_of(" \t");
    const std::string name(line.substr(0, gap));
    const std::string value(gap == std::string_view::npos ? "" : TrimBlanks(line.substr(gap)));
    if (HasControl(value))
      Fail(source, number, "the value of \"" + name + "\" holds control characters");
    for (const std::string& s : seen) {
      if (s == name) Fail(source, number, "\"" + Excerpt(name) + "\" is given twice");
    }
    seen.push_back(name);
    if (value.empty()) Fail(source, number, "\"" + Excerpt(name) + "\" needs a value");
    auto yes_no = [&]() {
      if (value == "yes") return true;
      if (value == "no") return false;
      Fail(source, number, "\"" + name + "\" is yes or no, not \"" + Excerpt(value) + "\"");
    };
    if (name == "uri") {
      c.uri = value;
    } else if (name == "gc_uri") {
      c.gc_uri = value;
    } else if (name == "base") {
      c.base = value;
    } else if (name == "bind") {
      if (value == "anonymous") {
        c.bind = LdapConfig::Bind::kAnonymous;
      } else if (value == "simple") {
        c.bind = LdapConfig::Bind::kSimple;
      } else if (value == "sasl-external") {
        c.bind = LdapConfig::Bind::kSaslExternal;
      } else {
        Fail(source, number,
             "\"bind\" is anonymous, simple or sasl-external, not \"" + Excerpt(value) + "\"");
      }
    } else if (name == "bind_dn") {
      c.bind_dn = value;
    } else if (name == "password_file") {
      c.password_file = value;
    } else if (name == "starttls") {
      c.starttls = yes_no();
    } else if (name == "ca_file") {
      c.ca_file = value;
    } else {
      Fail(source, number, "unknown setting \"" + Excerpt(name) + "\"");
    }
  }
  const std::string problem = Problem(c);
  if (!problem.empty()) Fail(source, last, problem);
  return c;
}

std::string LdapConfigProblem(const LdapConfig& config) { return Problem(config); }

std::string FormatLdapConfig(const LdapConfig& c) {
  std::string out = "# The directory server of this mail server (see zenthra-store --help).\n";
  out += "uri " + c.uri + "\n";
  if (!c.gc_uri.empty()) out += "gc_uri " + c.gc_uri + "\n";
  out += "base " + c.base + "\n";
  switch (c.bind) {
    case LdapConfig::Bind::kAnonymous:
      out += "bind anonymous\n";
      break;
    case LdapConfig::Bind::kSimple:
      out += "bind simple\nbind_dn " + c.bind_dn + "\npassword_file " + c.password_file.string() +
             "\n";
      break;
    case LdapConfig::Bind::kSaslExternal:
      out += "bind sasl-external\n";
      break;
  }
  if (c.starttls) out += "starttls yes\n";
  if (!c.ca_file.empty()) out += "ca_file " + c.ca_file.string() + "\n";
  return out;
}

std::string ReadPasswordFile(const std::filesystem::path& file) {
  auto fail = [&](const std::string& why) -> std::string {
    Raise(err::kDecodingError, "The password file " + file.string() + " " + why);
  };
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return fail(errno == ELOOP ? "is a symbolic link; name the file itself"
                               : "cannot be read: " + core::FileErrorCause(errno));
  }
  struct stat st {};
  std::string text;
  std::optional<std::string> problem;
  if (::fstat(fd, &st) != 0) {
    problem = "cannot be read: " + core::FileErrorCause(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "is no regular file";
  } else if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    problem = "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  } else if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    problem = std::string("may be read or changed by others (mode ") + mode + "); make it 0600";
  } else {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
    if (n < 0) problem = "cannot be read: " + core::FileErrorCause(errno);
  }
  ::close(fd);
  if (problem) return fail(*problem);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) return fail("is empty");
  return text;
}

}  // namespace directory

// LdapConfig: which directory server a server root uses, from its file
// directory/ldap.conf. Without that file the root's directory is its LDIF
// catalog (ldif_backend.h).
//
// The file holds one "name value" setting a line; blank lines and lines
// starting with "#" are ignored:
//
//   uri            ldap://dc1.example.com     the server (ldap://, ldaps://, ldapi://)
//   gc_uri         ldap://dc1.example.com:3268  the global catalog (default: uri)
//   base           DC=example,DC=com           the naming context searched
//   bind           anonymous | simple | sasl-external   (default anonymous)
//   bind_dn        CN=zenthra,CN=Users,DC=example,DC=com   (simple)
//   password_file  /etc/zenthra/directory.secret         (simple; mode 0600)
//   starttls       yes | no                    (ldap:// only; default no)
//   ca_file        /etc/zenthra/directory-ca.pem  trusted besides the system's
//                                               certificate authorities
//
// A password never stands in the file itself: it is read from
// password_file, which must be a regular file owned by root or by the
// running user and readable by nobody else. SASL EXTERNAL binds as the
// running process over ldapi://.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace directory {

struct LdapConfig {
  enum class Bind { kAnonymous, kSimple, kSaslExternal };

  std::string uri;
  std::string gc_uri;  // the catalog; uri when not given
  std::string base;    // as written
  Bind bind = Bind::kAnonymous;
  std::string bind_dn;
  std::filesystem::path password_file;
  bool starttls = false;
  std::filesystem::path ca_file;  // empty: the system's authorities only
};

// Where the settings live below a server root.
std::filesystem::path LdapConfigPath(const std::filesystem::path& server_root);

// Reads settings; error kDecodingError "<source> line N: ..." for an
// unknown or repeated setting, a missing uri or base, a URI that is not
// ldap://, ldaps:// or ldapi://, a malformed base, or settings that do not
// fit together (simple without bind_dn and password_file, starttls on
// ldaps:// or ldapi://, sasl-external off ldapi://).
LdapConfig ParseLdapConfig(std::string_view text, std::string_view source);

// The file text for config, which ParseLdapConfig reads back unchanged.
std::string FormatLdapConfig(const LdapConfig& config);

// What ParseLdapConfig would find wrong with config as a whole, in words
// ("" when nothing); checked before a configuration is written.
std::string LdapConfigProblem(const LdapConfig& config);

// The password in file (without a final line end). Error kDecodingError
// naming the file when it is missing, no regular file, owned by another
// user, or readable or writable by group or others.
std::string ReadPasswordFile(const std::filesystem::path& file);

// The parts of an LDAP URI; error kDecodingError naming it when it is none.
struct LdapUri {
  std::string scheme;  // "ldap", "ldaps" or "ldapi", lower case
  std::string host;    // the host name; the socket path for ldapi
  int port = 0;        // 0: the scheme's default
};
LdapUri ParseLdapUri(std::string_view uri);

}  // namespace directory

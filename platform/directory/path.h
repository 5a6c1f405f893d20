// Directory paths and distinguished names.
//
// An ADsPath names a directory object: "GC://host/CN=John Doe,CN=Users,
// DC=example,DC=com". The scheme is "GC" (the global catalog) or "LDAP";
// the host may be left out ("GC://DC=example,DC=com", serverless) and so may
// the name ("GC://host" is the root of the whole catalog). The name
// "RootDSE" stands for the server's root entry. A "/" inside the name is
// written "\/".
#pragma once

#include <string>
#include <string_view>

namespace directory {

struct AdsPath {
  std::string scheme;  // "GC" or "LDAP", as written
  std::string host;    // may be empty; may carry ":port"
  std::string dn;      // may be empty (the root)
  bool root_dse = false;
};

// Parses path; error kBadPathname naming the path when it is no GC or LDAP
// path.
AdsPath ParseAdsPath(std::string_view path);

// The ADsPath of the object dn as seen through scheme and host.
std::string MakeAdsPath(std::string_view scheme, std::string_view host, std::string_view dn);

// A distinguished name reduced to a form in which two names of the same
// object compare equal: escapes resolved, blanks around separators dropped,
// case folded. Each component is "type=value"; components are joined by ",".
// Error kBadPathname for a name that is not a distinguished name.
std::string NormalizeDn(std::string_view dn);

// Number of components of a normalized name ("" has none).
std::size_t DnDepth(std::string_view normalized);

// True when normalized name dn lies at or below normalized name base.
bool DnWithin(std::string_view dn, std::string_view base);

// The value of the first component of dn with escapes resolved ("Person"
// for "CN=Person,CN=Schema,..."); empty when dn is no distinguished name.
std::string FirstRdnValue(std::string_view dn);

// value escaped to stand as the value of a name component: "," "+" '"' "\"
// "<" ">" ";" "=" and NUL anywhere, "#" and a blank in front, a blank at the
// end.
std::string EscapeDnValue(std::string_view value);

// The host without a ":port" suffix.
std::string_view HostName(std::string_view host);

}  // namespace directory

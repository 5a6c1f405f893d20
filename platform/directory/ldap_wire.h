// The wire to a directory server: connecting and binding, and searches run
// one page at a time, with what each page brings back as the server sent
// it. The LDAP backend (ldap_backend.h) builds everything else on these two
// operations; a test replaces them to play a server that cannot run here (a
// domain controller's global catalog).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/directory/backend.h"
#include "platform/directory/entry.h"
#include "platform/directory/query.h"

namespace directory {

// A server and how to reach it.
struct Endpoint {
  std::string uri;  // ldap://, ldaps:// or ldapi://
  bool starttls = false;
  std::filesystem::path ca_file;  // trusted besides the system's authorities
  enum class Bind { kAnonymous, kSimple, kSaslExternal } bind = Bind::kAnonymous;
  std::string bind_dn;
  std::string password;  // simple bind only
  int connect_timeout_seconds = 15;
};

struct WireSearch {
  std::string base;
  SearchScope scope = SearchScope::kSubtree;
  std::string filter = "(objectClass=*)";
  std::vector<std::string> attributes;  // empty: every user attribute
  int size_limit = 0;                   // 0: none
  int time_limit_seconds = 0;           // the server's; 0: none
  int page_size = 0;                    // 0: no paging
  std::string cookie;                   // the previous page's, to ask for the next
  std::vector<SortKey> sort;            // asked of the server when not empty
  // The client's patience; nullopt: wait as long as the server takes.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// LDAP result codes the backend tells apart (RFC 4511; the negative ones
// are the client library's own).
namespace ldap_code {
inline constexpr int kSuccess = 0;
inline constexpr int kTimeLimitExceeded = 3;
inline constexpr int kSizeLimitExceeded = 4;
inline constexpr int kReferral = 10;
inline constexpr int kUnavailableCriticalExtension = 12;
inline constexpr int kNoSuchObject = 32;
inline constexpr int kInappropriateMatching = 18;
inline constexpr int kBusy = 51;
inline constexpr int kUnwillingToPerform = 53;
inline constexpr int kServerDown = -1;
inline constexpr int kTimeout = -5;
inline constexpr int kConnectError = -11;
}  // namespace ldap_code

struct WirePage {
  std::vector<Entry> entries;           // names and values as the server sent them
  std::vector<std::string> references;  // continuation references (LDAP URLs)
  int result = ldap_code::kSuccess;
  std::string message;                 // the server's (or library's) diagnostic
  std::vector<std::string> referrals;  // with result kReferral
  std::string cookie;                  // non-empty: another page follows
  std::optional<int> sort_result;      // the server's answer to a sort request
};

// One bound connection. Search never throws for what the server or the
// network answers: the page carries the result code (kServerDown when the
// connection broke, kTimeout when the deadline passed; the search is then
// abandoned).
class LdapConnection {
 public:
  virtual ~LdapConnection() = default;
  virtual WirePage Search(const WireSearch& search) = 0;
};

class LdapConnector {
 public:
  virtual ~LdapConnector() = default;
  // Connects and binds; throws the error of LdapError when the server
  // cannot be reached, refuses TLS or the credentials.
  virtual std::unique_ptr<LdapConnection> Connect(const Endpoint& endpoint) = 0;
};

// A referral's LDAP URL split into the server ("scheme://host:port", or the
// socket of an ldapi URL) and the name it points to; nullopt when it is no
// LDAP URL.
struct ReferralTarget {
  std::string server;
  std::string scheme;  // lower case
  std::string dn;
};
std::optional<ReferralTarget> ParseReferral(std::string_view url);

// The real wire: OpenLDAP's libldap.
std::shared_ptr<LdapConnector> LibldapConnector();

// The directory error for an LDAP result code: its published number and
// standard text, with the server, the library's name of the code and the
// diagnostic in the detail.
core::RuntimeError LdapError(int code, std::string_view uri, std::string_view diagnostic);

}  // namespace directory

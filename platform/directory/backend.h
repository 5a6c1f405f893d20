// Backend: where the directory's data comes from. The provider and the
// object binder translate their callers' requests into SearchRequest, whose
// filter is LDAP filter text, so that a backend over a real LDAP server can
// pass everything through unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/entry.h"
#include "platform/directory/query.h"

namespace directory {

enum class SearchScope : std::int32_t { kBase = 0, kOneLevel = 1, kSubtree = 2 };

// Referral chasing, as the published flags: never, subordinate, external,
// always (subordinate | external).
enum ChaseReferrals : std::int32_t {
  kChaseNever = 0,
  kChaseSubordinate = 0x20,
  kChaseExternal = 0x40,
  kChaseAlways = 0x60,
};

struct SearchRequest {
  std::string scheme = "GC";  // "GC" (the catalog) or "LDAP"
  std::string host;           // empty: the directory of this machine's domain
  std::string base_dn;        // empty: the root of the catalog
  SearchScope scope = SearchScope::kSubtree;
  std::string filter = "(objectClass=*)";
  std::vector<std::string> attributes;  // empty: every attribute
  std::vector<SortKey> sort;            // server-side sort, case-insensitive
  std::int32_t size_limit = 0;          // at most this many entries; 0 none
  std::int32_t page_size = 0;           // entries per page; 0 no paging
  std::int32_t timeout_seconds = 0;     // client-side wait; 0 none
  std::int32_t time_limit_seconds = 0;  // server-side limit; 0 none
  bool cache_results = true;
  std::int32_t chase_referrals = kChaseExternal;
};

struct SearchResult {
  std::vector<Entry> entries;
  // More entries matched than size_limit allowed; entries holds the first.
  bool size_limit_exceeded = false;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // The entries in scope that match the filter, sorted as asked (entries
  // without a sort attribute last), at most size_limit of them, each with
  // the requested attributes only. Errors: kServerDown when host is not
  // served, kFilterUnknown for a filter that cannot be parsed.
  virtual SearchResult Search(const SearchRequest& request) = 0;

  // The entry named dn on host with all its attributes, or nullopt.
  virtual std::optional<Entry> Read(std::string_view scheme, std::string_view host,
                                    std::string_view dn) = 0;

  // The root entry of host's server (empty dn): at least "dnsHostName",
  // "defaultNamingContext" and "rootDomainNamingContext".
  virtual Entry RootDse(std::string_view scheme, std::string_view host) = 0;
};

}  // namespace directory

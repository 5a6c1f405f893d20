// LdapBackend: the directory served by an LDAP server (OpenLDAP, Samba AD,
// a domain controller's global catalog), as ldap_config.h configures it.
//
// Paths map to the configured servers: "GC://host" to the catalog URI,
// "LDAP://host" to the server URI; host may be left out, or name the
// server as its URI, its root entry or this machine's names do; another
// host is refused as unreachable. An empty base is the configured base.
//
// The root entry is read from the server; what a server other than a domain
// controller lacks is filled in from the configuration: "dnsHostName" from
// the URI's host (this machine's name for ldapi://), "defaultNamingContext"
// and "rootDomainNamingContext" from the base. A domain controller (its
// root entry lists the Active Directory capability) expands a bare
// "objectCategory=person" itself; for any other server the backend writes
// the category's distinguished name instead.
//
// Searches: "Page Size" pages (RFC 2696); ORDER BY asks the server to sort
// (RFC 2891) where its root entry offers the control and sorts on the client
// where it does not or refuses the attribute, with the same order either
// way; "Size Limit" and the server's "Time Limit" go to the server, the
// client "Timeout" bounds the whole search; referrals are chased as "Chase
// Referrals" says (continuation references are subordinate, a referral
// answer is external), binding with the configured credentials only on the
// configured servers and anonymously elsewhere. Ranged values
// ("member;range=0-1499") are fetched whole.
//
// Cache: a search with "cache results" keeps the entries it returned, with
// all their attributes, so that binding each one afterwards (the mailbox
// listing does) costs no round trip. Only the latest such search is kept,
// and only for a while after it ended (kCacheLifetime); a bind of anything else, or
// later, asks the server. A bound object thus shows the entry as the search
// returned it.
//
// Connections are opened on first use and kept; one that broke is opened
// again on the next call. Safe to use from several threads (calls are
// serialised).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/directory/backend.h"
#include "platform/directory/ldap_config.h"
#include "platform/directory/ldap_wire.h"
#include "platform/directory/machine_facts.h"

namespace directory {

class LdapBackend : public Backend {
 public:
  static constexpr std::chrono::seconds kCacheLifetime{300};

  // cache_lifetime: how long a cached search answers binds.
  LdapBackend(LdapConfig config, MachineFacts facts,
              std::shared_ptr<LdapConnector> connector = LibldapConnector(),
              std::chrono::seconds cache_lifetime = kCacheLifetime);
  ~LdapBackend() override;

  SearchResult Search(const SearchRequest& request) override;
  std::optional<Entry> Read(std::string_view scheme, std::string_view host,
                            std::string_view dn) override;
  Entry RootDse(std::string_view scheme, std::string_view host) override;

  const LdapConfig& config() const { return config_; }

 private:
  struct Server;  // a configured URI, its connection and what its root entry says
  struct Cache;
  struct Collected;

  Server& Target(std::string_view scheme, std::string_view host);
  LdapConnection& Connection(Server& server);
  void ReadRoot(Server& server);
  // Runs search on server page by page, chasing referrals as asked.
  void Run(Server& server, WireSearch search, std::int32_t chase, int hops, Collected& out);
  void RunAt(const std::string& url, const WireSearch& search, std::int32_t chase, int hops,
             Collected& out);
  void CompleteRanges(LdapConnection& connection, const std::string& uri, Entry& entry,
                      const std::optional<std::chrono::steady_clock::time_point>& deadline);
  std::string ExpandCategories(const Server& server, const std::string& filter) const;
  Endpoint EndpointFor(const std::string& uri, bool with_credentials) const;

  const LdapConfig config_;
  const MachineFacts facts_;
  const std::shared_ptr<LdapConnector> connector_;
  const std::chrono::seconds cache_lifetime_;
  std::mutex mu_;
  std::map<std::string, std::unique_ptr<Server>> servers_;  // by URI
  std::unique_ptr<Cache> cache_;
  // Sort orders a server refused (by URI and keys): sorted on the client
  // from then on, without asking again.
  std::set<std::string> refused_sorts_;
};

}  // namespace directory

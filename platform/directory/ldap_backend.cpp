#include "platform/directory/ldap_backend.h"

#include <string.h>

#include <charconv>
#include <thread>

#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/filter.h"
#include "platform/directory/path.h"

namespace directory {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Referrals that point onwards more often than this are a loop or a
// misconfiguration.
constexpr int kMaxReferralHops = 8;
// An attribute is fetched in at most so many ranges.
constexpr int kMaxRanges = 100000;

constexpr const char* kActiveDirectoryCapability = "1.2.840.113556.1.4.800";
constexpr const char* kSortControl = "1.2.840.113556.1.4.473";

bool HasValue(const Entry& e, std::string_view attribute, std::string_view value) {
  const Attribute* a = e.Find(attribute);
  if (a == nullptr) return false;
  for (const std::string& v : a->values) {
    if (v == value) return true;
  }
  return false;
}

std::string FirstValue(const Entry& e, std::string_view attribute) {
  const Attribute* a = e.Find(attribute);
  return a == nullptr || a->values.empty() ? "" : a->values[0];
}

void SetIfMissing(Entry& e, std::string_view attribute, const std::string& value) {
  if (!value.empty() && FirstValue(e, attribute).empty()) e.Add(attribute, value);
}

bool TransportFailure(int code) {
  return code == ldap_code::kServerDown || code == ldap_code::kConnectError;
}

// How long to wait before asking a busy server again, one pause per try.
// OpenLDAP's sort overlay answers "busy" to the next page of a sorted
// search while it is still finishing the last one.
constexpr std::chrono::milliseconds kBusyPauses[] = {
    std::chrono::milliseconds(10), std::chrono::milliseconds(50), std::chrono::milliseconds(200),
    std::chrono::milliseconds(500)};

// A search that asked the server to sort, which refused the keys.
struct SortRefused {};

// "member;range=0-1499": the name without its range, and the range's ends
// ("*" for the last). False for a name without a range option.
bool SplitRange(std::string_view name, std::string& base, std::string& low, std::string& high) {
  if (name.find(';') == std::string_view::npos) return false;  // the common case, cheaply
  // ASCII folding only: it keeps every byte where it is, whatever a server
  // sends as a name.
  std::string folded(name);
  for (char& c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  const std::size_t at = folded.find(";range=");
  if (at == std::string::npos) return false;
  const std::size_t end = folded.find(';', at + 1);
  const std::string_view range =
      name.substr(at + 7, end == std::string::npos ? std::string_view::npos : end - at - 7);
  const std::size_t dash = range.find('-');
  if (dash == std::string_view::npos) return false;
  base = std::string(name.substr(0, at));
  if (end != std::string::npos) base += std::string(name.substr(end));
  low = std::string(range.substr(0, dash));
  high = std::string(range.substr(dash + 1));
  return true;
}

bool ToNumber(std::string_view text, long long& out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && p == text.data() + text.size() && out >= 0;
}

}  // namespace

struct LdapBackend::Server {
  std::string uri;
  LdapUri parsed;
  bool foreign = false;  // named by a referral: bound anonymously
  std::unique_ptr<LdapConnection> connection;
  bool root_read = false;
  Entry root;
  bool is_dc = false;
  bool sorts = false;
  std::string category_base;  // where a bare category's object lives
};

struct LdapBackend::Cache {
  std::string uri;
  Clock::time_point taken;
  std::unordered_map<std::string, Entry> by_name;  // by NormalizeDn
};

struct LdapBackend::Collected {
  std::vector<Entry> entries;
  bool size_limit_exceeded = false;
  bool no_such_object = false;
  bool unsorted = false;  // the server was asked to sort and did not
};

LdapBackend::LdapBackend(LdapConfig config, MachineFacts facts,
                         std::shared_ptr<LdapConnector> connector,
                         std::chrono::seconds cache_lifetime)
    : config_(std::move(config)),
      facts_(std::move(facts)),
      connector_(std::move(connector)),
      cache_lifetime_(cache_lifetime) {
  const std::string problem = LdapConfigProblem(config_);
  if (!problem.empty()) Raise(err::kDecodingError, "(directory settings: " + problem + ")");
}

LdapBackend::~LdapBackend() = default;

Endpoint LdapBackend::EndpointFor(const std::string& uri, bool with_credentials) const {
  Endpoint e;
  e.uri = uri;
  const std::string scheme = ParseReferral(uri) ? ParseReferral(uri)->scheme : "";
  e.starttls = config_.starttls && scheme == "ldap";
  e.ca_file = config_.ca_file;
  if (!with_credentials) return e;
  switch (config_.bind) {
    case LdapConfig::Bind::kAnonymous:
      break;
    case LdapConfig::Bind::kSimple:
      e.bind = Endpoint::Bind::kSimple;
      e.bind_dn = config_.bind_dn;
      e.password = ReadPasswordFile(config_.password_file);
      break;
    case LdapConfig::Bind::kSaslExternal:
      e.bind = Endpoint::Bind::kSaslExternal;
      break;
  }
  return e;
}

LdapConnection& LdapBackend::Connection(Server& server) {
  if (!server.connection) {
    Endpoint endpoint = EndpointFor(server.uri, !server.foreign);
    try {
      server.connection = connector_->Connect(endpoint);
    } catch (...) {
      explicit_bzero(endpoint.password.data(), endpoint.password.size());
      throw;
    }
    // The password is read again for the next connection, never kept.
    explicit_bzero(endpoint.password.data(), endpoint.password.size());
  }
  return *server.connection;
}

void LdapBackend::ReadRoot(Server& server) {
  if (server.root_read) return;
  WireSearch w;
  w.base = "";
  w.scope = SearchScope::kBase;
  w.attributes = {"*", "+"};
  WirePage page = Connection(server).Search(w);
  if (TransportFailure(page.result)) server.connection.reset();
  if (page.result != ldap_code::kSuccess) throw LdapError(page.result, server.uri, page.message);
  Entry root = page.entries.empty() ? Entry{} : std::move(page.entries.front());
  root.dn.clear();
  server.is_dc = HasValue(root, "supportedCapabilities", kActiveDirectoryCapability);
  server.sorts = HasValue(root, "supportedControl", kSortControl);
  const bool local = server.parsed.scheme == "ldapi" || server.parsed.host.empty();
  SetIfMissing(root, "dnsHostName", local ? facts_.DnsHostName() : server.parsed.host);
  SetIfMissing(root, "defaultNamingContext", config_.base);
  SetIfMissing(root, "rootDomainNamingContext", config_.base);
  server.category_base = FirstValue(root, "schemaNamingContext");
  if (server.category_base.empty()) {
    server.category_base =
        "CN=Schema,CN=Configuration," + FirstValue(root, "rootDomainNamingContext");
  }
  server.root = std::move(root);
  server.root_read = true;
}

LdapBackend::Server& LdapBackend::Target(std::string_view scheme, std::string_view host) {
  const bool catalog = core::EqualsNoCase(scheme, "GC") && !config_.gc_uri.empty();
  const std::string& uri = catalog ? config_.gc_uri : config_.uri;
  std::unique_ptr<Server>& slot = servers_[uri];
  if (!slot) {
    slot = std::make_unique<Server>();
    slot->uri = uri;
    slot->parsed = ParseLdapUri(uri);
  }
  Server& server = *slot;
  if (host.empty()) return server;
  const std::string_view name = HostName(host);
  auto names_it = [&](const std::string& candidate) {
    return !candidate.empty() && core::EqualsNoCase(name, candidate);
  };
  bool ours = names_it(server.parsed.host) || names_it(facts_.DnsHostName()) ||
              names_it(facts_.short_name) || names_it(ParseLdapUri(config_.uri).host);
  if (!ours) {
    ReadRoot(server);
    ours = names_it(FirstValue(server.root, "dnsHostName"));
  }
  if (!ours) {
    Raise(err::kServerDown,
          "(" + std::string(host) + " is not a catalog served here; the catalog is " + uri + ")");
  }
  return server;
}

std::string LdapBackend::ExpandCategories(const Server& server, const std::string& filter) const {
  // Parsed in any case, so that a malformed filter is refused here with the
  // same error the catalog file gives.
  Filter parsed = ParseFilter(filter);
  if (server.is_dc) return filter;
  bool changed = false;
  std::vector<Filter*> pending{&parsed};
  while (!pending.empty()) {
    Filter* f = pending.back();
    pending.pop_back();
    for (Filter& c : f->children) pending.push_back(&c);
    if ((f->kind == Filter::Kind::kEqual || f->kind == Filter::Kind::kApprox) &&
        core::EqualsNoCase(f->attribute, "objectCategory") &&
        f->value.find('=') == std::string::npos) {
      f->value = "CN=" + EscapeDnValue(f->value) + "," + server.category_base;
      changed = true;
    }
  }
  return changed ? FilterText(parsed) : filter;
}

void LdapBackend::CompleteRanges(LdapConnection& connection, const std::string& uri, Entry& entry,
                                 const Deadline& deadline) {
  for (std::size_t i = 0; i < entry.attributes.size(); ++i) {
    std::string base, low, high;
    if (!SplitRange(entry.attributes[i].name, base, low, high)) continue;
    std::vector<std::string> values = std::move(entry.attributes[i].values);
    for (int round = 0; high != "*"; ++round) {
      long long last = 0;
      if (!ToNumber(high, last) || round >= kMaxRanges) {
        throw LdapError(-4, uri, "unusable range \"" + Excerpt(high) + "\" of " + base);
      }
      WireSearch w;
      w.base = entry.dn;
      w.scope = SearchScope::kBase;
      w.attributes = {base + ";range=" + std::to_string(last + 1) + "-*"};
      w.deadline = deadline;
      WirePage page = connection.Search(w);
      if (page.result != ldap_code::kSuccess) throw LdapError(page.result, uri, page.message);
      bool more = false;
      for (Entry& e : page.entries) {
        for (Attribute& a : e.attributes) {
          std::string next_base, next_low, next_high;
          if (!SplitRange(a.name, next_base, next_low, next_high) ||
              !core::EqualsNoCase(next_base, base)) {
            continue;
          }
          // Each range must follow on and end later, or the asking would
          // never stop.
          long long first = 0, end = 0;
          if (!ToNumber(next_low, first) || first != last + 1 ||
              (next_high != "*" && (!ToNumber(next_high, end) || end < first))) {
            throw LdapError(
                -4, uri, "range of " + base + " does not continue at " + std::to_string(last + 1));
          }
          values.insert(values.end(), a.values.begin(), a.values.end());
          high = next_high;
          more = true;
        }
      }
      if (!more) break;  // the server has no more values
    }
    entry.attributes[i].name = base;
    entry.attributes[i].values = std::move(values);
  }
}

void LdapBackend::Run(Server& server, WireSearch w, std::int32_t chase, int hops, Collected& out) {
  std::vector<std::string> references;
  bool first = true;
  while (true) {
    // A kept connection may have gone stale since its last use: the first
    // page is asked again once on a new one.
    const bool kept = server.connection != nullptr;
    WirePage page = Connection(server).Search(w);
    for (std::chrono::milliseconds pause : kBusyPauses) {
      if (page.result != ldap_code::kBusy) break;
      if (w.deadline && Clock::now() + pause >= *w.deadline) break;
      std::this_thread::sleep_for(pause);
      page = Connection(server).Search(w);
    }
    if (TransportFailure(page.result)) {
      server.connection.reset();
      if (first && kept) page = Connection(server).Search(w);
      if (TransportFailure(page.result)) {
        server.connection.reset();
        throw LdapError(page.result, server.uri, page.message);
      }
    }
    const bool sort_refused = page.result == ldap_code::kInappropriateMatching ||
                              page.result == ldap_code::kUnavailableCriticalExtension ||
                              page.result == ldap_code::kUnwillingToPerform;
    if (!w.sort.empty() && sort_refused && out.entries.empty()) throw SortRefused{};
    if (!w.sort.empty() && !page.entries.empty() &&
        (!page.sort_result || *page.sort_result != ldap_code::kSuccess)) {
      out.unsorted = true;
    }
    first = false;
    for (Entry& e : page.entries) {
      CompleteRanges(*server.connection, server.uri, e, w.deadline);
      out.entries.push_back(std::move(e));
    }
    references.insert(references.end(), page.references.begin(), page.references.end());
    if (page.result == ldap_code::kReferral) {
      if ((chase & kChaseExternal) == 0 || page.referrals.empty()) {
        throw LdapError(page.result, server.uri,
                        page.referrals.empty() ? page.message : page.referrals.front());
      }
      // The base lies elsewhere as a whole; the first server that answers
      // holds it.
      std::optional<core::RuntimeError> last;
      for (const std::string& url : page.referrals) {
        try {
          RunAt(url, w, chase, hops + 1, out);
          return;
        } catch (const core::RuntimeError& e) {
          last = e;
        }
      }
      throw *last;
    }
    if (page.result == ldap_code::kNoSuchObject) {
      out.no_such_object = true;
      return;
    }
    if (page.result == ldap_code::kSizeLimitExceeded) {
      out.size_limit_exceeded = true;
      break;
    }
    if (page.result != ldap_code::kSuccess) {
      throw LdapError(page.result, server.uri, page.message);
    }
    if (page.cookie.empty() || w.page_size == 0) break;
    if (page.cookie == w.cookie && page.entries.empty()) {
      throw LdapError(-4, server.uri, "the server's pages do not advance");
    }
    w.cookie = page.cookie;
  }
  if ((chase & kChaseSubordinate) == 0) return;
  // A continuation reference stands for a part of the tree kept elsewhere:
  // searched there with the same filter, one level becoming the base.
  WireSearch below = w;
  below.cookie.clear();
  if (below.scope == SearchScope::kOneLevel) below.scope = SearchScope::kBase;
  for (const std::string& url : references) RunAt(url, below, chase, hops + 1, out);
}

void LdapBackend::RunAt(const std::string& url, const WireSearch& search, std::int32_t chase,
                        int hops, Collected& out) {
  if (hops > kMaxReferralHops) {
    Raise(err::kReferral, "(more than " + std::to_string(kMaxReferralHops) +
                              " referrals in a row, the last to " + Excerpt(url, 200) + ")");
  }
  std::optional<ReferralTarget> target = ParseReferral(url);
  if (!target || target->scheme == "ldapi") {
    Raise(err::kReferral, "(the server referred to \"" + Excerpt(url, 200) +
                              "\", which is no "
                              "LDAP server address this machine follows)");
  }
  WireSearch w = search;
  w.cookie.clear();
  if (!target->dn.empty()) w.base = target->dn;
  // The configured servers are bound to as configured; a server only the
  // directory names never sees the credentials.
  for (const std::string& uri : {config_.uri, config_.gc_uri}) {
    if (uri.empty()) continue;
    std::optional<ReferralTarget> configured = ParseReferral(uri);
    if (configured && core::EqualsNoCase(configured->server, target->server)) {
      Server& server = Target(uri == config_.gc_uri ? "GC" : "LDAP", "");
      ReadRoot(server);
      Run(server, w, chase, hops, out);
      return;
    }
  }
  Server foreign;
  foreign.uri = target->server;
  foreign.foreign = true;
  Run(foreign, w, chase, hops, out);
}

SearchResult LdapBackend::Search(const SearchRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  Server& server = Target(request.scheme, request.host);
  ReadRoot(server);
  if (request.cache_results) cache_.reset();  // only the latest is kept

  WireSearch w;
  w.base = request.base_dn.empty() ? config_.base : request.base_dn;
  w.scope = request.scope;
  w.filter = ExpandCategories(server, request.filter);
  if (request.cache_results) w.attributes.push_back("*");  // whole entries for later binds
  for (const std::string& a : request.attributes) {
    if (a != "*") w.attributes.push_back(a);
  }
  w.time_limit_seconds = request.time_limit_seconds;
  w.page_size = request.page_size;
  if (request.timeout_seconds > 0) {
    w.deadline = Clock::now() + std::chrono::seconds(request.timeout_seconds);
  }
  std::string sort_key = server.uri;
  for (const SortKey& k : request.sort) sort_key += (k.descending ? " -" : " ") + k.attribute;
  // OpenLDAP's sort overlay drops continuation references; where they are
  // to be chased, only a domain controller is trusted to sort.
  const bool trusted_sort =
      server.sorts && (server.is_dc || (request.chase_referrals & kChaseSubordinate) == 0);
  bool client_sort =
      !request.sort.empty() && (!trusted_sort || refused_sorts_.count(sort_key) != 0);
  if (!client_sort) w.sort = request.sort;
  // Sorted here, the whole result is needed before the first are kept.
  w.size_limit = client_sort ? 0 : request.size_limit;

  Collected got;
  try {
    Run(server, w, request.chase_referrals, 0, got);
    if (got.unsorted && got.size_limit_exceeded) throw SortRefused{};
  } catch (const SortRefused&) {
    refused_sorts_.insert(sort_key);
    client_sort = true;
    w.sort.clear();
    w.size_limit = 0;
    w.cookie.clear();
    got = Collected{};
    Run(server, w, request.chase_referrals, 0, got);
  }
  if (got.no_such_object) Raise(err::kNoSuchObject, "(" + w.base + " on " + server.uri + ")");

  std::vector<const Entry*> order;
  order.reserve(got.entries.size());
  for (const Entry& e : got.entries) order.push_back(&e);
  if (client_sort || got.unsorted) SortEntries(order, request.sort);
  SearchResult result;
  result.size_limit_exceeded = got.size_limit_exceeded;
  if (request.size_limit > 0 && order.size() > static_cast<std::size_t>(request.size_limit)) {
    order.resize(static_cast<std::size_t>(request.size_limit));
    result.size_limit_exceeded = true;
  }

  if (request.cache_results) {
    auto cache = std::make_unique<Cache>();
    cache->uri = server.uri;
    for (const Entry* e : order) {
      try {
        cache->by_name.emplace(NormalizeDn(e->dn), *e);
      } catch (const core::RuntimeError&) {
        // A name the server sent that is no name: bound by asking again.
      }
    }
    cache->taken = Clock::now();
    cache_ = std::move(cache);
  }
  result.entries.reserve(order.size());
  for (const Entry* e : order) {
    Entry projected{e->dn, {}};
    for (const std::string& want : request.attributes) {
      const Attribute* a = e->Find(want);
      if (a != nullptr && projected.Find(want) == nullptr) projected.attributes.push_back(*a);
    }
    result.entries.push_back(std::move(projected));
  }
  return result;
}

std::optional<Entry> LdapBackend::Read(std::string_view scheme, std::string_view host,
                                       std::string_view dn) {
  std::lock_guard<std::mutex> lock(mu_);
  Server& server = Target(scheme, host);
  if (dn.empty()) return std::nullopt;  // the root is the root entry's, not an object
  if (cache_ && cache_->uri == server.uri && Clock::now() - cache_->taken < cache_lifetime_) {
    auto it = cache_->by_name.find(NormalizeDn(dn));
    if (it != cache_->by_name.end()) return it->second;
  }
  ReadRoot(server);
  WireSearch w;
  w.base = std::string(dn);
  w.scope = SearchScope::kBase;
  Collected got;
  Run(server, w, kChaseExternal, 0, got);
  if (got.no_such_object || got.entries.empty()) return std::nullopt;
  return std::move(got.entries.front());
}

Entry LdapBackend::RootDse(std::string_view scheme, std::string_view host) {
  std::lock_guard<std::mutex> lock(mu_);
  Server& server = Target(scheme, host);
  ReadRoot(server);
  return server.root;
}

}  // namespace directory

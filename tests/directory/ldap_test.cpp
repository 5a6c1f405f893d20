// The LDAP backend against a real server (a private slapd): paging, sorting
// on the server or the client, limits, a server that goes away or stops
// answering, credentials, TLS, referrals, the listing's cache, and values
// with every character a filter treats specially.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "platform/ado/command.h"
#include "platform/ado/connection.h"
#include "platform/ado/recordset.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/ldap_backend.h"
#include "platform/directory/object.h"
#include "platform/directory/path.h"
#include "platform/directory/provider.h"
#include "tests/directory/base64.h"
#include "tests/directory/expect_error.h"
#include "tests/directory/recording_wire.h"
#include "tests/directory/slapd.h"
#include "tools/zenthra-store/directory_seed.h"

namespace directory {
namespace {

namespace fs = std::filesystem;
using core::Variant;
using testing::RecordingWire;
using testing::Slapd;

const MachineFacts kFacts{"mail01", "example.com"};
const std::string kPersonCategory = "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com";

// The sAMAccountName of each entry, in order.
std::vector<std::string> Accounts(const SearchResult& r) {
  std::vector<std::string> out;
  for (const Entry& e : r.entries) {
    const Attribute* a = e.Find("sAMAccountName");
    out.push_back(a != nullptr ? a->values[0] : "");
  }
  return out;
}

std::vector<std::string> Numbered(int from, int to, bool descending = false) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "p%06d", i);
    out.push_back(name);
  }
  if (descending) std::reverse(out.begin(), out.end());
  return out;
}

class LdapTest : public ::testing::Test {
 protected:
  // A server holding count numbered persons (store::cli::PeopleLdif).
  Slapd& Serve(int count, Slapd::Options options = {}, const std::string& more = "") {
    servers_.push_back(std::make_unique<Slapd>(options));
    Slapd& s = *servers_.back();
    if (!s.Available()) return s;
    s.Load(store::cli::PeopleLdif({"mail01", "example.com"}, count, count / 5) + more);
    s.Start();
    return s;
  }

  LdapConfig Config(const Slapd& s) {
    LdapConfig c;
    c.uri = s.LdapUri();
    c.base = s.Suffix();
    return c;
  }

  LdapBackend& Backend(LdapConfig config,
                       std::chrono::seconds lifetime = LdapBackend::kCacheLifetime) {
    wire_ = std::make_shared<RecordingWire>(LibldapConnector());
    backend_ = std::make_unique<LdapBackend>(std::move(config), kFacts, wire_, lifetime);
    return *backend_;
  }

  static SearchRequest Persons(std::vector<SortKey> sort = {}) {
    SearchRequest r;
    r.filter = "(&(objectCategory=person)(msExchMailboxGuid=*))";
    r.attributes = {"sAMAccountName", "cn"};
    r.sort = std::move(sort);
    return r;
  }

  // The pages sent since the last call.
  std::vector<RecordingWire::Page> TakePages() {
    std::vector<RecordingWire::Page> out = std::move(wire_->pages);
    wire_->pages.clear();
    return out;
  }

  std::vector<std::unique_ptr<Slapd>> servers_;
  std::shared_ptr<RecordingWire> wire_;
  std::unique_ptr<LdapBackend> backend_;
};

#define SERVE_OR_SKIP(slapd) \
  if (!(slapd).Available()) GTEST_SKIP() << (slapd).SkipReason()

TEST_F(LdapTest, PagesAcrossPageBoundariesAndTheServerSorts) {
  Slapd& slapd = Serve(250);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  SearchRequest r = Persons({{"sAMAccountName", true}});
  r.page_size = 100;
  SearchResult got = backend.Search(r);
  EXPECT_EQ(Accounts(got), Numbered(1, 250, /*descending=*/true));
  EXPECT_FALSE(got.size_limit_exceeded);
  // The root entry was read once; then three pages, each sorted by the server.
  std::vector<RecordingWire::Page> pages = TakePages();
  ASSERT_EQ(pages.size(), 4u);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(pages[i].entries, i < 3 ? 100u : 50u);
    EXPECT_EQ(pages[i].search.page_size, 100);
    ASSERT_EQ(pages[i].search.sort.size(), 1u);
    EXPECT_EQ(pages[i].sort_result, 0);
  }
  EXPECT_EQ(pages[1].search.cookie, "");
  EXPECT_NE(pages[2].search.cookie, "");
}

TEST_F(LdapTest, OrderIsTheSameWhereverTheSortHappens) {
  Slapd& sorting = Serve(120);
  SERVE_OR_SKIP(sorting);
  Slapd& plain = Serve(120, {.sort_overlay = false});
  const std::vector<std::string> want = Numbered(1, 120);

  // With the overlay the server sorts an attribute that has an ordering
  // rule; it refuses cn (none in the standard schema), which is then sorted
  // here, and not asked of it again.
  LdapBackend& backend = Backend(Config(sorting));
  SearchRequest by_account = Persons({{"sAMAccountName", false}});
  by_account.page_size = 50;
  EXPECT_EQ(Accounts(backend.Search(by_account)), want);
  EXPECT_FALSE(TakePages().back().search.sort.empty());
  SearchRequest by_name = Persons({{"cn", false}});
  by_name.page_size = 50;
  EXPECT_EQ(Accounts(backend.Search(by_name)), want);
  std::vector<RecordingWire::Page> pages = TakePages();
  EXPECT_EQ(pages.front().result, 18) << "inappropriate matching: no ordering rule for cn";
  EXPECT_TRUE(pages.back().search.sort.empty());
  EXPECT_EQ(Accounts(backend.Search(by_name)), want);
  EXPECT_TRUE(TakePages().front().search.sort.empty()) << "the refusal is remembered";

  // Without it the root entry offers no sort control: never asked.
  LdapBackend& other = Backend(Config(plain));
  SearchRequest descending = Persons({{"sAMAccountName", true}});
  EXPECT_EQ(Accounts(other.Search(descending)), Numbered(1, 120, true));
  for (const RecordingWire::Page& p : TakePages()) EXPECT_TRUE(p.search.sort.empty());
}

TEST_F(LdapTest, SizeLimitHoldsAcrossPagesAndKeepsTheFirstInOrder) {
  Slapd& slapd = Serve(300);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  for (const char* key : {"sAMAccountName", "cn"}) {  // sorted by the server, then here
    SCOPED_TRACE(key);
    SearchRequest r = Persons({{key, false}});
    r.page_size = 100;
    r.size_limit = 120;
    SearchResult got = backend.Search(r);
    EXPECT_EQ(Accounts(got), Numbered(1, 120));
    EXPECT_TRUE(got.size_limit_exceeded);
  }
  SearchRequest unsorted = Persons();
  unsorted.page_size = 100;
  unsorted.size_limit = 300;
  EXPECT_FALSE(backend.Search(unsorted).size_limit_exceeded);
  unsorted.size_limit = 299;
  SearchResult cut = backend.Search(unsorted);
  EXPECT_EQ(cut.entries.size(), 299u);
  EXPECT_TRUE(cut.size_limit_exceeded);
}

TEST_F(LdapTest, AServerThatGoesAwayMidSearchIsReportedAndFoundAgainLater) {
  Slapd& slapd = Serve(300);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  SearchRequest r = Persons({{"sAMAccountName", false}});
  r.page_size = 100;
  wire_->after_page = [&](std::size_t page) {
    if (page == 2) slapd.Kill();  // after the root entry and the first page
  };
  EXPECT_RUNTIME_ERROR(backend.Search(r), err::kServerDown, slapd.LdapUri());
  wire_->after_page = nullptr;
  EXPECT_RUNTIME_ERROR(backend.Search(r), err::kServerDown, "Can't contact LDAP server");
  slapd.Start();
  EXPECT_EQ(backend.Search(r).entries.size(), 300u);

  // A connection that went stale while the server restarted is opened
  // again without the caller seeing a failure.
  slapd.Stop();
  slapd.Start();
  EXPECT_EQ(backend.Search(r).entries.size(), 300u);
}

TEST_F(LdapTest, AServerThatStopsAnsweringRunsIntoTheTimeout) {
  Slapd& slapd = Serve(10);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  SearchRequest r = Persons();
  r.timeout_seconds = 2;
  EXPECT_EQ(backend.Search(r).entries.size(), 10u);
  slapd.Pause();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_RUNTIME_ERROR(backend.Search(r), err::kTimeLimitExceeded, "no answer in time");
  // It gave up on its own (the server would never have answered).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  slapd.Resume();
  EXPECT_EQ(backend.Search(r).entries.size(), 10u);
}

TEST_F(LdapTest, CredentialsAreCheckedAndTheirFileMustBePrivate) {
  Slapd& slapd = Serve(3);
  SERVE_OR_SKIP(slapd);
  LdapConfig c = Config(slapd);
  c.bind = LdapConfig::Bind::kSimple;
  c.bind_dn = slapd.AdminDn();
  c.password_file = slapd.AdminPasswordFile();
  EXPECT_EQ(Backend(c).Search(Persons()).entries.size(), 3u);
  EXPECT_EQ(wire_->endpoints.at(0).bind, Endpoint::Bind::kSimple);

  const fs::path wrong = slapd.folder() / "wrong.secret";
  std::ofstream(wrong) << "not the password\n";
  ::chmod(wrong.c_str(), 0600);
  c.password_file = wrong;
  EXPECT_RUNTIME_ERROR(Backend(c).Search(Persons()), err::kLogonFailure, "Invalid credentials");
  EXPECT_RUNTIME_ERROR(Backend(c).Search(Persons()), err::kLogonFailure, slapd.LdapUri());

  ::chmod(slapd.AdminPasswordFile().c_str(), 0640);
  c.password_file = slapd.AdminPasswordFile();
  EXPECT_RUNTIME_ERROR(Backend(c).Search(Persons()), err::kDecodingError, "make it 0600");
  EXPECT_TRUE(wire_->endpoints.empty()) << "the password was never sent";
}

TEST_F(LdapTest, EveryFilterSpecialCharacterMatchesOnlyItself) {
  // RFC 4515 escapes "*", "(", ")", "\" and NUL; the quote is the query
  // dialect's own. Each name is found by itself and by nothing else.
  const std::vector<std::string> names = {"a*b",     "(x)",        "back\\slash",
                                          "o'brien", "Zo\xC3\xAB", "*"};
  std::string ldif;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ldif += "\ndn: CN=Odd " + std::to_string(i) +
            ",CN=Users,DC=example,DC=com\nobjectCategory: " + kPersonCategory +
            "\nsAMAccountName:: " + testing::Base64(names[i]) + "\n";
  }
  Slapd& slapd = Serve(5, {}, ldif);
  SERVE_OR_SKIP(slapd);
  fs::path root = slapd.folder() / "root";
  fs::create_directories(root / "directory");
  std::ofstream(LdapConfigPath(root)) << "uri " << slapd.LdapUri() << "\nbase DC=example,DC=com\n";
  core::SetServerRoot(root);
  RegisterProvider(kFacts);
  // How many persons the query finds for value, and the first one's name.
  auto find = [&](const std::string& value) {
    auto cnn = std::make_shared<adodb::Connection>();
    cnn->Provider("adsDSOobject");
    cnn->Open("Active Directory Provider", "", "", -1);
    auto cmd = std::make_shared<adodb::Command>();
    cmd->ActiveConnection(cnn);
    cmd->CommandText(
        "SELECT sAMAccountName FROM 'GC://mail01.example.com' WHERE "
        "objectCategory='person' AND sAMAccountName='" +
        core::Replace(value, "'", "''") + "'");
    auto rs = cmd->Execute(-1);
    return rs->Eof() ? std::string("(none)")
                     : rs->Fields()["sAMAccountName"].Value().AsString() + " x" +
                           std::to_string(rs->RecordCount());
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    if (name == "*") {
      EXPECT_THAT(find(name), ::testing::EndsWith(" x11")) << "the bare star asks for presence";
    } else {
      EXPECT_EQ(find(name), name + " x1");
    }
  }
  EXPECT_EQ(find("zo\xC3\xAB"), "Zo\xC3\xAB x1");  // without regard to case, beyond ASCII
  for (const std::string& probe : {std::string("a*"), std::string("*)(cn=*"),
                                   std::string("nul\0byte", 8), std::string("back\\5cslash")}) {
    EXPECT_EQ(find(probe), "(none)") << probe;
  }
}

TEST_F(LdapTest, BareCategoriesAreSpelledOutForAServerThatIsNoDomainController) {
  Slapd& slapd = Serve(4);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  EXPECT_EQ(backend.Search(Persons()).entries.size(), 4u);
  EXPECT_EQ(TakePages().back().search.filter,
            "(&(objectCategory=CN=person,CN=Schema,CN=Configuration,DC=example,DC=com)"
            "(msExchMailboxGuid=*))");
  SearchRequest spelled = Persons();
  spelled.filter = "(objectCategory=" + kPersonCategory + ")";
  EXPECT_EQ(backend.Search(spelled).entries.size(), 4u);
  EXPECT_EQ(TakePages().back().search.filter, spelled.filter) << "sent as written";
  SearchRequest bad = Persons();
  bad.filter = "(objectCategory=person";
  EXPECT_RUNTIME_ERROR(backend.Search(bad), err::kFilterUnknown, "offset");
}

TEST_F(LdapTest, TlsTrustsTheSystemsAuthoritiesAndTheConfiguredOne) {
  Slapd& slapd = Serve(2, {.tls = true});
  SERVE_OR_SKIP(slapd);
  LdapConfig c = Config(slapd);
  c.uri = slapd.LdapsUri();
  EXPECT_RUNTIME_ERROR(Backend(c).Search(Persons()), err::kServerDown, slapd.LdapsUri());
  c.ca_file = slapd.CaFile();
  EXPECT_EQ(Backend(c).Search(Persons()).entries.size(), 2u);

  c.uri = slapd.LdapUri();
  c.starttls = true;
  EXPECT_EQ(Backend(c).Search(Persons()).entries.size(), 2u);
  c.ca_file.clear();
  EXPECT_RUNTIME_ERROR(Backend(c).Search(Persons()), err::kServerDown, "Connect error");
}

TEST_F(LdapTest, SaslExternalBindsOverTheLocalSocket) {
  Slapd& slapd = Serve(2);
  SERVE_OR_SKIP(slapd);
  LdapConfig c = Config(slapd);
  c.uri = slapd.LdapiUri();
  c.bind = LdapConfig::Bind::kSaslExternal;
  LdapBackend& backend = Backend(c);
  EXPECT_EQ(backend.Search(Persons()).entries.size(), 2u);
  // Over a socket the catalog is this machine.
  EXPECT_EQ(backend.RootDse("GC", "").Find("dnsHostName")->values[0], kFacts.DnsHostName());
}

TEST_F(LdapTest, ReferralsAreChasedAsAsked) {
  // The branch's people live elsewhere in the tree; a search of the Users
  // container finds them through a reference (subordinate), a search of the
  // branch itself through a referral answer (external).
  servers_.push_back(std::make_unique<Slapd>());
  Slapd& s = *servers_.back();
  SERVE_OR_SKIP(s);
  // The referral names this very server, by another name than the
  // configuration's.
  s.Load(
      "dn: CN=Users,DC=example,DC=com\ncn: Users\n\n"
      "dn: CN=Branch,CN=Users,DC=example,DC=com\nobjectClass: referral\ncn: Branch\nref: " +
      s.HostUri("localhost") + "/OU=Far,DC=example,DC=com\n\n" +
      "dn: CN=Near,CN=Users,DC=example,DC=com\nobjectCategory: " + kPersonCategory +
      "\nmsExchMailboxGuid: 1\nsAMAccountName: near\n\n"
      "dn: CN=Remote,OU=Far,DC=example,DC=com\nobjectCategory: " +
      kPersonCategory + "\nmsExchMailboxGuid: 1\nsAMAccountName: remote\n");
  s.Start();
  LdapBackend& backend = Backend(Config(s));
  SearchRequest users = Persons({{"sAMAccountName", false}});
  users.base_dn = "CN=Users,DC=example,DC=com";
  // (Sorted here: OpenLDAP's sort overlay drops continuation references.)
  users.chase_referrals = kChaseNever;
  EXPECT_EQ(Accounts(backend.Search(users)), std::vector<std::string>{"near"});
  users.chase_referrals = kChaseExternal;
  EXPECT_EQ(Accounts(backend.Search(users)), std::vector<std::string>{"near"});
  users.chase_referrals = kChaseSubordinate;
  EXPECT_EQ(Accounts(backend.Search(users)), (std::vector<std::string>{"near", "remote"}));
  // "localhost" is not how the configuration names the server: chased
  // without its credentials.
  EXPECT_EQ(wire_->endpoints.back().uri, s.HostUri("localhost"));
  EXPECT_EQ(wire_->endpoints.back().bind, Endpoint::Bind::kAnonymous);

  SearchRequest branch = Persons();
  branch.base_dn = "CN=Branch,CN=Users,DC=example,DC=com";
  branch.chase_referrals = kChaseAlways;
  EXPECT_EQ(Accounts(backend.Search(branch)), std::vector<std::string>{"remote"});
  branch.chase_referrals = kChaseSubordinate;
  EXPECT_RUNTIME_ERROR(backend.Search(branch), err::kReferral, "ou=Far,dc=example,dc=com");
}

TEST_F(LdapTest, TheListingsBindsComeFromItsCachedSearch) {
  Slapd& slapd = Serve(50);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  SearchRequest listing = Persons({{"cn", false}});
  listing.cache_results = true;
  listing.page_size = 20;
  SearchResult got = backend.Search(listing);
  ASSERT_EQ(got.entries.size(), 50u);
  // Only what was asked comes back, though whole entries were fetched.
  EXPECT_EQ(got.entries[0].Find("userAccountControl"), nullptr);
  TakePages();
  for (const Entry& e : got.entries) {
    std::optional<Entry> bound = backend.Read("GC", "", e.dn);
    ASSERT_TRUE(bound);
    EXPECT_EQ(bound->Find("userAccountControl")->values[0], "512");
  }
  EXPECT_TRUE(TakePages().empty()) << "50 binds, no round trip";

  // Not cached: each bind asks the server, and so does everything once the
  // cached search has aged.
  listing.cache_results = false;
  backend.Search(listing);
  TakePages();
  EXPECT_TRUE(backend.Read("GC", "", got.entries[0].dn));
  EXPECT_EQ(TakePages().size(), 0u) << "the earlier cached search still answers";
  LdapBackend& aged = Backend(Config(slapd), std::chrono::seconds(0));
  listing.cache_results = true;
  aged.Search(listing);
  TakePages();
  EXPECT_TRUE(aged.Read("GC", "", got.entries[0].dn));
  EXPECT_EQ(TakePages().size(), 1u);
  EXPECT_FALSE(aged.Read("GC", "", "CN=Gone,CN=Users,DC=example,DC=com"));
}

TEST_F(LdapTest, HostsAreTheConfiguredServersOnly) {
  Slapd& slapd = Serve(1);
  SERVE_OR_SKIP(slapd);
  LdapBackend& backend = Backend(Config(slapd));
  SearchRequest r = Persons();
  for (const char* host : {"127.0.0.1", "mail01", "MAIL01.example.com:3268"}) {
    r.host = host;
    EXPECT_EQ(backend.Search(r).entries.size(), 1u) << host;
  }
  r.host = "intruder.example.net";
  EXPECT_RUNTIME_ERROR(backend.Search(r), err::kServerDown,
                       "intruder.example.net is not a catalog served here");
}

}  // namespace
}  // namespace directory

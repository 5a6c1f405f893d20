// What a domain controller (or Samba AD) answers differently, played at the
// wire: its global catalog on port 3268, its own expansion of a bare
// objectCategory, values handed out in ranges, and referrals to servers the
// configuration does not name; and a server too busy to answer at once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>

#include "platform/directory/errors.h"
#include "platform/directory/ldap_backend.h"
#include "tests/directory/expect_error.h"

namespace directory {
namespace {

const MachineFacts kFacts{"mail01", "example.com"};

// A scripted server: answers by (URI, base), records what was asked.
class FakeServers : public LdapConnector {
 public:
  struct Asked {
    std::string uri;
    WireSearch search;
  };
  using Answer = std::function<WirePage(const WireSearch&)>;

  std::unique_ptr<LdapConnection> Connect(const Endpoint& e) override {
    connected.push_back(e);
    if (down.count(e.uri)) throw LdapError(ldap_code::kServerDown, e.uri, "");
    return std::make_unique<Connection>(*this, e.uri);
  }

  void On(const std::string& uri, const std::string& base, Answer answer) {
    answers[{uri, base}] = std::move(answer);
  }

  std::vector<Endpoint> connected;
  std::vector<Asked> asked;
  std::set<std::string> down;

 private:
  class Connection : public LdapConnection {
   public:
    Connection(FakeServers& s, std::string uri) : s_(s), uri_(std::move(uri)) {}
    WirePage Search(const WireSearch& search) override {
      s_.asked.push_back({uri_, search});
      auto it = s_.answers.find({uri_, search.base});
      if (it == s_.answers.end()) {
        WirePage none;
        none.result = ldap_code::kNoSuchObject;
        return none;
      }
      return it->second(search);
    }

   private:
    FakeServers& s_;
    std::string uri_;
  };

  std::map<std::pair<std::string, std::string>, Answer> answers;
};

const std::string kDc = "ldap://dc1.example.com";
const std::string kGc = "ldap://dc1.example.com:3268";

Entry Make(std::string dn, std::vector<std::pair<std::string, std::vector<std::string>>> attrs) {
  Entry e{std::move(dn), {}};
  for (auto& [name, values] : attrs) e.attributes.push_back({name, values});
  return e;
}

WirePage One(Entry e) {
  WirePage p;
  p.entries.push_back(std::move(e));
  return p;
}

// The root entry of a domain controller of example.com.
WirePage DcRoot(const WireSearch&) {
  return One(
      Make("", {{"dnsHostName", {"dc1.example.com"}},
                {"defaultNamingContext", {"DC=example,DC=com"}},
                {"rootDomainNamingContext", {"DC=example,DC=com"}},
                {"schemaNamingContext", {"CN=Schema,CN=Configuration,DC=example,DC=com"}},
                {"supportedCapabilities", {"1.2.840.113556.1.4.800"}},
                {"supportedControl", {"1.2.840.113556.1.4.319", "1.2.840.113556.1.4.473"}}}));
}

class DomainControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    servers_ = std::make_shared<FakeServers>();
    servers_->On(kDc, "", DcRoot);
    servers_->On(kGc, "", DcRoot);
  }
  LdapBackend& Backend() {
    LdapConfig c;
    c.uri = kDc;
    c.gc_uri = kGc;
    c.base = "DC=example,DC=com";
    backend_ = std::make_unique<LdapBackend>(c, kFacts, servers_);
    return *backend_;
  }
  std::shared_ptr<FakeServers> servers_;
  std::unique_ptr<LdapBackend> backend_;
};

TEST_F(DomainControllerTest, TheCatalogAnswersOnItsPortAndExpandsCategoriesItself) {
  servers_->On(kGc, "DC=example,DC=com", [](const WireSearch& s) {
    return One(Make("CN=Ann,CN=Users,DC=example,DC=com", {{"cn", {"Ann"}}, {"sn", {s.filter}}}));
  });
  LdapBackend& backend = Backend();
  EXPECT_EQ(backend.RootDse("GC", "").Find("dnsHostName")->values[0], "dc1.example.com");
  SearchRequest r;
  r.scheme = "GC";
  r.host = "dc1.example.com";
  r.filter = "(&(objectcategory=person)(MsExchMailboxGuid=*))";
  r.attributes = {"cn"};
  SearchResult got = backend.Search(r);
  ASSERT_EQ(got.entries.size(), 1u);
  // Sent unchanged, to the catalog's port.
  EXPECT_EQ(servers_->asked.back().uri, kGc);
  EXPECT_EQ(servers_->asked.back().search.filter, r.filter);
  EXPECT_EQ(servers_->asked.back().search.base, "DC=example,DC=com");
  // The server's name from its root entry is one of its names.
  r.scheme = "LDAP";
  EXPECT_RUNTIME_ERROR(backend.Search(r), err::kNoSuchObject, kDc);
  EXPECT_EQ(servers_->asked.back().uri, kDc);
}

TEST_F(DomainControllerTest, ABusyServerIsAskedAgainAfterAMomentButNotForever) {
  int busy = 2;
  servers_->On(kDc, "DC=example,DC=com", [&](const WireSearch&) {
    if (busy-- > 0) {
      WirePage p;
      p.result = ldap_code::kBusy;
      p.message = "Other sort requests already in progress";
      return p;
    }
    return One(Make("CN=Ann,CN=Users,DC=example,DC=com", {{"cn", {"Ann"}}}));
  });
  SearchRequest r;
  r.scheme = "LDAP";
  r.host = "dc1.example.com";
  r.filter = "(cn=Ann)";
  r.attributes = {"cn"};
  auto asked = [&] {
    std::size_t n = 0;
    for (const FakeServers::Asked& a : servers_->asked) n += a.search.base == "DC=example,DC=com";
    return n;
  };
  LdapBackend& backend = Backend();
  EXPECT_EQ(backend.Search(r).entries.size(), 1u);
  EXPECT_EQ(asked(), 3u);

  busy = 1000;
  servers_->asked.clear();
  EXPECT_RUNTIME_ERROR(backend.Search(r), err::kServerDown, "Other sort requests");
  EXPECT_EQ(asked(), 5u);  // the first question and four more
}

TEST_F(DomainControllerTest, RangedValuesAreFetchedWhole) {
  const std::string group = "CN=Staff,CN=Users,DC=example,DC=com";
  servers_->On(kGc, "DC=example,DC=com", [&](const WireSearch&) {
    return One(Make(group, {{"cn", {"Staff"}}, {"member;range=0-1", {"a", "b"}}}));
  });
  servers_->On(kGc, group, [&](const WireSearch& s) {
    const std::string asked = s.attributes.at(0);
    if (asked == "member;range=2-*") {
      return One(Make(group, {{"member;range=2-3", {"c", "d"}}}));
    }
    if (asked == "member;range=4-*") return One(Make(group, {{"member;range=4-*", {"e"}}}));
    return One(Make(group, {{"member;range=9-*", {"wrong"}}}));
  });
  SearchRequest r;
  r.attributes = {"member"};
  SearchResult got = Backend().Search(r);
  ASSERT_EQ(got.entries.size(), 1u);
  ASSERT_NE(got.entries[0].Find("member"), nullptr);
  EXPECT_EQ(got.entries[0].Find("member")->values,
            (std::vector<std::string>{"a", "b", "c", "d", "e"}));

  // A server whose ranges do not follow on is refused, not trusted.
  servers_->On(kGc, "DC=example,DC=com", [&](const WireSearch&) {
    return One(Make(group, {{"member;range=0-5", {"a"}}}));
  });
  EXPECT_RUNTIME_ERROR(Backend().Search(r), err::kDecodingError, "does not continue at 6");
  servers_->On(kGc, "DC=example,DC=com", [&](const WireSearch&) {
    return One(Make(group, {{"member;range=0-1", {"a", "b"}}}));
  });
  servers_->On(kGc, group, [&](const WireSearch&) {
    return One(Make(group, {{"member;range=2-1", {"c"}}}));  // ends before it starts
  });
  EXPECT_RUNTIME_ERROR(Backend().Search(r), err::kDecodingError, "does not continue at 2");
}

TEST_F(DomainControllerTest, ReferralsToOtherServersGetNoCredentials) {
  servers_->On(kGc, "DC=example,DC=com", [](const WireSearch&) {
    WirePage p = One(Make("CN=Here,DC=example,DC=com", {{"cn", {"Here"}}}));
    p.references = {"ldap://dc9.child.example.com/DC=child,DC=example,DC=com"};
    return p;
  });
  servers_->On("ldap://dc9.child.example.com:389", "DC=child,DC=example,DC=com",
               [](const WireSearch&) {
                 return One(Make("CN=There,DC=child,DC=example,DC=com", {{"cn", {"There"}}}));
               });
  char secret[] = "/tmp/zenthra-dc-secret-XXXXXX";
  const int fd = ::mkstemp(secret);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "pw\n", 3), 3);
  ::close(fd);
  LdapConfig c;
  c.uri = kDc;
  c.gc_uri = kGc;
  c.base = "DC=example,DC=com";
  c.bind = LdapConfig::Bind::kSimple;
  c.bind_dn = "CN=svc,DC=example,DC=com";
  c.password_file = secret;
  LdapBackend backend(c, kFacts, servers_);
  SearchRequest r;
  r.chase_referrals = kChaseAlways;
  r.attributes = {"cn"};
  SearchResult got = backend.Search(r);
  ::unlink(secret);
  ASSERT_EQ(got.entries.size(), 2u);
  EXPECT_EQ(got.entries[1].dn, "CN=There,DC=child,DC=example,DC=com");
  ASSERT_EQ(servers_->connected.size(), 2u);
  EXPECT_EQ(servers_->connected[0].uri, kGc);
  EXPECT_EQ(servers_->connected[0].bind, Endpoint::Bind::kSimple);
  EXPECT_EQ(servers_->connected[0].password, "pw");
  EXPECT_EQ(servers_->connected[1].uri, "ldap://dc9.child.example.com:389");
  EXPECT_EQ(servers_->connected[1].bind, Endpoint::Bind::kAnonymous);
  EXPECT_EQ(servers_->connected[1].password, "");

  r.chase_referrals = kChaseExternal;  // references are subordinate referrals
  EXPECT_EQ(backend.Search(r).entries.size(), 1u);
}

TEST_F(DomainControllerTest, ReferralLoopsAndDeadServersEndWithAClearError) {
  servers_->On(kGc, "DC=example,DC=com", [](const WireSearch&) {
    WirePage p;
    p.result = ldap_code::kReferral;
    p.referrals = {kGc + "/DC=example,DC=com"};  // back to itself
    return p;
  });
  SearchRequest r;
  r.chase_referrals = kChaseAlways;
  EXPECT_RUNTIME_ERROR(Backend().Search(r), err::kReferral, "more than 8 referrals");

  // Pages that never advance end too.
  servers_->On(kGc, "DC=example,DC=com", [](const WireSearch& s) {
    WirePage p;
    p.cookie = s.cookie.empty() ? "again" : s.cookie;
    return p;
  });
  r.page_size = 10;
  EXPECT_RUNTIME_ERROR(Backend().Search(r), err::kDecodingError, "pages do not advance");

  servers_->down.insert(kGc);
  EXPECT_RUNTIME_ERROR(Backend().Search(r), err::kServerDown, kGc);
}

}  // namespace
}  // namespace directory

#include "platform/directory/provider.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ado/command.h"
#include "platform/ado/connection.h"
#include "platform/ado/recordset.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/ldap_config.h"
#include "platform/directory/ldif_backend.h"
#include "platform/directory/object.h"
#include "platform/directory/path.h"
#include "tests/directory/expect_error.h"
#include "tests/directory/slapd.h"

namespace directory {
namespace {

namespace fs = std::filesystem;
using core::Variant;

// Users of example.com and their containers, in no particular order. Adam's account is disabled;
// Nina has no mailbox; the printer is no person; Elodie has no e-mail
// address; two accounts have names with a quote and a star.
const char* kCatalog = R"(version: 1
# the global catalog of example.com

dn: DC=example,DC=com
dc: example

dn: CN=Users,DC=example,DC=com
cn: Users

dn: CN=Computers,DC=example,DC=com
cn: Computers

dn: CN=Configuration,DC=example,DC=com
cn: Configuration

dn: CN=Schema,CN=Configuration,DC=example,DC=com
cn: Schema

dn: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
objectClass: classSchema
cn: Person

dn: CN=Zoe Zimmer,CN=Users,DC=example,DC=com
objectClass: user
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
cn: Zoe Zimmer
sAMAccountName: zoe
mail: zoe@example.com
mailNickName: zoe
msExchHomeServerName: /o=Example/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=S
 RV1
msExchMailboxGuid:: 3q2+7w==
userAccountControl: 512

dn: CN=adam albers,CN=Users,DC=example,DC=com
objectClass: user
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
cn: adam albers
sAMAccountName: adam
mail: adam@example.com
mail: albers@example.com
mailNickName: adam
msExchHomeServerName: /o=Example/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=SRV2
msExchMailboxGuid:: 3q2+7w==
userAccountControl: 514

dn:: Q049w4lsb2RpZSDDiW1lcnksQ049VXNlcnMsREM9ZXhhbXBsZSxEQz1jb20=
objectClass: user
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
cn:: w4lsb2RpZSDDiW1lcnk=
sAMAccountName: elodie
mailNickName: elodie
msExchMailboxGuid:: AAE=
userAccountControl: 66048

dn: CN=Nina North,CN=Users,DC=example,DC=com
objectClass: user
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
cn: Nina North
sAMAccountName: nina
userAccountControl: 512

dn: CN=Printer,CN=Computers,DC=example,DC=com
objectClass: computer
objectCategory: CN=Computer,CN=Schema,CN=Configuration,DC=example,DC=com
cn: Printer
msExchMailboxGuid:: AAE=

dn: CN=O'Brien\, Pat,CN=Users,DC=example,DC=com
objectClass: user
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
cn: O'Brien, Pat
sAMAccountName: o'brien
userAccountControl: 512

dn: CN=Star,CN=Users,DC=example,DC=com
objectClass: user
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com
cn: Star
sAMAccountName: adm*
userAccountControl: 512
)";

const MachineFacts kFacts{"srv1", "example.com"};

// The directory of a server root, served from its LDIF catalog or from a
// directory server (slapd) loaded with the same entries.
enum class Served { kLdif, kSlapd };

std::string Name(const ::testing::TestParamInfo<Served>& info) {
  return info.param == Served::kLdif ? "Ldif" : "Slapd";
}

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterised test's name holds a '/', which must not make a
    // subfolder: TearDown would then leave its parent behind.
    root_ = fs::temp_directory_path() /
            core::Replace("zenthra-directory-" + std::to_string(getpid()) + "-" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                          "/", "-");
    fs::remove_all(root_);
    fs::create_directories(root_ / "directory");
    WriteCatalog(kCatalog);
    core::SetServerRoot(root_);
    RegisterProvider(kFacts);
  }
  void TearDown() override { fs::remove_all(root_); }

  void WriteCatalog(const std::string& text) {
    std::ofstream(DefaultLdifPath(root_), std::ios::binary | std::ios::trunc) << text;
  }

  adodb::ConnectionPtr Connect() {
    auto cnn = std::make_shared<adodb::Connection>();
    cnn->Provider("adsDSOobject");
    cnn->Open("Active Directory Provider", "", "", -1);
    return cnn;
  }

  adodb::RecordsetPtr Search(const std::string& text, bool listing) {
    auto cmd = std::make_shared<adodb::Command>();
    cmd->ActiveConnection(Connect());
    cmd->CommandText(text);
    cmd->Properties()["searchscope"].Value(Variant(std::int32_t{2}));
    cmd->Properties()["cache results"].Value(Variant(listing));
    cmd->Properties()["Chase Referrals"].Value(Variant(std::int32_t{0x60}));
    if (listing) {
      cmd->Properties()["Page Size"].Value(Variant(std::int16_t{100}));
      cmd->Properties()["Size Limit"].Value(Variant(std::int16_t{30000}));
      cmd->Properties()["Timeout"].Value(Variant(std::int16_t{120}));
    }
    return cmd->Execute(-1);
  }

  fs::path root_;
};

// The same behaviour whichever way the directory is served.
class SharedDirectoryTest : public DirectoryTest, public ::testing::WithParamInterface<Served> {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    if (GetParam() != Served::kSlapd) return;
    slapd_ = std::make_unique<testing::Slapd>();
    if (!slapd_->Available()) GTEST_SKIP() << slapd_->SkipReason();
    slapd_->Load(kCatalog);
    slapd_->Start();
    // By its name, which the root entry's dnsHostName then gives.
    WriteLdapConfig("uri " + slapd_->HostUri("localhost") + "\nbase DC=example,DC=com\n");
    fs::remove(DefaultLdifPath(root_));
  }

  void WriteLdapConfig(const std::string& text) {
    std::ofstream(LdapConfigPath(root_), std::ios::binary | std::ios::trunc) << text;
  }

  // The catalog's host as the root entry names it.
  std::string CatalogHost() const {
    return GetParam() == Served::kLdif ? kFacts.DnsHostName() : "localhost";
  }

  std::unique_ptr<testing::Slapd> slapd_;
};

// Names compare as names: a server may spell the attribute types in its
// own case ("cn=adam albers,cn=Users,...").
MATCHER_P(SameName, expected, "names " + std::string(expected)) {
  return NormalizeDn(arg) == NormalizeDn(expected);
}

const std::string kSearchRoot = "GC://" + kFacts.DnsHostName();

TEST_P(SharedDirectoryTest, ListsPersonsWithMailboxesByDisplayName) {
  auto rs =
      Search("SELECT adspath, cn, msExchHomeServerName,mailNickName,mail FROM '" + kSearchRoot +
                 "' WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn",
             true);
  ASSERT_EQ(rs->RecordCount(), 3);
  // Case-insensitive order: "adam albers" before "Zoe Zimmer".
  EXPECT_EQ(rs->Fields()["cn"].Value().AsString(), "adam albers");
  const AdsPath adam = ParseAdsPath(rs->Fields()["adspath"].Value().AsString());
  EXPECT_EQ(adam.scheme + "://" + adam.host, "GC://srv1.example.com");
  EXPECT_THAT(adam.dn, SameName("CN=adam albers,CN=Users,DC=example,DC=com"));
  EXPECT_EQ(rs->Fields()["mail"].Value().AsString(), "adam@example.com");  // first value
  rs->MoveNext();
  EXPECT_EQ(rs->Fields()["cn"].Value().AsString(), "Zoe Zimmer");
  EXPECT_EQ(rs->Fields()["msExchHomeServerName"].Value().AsString(),
            "/o=Example/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=SRV1");
  EXPECT_EQ(rs->Fields()["mailNickName"].Value().AsString(), "zoe");
  rs->MoveNext();
  EXPECT_EQ(rs->Fields()["cn"].Value().AsString(), "\xC3\x89lodie \xC3\x89mery");
  EXPECT_TRUE(rs->Fields()["mail"].Value().IsNull());
  EXPECT_TRUE(rs->Fields()["msExchHomeServerName"].Value().IsNull());
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  rs->Close();
}

TEST_P(SharedDirectoryTest, ASearchCutAtItsSizeLimitSaysSoOnTheConnection) {
  auto cnn = Connect();
  auto run = [&](std::int16_t limit) {
    auto cmd = std::make_shared<adodb::Command>();
    cmd->ActiveConnection(cnn);
    cmd->CommandText("SELECT cn FROM '" + kSearchRoot +
                     "' WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
    cmd->Properties()["Size Limit"].Value(Variant(limit));
    return cmd->Execute(-1);
  };
  auto rs = run(2);
  EXPECT_EQ(rs->RecordCount(), 2);
  ASSERT_EQ(cnn->Errors().Count(), 1);
  EXPECT_EQ(cnn->Errors().Item(0).Number(), err::kSizeLimitExceeded);
  EXPECT_NE(cnn->Errors().Item(0).Description().find("size limit"), std::string::npos);

  // Exactly as many as matched is not a cut, and the next command replaces
  // the warning.
  rs = run(3);
  EXPECT_EQ(rs->RecordCount(), 3);
  EXPECT_EQ(cnn->Errors().Count(), 0);
}

TEST_P(SharedDirectoryTest, FindsTheAccountOfALogonName) {
  auto rs = Search("SELECT sAMAccountName, cn, objectCategory FROM '" + kSearchRoot +
                       "' WHERE objectcategory='person' AND sAMAccountName='ZOE'",
                   false);
  ASSERT_FALSE(rs->Eof());
  EXPECT_THAT(rs->Fields()["objectCategory"].Value().AsString(),
              SameName("CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com"));
  EXPECT_EQ(rs->RecordCount(), 1);

  rs = Search("SELECT msExchHomeServerName FROM '" + kSearchRoot +
                  "' WHERE objectcategory='person' AND sAMAccountName='nina'",
              false);
  ASSERT_FALSE(rs->Eof());
  EXPECT_TRUE(rs->Fields()["msExchHomeServerName"].Value().IsNull());

  rs = Search("SELECT cn FROM '" + kSearchRoot +
                  "' WHERE objectcategory='person' AND sAMAccountName='nobody'",
              false);
  EXPECT_TRUE(rs->Eof());
}

TEST_P(SharedDirectoryTest, QuotesAndStarsInLogonNamesMatchOnlyThemselves) {
  auto count = [&](const std::string& name) {
    return Search("SELECT cn FROM '" + kSearchRoot +
                      "' WHERE objectcategory='person' AND sAMAccountName='" + name + "'",
                  false)
        ->RecordCount();
  };
  EXPECT_EQ(count("o''brien"), 1);
  EXPECT_EQ(count("adm*"), 1);  // the account named so, not every "adm..." one
  EXPECT_EQ(count("ad*"), 0);
  EXPECT_EQ(count("*"), 6);  // only the bare star asks for presence
  EXPECT_EQ(count("*)(cn=*"), 0);
  // The quote left single ends the text early; the search is refused.
  EXPECT_RUNTIME_ERROR(count("o'brien"), err::kErrorsInCommand, "unexpected \"brien\"");
}

TEST_P(SharedDirectoryTest, HonoursScopeBaseAndSizeLimit) {
  auto rows = [&](const std::string& from, std::int32_t scope, std::int16_t limit) {
    auto cmd = std::make_shared<adodb::Command>();
    cmd->ActiveConnection(Connect());
    cmd->CommandText("SELECT cn FROM '" + from + "' WHERE cn='*' ORDER BY cn DESC");
    cmd->Properties()["SearchScope"].Value(Variant(scope));
    cmd->Properties()["size limit"].Value(Variant(limit));
    return cmd->Execute()->RecordCount();
  };
  // Eight objects and four containers have a cn; the domain has none.
  EXPECT_EQ(rows(kSearchRoot, 2, 0), 12);
  EXPECT_EQ(rows(kSearchRoot, 2, 3), 3);
  EXPECT_EQ(rows(kSearchRoot + "/CN=Users,DC=example,DC=com", 2, 0), 7);
  EXPECT_EQ(rows(kSearchRoot + "/CN=Users,DC=example,DC=com", 1, 0), 6);
  EXPECT_EQ(rows(kSearchRoot + "/DC=example,DC=com", 1, 0), 3);
  EXPECT_EQ(rows(kSearchRoot + "/CN=Star,CN=Users,DC=example,DC=com", 0, 0), 1);
  EXPECT_RUNTIME_ERROR(rows(kSearchRoot + "/CN=Nowhere,DC=example,DC=com", 2, 0),
                       err::kNoSuchObject, "CN=Nowhere");
}

TEST_P(SharedDirectoryTest, RefusesOtherHosts) {
  EXPECT_RUNTIME_ERROR(Search("SELECT cn FROM 'GC://other.example.com'", false), err::kServerDown,
                       "other.example.com is not a catalog served here");
  // The short name and a port are the same host.
  EXPECT_EQ(Search("SELECT cn FROM 'GC://SRV1:3268' WHERE cn='Star'", false)->RecordCount(), 1);
}

TEST_F(DirectoryTest, RefusesMissingData) {
  fs::remove(DefaultLdifPath(root_));
  EXPECT_RUNTIME_ERROR(Search("SELECT cn FROM '" + kSearchRoot + "'", false), err::kServerDown,
                       "users.ldif");
}

TEST_F(DirectoryTest, ASettingsFileOthersMayChangeIsRefused) {
  const fs::path conf = LdapConfigPath(root_);
  std::ofstream(conf) << "uri ldap://attacker.example.net\nbase DC=example,DC=com\n";
  ::chmod(conf.c_str(), 0666);
  EXPECT_RUNTIME_ERROR(Search("SELECT cn FROM '" + kSearchRoot + "'", false), err::kDecodingError,
                       "nobody else may change; it is mode 0666");
  fs::remove(conf);
  fs::create_symlink(root_ / "elsewhere.conf", conf);
  EXPECT_RUNTIME_ERROR(Search("SELECT cn FROM '" + kSearchRoot + "'", false), err::kDecodingError,
                       "no regular file");
  fs::remove(conf);
  // Without it, the catalog file answers again.
  EXPECT_EQ(Search("SELECT cn FROM '" + kSearchRoot + "' WHERE cn='Star'", false)->RecordCount(),
            1);
}

TEST_F(DirectoryTest, ReportsAMalformedCatalogByLine) {
  WriteCatalog("dn: CN=a,DC=example,DC=com\ncn: a\nbroken line\n");
  EXPECT_RUNTIME_ERROR(Search("SELECT cn FROM '" + kSearchRoot + "'", false), err::kDecodingError,
                       "users.ldif line 3:");
}

TEST_F(DirectoryTest, ReadsTheCatalogAgainAfterAChange) {
  EXPECT_EQ(Search("SELECT cn FROM '" + kSearchRoot + "' WHERE cn='New'", false)->RecordCount(), 0);
  // A different size is seen at once, whatever the clock's resolution.
  WriteCatalog(std::string(kCatalog) + "\ndn: CN=New,DC=example,DC=com\ncn: New\n");
  EXPECT_EQ(Search("SELECT cn FROM '" + kSearchRoot + "' WHERE cn='New'", false)->RecordCount(), 1);
}

TEST_P(SharedDirectoryTest, BindsRootDseAndUsers) {
  EXPECT_EQ(GetObject("GC://RootDSE")->Get("dnshostname").AsString(), CatalogHost());
  EXPECT_EQ(GetObject("GC://RootDSE")->Get("defaultNamingContext").AsString(), "DC=example,DC=com");

  auto rs = Search("SELECT adspath FROM '" + kSearchRoot + "' WHERE sAMAccountName='adam'", false);
  ASSERT_FALSE(rs->Eof());
  EXPECT_TRUE(GetObject(rs->Fields()["adspath"].Value().AsString())->AccountDisabled());
  EXPECT_FALSE(GetObject("GC://srv1.example.com/cn=zoe zimmer,cn=users,dc=example,dc=com")
                   ->AccountDisabled());
  // 66048 = 0x10200: "password never expires", not disabled.
  EXPECT_FALSE(GetObject("GC://srv1.example.com/CN=\xC3\x89lodie \xC3\x89mery,CN=Users,DC=example,"
                         "DC=com")
                   ->AccountDisabled());
  // A name with an escaped comma.
  EXPECT_EQ(GetObject("GC://srv1.example.com/CN=O'Brien\\, Pat,CN=Users,DC=example,DC=com")
                ->Get("sAMAccountName")
                .AsString(),
            "o'brien");

  EXPECT_RUNTIME_ERROR(GetObject("GC://srv1.example.com/CN=Gone,CN=Users,DC=example,DC=com"),
                       err::kNoSuchObject, "CN=Gone");
  EXPECT_RUNTIME_ERROR(GetObject("GC://srv1.example.com/CN=Printer,CN=Computers,DC=example,DC=com")
                           ->AccountDisabled(),
                       err::kPropertyNotFound, "userAccountControl");
  EXPECT_RUNTIME_ERROR(GetObject("GC://RootDSE")->Get("nothing"), err::kPropertyNotFound,
                       "nothing");
}

TEST_F(DirectoryTest, TheCatalogsRootEntryNamesItsHost) {
  WriteCatalog(std::string(kCatalog) + "\ndn:\ndnsHostName: gc1.example.com\n");
  EXPECT_EQ(GetObject("GC://RootDSE")->Get("dnsHostName").AsString(), "gc1.example.com");
  EXPECT_EQ(Search("SELECT cn FROM 'GC://gc1.example.com' WHERE cn='Star'", false)->RecordCount(),
            1);
  // The root entry is no object of the catalog.
  EXPECT_EQ(
      Search("SELECT cn FROM 'GC://gc1.example.com' WHERE dnsHostName='*'", false)->RecordCount(),
      0);
}

TEST_P(SharedDirectoryTest, SystemInformationComesFromTheFacts) {
  EXPECT_EQ(WinNTSystemInfo().ComputerName(), "srv1");
  EXPECT_EQ(ADSystemInfo().DomainDNSName(), "example.com");
  EXPECT_RUNTIME_ERROR(ADSystemInfo(MachineFacts{"srv1", ""}).DomainDNSName(),
                       err::kDomainUnavailable, "no domain");
  EXPECT_RUNTIME_ERROR(WinNTSystemInfo(MachineFacts{}).ComputerName(), core::err::kEFail,
                       "not recorded");
}

TEST_P(SharedDirectoryTest, ConnectionsDoNoTransactionsOrRecords) {
  auto cnn = Connect();
  EXPECT_RUNTIME_ERROR(cnn->Session().BeginTrans(), core::err::kAdoFeatureNotAvailable,
                       "Transactions");
}

// Records the request a search makes.
class RecordingBackend : public Backend {
 public:
  SearchResult Search(const SearchRequest& request) override {
    last = request;
    return {};
  }
  std::optional<Entry> Read(std::string_view, std::string_view, std::string_view) override {
    return std::nullopt;
  }
  Entry RootDse(std::string_view, std::string_view) override { return {}; }
  SearchRequest last;
};

INSTANTIATE_TEST_SUITE_P(Served, SharedDirectoryTest,
                         ::testing::Values(Served::kLdif, Served::kSlapd), Name);

TEST(DirectoryProperties, ReachTheBackendRequest) {
  auto backend = std::make_shared<RecordingBackend>();
  adodb::PropertyList props = {
      {"searchscope", Variant(std::int32_t{1})},      {"cache results", Variant(false)},
      {"Chase Referrals", Variant(std::int32_t{32})}, {"Page Size", Variant(std::int16_t{100})},
      {"Size Limit", Variant(std::int16_t{30000})},   {"Timeout", Variant(std::int16_t{120})},
      {"time limit", Variant(std::int32_t{7})}};
  ExecuteQuery(*backend,
               "SELECT adspath, CN, cn, mail FROM 'LDAP://dc1/OU=Staff,DC=x' WHERE cn='a' "
               "ORDER BY mail",
               props);
  const SearchRequest& r = backend->last;
  EXPECT_EQ(r.scheme, "LDAP");
  EXPECT_EQ(r.host, "dc1");
  EXPECT_EQ(r.base_dn, "OU=Staff,DC=x");
  EXPECT_EQ(r.scope, SearchScope::kOneLevel);
  EXPECT_EQ(r.filter, "(cn=a)");
  EXPECT_EQ(r.attributes, (std::vector<std::string>{"CN", "mail"}));
  ASSERT_EQ(r.sort.size(), 1u);
  EXPECT_EQ(r.sort[0].attribute, "mail");
  EXPECT_FALSE(r.cache_results);
  EXPECT_EQ(r.chase_referrals, kChaseSubordinate);
  EXPECT_EQ(r.page_size, 100);
  EXPECT_EQ(r.size_limit, 30000);
  EXPECT_EQ(r.timeout_seconds, 120);
  EXPECT_EQ(r.time_limit_seconds, 7);

  // Without properties: a whole-subtree search without limits.
  ExecuteQuery(*backend, "SELECT cn FROM 'GC://h'", {});
  EXPECT_EQ(backend->last.scope, SearchScope::kSubtree);
  EXPECT_EQ(backend->last.size_limit, 0);
  EXPECT_TRUE(backend->last.cache_results);
}

TEST(DirectoryProperties, RefuseValuesOfTheWrongTypeOrRange) {
  RecordingBackend backend;
  struct Case {
    const char* name;
    Variant value;
    std::int32_t number;
    const char* message;
  } cases[] = {
      {"searchscope", Variant("2"), core::err::kAdoInvalidArgument, "not a value of type String"},
      {"searchscope", Variant(std::int32_t{3}), core::err::kAdoInvalidArgument, "not 3"},
      {"cache results", Variant(std::int32_t{1}), core::err::kAdoInvalidArgument, "True or False"},
      {"Page Size", Variant(100.0), core::err::kAdoInvalidArgument, "type Double"},
      {"Size Limit", Variant(std::int16_t{-1}), core::err::kAdoInvalidArgument, "negative"},
      {"Timeout", Variant::Null(), core::err::kAdoInvalidArgument, "type Null"},
      {"Chase Referrals", Variant(std::int32_t{0x61}), core::err::kAdoInvalidArgument, "0x60"},
      {"Sort On", Variant("cn"), core::err::kAdoItemNotFound, "\"Sort On\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_RUNTIME_ERROR(ExecuteQuery(backend, "SELECT cn FROM 'GC://h'", {{c.name, c.value}}),
                         c.number, c.name);
    EXPECT_RUNTIME_ERROR(ExecuteQuery(backend, "SELECT cn FROM 'GC://h'", {{c.name, c.value}}),
                         c.number, c.message);
  }
  EXPECT_RUNTIME_ERROR(ExecuteQuery(backend, "SELECT cn FROM 'GC://RootDSE'", {}),
                       err::kErrorsInCommand, "cannot be searched");
}

}  // namespace
}  // namespace directory

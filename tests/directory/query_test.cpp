#include "platform/directory/query.h"

#include <gtest/gtest.h>

#include "platform/directory/errors.h"
#include "platform/directory/filter.h"
#include "platform/directory/path.h"
#include "tests/directory/expect_error.h"

namespace directory {
namespace {

TEST(Query, TranslatesTheMailboxSearch) {
  Query q = ParseQuery(
      "SELECT adspath, cn, msExchHomeServerName,mailNickName,mail FROM 'GC://srv1.example.com' "
      "WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn");
  EXPECT_EQ(q.columns, (std::vector<std::string>{"adspath", "cn", "msExchHomeServerName",
                                                 "mailNickName", "mail"}));
  EXPECT_EQ(q.source, "GC://srv1.example.com");
  EXPECT_EQ(q.filter, "(&(objectcategory=person)(MsExchMailboxGuid=*))");
  ASSERT_EQ(q.order.size(), 1u);
  EXPECT_EQ(q.order[0].attribute, "cn");
  EXPECT_FALSE(q.order[0].descending);
}

TEST(Query, TranslatesTheAccountSearches) {
  Query q = ParseQuery(
      "SELECT sAMAccountName, cn, objectCategory FROM 'GC://srv1.example.com' "
      "WHERE objectcategory='person' AND sAMAccountName='jdoe'");
  EXPECT_EQ(q.columns, (std::vector<std::string>{"sAMAccountName", "cn", "objectCategory"}));
  EXPECT_EQ(q.filter, "(&(objectcategory=person)(sAMAccountName=jdoe))");
  EXPECT_TRUE(q.order.empty());
  q = ParseQuery(
      "SELECT msExchHomeServerName FROM 'GC://srv1.example.com' "
      "WHERE objectcategory='person' AND sAMAccountName='jdoe'");
  EXPECT_EQ(q.columns, (std::vector<std::string>{"msExchHomeServerName"}));
}

TEST(Query, TranslatesTheRestOfTheDialect) {
  struct Case {
    const char* where;
    const char* filter;
  } cases[] = {
      {"a='x' OR b='y' AND c='z'", "(|(a=x)(&(b=y)(c=z)))"},
      {"(a='x' OR b='y') AND NOT c='z'", "(&(|(a=x)(b=y))(!(c=z)))"},
      {"a<>'*'", "(!(a=*))"},
      {"a != 'x'", "(!(a=x))"},
      {"n>=5 AND n<=-7", "(&(n>=5)(n<=-7))"},
      {"n>5", "(&(n>=5)(!(n=5)))"},
      {"n<'b'", "(&(n<=b)(!(n=b)))"},
      {"flag=true", "(flag=TRUE)"},
      {"cn=''", "(cn=)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    EXPECT_EQ(ParseQuery(std::string("select cn from 'GC://h' where ") + c.where).filter, c.filter);
  }
  EXPECT_EQ(ParseQuery("Select cn From 'LDAP://DC=x'").filter, "(objectClass=*)");
  Query q = ParseQuery("select cn from 'GC://h' order by sn desc, cn asc, givenName");
  ASSERT_EQ(q.order.size(), 3u);
  EXPECT_TRUE(q.order[0].descending);
  EXPECT_FALSE(q.order[1].descending);
  EXPECT_EQ(q.order[2].attribute, "givenName");
}

TEST(Query, ValuesNeverChangeTheFiltersMeaning) {
  // Doubled quotes are one quote; every filter special character is escaped.
  EXPECT_EQ(ParseQuery("select cn from 'GC://h' where sAMAccountName='o''brien'").filter,
            "(sAMAccountName=o'brien)");
  EXPECT_EQ(ParseQuery("select cn from 'GC://h' where sAMAccountName='*)(cn=*'").filter,
            "(sAMAccountName=\\2a\\29\\28cn=\\2a)");
  EXPECT_EQ(ParseQuery("select cn from 'GC://h' where cn='a*'").filter, "(cn=a\\2a)");
  EXPECT_EQ(ParseQuery("select cn from 'GC://h' where cn='back\\slash'").filter,
            "(cn=back\\5cslash)");
  // A path with a quote in it, written doubled.
  EXPECT_EQ(ParseQuery("select cn from 'GC://h/OU=O''Neil,DC=x'").source, "GC://h/OU=O'Neil,DC=x");
}

TEST(Query, RefusesWhatIsNotAQuery) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      // A name with an unescaped quote ends the value early: refused.
      {"select cn from 'GC://h' where sAMAccountName='o'brien'",
       "position 49: unexpected \"brien\""},
      {"select cn from 'GC://h' where sAMAccountName='o''brien", "position 46: text in quotes"},
      {"select * from 'GC://h'", "\"*\" is not accepted"},
      {"select cn 'GC://h'", "position 11: expected FROM"},
      {"select cn from GC", "expected the quoted search path"},
      {"select cn, from 'GC://h'", "expected an attribute name"},
      {"select from 'GC://h'", "position 8: expected an attribute name"},
      {"select cn from 'GC://h' where", "expected an attribute name"},
      {"select cn from 'GC://h' where cn", "expected a comparison"},
      {"select cn from 'GC://h' where cn = ", "expected a value"},
      {"select cn from 'GC://h' where cn = x", "expected a value"},
      {"select cn from 'GC://h' where cn like 'x'", "expected a comparison"},
      {"select cn from 'GC://h' where (cn='x'", "expected \")\""},
      {"select cn from 'GC://h' where cn='x' and", "expected an attribute name"},
      {"select cn from 'GC://h' where cn>'*'", "cannot be ordered"},
      {"select cn from 'GC://h' order cn", "expected BY"},
      {"select cn from 'GC://h' order by", "expected an attribute name"},
      {"select cn from 'GC://h' where cn='x'; drop", "unexpected character \";\""},
      {"select cn from 'GC://h' where cn='x' extra", "unexpected \"extra\""},
      {"select cn from 'GC://h' where n=12ab", "malformed number"},
      {"", "expected SELECT"},
      {"delete from 'GC://h'", "position 1: expected SELECT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_RUNTIME_ERROR(ParseQuery(c.text), err::kErrorsInCommand, c.message);
  }
  // Positions count characters, not bytes.
  EXPECT_RUNTIME_ERROR(ParseQuery("select cn from 'Ü' x"), err::kErrorsInCommand,
                       "position 20: unexpected \"x\"");
}

// Nesting is refused with a clear error past 200 levels, however deep the
// hostile text goes (the recursion would otherwise overflow the stack).
TEST(Query, RefusesConditionsNestedTooDeeply) {
  auto nested = [](int levels, const std::string& open, const std::string& close) {
    std::string where;
    for (int i = 0; i < levels; ++i) where += open;
    where += "cn='x'";
    for (int i = 0; i < levels; ++i) where += close;
    return "select cn from 'GC://h' where " + where;
  };
  EXPECT_EQ(ParseQuery(nested(200, "(", ")")).filter, "(cn=x)");
  EXPECT_EQ(ParseQuery(nested(200, "NOT ", "")).filter.size(), 6u + 200 * 3);
  EXPECT_EQ(ParseQuery(nested(100, "NOT (", ")")).filter.size(), 6u + 100 * 3);
  for (const std::string& q : {nested(201, "(", ")"), nested(20000, "(", ")"),
                               nested(30000, "NOT ", ""), nested(150, "NOT (", ")")}) {
    SCOPED_TRACE(q.substr(0, 60));
    EXPECT_RUNTIME_ERROR(ParseQuery(q), err::kErrorsInCommand, "nested deeper than 200 levels");
  }
  // The position names where the limit was crossed, in characters.
  EXPECT_RUNTIME_ERROR(ParseQuery(nested(201, "(", ")")), err::kErrorsInCommand, "position 231:");
}

// Long texts are read in one pass, and a fault far in still names its
// character position; messages quote long tokens cut short.
TEST(Query, ReadsLongTextsAndQuotesFaultsBriefly) {
  std::string where = "cn='\xC3\x89'";
  for (int i = 0; i < 20000; ++i) where += " OR sAMAccountName='abcdefgh'";
  Query q = ParseQuery("select cn from 'GC://h' where " + where);
  EXPECT_EQ(q.filter.size(), 2 + 7 + 20000 * std::string("(sAMAccountName=abcdefgh)").size() + 1);
  std::string bad = "select cn from 'GC://h' where " + where + " " + std::string(500, 'z');
  try {
    ParseQuery(bad);
    ADD_FAILURE() << "accepted";
  } catch (const core::RuntimeError& e) {
    // The head, the first comparison (its "\xC3\x89" is one character), the
    // others, a blank.
    const std::size_t position = 30 + 6 + 20000 * 29 + 1 + 1;
    EXPECT_NE(e.Description().find("position " + std::to_string(position) + ": unexpected"),
              std::string::npos)
        << e.Description();
    EXPECT_LT(e.Description().size(), 200u);
  }
}

Entry Person(std::string dn, std::vector<std::pair<std::string, std::string>> attributes) {
  Entry e{std::move(dn), {}};
  for (auto& [name, value] : attributes) e.Add(name, value);
  return e;
}

TEST(Filter, EvaluatesOnEntries) {
  Entry john = Person("CN=John,DC=x", {{"objectCategory", "CN=Person,CN=Schema,DC=x"},
                                       {"cn", "John Doe"},
                                       {"mail", "JOHN@example.com"},
                                       {"uSNChanged", "120"},
                                       {"manager", "CN=Boss, DC=X"},
                                       {"star", "a*b"}});
  auto m = [&](const char* f) { return Matches(ParseFilter(f), john); };
  EXPECT_TRUE(m("(objectcategory=person)"));
  EXPECT_TRUE(m("(objectCategory=CN=Person,CN=Schema,DC=x)"));
  EXPECT_FALSE(m("(objectCategory=computer)"));
  EXPECT_TRUE(m("(MAIL=john@EXAMPLE.com)"));
  EXPECT_TRUE(m("(mail=*)"));
  EXPECT_FALSE(m("(telephoneNumber=*)"));
  EXPECT_TRUE(m("(cn=jo*)"));
  EXPECT_TRUE(m("(cn=*n D*e)"));
  EXPECT_FALSE(m("(cn=*x*)"));
  EXPECT_FALSE(m("(cn=Doe*)"));
  EXPECT_TRUE(m("(uSNChanged>=99)"));  // numbers compare as numbers
  EXPECT_FALSE(m("(uSNChanged<=99)"));
  EXPECT_TRUE(m("(manager=cn=boss,dc=x)"));  // names compare as names
  EXPECT_TRUE(m("(star=a\\2ab)"));
  EXPECT_FALSE(m("(star=a\\2ac)"));
  EXPECT_TRUE(m("(&(cn=John Doe)(|(mail=nobody)(!(uSNChanged=1))))"));
  EXPECT_FALSE(m("(!(cn=John Doe))"));
}

TEST(Filter, EscapedValuesMatchOnlyThemselves) {
  Entry literal = Person("CN=a,DC=x", {{"sAMAccountName", "*)(cn=*"}});
  Entry other = Person("CN=b,DC=x", {{"sAMAccountName", "admin"}, {"cn", "b"}});
  std::string filter = "(sAMAccountName=" + EscapeFilterValue("*)(cn=*") + ")";
  EXPECT_TRUE(Matches(ParseFilter(filter), literal));
  EXPECT_FALSE(Matches(ParseFilter(filter), other));
  EXPECT_EQ(EscapeFilterValue(std::string("a\0b\\", 4)), "a\\00b\\5c");
}

TEST(Filter, RefusesMalformedFilters) {
  for (const char* f : {"", "cn=x", "(cn=x", "(cn=x))", "(=x)", "(cn~x)", "(cn=a(b)", "(cn=\\4)",
                        "(cn>=a*)", "(cn:dn:=x)", "(!(a=1)(b=2))", "( cn=x)", "(c n=x)"}) {
    SCOPED_TRACE(f);
    EXPECT_RUNTIME_ERROR(ParseFilter(f), err::kFilterUnknown, "offset");
  }
}

TEST(Filter, RefusesNestingTooDeepAndQuotesLongFiltersBriefly) {
  auto nested = [](int levels, const std::string& op) {
    std::string f;
    for (int i = 0; i < levels; ++i) f += "(" + op;
    f += "(cn=x)";
    for (int i = 0; i < levels; ++i) f += ")";
    return f;
  };
  Entry e = Person("CN=a,DC=x", {{"cn", "x"}});
  EXPECT_TRUE(Matches(ParseFilter(nested(200, "&")), e));
  EXPECT_TRUE(Matches(ParseFilter(nested(200, "!")), e)) << "an even number of negations";
  EXPECT_FALSE(Matches(ParseFilter(nested(199, "!")), e));
  for (const std::string& f : {nested(201, "|"), nested(50000, "!"), nested(20000, "&")}) {
    EXPECT_RUNTIME_ERROR(ParseFilter(f), err::kFilterUnknown, "nested deeper than 200 levels");
  }
  // A long malformed filter is quoted by its start only.
  std::string f = "(|";
  for (int i = 0; i < 10000; ++i) f += "(cn=abc)";
  f += "(cn=a(b))";
  try {
    ParseFilter(f);
    ADD_FAILURE() << "accepted";
  } catch (const core::RuntimeError& e) {
    EXPECT_NE(e.Description().find("((|(cn=abc)(cn=abc)"), std::string::npos) << e.Description();
    EXPECT_NE(e.Description().find("...) at offset 80008:"), std::string::npos) << e.Description();
    EXPECT_LT(e.Description().size(), 200u);
  }
}

TEST(Path, ParsesAndBuildsAdsPaths) {
  AdsPath p = ParseAdsPath("GC://srv1.example.com/CN=John Doe,CN=Users,DC=example,DC=com");
  EXPECT_EQ(p.scheme, "GC");
  EXPECT_EQ(p.host, "srv1.example.com");
  EXPECT_EQ(p.dn, "CN=John Doe,CN=Users,DC=example,DC=com");
  EXPECT_FALSE(p.root_dse);
  p = ParseAdsPath("GC://srv1.example.com");
  EXPECT_EQ(p.host, "srv1.example.com");
  EXPECT_EQ(p.dn, "");
  p = ParseAdsPath("LDAP://DC=example,DC=com");
  EXPECT_EQ(p.host, "");
  EXPECT_EQ(p.dn, "DC=example,DC=com");
  EXPECT_TRUE(ParseAdsPath("GC://RootDSE").root_dse);
  EXPECT_TRUE(ParseAdsPath("LDAP://dc1:389/rootDSE").root_dse);
  // A "/" inside a name survives the round trip.
  std::string path = MakeAdsPath("GC", "h", "CN=A/B,DC=x");
  EXPECT_EQ(path, "GC://h/CN=A\\/B,DC=x");
  EXPECT_EQ(ParseAdsPath(path).dn, "CN=A/B,DC=x");
  for (const char* bad : {"WinNT://host/user", "GC//host", "GC:///CN=x", "GC://h/not a name"}) {
    SCOPED_TRACE(bad);
    EXPECT_RUNTIME_ERROR(ParseAdsPath(bad), err::kBadPathname, bad);
  }
}

TEST(Path, ComparesNamesAsNames) {
  EXPECT_EQ(NormalizeDn("CN=John Doe , cn=Users,DC=Example"),
            NormalizeDn("cn=john doe,CN=USERS,dc=example"));
  EXPECT_EQ(NormalizeDn("CN=Doe\\, John,DC=x"), NormalizeDn("cn=doe\\2C john,dc=x"));
  EXPECT_NE(NormalizeDn("CN=Doe\\, John,DC=x"), NormalizeDn("CN=Doe,CN=John,DC=x"));
  EXPECT_EQ(NormalizeDn(""), "");
  std::string base = NormalizeDn("DC=example,DC=com");
  EXPECT_TRUE(DnWithin(NormalizeDn("CN=a,CN=Users,DC=example,DC=com"), base));
  EXPECT_TRUE(DnWithin(base, base));
  EXPECT_FALSE(DnWithin(NormalizeDn("CN=a,DC=otherexample,DC=com"), base));
  EXPECT_FALSE(DnWithin(NormalizeDn("CN=x\\,DC=example,DC=com"), base));
  EXPECT_EQ(DnDepth(NormalizeDn("CN=a\\,b,DC=com")), 2u);
  EXPECT_EQ(FirstRdnValue("CN=Person,CN=Schema"), "Person");
}

}  // namespace
}  // namespace directory

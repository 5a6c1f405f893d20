#include <gtest/gtest.h>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/query/query.h"
#include "tests/store_query/test_util.h"

namespace store::query {
namespace {

using testing::ErrorPosition;
using testing::Item;
using testing::MatchesItem;

// Exactly as the setup program builds it: two blanks after select, two
// before WHERE, and a trailing blank.
constexpr std::string_view kFolderItemQuery =
    "select  \"DAV:displayname\" from scope ('shallow traversal of "
    "\"file://./backofficestorage/example.com/MBX/jdoe/Inbox\"')  WHERE \"DAV:displayname\" = "
    "'Zenthra.reg' AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";

TEST(Parse, FolderItemQueryOfTheSetupProgram) {
  const Query q = Parse(kFolderItemQuery);
  EXPECT_FALSE(q.all_columns);
  ASSERT_EQ(q.columns, std::vector<std::string>{"DAV:displayname"});
  ASSERT_EQ(q.scopes.size(), 1u);
  EXPECT_EQ(q.scopes[0].depth, Scope::Depth::Shallow);
  EXPECT_EQ(q.scopes[0].url, "file://./backofficestorage/example.com/MBX/jdoe/Inbox");
  EXPECT_TRUE(q.order_by.empty());
  ASSERT_NE(q.where, nullptr);

  Item reg{{"DAV:displayname", "Zenthra.reg"}, {"DAV:ishidden", true}, {"DAV:isfolder", false}};
  EXPECT_TRUE(MatchesItem(q.where, reg));
  Item visible = reg;
  visible["DAV:ishidden"] = false;
  EXPECT_FALSE(MatchesItem(q.where, visible));
  Item other = reg;
  other["DAV:displayname"] = "Other.reg";
  EXPECT_FALSE(MatchesItem(q.where, other));
  Item unhidden = reg;
  unhidden.erase("DAV:ishidden");
  EXPECT_FALSE(MatchesItem(q.where, unhidden));
}

TEST(Parse, RegistrationCriteria) {
  const auto where = ParseCriteria(" WHERE \"DAV:ishidden\" = FALSE");
  ASSERT_NE(where, nullptr);
  EXPECT_TRUE(MatchesItem(where, {{"DAV:ishidden", false}}));
  EXPECT_FALSE(MatchesItem(where, {{"DAV:ishidden", true}}));
  EXPECT_FALSE(MatchesItem(where, {}));  // unknown is not a match

  // WHERE is optional; blank criteria match everything.
  EXPECT_TRUE(MatchesItem(ParseCriteria("\"DAV:ishidden\" = false"), {{"DAV:ishidden", false}}));
  EXPECT_EQ(ParseCriteria(""), nullptr);
  EXPECT_EQ(ParseCriteria(" \t\r\n "), nullptr);
  EXPECT_TRUE(Matches(nullptr, [](std::string_view) { return nullptr; }));
}

TEST(Parse, KeywordsIgnoreCaseButNamesDoNot) {
  const Query q = Parse(
      "SeLeCt \"DAV:href\",\"urn:X\" FrOm ScOpE('DeEp TrAvErSaL oF \"http://h/exadmin/d/mbx\"') "
      "wHeRe \"urn:X\" iS nOt NuLl OrDeR bY \"DAV:href\" DeSc, \"urn:X\" aSc, \"a\"");
  EXPECT_EQ(q.columns, (std::vector<std::string>{"DAV:href", "urn:X"}));
  ASSERT_EQ(q.scopes.size(), 1u);
  EXPECT_EQ(q.scopes[0].depth, Scope::Depth::Deep);
  EXPECT_EQ(q.scopes[0].url, "http://h/exadmin/d/mbx");
  EXPECT_EQ(q.order_by, (std::vector<std::pair<std::string, bool>>{
                            {"DAV:href", true}, {"urn:X", false}, {"a", false}}));
  EXPECT_TRUE(MatchesItem(q.where, {{"urn:X", 1}}));
  EXPECT_FALSE(MatchesItem(q.where, {{"urn:x", 1}}));
}

TEST(Parse, ScopeForms) {
  // Several traversals; a bare URL is deep; FROM "url" alone is shallow.
  Query q = Parse("select * from scope('\"file://a\"', 'shallow   traversal\tof\"file://b\"')");
  EXPECT_TRUE(q.all_columns);
  EXPECT_TRUE(q.columns.empty());
  EXPECT_EQ(q.where, nullptr);
  ASSERT_EQ(q.scopes.size(), 2u);
  EXPECT_EQ(q.scopes[0].depth, Scope::Depth::Deep);
  EXPECT_EQ(q.scopes[0].url, "file://a");
  EXPECT_EQ(q.scopes[1].depth, Scope::Depth::Shallow);
  EXPECT_EQ(q.scopes[1].url, "file://b");

  q = Parse("SELECT * FROM \"file://./backofficestorage/d/MBX/jdoe/Inbox\"");
  ASSERT_EQ(q.scopes.size(), 1u);
  EXPECT_EQ(q.scopes[0].depth, Scope::Depth::Shallow);
  EXPECT_EQ(q.scopes[0].url, "file://./backofficestorage/d/MBX/jdoe/Inbox");
}

TEST(Parse, QuotingRules) {
  // '' in a literal is one single quote, "" in a name or URL one double quote.
  const Query q = Parse(
      "select \"a\"\"b\" from scope('shallow traversal of "
      "\"file://./backofficestorage/d/MBX/o''brien/\"\"x\"\"\"') "
      "where \"a\"\"b\" = 'it''s'");
  EXPECT_EQ(q.columns, std::vector<std::string>{"a\"b"});
  ASSERT_EQ(q.scopes.size(), 1u);
  EXPECT_EQ(q.scopes[0].url, "file://./backofficestorage/d/MBX/o'brien/\"x\"");
  EXPECT_TRUE(MatchesItem(q.where, {{"a\"b", "IT'S"}}));
  EXPECT_FALSE(MatchesItem(q.where, {{"a\"b", "it''s"}}));

  // Non-ASCII text and characters that mean something elsewhere pass through.
  EXPECT_TRUE(MatchesItem(ParseCriteria("\"p\" = 'Bo\xC3\xAEte (x) AND \"y\" -- %'"),
                          {{"p", "BO\xC3\x8ETE (X) and \"Y\" -- %"}}));
}

TEST(Parse, NumbersAndSigns) {
  EXPECT_TRUE(testing::Holds("\"n\" = -5", {{"n", std::int16_t{-5}}}));
  EXPECT_TRUE(testing::Holds("\"n\" = 2.50", {{"n", 2.5}}));
  EXPECT_TRUE(testing::Holds("\"n\" < .5", {{"n", 0}}));
  EXPECT_TRUE(testing::Holds("\"n\" > 2147483647", {{"n", 3e9}}));
  EXPECT_TRUE(testing::Holds("\"n\" = 10000000000", {{"n", 1e10}}));
  EXPECT_TRUE(testing::Holds("\"n\">-1", {{"n", 0}}));
}

struct Rejected {
  const char* text;
  std::size_t position;
  const char* says;  // a piece of the description
};

TEST(Parse, RejectedStatementsNameThePosition) {
  const Rejected cases[] = {
      {"", 1, "expected SELECT, found end of text"},
      {"   ", 4, "expected SELECT"},
      {"select \"a\" scope('\"u\"')", 12, "expected FROM, found 'scope'"},
      {"select \"a\" from 'x'", 17, "expected SCOPE or a URL"},
      {"select \"a", 8, "quoted name is not terminated"},
      {"select \"a\" from scope('\"u\"')  where \"p\" = 'abc", 43, "string is not terminated"},
      {"select \"a\" from scope('\"u\"') where \"p\" = 1 garbage", 44,
       "expected AND, OR, ORDER BY or end of text, found 'garbage'"},
      {"select \"a\" from scope('\"u\"') x", 30, "expected WHERE, ORDER BY or end of text"},
      {"select \"a\" from scope('\"u\"');", 29, "unexpected character ';'"},
      {"select \"a\" from scope('\"u\"') where (\"p\" = 1", 44, "expected AND, OR or ')'"},
      {"select \"a\" from scope('\"u\"') where \"p\" = 1)", 43, "found ')'"},
      {"select \"a\" from scope('\"u\"') where", 35, "expected a condition, found end of text"},
      {"select \"a\" from scope('\"u\"') where \"p\" = NULL", 42, "use IS NULL"},
      {"select \"a\" from scope('\"u\"') where \"p\" = \"q\"", 42, "a string, number, TRUE or"},
      {"select \"a\" from scope('\"u\"') where 1 = 2", 40, "a property name"},
      {"select \"a\" from scope('\"u\"') where \"p\" LIKE 5", 45, "a pattern in single quotes"},
      {"select \"a\" from scope('\"u\"') where \"p\" = 1.2.3", 42, "malformed number"},
      {"select \"a\" from scope('\"u\"') where \"p\" ! 1", 40, "unexpected character '!'"},
      {"select \"a\" from scope('\"u\"') order \"p\"", 36, "expected BY"},
      {"select from scope('\"u\"')", 8, "expected '*' or a property name"},
      {"select \"\" from scope('\"u\"')", 8, "empty property name"},
      {"select \"a\", from scope('\"u\"')", 13, "a property name"},
      {"select \"a\" from scope()", 23, "a traversal in single quotes"},
      {"select \"a\" from scope('\"u\"'", 28, "expected ',' or ')'"},
      {"select \"a\" from \"\"", 17, "empty URL"},
      {"select \"a\" from scope('\"u\"') where \"p\" = 1 AND", 47, "expected a condition"},
      {"select \"a\" from scope('\"u\"') where \"p\" = 1\x01", 43, "byte 0x01"},
  };
  for (const Rejected& c : cases) {
    std::string description;
    EXPECT_EQ(ErrorPosition([&] { Parse(c.text); }, &description), c.position) << c.text;
    EXPECT_NE(description.find(c.says), std::string::npos) << c.text << "\n  " << description;
  }
}

TEST(Parse, RejectedTraversalsPointIntoTheLiteral) {
  const Rejected cases[] = {
      {"select * from scope('sideways traversal of \"u\"')", 22,
       "unknown traversal 'sideways', expected SHALLOW or DEEP"},
      {"select * from scope('shallow walk of \"u\"')", 30, "expected TRAVERSAL"},
      {"select * from scope('deep traversal in \"u\"')", 37, "expected OF"},
      {"select * from scope('shallow traversal of u')", 43, "expected a URL in double quotes"},
      {"select * from scope('shallow traversal of \"u')", 43, "URL in the traversal is not"},
      {"select * from scope('\"u\" deep')", 26, "unexpected text after the URL"},
      {"select * from scope('deep\"u\"')", 26, "expected a blank after DEEP"},
      {"select * from scope('')", 22, "expected SHALLOW TRAVERSAL OF"},
      {"select * from scope('\"\"')", 22, "empty URL"},
      // Doubled quotes in the literal are two characters of the text: the
      // position still points at the right place in it.
      {"select * from scope('\"o''brien\" x')", 33, "unexpected text after the URL"},
  };
  for (const Rejected& c : cases) {
    std::string description;
    EXPECT_EQ(ErrorPosition([&] { Parse(c.text); }, &description), c.position) << c.text;
    EXPECT_NE(description.find(c.says), std::string::npos) << c.text << "\n  " << description;
  }
}

TEST(Parse, RejectedCriteria) {
  const Rejected cases[] = {
      {" WHERE ", 8, "expected a condition"},
      {"WHERE WHERE \"p\" = 1", 7, "expected a condition, found 'WHERE'"},
      {"\"p\" = 1 ORDER BY \"p\"", 9, "expected AND, OR or end of text"},
      {"\"p\" NOT 'x'", 9, "expected LIKE"},
      {"\"p\" IS 1", 8, "expected NULL"},
      {"\"p\"", 4, "a comparison operator, IS or LIKE"},
      {"((\"p\" = 1)", 11, "expected AND, OR or ')'"},
      {"\"p\" = 'x", 7, "string is not terminated"},
  };
  for (const Rejected& c : cases) {
    std::string description;
    EXPECT_EQ(ErrorPosition([&] { ParseCriteria(c.text); }, &description), c.position) << c.text;
    EXPECT_NE(description.find(c.says), std::string::npos) << c.text << "\n  " << description;
  }
}

TEST(Parse, PositionsCountCharactersNotBytes) {
  // "é" and "€" take two and three bytes but are one character each.
  EXPECT_EQ(ErrorPosition([] { ParseCriteria("\"\xC3\xA9\xE2\x82\xAC\" = 'x' junk"); }), 12u);
  EXPECT_EQ(ErrorPosition([] { Parse("select * from scope('\"\xC3\xA9\" shallow')"); }), 26u);
}

TEST(Parse, NestingIsBoundedButChainsAreNot) {
  // Deep nesting is refused cleanly instead of exhausting the stack.
  std::string deep(100000, '(');
  EXPECT_NE(ErrorPosition([&] { ParseCriteria(deep + "\"p\" = 1"); }), 0u);
  std::string nots;
  for (int i = 0; i < 100000; ++i) nots += "NOT ";
  EXPECT_NE(ErrorPosition([&] { ParseCriteria(nots + "\"p\" = 1"); }), 0u);

  // Moderate nesting is fine.
  const std::string ten(10, '(');
  EXPECT_TRUE(testing::Holds(ten + "\"p\" = 1" + std::string(10, ')'), {{"p", 1}}));
  EXPECT_TRUE(testing::Holds("NOT NOT NOT NOT \"p\" = 1", {{"p", 1}}));

  // A long flat chain neither overflows the parser nor the evaluator.
  std::string chain = "\"p\" = 0";
  for (int i = 1; i < 20000; ++i) chain += " OR \"p\" = " + std::to_string(i);
  EXPECT_TRUE(testing::Holds(chain, {{"p", 19999}}));
  EXPECT_FALSE(testing::Holds(chain, {{"p", 20000}}));
}

}  // namespace
}  // namespace store::query

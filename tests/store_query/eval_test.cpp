#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "platform/store/query/query.h"
#include "tests/store_query/test_util.h"

namespace store::query {
namespace {

using testing::Holds;
using testing::Item;

TEST(Matches, PrecedenceIsNotThenAndThenOr) {
  const Item a_only{{"a", 1}};
  // AND binds tighter than OR: a OR (b AND c).
  EXPECT_TRUE(Holds("\"a\" = 1 OR \"b\" = 1 AND \"c\" = 1", a_only));
  EXPECT_FALSE(Holds("(\"a\" = 1 OR \"b\" = 1) AND \"c\" = 1", a_only));
  EXPECT_TRUE(Holds("\"b\" = 1 AND \"c\" = 1 OR \"a\" = 1", a_only));
  // NOT binds tighter than AND and OR: (NOT a) OR b, (NOT a) AND b.
  const Item a_and_b{{"a", 1}, {"b", 1}};
  EXPECT_TRUE(Holds("NOT \"a\" = 1 OR \"b\" = 1", a_and_b));
  EXPECT_FALSE(Holds("NOT (\"a\" = 1 OR \"b\" = 1)", a_and_b));
  const Item a1_b2{{"a", 1}, {"b", 2}};
  EXPECT_FALSE(Holds("NOT \"a\" = 2 AND \"b\" = 1", a1_b2));
  EXPECT_TRUE(Holds("NOT (\"a\" = 2 AND \"b\" = 1)", a1_b2));
}

TEST(Matches, MissingAndNullValuesAreUnknown) {
  const Item item{{"null", core::Variant::Null()}, {"empty", core::Variant()}, {"s", "x"}};
  for (const char* name : {"absent", "null", "empty"}) {
    const std::string p = std::string("\"") + name + "\"";
    SCOPED_TRACE(name);
    for (const char* op : {"=", "<>", "<", ">=", "!="}) {
      EXPECT_FALSE(Holds(p + op + "'x'", item)) << op;
      EXPECT_FALSE(Holds("NOT " + p + op + "'x'", item)) << op;
    }
    EXPECT_FALSE(Holds(p + " LIKE '%'", item));
    EXPECT_FALSE(Holds(p + " NOT LIKE 'x'", item));
    EXPECT_TRUE(Holds(p + " IS NULL", item));
    EXPECT_FALSE(Holds(p + " IS NOT NULL", item));
    EXPECT_FALSE(Holds("NOT " + p + " IS NULL", item));
    // Unknown OR true is true; unknown AND false is false, and stays false under NOT.
    EXPECT_TRUE(Holds(p + " = 'x' OR \"s\" = 'x'", item));
    EXPECT_FALSE(Holds(p + " = 'x' AND \"s\" = 'x'", item));
    EXPECT_TRUE(Holds("NOT (" + p + " = 'x' AND \"s\" = 'y')", item));
    EXPECT_FALSE(Holds("NOT (" + p + " = 'x' AND \"s\" = 'x')", item));
  }
  EXPECT_TRUE(Holds("\"s\" IS NOT NULL", item));
}

TEST(Matches, StringsIgnoreCase) {
  const Item item{{"name", "Zenthra.REG"}, {"word", "\xC3\x89t\xC3\xA9"}};  // "Été"
  EXPECT_TRUE(Holds("\"name\" = 'zenthra.reg'", item));
  EXPECT_FALSE(Holds("\"name\" <> 'ZENTHRA.reg'", item));
  EXPECT_TRUE(Holds("\"word\" = '\xC3\xA9T\xC3\x89'", item));  // "éTÉ"
  EXPECT_TRUE(Holds("\"name\" > 'zenthra.a' AND \"name\" < 'ZENTHRA.S'", item));
  EXPECT_TRUE(Holds("\"name\" >= 'ZENTHRA.reg' AND \"name\" <= 'zenthra.REG'", item));
  EXPECT_FALSE(Holds("\"name\" = 'Zenthra.re'", item));
}

TEST(Matches, NumbersCompareByValueAcrossTypes) {
  const Item item{{"i", std::int16_t{7}}, {"l", std::int32_t{65500}}, {"d", 2.5}};
  EXPECT_TRUE(Holds("\"i\" = 7 AND \"i\" = 7.0 AND \"i\" < 7.5 AND \"i\" >= 7", item));
  EXPECT_TRUE(Holds("\"l\" = 65500 AND \"l\" > 32767 AND \"l\" <> 65501", item));
  EXPECT_TRUE(Holds("\"d\" > 2 AND \"d\" < 3 AND \"d\" = 2.5 AND \"d\" <= 2.50", item));
  EXPECT_FALSE(Holds("\"d\" = 2", item));
  // A literal on the left reads the other way round.
  EXPECT_TRUE(Holds("3 > \"d\" AND 2 <= \"d\" AND 65500 = \"l\" AND 8 <> \"i\"", item));
  EXPECT_FALSE(Holds("3 < \"d\"", item));
  EXPECT_TRUE(Holds("'zenthra.reg' = \"n\"", {{"n", "Zenthra.reg"}}));
  // NaN compares with nothing.
  const Item nan{{"d", std::numeric_limits<double>::quiet_NaN()}};
  EXPECT_FALSE(Holds("\"d\" = 1 OR \"d\" <> 1 OR \"d\" < 1 OR \"d\" > 1", nan));
}

TEST(Matches, BooleansCompareWithTrueAndFalse) {
  const Item item{{"t", true}, {"f", false}};
  EXPECT_TRUE(Holds("\"t\" = TRUE AND \"t\" = true AND \"f\" = FALSE AND \"t\" <> false", item));
  EXPECT_FALSE(Holds("\"t\" = false OR \"f\" = true", item));
  EXPECT_TRUE(Holds("TRUE = \"t\"", item));
}

TEST(Matches, DifferentKindsAreNeverEqualAndHaveNoOrder) {
  // A priority stored as text is not the number, and a flag is not 1 or 'True'.
  const Item item{{"priority", "65500"}, {"flag", true}, {"n", 1}};
  EXPECT_FALSE(Holds("\"priority\" = 65500", item));
  EXPECT_TRUE(Holds("\"priority\" <> 65500", item));
  EXPECT_TRUE(Holds("\"priority\" = '65500'", item));
  EXPECT_FALSE(Holds("\"flag\" = 1", item));
  EXPECT_FALSE(Holds("\"flag\" = 'True'", item));
  EXPECT_FALSE(Holds("\"n\" = TRUE", item));
  EXPECT_FALSE(Holds("\"n\" = '1'", item));
  for (const char* op : {"<", "<=", ">", ">="}) {
    EXPECT_FALSE(Holds(std::string("\"priority\" ") + op + " 1", item)) << op;
    EXPECT_FALSE(Holds(std::string("NOT \"priority\" ") + op + " 1", item)) << op;
  }
}

TEST(Matches, Like) {
  const Item item{{"name", "Zenthra.reg"}, {"utf", "Bo\xC3\xAEte"}, {"n", 12}, {"empty", ""}};
  EXPECT_TRUE(Holds("\"name\" LIKE 'zen%'", item));
  EXPECT_TRUE(Holds("\"name\" LIKE '%.REG'", item));
  EXPECT_TRUE(Holds("\"name\" LIKE '%thra%'", item));
  EXPECT_TRUE(Holds("\"name\" LIKE 'Zenthra_reg'", item));
  EXPECT_TRUE(Holds("\"name\" LIKE '%%%'", item));
  EXPECT_TRUE(Holds("\"name\" LIKE 'z%a%e%'", item));
  EXPECT_FALSE(Holds("\"name\" LIKE 'zen'", item));  // the whole text must match
  EXPECT_FALSE(Holds("\"name\" LIKE 'Zenthra_'", item));
  EXPECT_FALSE(Holds("\"name\" LIKE '%x%'", item));
  EXPECT_TRUE(Holds("\"name\" NOT LIKE '%x%'", item));
  EXPECT_FALSE(Holds("\"name\" NOT LIKE 'ZEN%'", item));
  // _ is one character, however many bytes it takes.
  EXPECT_TRUE(Holds("\"utf\" LIKE 'BO_TE'", item));
  EXPECT_TRUE(Holds("\"utf\" LIKE 'bo\xC3\x8E%'", item));
  EXPECT_FALSE(Holds("\"utf\" LIKE 'bo__te'", item));
  // The empty text matches only patterns that can be empty.
  EXPECT_TRUE(Holds("\"empty\" LIKE ''", item));
  EXPECT_TRUE(Holds("\"empty\" LIKE '%'", item));
  EXPECT_FALSE(Holds("\"empty\" LIKE '_'", item));
  // LIKE says nothing about numbers.
  EXPECT_FALSE(Holds("\"n\" LIKE '1%'", item));
  EXPECT_FALSE(Holds("\"n\" NOT LIKE '1%'", item));
}

TEST(Matches, LikeBacktrackingStaysFast) {
  const std::string text(20000, 'a');
  const std::string pattern = "%a%a%a%a%a%a%a%a%b";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Holds("\"t\" LIKE '" + pattern + "'", {{"t", text}}));
  EXPECT_TRUE(Holds("\"t\" LIKE '" + pattern.substr(0, pattern.size() - 1) + "'", {{"t", text}}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(RequiredEqual, OnlyWhatTheConditionDemandsOfEveryMatch) {
  auto required = [](std::string_view criteria) {
    return RequiredEqual(ParseCriteria(criteria).get(), "DAV:displayname", &testing::SameName);
  };
  EXPECT_EQ(required("\"DAV:displayname\" = 'Zenthra.reg'"), "Zenthra.reg");
  EXPECT_EQ(required("'Zenthra.reg' = \"DAV:displayname\" AND \"DAV:ishidden\" = true"),
            "Zenthra.reg");
  EXPECT_EQ(required("\"DAV:ishidden\" = true AND \"DAV:displayname\" = 'a' AND \"x\" = 1"), "a");
  for (const char* loose :
       {"\"DAV:displayname\" = 'a' OR \"x\" = 1", "NOT \"DAV:displayname\" = 'a'",
        "\"DAV:displayname\" <> 'a'", "\"DAV:displayname\" LIKE 'a'", "\"DAV:displayname\" = 3",
        "\"other\" = 'a'", ""}) {
    EXPECT_FALSE(required(loose)) << loose;
  }
}

TEST(CompareValues, OrdersMixedValuesForSorting) {
  const core::Variant values[] = {"b",
                                  "A",
                                  2.5,
                                  std::int32_t{-3},
                                  true,
                                  core::Variant::Null(),
                                  false,
                                  "a",
                                  std::int16_t{2},
                                  core::Variant(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  "B"};
  std::vector<const core::Variant*> v;
  for (const auto& x : values) v.push_back(&x);
  v.push_back(nullptr);
  std::stable_sort(v.begin(), v.end(), [](const core::Variant* a, const core::Variant* b) {
    return CompareValues(a, b) < 0;
  });
  // Absent, Null and Empty keep their relative order as equals.
  ASSERT_EQ(v.size(), 13u);
  EXPECT_TRUE(v[0]->IsNull());
  EXPECT_TRUE(v[1]->IsEmpty());
  EXPECT_EQ(v[2], nullptr);
  EXPECT_EQ(*v[3], core::Variant(false));
  EXPECT_EQ(*v[4], core::Variant(true));
  EXPECT_TRUE(std::isnan(v[5]->AsDouble()));
  EXPECT_EQ(v[6]->AsDouble(), -3);
  EXPECT_EQ(v[7]->AsDouble(), 2);
  EXPECT_EQ(v[8]->AsDouble(), 2.5);
  EXPECT_EQ(v[9]->AsString(), "A");  // equal strings keep their order
  EXPECT_EQ(v[10]->AsString(), "a");
  EXPECT_EQ(v[11]->AsString(), "b");
  EXPECT_EQ(v[12]->AsString(), "B");

  const core::Variant upper("ZENTHRA"), lower("zenthra"), one(std::int16_t{1}), one_d(1.0);
  EXPECT_EQ(CompareValues(&upper, &lower), 0);
  EXPECT_EQ(CompareValues(&one, &one_d), 0);
  EXPECT_LT(CompareValues(&one, &upper), 0);
  EXPECT_GT(CompareValues(&upper, &one), 0);
}

}  // namespace
}  // namespace store::query

// Random mutations of valid text must parse or be refused with the syntax
// error, never anything else.

#include <gtest/gtest.h>

#include <random>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/query/query.h"
#include "tests/store_query/test_util.h"

namespace store::query {
namespace {

const char* const kSeeds[] = {
    "select  \"DAV:displayname\" from scope ('shallow traversal of "
    "\"file://./backofficestorage/example.com/MBX/jdoe/Inbox\"')  WHERE \"DAV:displayname\" = "
    "'Zenthra.reg' AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ",
    "SELECT * FROM scope('deep traversal of \"http://h/exadmin/d/mbx/o''brien\"', '\"file://x\"') "
    "WHERE NOT (\"a\" LIKE 'x%_' OR \"b\" IS NOT NULL) AND -1.5 <= \"c\" ORDER BY \"a\" DESC, "
    "\"b\"",
    "select \"a\",\"b\"\"c\" from \"file://./backofficestorage/d/MBX/u\" where \"n\" <> 3 or "
    "\"n\" != 'x''y' and \"m\" NOT LIKE '\xC3\xA9%'",
};

// Characters that matter to the lexer and parser, plus a few bytes that do
// not belong in query text at all.
constexpr std::string_view kAlphabet = "\"'(),*=<>!-._%  \t\naZ09\xC3\xA9\x80\xFF";

std::string Mutate(std::string s, std::mt19937& rng) {
  const int steps = 1 + static_cast<int>(rng() % 4);
  for (int k = 0; k < steps; ++k) {
    const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 5) {
      case 0:  // delete a run
        if (at < s.size()) s.erase(at, 1 + rng() % 8);
        break;
      case 1:  // insert a character
        s.insert(at, 1, kAlphabet[rng() % kAlphabet.size()]);
        break;
      case 2:  // replace a character
        if (at < s.size()) s[at] = kAlphabet[rng() % kAlphabet.size()];
        break;
      case 3: {  // duplicate a slice elsewhere
        if (s.empty()) break;
        const std::size_t from = rng() % s.size();
        const std::string slice = s.substr(from, 1 + rng() % 20);
        s.insert(at, slice);
        break;
      }
      default:  // cut the end off
        s.resize(at);
        break;
    }
  }
  return s;
}

TEST(Fuzz, MutatedTextParsesOrIsRefusedCleanly) {
  std::mt19937 rng(20261207);
  const testing::Item item{{"DAV:displayname", "Zenthra.reg"}, {"a", "xy"}, {"c", 2}};
  int parsed = 0, refused = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = Mutate(kSeeds[i % std::size(kSeeds)], rng);
    try {
      const Query q = (i % 2 == 0) ? Parse(text) : Query{{}, false, {}, ParseCriteria(text), {}};
      testing::MatchesItem(q.where, item);  // evaluating any parsed tree is safe
      // A name the condition demands rules out every item of another name.
      if (auto name = RequiredEqual(q.where.get(), "DAV:displayname", &testing::SameName)) {
        testing::Item other = item;
        other["DAV:displayname"] = core::Variant(*name + "\x01other");
        ASSERT_FALSE(testing::MatchesItem(q.where, other)) << text;
      }
      ++parsed;
    } catch (const core::RuntimeError& e) {
      ASSERT_EQ(e.Number(), core::err::kDbErrorsInCommand) << text;
      std::string description;
      const std::size_t position = testing::ErrorPosition([&] { throw e; }, &description);
      ASSERT_GE(position, 1u) << text << "\n" << description;
      ASSERT_LE(position, core::Len(text) + 1) << text << "\n" << description;
      ++refused;
    }
  }
  // Both outcomes must actually occur, or the mutations test nothing.
  EXPECT_GT(parsed, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace store::query

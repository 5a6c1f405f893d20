#include "platform/core/text.h"

#include <gtest/gtest.h>

namespace core {
namespace {

// "Boîte de réception": î and é are two bytes each in UTF-8.
constexpr std::string_view kBoite =
    "Bo\xC3\xAEte de r\xC3\xA9"
    "ception";

TEST(TextPositions, CountCharactersNotBytes) {
  EXPECT_EQ(Len(kBoite), 18u);
  EXPECT_EQ(Left(kBoite, 5), "Bo\xC3\xAEte");
  EXPECT_EQ(Mid(kBoite, 10, 3),
            "r\xC3\xA9"
            "c");
  EXPECT_EQ(Right(kBoite, 8),
            "\xC3\xA9"
            "ception");
  EXPECT_EQ(InStr(kBoite, "de"), 7u);
  EXPECT_EQ(InStrRev("a/\xC3\xA9/b", "/"), 4u);
  EXPECT_EQ(Left("\xE2\x82\xAC"
                 "x",
                 1),
            "\xE2\x82\xAC");  // euro sign is one character
}

TEST(TextPositions, OutOfRangeArgumentsAreClamped) {
  EXPECT_EQ(Left("abc", 10), "abc");
  EXPECT_EQ(Mid("abc", 4), "");
  EXPECT_EQ(Mid("abc", 0, 2), "ab");
  EXPECT_EQ(InStr("abc", "x"), 0u);
  EXPECT_EQ(InStr("abc", "c", Compare::Binary, 4), 0u);
  EXPECT_EQ(InStr("abcabc", "a", Compare::Binary, 2), 4u);
  EXPECT_EQ(InStrRev("ab", "abc"), 0u);
}

TEST(TextPositions, InvalidUtf8BytesCountOnceAndSurvive) {
  const std::string bad =
      "a\xFF"
      "b\xC3";  // stray byte, then a cut sequence
  EXPECT_EQ(Len(bad), 4u);
  EXPECT_EQ(Mid(bad, 2, 2),
            "\xFF"
            "b");
  EXPECT_EQ(UCase(bad),
            "A\xFF"
            "B\xC3");
  EXPECT_EQ(InStr(bad, "b"), 3u);
}

TEST(TextTrim, RemovesSpacesOnly) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(Trim("\ta\t"), "\ta\t");
  EXPECT_EQ(Trim(" \na\r "), "\na\r");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(LTrim("  x "), "x ");
  EXPECT_EQ(RTrim("  x "), "  x");
  EXPECT_EQ(Trim("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");  // no-break space stays
}

TEST(TextCase, FoldingMatchesAcrossScripts) {
  EXPECT_TRUE(EqualsNoCase("INBOX", "inbox"));
  EXPECT_TRUE(EqualsNoCase("Inbox", "iNBOX"));
  EXPECT_TRUE(EqualsNoCase("BO\xC3\x8ETE", "bo\xC3\xAEte"));          // BOÎTE / boîte
  EXPECT_TRUE(EqualsNoCase("\xCE\xA3\xCE\xA9", "\xCF\x83\xCF\x89"));  // ΣΩ / σω
  EXPECT_FALSE(EqualsNoCase("inbox", "inbox "));
  EXPECT_FALSE(Equals("Inbox", "inbox", Compare::Binary));
  EXPECT_TRUE(StartsWith("SYSTEMMAILBOX{1234}", "SystemMailbox{", Compare::Text));
  EXPECT_FALSE(StartsWith("systemmailbox{", "SystemMailbox{"));
}

TEST(TextCase, SearchWithoutRegardToCaseKeepsCharacterPositions) {
  EXPECT_EQ(InStr("Posteingang/SPAM", "spam", Compare::Text), 13u);
  EXPECT_EQ(InStr("r\xC3\xA9"
                  "ception/X",
                  "\xC3\x89"
                  "CEPTION",
                  Compare::Text),
            2u);
  EXPECT_EQ(InStrRev("CN=a,cn=b", "cn=", Compare::Text), 6u);
  EXPECT_EQ(InStrRev("CN=a,cn=b", "CN="), 1u);
  EXPECT_EQ(UCase("bo\xC3\xAEte"), "BO\xC3\x8ETE");
  EXPECT_EQ(LCase("BO\xC3\x8ETE"), "bo\xC3\xAEte");
}

// ASCII text takes byte paths; text with any other character the general
// one. Both must give the same answers.
TEST(TextCase, AsciiTextGetsTheAnswersAnyTextGets) {
  const std::string e = "\xC3\xA9";  // é, which sends text down the general path
  const std::pair<std::string, std::string> cases[] = {
      {"Posteingang/SPAM", "spam"}, {"CN=a,cn=b", "cn="}, {"aaa", "aa"}, {"abc", ""}, {"abc", "x"}};
  for (const auto& [hay, needle] : cases) {
    for (Compare compare : {Compare::Binary, Compare::Text}) {
      SCOPED_TRACE(hay + " / " + needle);
      EXPECT_EQ(InStr(hay, needle, compare), InStr(hay + e, needle, compare));
      EXPECT_EQ(InStr(hay, needle, compare, 2), InStr(hay + e, needle, compare, 2));
      if (!needle.empty()) {
        EXPECT_EQ(InStrRev(hay, needle, compare), InStrRev(hay + e, needle, compare));
      }
      EXPECT_EQ(Replace(hay, needle, "-", compare) + e, Replace(hay + e, needle, "-", compare));
      EXPECT_EQ(Equals(hay, UCase(hay), compare),
                Equals(hay + e, UCase(hay) + "\xC3\x89", compare));
    }
    EXPECT_EQ(Len(hay) + 1, Len(hay + e));
    EXPECT_EQ(Left(hay + e, Len(hay)), Left(hay, 99));
    EXPECT_EQ(Mid(hay, 2) + e, Mid(hay + e, 2));
    EXPECT_EQ(Mid(hay, 2, 1), Mid(hay + e, 2, 1));
    EXPECT_EQ(Right(e + hay, Len(hay)), Right(hay, 99));
    EXPECT_EQ(FoldCase(hay) + e, FoldCase(hay + e));
    EXPECT_EQ(UCase(hay) + "\xC3\x89", UCase(hay + e));
    EXPECT_EQ(LCase(UCase(hay)) + e, LCase(UCase(hay) + "\xC3\x89"));
  }
  // Characters outside ASCII may fold to ASCII ones.
  EXPECT_TRUE(EqualsNoCase("k", "\xE2\x84\xAA"));  // KELVIN SIGN
  // Wherever it stands in a longer name, though the two differ in length.
  const std::string name = "urn:schemas:httpmail:textdescription";
  for (std::size_t at = 0; at <= name.size(); ++at) {
    std::string ascii = name, kelvin = name;
    ascii.insert(at, "K");
    kelvin.insert(at, "\xE2\x84\xAA");
    EXPECT_TRUE(EqualsNoCase(ascii, kelvin)) << at;
    EXPECT_FALSE(EqualsNoCase(ascii + "x", kelvin)) << at;
  }
  EXPECT_EQ(InStr("\xE2\x84\xAA"
                  "ey",
                  "KEY", Compare::Text),
            1u);
}

TEST(TextReplaceSplit, BehaveLikeTheRuntime) {
  EXPECT_EQ(Replace("a\\b\\\\c", "\\", "/"), "a/b//c");
  EXPECT_EQ(Replace("file:file://x", "file:", ""), "//x");
  EXPECT_EQ(Replace("aaa", "aa", "b"), "ba");
  EXPECT_EQ(Replace("x", "", "y"), "x");
  EXPECT_EQ(Replace("Inbox/INBOX", "inbox", "I", Compare::Text), "I/I");
  EXPECT_EQ(Replace("\xC3\xA9X\xC3\x89", "\xC3\xA9", "e", Compare::Text), "eXe");
  EXPECT_EQ(Split("/a//b/", "/"), (std::vector<std::string>{"", "a", "", "b", ""}));
  EXPECT_EQ(Split("", "/"), std::vector<std::string>{""});
  EXPECT_EQ(Split("a / b / c", " / "), (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
}  // namespace core

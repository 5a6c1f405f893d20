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

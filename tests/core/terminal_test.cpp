#include "platform/core/terminal.h"

#include <gtest/gtest.h>

namespace {

using core::TerminalSafe;

TEST(TerminalSafe, PlainTextAndUnicodeReadAsTheyAre) {
  EXPECT_EQ(TerminalSafe("Hello, world!"), "Hello, world!");
  EXPECT_EQ(TerminalSafe("Bo\xC3\xAEte de r\xC3\xA9"
                         "ception \xE2\x82\xAC \xF0\x9F\x93\xA7"),
            "Bo\xC3\xAEte de r\xC3\xA9"
            "ception \xE2\x82\xAC \xF0\x9F\x93\xA7");
}

TEST(TerminalSafe, EscapeSequencesCannotReachTheTerminal) {
  // A subject that would retitle the window and clear the screen.
  EXPECT_EQ(TerminalSafe("\x1B]0;owned\x07\x1B[2J"), "\\x1B]0;owned\\x07\\x1B[2J");
  // The same through the one-byte C1 introducers, spelt in UTF-8.
  EXPECT_EQ(TerminalSafe("\xC2\x9B"
                         "2J \xC2\x9D"),
            "\\u{009B}2J \\u{009D}");
  EXPECT_EQ(TerminalSafe("a\x7F"
                         "b"),
            "a\\x7Fb");
}

TEST(TerminalSafe, LineBreaksAndBackslashesAreSpeltOut) {
  EXPECT_EQ(TerminalSafe("one\r\ntwo\tthree\\"), "one\\r\\ntwo\\tthree\\\\");
  // So an escaped text cannot pass for another one.
  EXPECT_NE(TerminalSafe("\\x1B"), TerminalSafe("\x1B"));
}

TEST(TerminalSafe, InvalidUtf8AndBidiOverridesAreShownAsBytesAndCodes) {
  EXPECT_EQ(TerminalSafe("\xFF\xC3"), "\\xFF\\xC3");
  EXPECT_EQ(TerminalSafe("file\xE2\x80\xAEtxt.exe"), "file\\u{202E}txt.exe");
  EXPECT_EQ(TerminalSafe("\xE2\x81\xA6x\xE2\x81\xA9"), "\\u{2066}x\\u{2069}");
}

}  // namespace

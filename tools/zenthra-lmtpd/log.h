// The service's log: one line per event on standard error, which is what a
// service manager collects. Text from the wire or the store must be made
// safe with core::TerminalSafe before it gets here.
#pragma once

#include <string_view>

namespace lmtp {

// Writes "zenthra-lmtpd: " + text + "\n" in one piece, so lines of
// different threads never mix.
void LogLine(std::string_view text);

}  // namespace lmtp

// Text from outside (stored mail, directory values, a client's input) made
// safe to print on an administrator's terminal or into a log line.
#pragma once

#include <string>
#include <string_view>

namespace core {

// text with every character a terminal would act on spelt out instead:
// "\r", "\n", "\t", "\\" for a backslash, "\xNN" for other C0 controls, DEL
// and bytes that are not valid UTF-8, "\u{NNNN}" for C1 controls and the
// bidirectional overrides that can make a line read differently from what it
// holds. Printable UTF-8 passes unchanged, so plain text reads as it is.
std::string TerminalSafe(std::string_view text);

}  // namespace core

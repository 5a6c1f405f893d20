// How the tool writes values on one line and reads them back.
//
// Escape writes CR as \r, LF as \n, tab as \t, other control characters as
// \xHH, every byte of a character a terminal would act on (C1 controls,
// bidirectional overrides) or of a byte that is no UTF-8 as \xHH, and a
// backslash as \\ only where it would otherwise start one of those, so
// "Inbox\Spam" and "DOMAIN\user" print as they are. Its output holds nothing
// that core::TerminalSafe would change but backslashes. Unescape reads the
// same forms; a backslash before anything else stands for itself.
// Unescape(Escape(s)) == s for every s.
#pragma once

#include <string>
#include <string_view>

namespace zenthra_catalog {

std::string Escape(std::string_view text);
std::string Unescape(std::string_view text);

}  // namespace zenthra_catalog

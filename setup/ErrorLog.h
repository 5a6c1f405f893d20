// The setup window's error log: a text box in which the newest entry stands
// first and entries are separated by an empty line.
#pragma once

#include <string_view>

#include "platform/core/error.h"
#include "platform/ui/text_box.h"

namespace ErrorLog {

// Puts entry, which ends in its own CR LF CR LF, in front of the log's text.
void Prepend(ui::TextBox& txtErr, std::string_view entry);

// Prepends "[" date "] " text CR LF CR LF: an entry that is not a run-time
// error, stamped with the current date and time.
void PrependDated(ui::TextBox& txtErr, std::string_view text);

// Prepends the line for error, stamped with the current date and time:
//   "[" date "] " context " - ERROR: " number " " description CR LF CR LF
void LogError(ui::TextBox& txtErr, std::string_view context, const core::RuntimeError& error);

}  // namespace ErrorLog

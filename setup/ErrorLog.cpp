#include "setup/ErrorLog.h"

#include <chrono>
#include <string>

namespace ErrorLog {

void Prepend(ui::TextBox& txtErr, std::string_view entry) {
  std::string text(entry);
  text += txtErr.Text();
  txtErr.Text(std::move(text));
}

void PrependDated(ui::TextBox& txtErr, std::string_view text) {
  Prepend(txtErr, "[" + core::GeneralDate(std::chrono::system_clock::now()) + "] " +
                      std::string(text) + "\r\n\r\n");
}

void LogError(ui::TextBox& txtErr, std::string_view context, const core::RuntimeError& error) {
  Prepend(txtErr, core::ErrorLogLine(std::chrono::system_clock::now(), context, error));
}

}  // namespace ErrorLog

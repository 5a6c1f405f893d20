#include "platform/ui/dialogs.h"

#include <algorithm>
#include <stdexcept>

namespace ui {

std::vector<int> ButtonResults(int style) {
  switch (style & 0x0F) {
    case vbOKOnly:
      return {vbOK};
    case vbOKCancel:
      return {vbOK, vbCancel};
    case vbAbortRetryIgnore:
      return {vbAbort, vbRetry, vbIgnore};
    case vbYesNoCancel:
      return {vbYes, vbNo, vbCancel};
    case vbYesNo:
      return {vbYes, vbNo};
    case vbRetryCancel:
      return {vbRetry, vbCancel};
    default:
      return {};
  }
}

int ScriptedDialogs::MsgBox(const MessageBox& box) {
  shown_.push_back(box);
  if (probe_) probe_(box);
  const std::string which = "message box \"" + box.prompt + "\" (style " +
                            std::to_string(box.style) + ", title \"" + box.title + "\")";
  const std::vector<int> results = ButtonResults(box.style);
  if (results.empty()) throw std::logic_error("unknown button set in " + which);
  if (answers_.empty()) {
    if (results.size() == 1) return results.front();
    throw std::logic_error("no scripted answer for " + which);
  }
  const int answer = answers_.front();
  answers_.pop_front();
  if (std::find(results.begin(), results.end(), answer) == results.end()) {
    throw std::logic_error("scripted answer " + std::to_string(answer) + " is not a button of " +
                           which);
  }
  return answer;
}

}  // namespace ui

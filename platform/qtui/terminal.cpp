#include "platform/qtui/terminal.h"

#include <istream>
#include <ostream>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "platform/ui/label.h"

namespace qtui {

namespace {

// Terminals want line feeds; the window model's texts carry CR LF.
std::string ForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

struct Choice {
  int result;
  const char* letter;
  const char* word;
};

struct ButtonSet {
  const char* prompt;
  int fallback;  // the answer to anything unrecognised and to end of input
  std::vector<Choice> choices;
};

bool FindButtonSet(int buttons, ButtonSet* set) {
  switch (buttons) {
    case ui::vbOKOnly:
      *set = {" [Enter] ", ui::vbOK, {}};
      return true;
    case ui::vbOKCancel:
      *set = {" [o/C] ", ui::vbCancel, {{ui::vbOK, "o", "ok"}}};
      return true;
    case ui::vbAbortRetryIgnore:
      *set = {
          " [A/r/i] ", ui::vbAbort, {{ui::vbRetry, "r", "retry"}, {ui::vbIgnore, "i", "ignore"}}};
      return true;
    case ui::vbYesNoCancel:
      *set = {" [y/n/C] ", ui::vbCancel, {{ui::vbYes, "y", "yes"}, {ui::vbNo, "n", "no"}}};
      return true;
    case ui::vbYesNo:
      *set = {" [y/N] ", ui::vbNo, {{ui::vbYes, "y", "yes"}}};
      return true;
    case ui::vbRetryCancel:
      *set = {" [r/C] ", ui::vbCancel, {{ui::vbRetry, "r", "retry"}}};
      return true;
    default:
      return false;
  }
}

}  // namespace

bool TerminalDialogs::ReadAnswer(std::string* answer) {
  out_->flush();
  std::string line;
  if (!std::getline(*in_, line)) {
    *out_ << '\n';
    out_->flush();
    return false;
  }
  // Blanks around the answer and the CR of a CR LF terminal do not count.
  std::size_t b = 0;
  std::size_t e = line.size();
  while (b < e && (line[b] == ' ' || line[b] == '\t')) ++b;
  while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t' || line[e - 1] == '\r')) --e;
  *answer = core::LCase(std::string_view(line).substr(b, e - b));
  if (echo_) {
    *out_ << core::TerminalSafe(std::string_view(line).substr(b, e - b)) << '\n';
    out_->flush();
  }
  return true;
}

int TerminalDialogs::MsgBox(const ui::MessageBox& box) {
  ButtonSet set;
  if (!FindButtonSet(box.Buttons(), &set)) {
    throw core::RuntimeError(
        core::err::kInvalidProcedureCall,
        "Invalid procedure call (message box style " + std::to_string(box.style) + ")");
  }
  if (!box.title.empty()) *out_ << ForTerminal(box.title) << ": ";
  *out_ << ForTerminal(box.prompt) << set.prompt;
  std::string answer;
  if (!ReadAnswer(&answer)) return set.fallback;
  for (const Choice& c : set.choices) {
    if (answer == c.letter || answer == c.word) return c.result;
  }
  return set.fallback;
}

bool TerminalDialogs::AskYesNo(std::string_view question) {
  *out_ << ForTerminal(question) << " [y/N] ";
  std::string answer;
  return ReadAnswer(&answer) && (answer == "y" || answer == "yes");
}

std::string FormText(const ui::Form& form) {
  std::string text;
  for (const ui::Control* c : form.Controls()) {
    if (c->Kind() != ui::ControlKind::Label || !c->Visible()) continue;
    if (!text.empty()) text += "\n\n";
    text += ForTerminal(static_cast<const ui::Label*>(c)->Caption());
  }
  return text;
}

TerminalFrontEnd::TerminalFrontEnd(ui::Program& program, std::istream& in, std::ostream& out)
    : program_(&program), previous_(&program.dialogs()), dialogs_(in, out) {
  program_->SetDialogs(dialogs_);
  program_->SetDoEventsHook([this] { dialogs_.out().flush(); });
}

TerminalFrontEnd::~TerminalFrontEnd() {
  program_->SetDoEventsHook({});
  program_->SetDialogs(*previous_);
}

void TerminalFrontEnd::PrintForm(const ui::Form& form) {
  dialogs_.out() << FormText(form) << '\n';
  dialogs_.out().flush();
}

bool TerminalFrontEnd::AnswerForm(const ui::Form& form, ui::CommandButton& yes,
                                  ui::CommandButton& no) {
  const bool answer = dialogs_.AskYesNo(FormText(form));
  (answer ? yes : no).Click();
  return answer;
}

int TerminalFrontEnd::Finish() {
  if (program_->Ended()) return 0;
  std::string waiting;
  for (const ui::Form* f : program_->Forms()) {
    if (!f->Visible()) continue;
    if (!waiting.empty()) waiting += ", ";
    waiting += "\"" + (f->Caption().empty() ? f->Name() : f->Caption()) + "\"";
  }
  dialogs_.out() << "No display (DISPLAY and WAYLAND_DISPLAY are not set): "
                 << (waiting.empty() ? std::string("the program") : "the window " + waiting)
                 << " cannot take input; ending.\n";
  dialogs_.out().flush();
  program_->End();
  return 1;
}

}  // namespace qtui

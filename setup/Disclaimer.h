// Disclaimer: the window the setup program opens with. It shows the
// limitation of liability and asks whether the administrator accepts it.
//
// The disclaimer owns the setup window, which exists from the start (so a
// front end can make its window) but is loaded only by "Yes". "No" ends the
// program at once. "Yes" shows the setup window (which loads it and gathers
// its start-up facts) and unloads the disclaimer; the program then lives as
// long as the setup window.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/ui.h"
#include "setup/InstallForm.h"

namespace setup {

class Disclaimer : public ui::Form {
 public:
  // commandLine is handed on to the setup window.
  Disclaimer(ui::Program& program, std::string commandLine);
  ~Disclaimer() override;

  ui::Label& Label1;            // the limitation-of-liability text
  ui::Label& Label2;            // the question
  ui::CommandButton& Command1;  // "Yes"
  ui::CommandButton& Command2;  // "No"

  // Yes. Its own steps ignore run-time errors; an error raised while the
  // setup window loads or first activates is that window's and propagates.
  void Command1_Click();
  // No: ends the program.
  void Command2_Click();

  InstallForm& SetupWindow() const { return *install_form_; }
  // True once "No" was pressed, or the window was closed without "Yes".
  bool Declined() const { return declined_; }

 private:
  std::unique_ptr<InstallForm> install_form_;
  bool accepted_ = false;
  bool declined_ = false;
};

// The texts the disclaimer shows.
extern const char* const kLiabilityText;
extern const char* const kAcceptQuestion;

}  // namespace setup

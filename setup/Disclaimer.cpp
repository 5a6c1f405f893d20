// Disclaimer: layout and the two answers.
#include "setup/Disclaimer.h"

#include <utility>

#include "platform/core/error.h"

namespace setup {

const char* const kLiabilityText =
    "LIMITATION OF LIABILITY.\r\n"
    "\r\n"
    "THIS SOFTWARE IS PROVIDED AS IS. IN NO EVENT SHALL ITS CREATOR BE LIABLE FOR ANY "
    "DAMAGES WHATSOEVER, DIRECT OR INDIRECT, INCLUDING LOSS OF DATA, LOSS OF MAIL, "
    "BUSINESS INTERRUPTION OR ANY OTHER LOSS, ARISING OUT OF THE USE OF OR THE INABILITY "
    "TO USE THIS SOFTWARE, OR OUT OF THE ABSENCE OF SUPPORT FOR IT, EVEN IF ADVISED OF "
    "THE POSSIBILITY OF SUCH DAMAGES.\r\n"
    "----------------------------------------";

const char* const kAcceptQuestion =
    "Do you accept all of of the terms of the preceding Limitation of Liability? To install "
    "you must accept the Limitation of Liability . If  you choose No, install will close.";

Disclaimer::Disclaimer(ui::Program& program, std::string commandLine)
    : ui::Form(program, "Disclaimer"),
      Label1(Add<ui::Label>("Label1")),
      Label2(Add<ui::Label>("Label2")),
      Command1(Add<ui::CommandButton>("Command1")),
      Command2(Add<ui::CommandButton>("Command2")),
      install_form_(std::make_unique<InstallForm>(program, std::move(commandLine))) {
  Caption("Zenthra setup");
  ClientSize(4920, 4905);
  Label1.Caption(kLiabilityText);
  Label1.Move(240, 240, 4455, 2775);
  Label1.TabIndex(0);
  Label2.Caption(kAcceptQuestion);
  Label2.Move(240, 3120, 4575, 855);
  Label2.TabIndex(3);
  Command1.Caption("Yes");
  Command1.Move(2400, 4200, 975, 495);
  Command1.TabIndex(1);
  Command2.Caption("No");
  Command2.Move(3840, 4200, 975, 495);
  Command2.TabIndex(2);

  Command1.OnClick([this] { Command1_Click(); });
  // Closing the window unanswered ends the program as "No" does.
  OnUnload([this] {
    if (!accepted_) declined_ = true;
  });
  Command2.OnClick([this] { Command2_Click(); });
}

Disclaimer::~Disclaimer() = default;

void Disclaimer::Command1_Click() {
  accepted_ = true;
  try {
    MousePointer(ui::vbHourglass);
  } catch (const core::RuntimeError&) {
  }
  // Loading the setup window traps nothing of its own: a failure there (no
  // domain, no catalog) must end the program with its message rather than
  // leave a half-loaded window behind.
  install_form_->Show();
  try {
    MousePointer(ui::vbDefault);
  } catch (const core::RuntimeError&) {
  }
  try {
    Unload();
  } catch (const core::RuntimeError&) {
  }
}

void Disclaimer::Command2_Click() {
  declined_ = true;
  program().End();
}

}  // namespace setup

// Installs the event sink once as the administrator's program does when
// CHANGE is pressed with "Install COM+ object" ticked: from the current
// folder, which holds Zenthra.dll. The fault tests kill it at random instants.
//
//   setup_install_once    exit 0 when the error log stayed empty, 1 otherwise
#include <iostream>

#include "platform/ui/text_box.h"
#include "setup/ComPlus.h"

int main() {
  ui::TextBox txtErr("txtErr");
  ComPlus::InstallComPlusObject("Zenthra", "", "", "Spam\rQuarantined Attachment.txt\r65500",
                                txtErr);
  if (!txtErr.Text().empty()) {
    std::cerr << txtErr.Text();
    return 1;
  }
  return 0;
}

// InstallForm: layout, start-up, the small handlers and the progress bar.
#include "setup/InstallForm.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/directory/object.h"
#include "platform/store/fsview.h"
#include "platform/store/machine.h"
#include "platform/win/types.h"
#include "platform/win/user.h"
#include "setup/Cluster.h"
#include "setup/ComPlus.h"

namespace setup {

namespace {

constexpr const char* kCaption = "Zenthra setup";
constexpr const char* kRegisterPrompt = "Please select the mailbox(es) for registration";
constexpr const char* kUnregisterPrompt = "Please select the mailbox(es) for unregistration";

void Place(ui::Control& control, int left, int top, int width, int height, int tab) {
  control.Move(left, top, width, height);
  control.TabIndex(tab);
}

// Round half to even, as the runtime converts a fraction to a whole number.
double RoundEven(double x) { return std::nearbyint(x); }

// A decimal number with optional sign and fraction, optionally surrounded by
// blanks. Anything else (an empty text, blanks alone, exponents, letters)
// is no number.
bool ParseDecimal(std::string_view text, double* value) {
  std::string t = core::Trim(text);
  if (t.empty()) return false;
  std::size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  std::size_t digits = 0;
  bool point = false;
  for (std::size_t j = i; j < t.size(); ++j) {
    if (t[j] >= '0' && t[j] <= '9') {
      ++digits;
    } else if (t[j] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  // from_chars takes no leading '+'.
  const char* first = t.data() + (t[0] == '+' ? 1 : 0);
  const char* last = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(first, last, *value, std::chars_format::fixed);
  if (ec == std::errc::result_out_of_range) {
    *value = t[0] == '-' ? -std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::infinity();
    return true;
  }
  return ec == std::errc() && ptr == last;
}

// Integer division of a whole number by 2, the remainder dropped.
double HalfTowardZero(double whole) { return std::trunc(whole / 2); }

}  // namespace

InstallForm::InstallForm(ui::Program& program, std::string commandLine)
    : ui::Form(program, "InstallForm"),
      Check1(Add<ui::CheckBox>("Check1")),
      Label3(Add<ui::Label>("Label3")),
      txtIdent(Add<ui::TextBox>("txtIdent")),
      Label2(Add<ui::Label>("Label2")),
      txtPwd(Add<ui::TextBox>("txtPwd")),
      Label7(Add<ui::Label>("Label7")),
      Label6(Add<ui::Label>("Label6")),
      txtSpamTag(Add<ui::TextBox>("txtSpamTag")),
      Label5(Add<ui::Label>("Label5")),
      txtSpamFolder(Add<ui::TextBox>("txtSpamFolder")),
      Label9(Add<ui::Label>("Label9")),
      Label8(Add<ui::Label>("Label8")),
      Label10(Add<ui::Label>("Label10")),
      txtPriority(Add<ui::TextBox>("txtPriority")),
      Label11(Add<ui::Label>("Label11")),
      Check2(Add<ui::CheckBox>("Check2")),
      SysMbxInstList(Add<ui::ListBox>("SysMbxInstList")),
      Check3(Add<ui::CheckBox>("Check3")),
      MbxInstList(Add<ui::ListBox>("MbxInstList")),
      Check7(Add<ui::CheckBox>("Check7")),
      Command4(Add<ui::CommandButton>("Command4")),
      Command5(Add<ui::CommandButton>("Command5")),
      Check4(Add<ui::CheckBox>("Check4")),
      MbxUninstList(Add<ui::ListBox>("MbxUninstList")),
      Command6(Add<ui::CommandButton>("Command6")),
      Command7(Add<ui::CommandButton>("Command7")),
      Check5(Add<ui::CheckBox>("Check5")),
      SysMbxUninstList(Add<ui::ListBox>("SysMbxUninstList")),
      Check6(Add<ui::CheckBox>("Check6")),
      Command3(Add<ui::CommandButton>("Command3")),
      txtErr(Add<ui::TextBox>("txtErr")),
      Picture1(Add<ui::PictureBox>("Picture1")),
      Command1(Add<ui::CommandButton>("Command1")),
      Command2(Add<ui::CommandButton>("Command2")),
      command_line_(std::move(commandLine)) {
  ClientSize(9630, 7830);

  // The design: captions, initial texts and positions. Initial values are
  // set before the handlers are wired, so they raise nothing.
  Check1.Caption("Install COM+ object");
  Place(Check1, 120, 0, 1935, 250, 0);
  Label3.Caption("Identity:");
  Place(Label3, 2070, 30, 615, 255, 16);
  Place(txtIdent, 2640, 15, 2055, 285, 13);
  Label2.Caption("Password:");
  Place(Label2, 6810, 30, 2175, 255, 14);
  txtPwd.PasswordChar("*");
  Place(txtPwd, 7560, 20, 2055, 285, 15);
  Label7.Caption("Example: domain\\account");
  Place(Label7, 2640, 285, 2535, 255, 20);
  Label6.Caption("Attachment name:");
  Place(Label6, 1350, 645, 1335, 255, 19);
  txtSpamTag.Text(ComPlus::kDefaultAttachmentName);
  Place(txtSpamTag, 2640, 615, 3375, 285, 18);
  Label5.Caption("Target folder:");
  Place(Label5, 6610, 645, 975, 255, 26);
  txtSpamFolder.Text(ComPlus::kDefaultTargetFolder);
  Place(txtSpamFolder, 7560, 600, 2055, 285, 25);
  Label9.Caption("Each message containing  that attachment will be moved to the target folder.");
  Place(Label9, 2640, 885, 3135, 375, 32);
  Label8.Caption("Example: Inbox\\Spam");
  Place(Label8, 7560, 885, 2000, 255, 31);
  Label10.Caption("Event sink priority:");
  Place(Label10, 5655, 1230, 1455, 255, 34);
  txtPriority.Text(ComPlus::kDefaultPriority);
  Place(txtPriority, 6960, 1200, 550, 285, 33);
  Label11.Caption("(0 is highest, 65535 is lowest)");
  Place(Label11, 7545, 1230, 2415, 255, 35);
  Check2.Caption("Register store-wide");
  Place(Check2, 120, 1545, 1695, 375, 8);
  Place(SysMbxInstList, 1920, 1560, 7695, 645, 23);
  Check3.Caption("Register in the following (selected) Mailboxes:");
  Place(Check3, 120, 2160, 1800, 615, 9);
  Place(MbxInstList, 1920, 2250, 7695, 1230, 5);
  Check7.Caption("Show disabled");
  Check7.Value(ui::vbChecked);
  Place(Check7, 480, 2760, 1440, 255, 21);
  Command4.Caption("Select All");
  Place(Command4, 720, 3015, 1095, 255, 27);
  Command5.Caption("Deselect All");
  Place(Command5, 720, 3285, 1095, 255, 28);
  Check4.Caption("Unregister from the following (selected) Mailboxes:");
  Place(Check4, 120, 3720, 1800, 735, 11);
  Place(MbxUninstList, 1920, 3645, 7695, 1230, 6);
  Command6.Caption("Select All");
  Place(Command6, 720, 4380, 1095, 255, 29);
  Command7.Caption("Deselect All");
  Place(Command7, 720, 4650, 1095, 255, 30);
  Check5.Caption("Unregister store-wide");
  Place(Check5, 120, 4920, 1815, 375, 10);
  Place(SysMbxUninstList, 1920, 4920, 7695, 645, 22);
  Check6.Caption("Uninstall COM+ object ");
  Place(Check6, 120, 5640, 2055, 300, 1);
  Command3.Caption("Clear Error Log");
  Command3.Visible(false);
  Place(Command3, 240, 6000, 1575, 375, 7);
  txtErr.MultiLine(true);
  txtErr.ScrollBars(ui::ScrollBars::Vertical);
  txtErr.Visible(false);
  Place(txtErr, 1920, 6000, 7695, 1095, 17);
  // The progress bar shows only while a listing walks its records; it
  // shares its place with the error log.
  Picture1.Visible(false);
  Place(Picture1, 240, 6360, 9135, 375, 24);
  Command1.Caption("CHANGE");
  Place(Command1, 3120, 7245, 1575, 375, 2);
  Command2.Caption("Exit");
  Place(Command2, 5040, 7245, 1575, 375, 3);

  OnLoad([this] { Form_Load(); });
  OnActivate([this] { Form_Activate(); });
  OnUnload([this] { Form_Unload(); });
  Check2.OnClick([this] { Check2_Click(); });
  Check3.OnClick([this] { Check3_Click(); });
  Check4.OnClick([this] { Check4_Click(); });
  Check5.OnClick([this] { Check5_Click(); });
  Check7.OnClick([this] { Check7_Click(); });
  Command1.OnClick([this] { Command1_Click(); });
  Command2.OnClick([this] { Command2_Click(); });
  Command3.OnClick([this] { Command3_Click(); });
  Command4.OnClick([this] { Command4_Click(); });
  Command5.OnClick([this] { Command5_Click(); });
  Command6.OnClick([this] { Command6_Click(); });
  Command7.OnClick([this] { Command7_Click(); });
  txtPriority.OnKeyPress([this](int& KeyAscii) { txtPriority_KeyPress(KeyAscii); });
  txtPriority.OnChange([this] { txtPriority_Change(); });
  txtErr.OnChange([this] { ErrorLogChanged(); });
}

InstallForm::~InstallForm() = default;

bool InstallForm::IsBatchSwitch(std::string_view argumentText) {
  if (core::Len(argumentText) < 2) return false;
  const std::string head = core::LCase(core::Left(argumentText, 2));
  return head == "-b" || head == "/b";
}

void InstallForm::OnErrorLogged(std::function<void(const std::string&)> listener) {
  error_listener_ = std::move(listener);
}

void InstallForm::ErrorLogChanged() {
  const std::string& text = txtErr.Text();
  // Entries are only ever put in front of what the log holds, so a text
  // that ends with the last one seen grew by a new entry; anything else
  // (emptied, cleared, replaced) is no entry.
  const bool prepended = text.size() > error_log_seen_.size() &&
                         text.compare(text.size() - error_log_seen_.size(), error_log_seen_.size(),
                                      error_log_seen_) == 0;
  std::string entry;
  if (prepended) entry = text.substr(0, text.size() - error_log_seen_.size());
  error_log_seen_ = text;
  if (prepended && error_listener_) error_listener_(entry);
}

// --- Start and end ---

void InstallForm::Form_Load() {
  blnBatchMode = false;
  blnBatchMode = IsBatchSwitch(command_line_);

  // The progress bar: the not-XOR pen shows the text under the bar inverted.
  Picture1.FontBold(true);
  Picture1.AutoRedraw(true);
  Picture1.BackColor(ui::vbWhite);
  Picture1.DrawMode(ui::vbNotXorPen);
  Picture1.FillStyle(ui::vbFSSolid);
  Picture1.ForeColor(ui::vbBlue);

  Caption(blnBatchMode ? std::string(kCaption) + " - batch mode" : std::string(kCaption));

  {
    const store::Machine machine = store::ThisMachine();
    const directory::MachineFacts facts{machine.computer, machine.domain};
    const directory::WinNTSystemInfo winNTSystemInfo(facts);
    const directory::ADSystemInfo adSystemInfo(facts);
    ShortComputerName = core::LCase(winNTSystemInfo.ComputerName());
    DomainDNSName = core::LCase(adSystemInfo.DomainDNSName());
    ComputerName = ShortComputerName + "." + DomainDNSName;

    blnIsClusterNode = false;
    blnIsClusterNode = Cluster::IsClusterNode();
    ClusterName = "";

    FileFolderURL = "file://./backofficestorage/" + DomainDNSName + "/mbx";
    FolderURL = "http://" + ComputerName + "/exadmin/" + DomainDNSName + "/mbx";
    const std::string domainFolder = store::Dir(store::kFsPrefix, store::kDirectory);
    if (!domainFolder.empty()) {
      FileFolderURL = "file://./backofficestorage/" + domainFolder + "/mbx";
      FolderURL = "http://" + ComputerName + "/exadmin/" + domainFolder + "/mbx";
    }
  }  // the system information objects are released here

  const directory::DirectoryObjectPtr rootDSE = directory::GetObject("GC://RootDSE");
  strSearchRoot = "GC://" + rootDSE->Get("dnshostname").AsString();

  cnn = std::make_shared<adodb::Connection>();
  cnn->Provider("adsDSOobject");
  cnn->Open("Active Directory Provider", "", "", adodb::adConnectUnspecified);

  cnn1 = std::make_shared<adodb::Connection>();
  cnn1->Provider("ExOLEDB.DataSource");
}

void InstallForm::Form_Unload() {
  // Each step is tried even when the one before failed; a connection that was
  // never made is made here so that closing it fails harmlessly.
  try {
    if (!cnn) cnn = std::make_shared<adodb::Connection>();
    cnn->Close();
  } catch (const core::RuntimeError&) {
  }
  try {
    if (!cnn1) cnn1 = std::make_shared<adodb::Connection>();
    cnn1->Close();
  } catch (const core::RuntimeError&) {
  }
  cnn.reset();
  cnn1.reset();
}

// --- Registration check-box guards ---

void InstallForm::Check2_Click() {
  if (Check2.Value() > 0 && SysMbxInstList.SelCount() < 1) {
    program().MsgBox(kRegisterPrompt, ui::vbInformation, Caption());
    Check2.Value(ui::vbUnchecked);
  }
}

void InstallForm::Check3_Click() {
  if (Check3.Value() > 0 && MbxInstList.SelCount() < 1) {
    program().MsgBox(kRegisterPrompt, ui::vbInformation, Caption());
    Check3.Value(ui::vbUnchecked);
  }
}

void InstallForm::Check4_Click() {
  if (Check4.Value() > 0 && MbxUninstList.SelCount() < 1) {
    program().MsgBox(kUnregisterPrompt, ui::vbInformation, Caption());
    Check4.Value(ui::vbUnchecked);
  }
}

void InstallForm::Check5_Click() {
  if (Check5.Value() > 0 && SysMbxUninstList.SelCount() < 1) {
    program().MsgBox(kUnregisterPrompt, ui::vbInformation, Caption());
    Check5.Value(ui::vbUnchecked);
  }
}

// --- Buttons ---

void InstallForm::Command2_Click() { Unload(); }

void InstallForm::Command3_Click() {
  Command3.Visible(false);
  txtErr.Text("");
  txtErr.Visible(false);
}

void InstallForm::Command4_Click() {
  for (int i = 0; i <= MbxInstList.ListCount() - 1; ++i) MbxInstList.Selected(i, true);
}

void InstallForm::Command5_Click() {
  for (int i = 0; i <= MbxInstList.ListCount() - 1; ++i) MbxInstList.Selected(i, false);
}

void InstallForm::Command6_Click() {
  for (int i = 0; i <= MbxUninstList.ListCount() - 1; ++i) MbxUninstList.Selected(i, true);
}

void InstallForm::Command7_Click() {
  for (int i = 0; i <= MbxUninstList.ListCount() - 1; ++i) MbxUninstList.Selected(i, false);
}

// --- The priority box ---

void InstallForm::txtPriority_KeyPress(int& KeyAscii) {
  const bool digit = KeyAscii >= '0' && KeyAscii <= '9';
  if (!digit && KeyAscii != ui::vbKeyBack && KeyAscii != ' ') KeyAscii = 0;
}

void InstallForm::txtPriority_Change() {
  if (!ComPlus::PriorityChanging) {
    ComPlus::PriorityChanging = true;
    double number = 0;
    if (!ParseDecimal(txtPriority.Text(), &number)) {
      txtPriority.Text(ComPlus::LastValidPriority);
    } else {
      const double whole = RoundEven(number);
      // A whole number outside 32 bits cannot be a priority either way; a
      // large negative one is refused too rather than failing the handler.
      const bool fits = whole >= std::numeric_limits<std::int32_t>::min() &&
                        whole <= std::numeric_limits<std::int32_t>::max();
      if (!fits || whole > 65535) {
        txtPriority.Text(ComPlus::LastValidPriority);
      } else {
        ComPlus::LastValidPriority = txtPriority.Text();
      }
    }
  }
  ComPlus::PriorityChanging = false;
}

// --- The logged-on user ---

std::string InstallForm::GetCurrentUserName() {
  std::string buffer(255, ' ');
  win::DWORD size = 255;
  if (!win::GetUserNameA(buffer.data(), &size) || size == 0) {
    // A name of blanks would be searched for in the directory as if it were
    // an account; say what failed instead.
    throw core::RuntimeError(core::err::kInvalidProcedureCall,
                             "The name of the logged-on user cannot be read (error " +
                                 std::to_string(win::GetLastError()) + ")",
                             "GetUserNameA");
  }
  // The size counts the terminating zero; the name is the bytes before it.
  return buffer.substr(0, size - 1);
}

// --- Progress bar ---

void InstallForm::UpdateStatus(const std::int32_t& increment) {
  const std::int64_t sum = static_cast<std::int64_t>(FileBytes) + increment;
  if (sum > std::numeric_limits<std::int32_t>::max() ||
      sum < std::numeric_limits<std::int32_t>::min()) {
    throw core::RuntimeError(core::err::kOverflow, "Overflow");
  }
  FileBytes = static_cast<std::int32_t>(sum);

  const double width = Picture1.ScaleWidth();
  const double height = Picture1.ScaleHeight();
  if (FileBytes > width) {
    const double whole = RoundEven(width);
    if (whole > std::numeric_limits<std::int32_t>::max()) {
      throw core::RuntimeError(core::err::kOverflow, "Overflow");
    }
    FileBytes = static_cast<std::int32_t>(whole);
  }

  const double percent = RoundEven(FileBytes / width * 100);
  const std::string text = std::to_string(static_cast<long long>(percent)) + "%";

  Picture1.Cls();
  Picture1.CurrentX(HalfTowardZero(RoundEven(width - Picture1.TextWidth(text))));
  Picture1.CurrentY(HalfTowardZero(RoundEven(height - Picture1.TextHeight(text))));
  Picture1.Print(text);
  Picture1.Line(0, 0, FileBytes, height, Picture1.ForeColor(), ui::LineShape::BoxFilled);
}

}  // namespace setup

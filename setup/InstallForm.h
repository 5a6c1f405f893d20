// InstallForm: the setup program's working window.
//
// It holds the sink's settings (COM+ identity and password, attachment name,
// target folder, event priority), the four mailbox lists with the check
// boxes that choose what CHANGE does, the error log and the progress bar.
// Controls keep the names, captions and positions the administrator knows;
// the constructor lays them out and wires their events to the handlers
// below, which keep the names of the events they answer.
//
// Start-up facts live in the public form variables. Form_Load sets them;
// only the window's own procedures (and tests) read them.
//
// The window's procedures trap no errors: a core::RuntimeError leaves the
// handler and, through the front end, ends the program with a message box.
// The modules the window calls (registration items, COM+) trap their own
// failures and write them into txtErr. Every entry put in front of the log
// is also handed, as it is written, to the listener of OnErrorLogged, so an
// unattended run can report what the window would have shown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/connection.h"
#include "platform/ui/ui.h"
#include "setup/RenewalJournal.h"

namespace setup {

class InstallForm : public ui::Form {
 public:
  // commandLine: the program's argument text, everything after the program
  // name (the batch switch is read from it by Form_Load).
  InstallForm(ui::Program& program, std::string commandLine);
  ~InstallForm() override;

  const std::string& CommandLine() const { return command_line_; }

  // Follows a disabled account's display name in the mailbox lists.
  static constexpr const char* kDisabledMark = " [***DISABLED***]";

  // True when an argument text selects batch mode: at least two characters,
  // the first two "-b" or "/b" in any case (so "-batch" does too).
  static bool IsBatchSwitch(std::string_view argumentText);

  // listener gets each entry put in front of the error log (with its
  // trailing CR LF CR LF), right after it was written; nullptr removes it.
  void OnErrorLogged(std::function<void(const std::string& entry)> listener);

  // The list entries whose registration a batch run removed and then could
  // not create again, in the order they were found. Each also has its own
  // error log entry.
  const std::vector<std::string>& LostRegistrations() const { return lost_registrations_; }

  // --- Controls (client area 9630 x 7830 twips) ---
  ui::CheckBox& Check1;  // "Install COM+ object"
  ui::Label& Label3;     // "Identity:"
  ui::TextBox& txtIdent;
  ui::Label& Label2;  // "Password:"
  ui::TextBox& txtPwd;
  ui::Label& Label7;  // example identity, domain\account
  ui::Label& Label6;  // "Attachment name:"
  ui::TextBox& txtSpamTag;
  ui::Label& Label5;  // "Target folder:"
  ui::TextBox& txtSpamFolder;
  ui::Label& Label9;
  ui::Label& Label8;   // "Example: Inbox\Spam"
  ui::Label& Label10;  // "Event sink priority:"
  ui::TextBox& txtPriority;
  ui::Label& Label11;    // "(0 is highest, 65535 is lowest)"
  ui::CheckBox& Check2;  // "Register store-wide"
  ui::ListBox& SysMbxInstList;
  ui::CheckBox& Check3;  // "Register in the following (selected) Mailboxes:"
  ui::ListBox& MbxInstList;
  ui::CheckBox& Check7;         // "Show disabled"
  ui::CommandButton& Command4;  // Select All (MbxInstList)
  ui::CommandButton& Command5;  // Deselect All (MbxInstList)
  ui::CheckBox& Check4;         // "Unregister from the following (selected) Mailboxes:"
  ui::ListBox& MbxUninstList;
  ui::CommandButton& Command6;  // Select All (MbxUninstList)
  ui::CommandButton& Command7;  // Deselect All (MbxUninstList)
  ui::CheckBox& Check5;         // "Unregister store-wide"
  ui::ListBox& SysMbxUninstList;
  ui::CheckBox& Check6;         // "Uninstall COM+ object "
  ui::CommandButton& Command3;  // "Clear Error Log"
  ui::TextBox& txtErr;          // the error log, newest entry first
  ui::PictureBox& Picture1;     // progress bar
  ui::CommandButton& Command1;  // "CHANGE"
  ui::CommandButton& Command2;  // "Exit"

  // --- Form variables, set by Form_Load ---
  bool blnBatchMode = false;
  std::string ComputerName;       // ShortComputerName + "." + DomainDNSName
  std::string ShortComputerName;  // NetBIOS name, lower case
  std::string DomainDNSName;      // DNS domain, lower case
  std::string FolderURL;          // "http://<ComputerName>/exadmin/<domain folder>/mbx"
  std::string FileFolderURL;      // "file://./backofficestorage/<domain folder>/mbx"
  std::string strSearchRoot;      // "GC://" + global catalog host
  adodb::ConnectionPtr cnn;       // open directory connection ("adsDSOobject")
  adodb::ConnectionPtr cnn1;      // store connection ("ExOLEDB.DataSource"), not opened
  bool blnIsClusterNode = false;
  std::string ClusterName;  // set by GetClusterName
  bool blnNotFirstTime = false;
  std::int32_t FileBytes = 0;  // progress-bar position
  // A batch run lists the mailboxes before and after renewing them; a
  // listing cut at the size limit is logged once.
  bool listingCutLogged = false;

  // --- Start and end (InstallForm.cpp) ---
  void Form_Load();
  // Closes and releases cnn and cnn1; every error ignored.
  void Form_Unload();

  // --- Controls' handlers (InstallForm.cpp) ---
  // Registration guards: refuse a tick while the paired list has no selection.
  void Check2_Click();
  void Check3_Click();
  void Check4_Click();
  void Check5_Click();
  void Command2_Click();  // Exit: unloads the window
  void Command3_Click();  // Clear Error Log
  void Command4_Click();  // Select All / Deselect All on the mailbox lists
  void Command5_Click();
  void Command6_Click();
  void Command7_Click();
  // Lets digits, backspace and blank through; any other key becomes 0.
  void txtPriority_KeyPress(int& KeyAscii);
  // Puts the last valid text back when the box holds no number or one above 65535.
  void txtPriority_Change();

  // The logged-on account's name, without domain. When the system cannot
  // tell it, a run-time error rather than a name of blanks.
  std::string GetCurrentUserName();

  // --- Progress bar (InstallForm.cpp) ---
  // Advances FileBytes by increment (overflow: error 6) and redraws Picture1.
  void UpdateStatus(const std::int32_t& increment);

  // --- Directory and mailboxes (InstallFormDiscovery.cpp) ---
  // Refills the four lists from the global catalog and the store. It lets
  // the front end repaint once per record; meanwhile the window takes no
  // input, so no click can start a second listing or an apply half-way.
  // A search cut at its size limit is written to the error log: the
  // mailboxes beyond it are missing from the lists.
  void GetUsersWithMailboxes();
  // "Show disabled": refills the lists with the hourglass pointer.
  void Check7_Click();
  // Proposes domain\logon name in txtIdent.
  void FillIdentityField();
  // ClusterName = the home server of the logged-on user's mailbox, or "".
  void GetClusterName();
  // The search text both look-ups run: attributes of the person whose logon
  // name is logonName, in the catalog at searchRoot. A quote in the name is
  // doubled, so the name stays one literal whatever it contains.
  static std::string AccountSearchText(const std::string& attributes, const std::string& searchRoot,
                                       const std::string& logonName);

  // --- Apply and first activation (InstallFormApply.cpp) ---
  // Reads the installed COM+ application back, sets the controls' states,
  // refreshes the cluster name and the lists, shows or hides the error log.
  void RefreshInstallState();
  // CHANGE: install, unregister, register, uninstall, refresh. In batch mode
  // the registrations it removes are kept in the renewal journal until they
  // are written again (RenewalJournal.h); it removes nothing when the
  // journal cannot be written.
  void Command1_Click();
  // First activation: refresh, and in batch mode the unattended run and exit.
  // What an interrupted batch run left in the renewal journal is written
  // again by the batch run, and listed in the error log otherwise.
  void Form_Activate();

 private:
  // txtErr's Change: hands a newly prepended entry to the listener.
  void ErrorLogChanged();
  // The entries of the renewal journal for folder that unregisteredList
  // shows: removed by an interrupted batch run and not written again.
  std::vector<std::string> Unfinished(const std::string& folder,
                                      const ui::ListBox& unregisteredList) const;
  // Replaces the renewal journal; on failure logs the error with consequence
  // appended to its text and returns false.
  bool WriteJournal(const std::vector<RenewalJournal::Renewal>& renewals,
                    const std::string& consequence);

  std::string command_line_;
  std::function<void(const std::string&)> error_listener_;
  std::string error_log_seen_;  // txtErr's text when it last changed
  std::vector<std::string> lost_registrations_;
  std::vector<RenewalJournal::Renewal> unfinished_;  // read at the first activation
};

}  // namespace setup

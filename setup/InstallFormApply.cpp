// InstallForm: reading the installed state back into the window, the apply
// procedure behind CHANGE, and the first activation with its batch run.
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "setup/ComPlus.h"
#include "setup/ErrorLog.h"
#include "setup/InstallForm.h"
#include "setup/Items.h"
#include "setup/RenewalJournal.h"

namespace setup {

namespace {

// One name ties the pieces together: the application, the library, the
// ProgID's first half and the registration item's stem.
const std::string kAppName = "Zenthra";
const std::string kItemName = kAppName + ".reg";
const std::string kSinkClass = kAppName + "." + kAppName + "Cls";
constexpr const char* kEventMethod = "onsyncsave";
// Hidden items, the registration item among them, raise no events.
constexpr const char* kCriteria = " WHERE \"DAV:ishidden\" = FALSE";

constexpr const char* kStoreWideFolder = "StoreEvents/GlobalEvents";
constexpr const char* kStoreWideScope = "ANY";
constexpr const char* kMailboxFolder = "inbox";
constexpr const char* kMailboxScope = "SHALLOW";

constexpr const char* kSeparator = " / ";
constexpr const char* kFileRoot = "file://./backofficestorage/";

constexpr const char* kIdentityPrompt = "Please fill the Identity and Password fields";
constexpr const char* kSettingsPrompt = "Please fill the Attachment name and Target folder fields";

// The library counts as present only as a regular file at exactly that path
// (a link to one will do); a folder or a missing file does not.
bool LibraryPresent(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(path), ec) && !ec;
}

// What the apply procedure takes from a list entry: its last two fields.
struct EntryAddress {
  std::string alias;
  std::string address;
  std::string localPart;
  std::string mailDomain;
};

// Entries are "display name / home server / address / alias", joined
// without escaping; reading from the right keeps a display name that holds
// the separator harmless.
EntryAddress ParseEntry(std::string entry) {
  EntryAddress e;
  std::size_t p = core::InStrRev(entry, kSeparator);
  if (p > 0) {
    e.alias = core::Trim(core::Mid(entry, p + 3));
    entry = core::Left(entry, p - 1);
  }
  p = core::InStrRev(entry, kSeparator);
  e.address = p > 0 ? core::Trim(core::Mid(entry, p + 3)) : entry;

  e.localPart = e.address;
  e.mailDomain = e.address;
  const std::size_t q = core::InStrRev(e.address, "@");
  if (q > 1) {
    e.localPart = core::Left(e.address, q - 1);
    e.mailDomain = core::Mid(e.address, q + 1);
  }
  return e;
}

// The entries a phase walks, in index order.
std::vector<std::string> SelectedEntries(const ui::ListBox& list) {
  std::vector<std::string> entries;
  for (int i = 0; i <= list.ListCount() - 1; ++i) {
    if (list.Selected(i)) entries.push_back(list.List(i));
  }
  return entries;
}

std::vector<std::string> AllEntries(const ui::ListBox& list) {
  std::vector<std::string> entries;
  for (int i = 0; i <= list.ListCount() - 1; ++i) entries.push_back(list.List(i));
  return entries;
}

// "/Inbox/Spam/" and "\Inbox\Spam" both mean Inbox\Spam: slashes become
// backslashes, quotes go, the path loses its outer separators, and colons
// go last (so "C:\x" is "C\x" and ":\x" keeps its leading backslash).
std::string NormaliseTargetFolder(const std::string& typed) {
  std::string s = core::Trim(typed);
  s = core::Replace(s, "/", "\\");
  s = core::Replace(s, "'", "");
  s = core::Replace(s, "\"", "");
  while (!s.empty() && s.front() == '\\') s.erase(0, 1);
  while (!s.empty() && s.back() == '\\') s.pop_back();
  return core::Replace(s, ":", "");
}

// What lies in folder, for messages about it.
std::string Registration(const std::string& folder) {
  return folder == kStoreWideFolder ? "store-wide registration" : "registration";
}

// Puts the default pointer back when the apply ends, however it ends: a
// run-time error out of the closing refresh must not leave the hourglass up.
class PointerRestore {
 public:
  explicit PointerRestore(ui::Form& form) : form_(form) {}
  ~PointerRestore() {
    try {
      form_.MousePointer(ui::vbDefault);
    } catch (...) {
      // Nothing useful can be done about a pointer that cannot be reset.
    }
  }
  PointerRestore(const PointerRestore&) = delete;
  PointerRestore& operator=(const PointerRestore&) = delete;

 private:
  ui::Form& form_;
};

}  // namespace

void InstallForm::RefreshInstallState() {
  std::string identity;
  const bool installed = ComPlus::GetComPlusSettings(kAppName, identity, txtPriority, txtSpamTag,
                                                     txtSpamFolder, txtErr);

  if (!installed) {
    const std::string library = ComPlus::ComponentLibraryPath(kAppName);
    if (!LibraryPresent(library)) {
      ErrorLog::PrependDated(
          txtErr, "File " + library + " not found. " + "COM+ object installation is impossible.");
      Check1.Value(ui::vbUnchecked);
      Check1.Enabled(false);
      Check2.Enabled(false);
      Check3.Enabled(false);
      txtIdent.Enabled(false);
      txtIdent.Visible(false);
      txtPwd.Enabled(false);
      txtPwd.Visible(false);
      Label2.Visible(false);
      Label3.Visible(false);
      for (ui::TextBox* box : {&txtSpamTag, &txtPriority, &txtSpamFolder}) {
        box->Enabled(false);
        box->Visible(false);
      }
      Label5.Visible(false);
      Label6.Visible(false);
      Label7.Visible(false);
    } else {
      Check1.Value(ui::vbChecked);
      Check1.Enabled(true);
      FillIdentityField();
      txtIdent.Enabled(true);
      txtIdent.Visible(true);
      txtPwd.Text("");
      txtPwd.Enabled(true);
      txtPwd.Visible(true);
      Label2.Caption("Password:");
      Label2.Visible(true);
      Label3.Visible(true);
      txtSpamTag.Enabled(true);
      txtPriority.Enabled(true);
      txtSpamFolder.Enabled(true);
    }
  } else {
    // What is installed is shown, not edited: changing it takes an
    // uninstall and a new install.
    Check1.Value(ui::vbUnchecked);
    Check1.Enabled(false);
    txtIdent.Enabled(false);
    txtIdent.Text(identity);
    txtPwd.Enabled(false);
    txtPwd.Visible(false);
    Label2.Caption("Password: ********");
    txtSpamTag.Enabled(false);
    txtPriority.Enabled(false);
    txtSpamFolder.Enabled(false);
  }

  Check6.Value(ui::vbUnchecked);
  Check6.Enabled(installed);

  if (blnIsClusterNode) GetClusterName();
  GetUsersWithMailboxes();

  const bool hasErrors = !txtErr.Text().empty();
  txtErr.Visible(hasErrors);
  Command3.Visible(hasErrors);
}

void InstallForm::Command1_Click() {
  MousePointer(ui::vbHourglass);
  const PointerRestore restore(*this);
  txtErr.Text("");

  if (Check1.Value() == ui::vbChecked) {
    if (core::Trim(txtIdent.Text()).empty() || core::Trim(txtPwd.Text()).empty()) {
      program().MsgBox(kIdentityPrompt, ui::vbExclamation, Caption());
      return;
    }
    txtSpamFolder.Text(NormaliseTargetFolder(txtSpamFolder.Text()));
    if (core::Trim(txtSpamTag.Text()).empty() || core::Trim(txtSpamFolder.Text()).empty()) {
      program().MsgBox(kSettingsPrompt, ui::vbExclamation, Caption());
      return;
    }
    // The sink splits its settings at single CR characters.
    const std::string constructorString =
        txtSpamFolder.Text() + "\r" + txtSpamTag.Text() + "\r" + core::Trim(txtPriority.Text());
    ComPlus::InstallComPlusObject(kAppName, txtIdent.Text(), txtPwd.Text(), constructorString,
                                  txtErr);
  }

  // Removal: the web-store form first; only the alias attempts log, so an
  // entry without alias that cannot be reached leaves no trace.
  auto unregisterEntry = [&](const std::string& entry, const std::string& folder) -> bool {
    const EntryAddress e = ParseEntry(entry);
    bool removed = Items::DeleteRegistrationItem(FolderURL + "/" + e.localPart, folder, kItemName,
                                                 false, txtErr);
    if (!removed && !e.alias.empty()) {
      removed =
          Items::DeleteRegistrationItem(FolderURL + "/" + e.alias, folder, kItemName, true, txtErr);
    }
    if (!removed && !e.alias.empty()) {
      removed = Items::DeleteRegistrationItem(FileFolderURL + "/" + e.alias, folder, kItemName,
                                              true, txtErr);
    }
    if (!removed) {
      removed = Items::DeleteRegistrationItem(FileFolderURL + "/" + e.localPart, folder, kItemName,
                                              false, txtErr);
    }
    return removed;
  };

  // Creation: the file-system forms first, the address before the alias;
  // only the last attempt the entry allows writes to the error log.
  auto registerEntry = [&](const std::string& entry, const std::string& folder,
                           const std::string& scope) -> bool {
    const EntryAddress e = ParseEntry(entry);
    std::string created;
    auto attempt = [&](const std::string& url, bool log) {
      // The priority is read afresh for every attempt, as typed.
      created = Items::CreateRegistrationItem(url, folder, kItemName, kEventMethod, kSinkClass,
                                              scope, kCriteria, txtPriority.Text(), log, txtErr);
    };
    const bool byAddress = !e.mailDomain.empty() && !e.localPart.empty();
    if (byAddress) attempt(kFileRoot + e.mailDomain + "/mbx/" + e.localPart, false);
    if (created.empty() && byAddress) {
      attempt("http://" + ComputerName + "/exadmin/" + e.mailDomain + "/mbx/" + e.localPart, false);
    }
    if (created.empty() && !e.localPart.empty()) {
      attempt(FileFolderURL + "/" + e.localPart, false);
    }
    if (created.empty() && !e.localPart.empty()) {
      attempt(FolderURL + "/" + e.localPart, e.alias.empty());
    }
    if (created.empty() && !e.alias.empty()) attempt(FileFolderURL + "/" + e.alias, false);
    if (created.empty() && !e.alias.empty()) attempt(FolderURL + "/" + e.alias, true);
    return !created.empty();
  };

  struct Pass {
    const char* folder;
    const char* scope;
    ui::CheckBox& unregisterBox;
    ui::ListBox& registeredList;
    ui::CheckBox& registerBox;
    ui::ListBox& unregisteredList;
  };
  const Pass passes[] = {
      {kStoreWideFolder, kStoreWideScope, Check5, SysMbxUninstList, Check2, SysMbxInstList},
      {kMailboxFolder, kMailboxScope, Check4, MbxUninstList, Check3, MbxInstList},
  };

  // A batch run removes each registration before it writes it again. The
  // journal holds what is removed and not yet written again, so that a run
  // that dies in between leaves the next one a list to finish; a run that
  // cannot keep that list removes nothing.
  std::vector<RenewalJournal::Renewal> journal;
  bool renew = true;
  if (blnBatchMode) {
    for (const Pass& pass : passes) {
      if (pass.unregisterBox.Value() == ui::vbChecked) {
        for (const std::string& entry : SelectedEntries(pass.registeredList)) {
          journal.push_back({pass.folder, entry});
        }
      }
      for (const std::string& entry : Unfinished(pass.folder, pass.unregisteredList)) {
        journal.push_back({pass.folder, entry});
      }
    }
    renew = WriteJournal(journal, "; nothing was renewed, so nothing could be lost");
  } else if (Check2.Value() == ui::vbChecked || Check3.Value() == ui::vbChecked ||
             Check4.Value() == ui::vbChecked || Check5.Value() == ui::vbChecked) {
    // Registrations set by hand: what an interrupted batch run left undone
    // is the administrator's to decide now (the window listed it).
    WriteJournal({}, "");
  }

  // Store-wide first, then mailboxes; each pass removes before it creates,
  // so a batch run renews what it found with this apply's settings.
  std::vector<RenewalJournal::Renewal> notWritten;
  for (const Pass& pass : passes) {
    std::set<std::string> removed;
    if (renew && pass.unregisterBox.Value() == ui::vbChecked) {
      for (const std::string& entry : SelectedEntries(pass.registeredList)) {
        if (unregisterEntry(entry, pass.folder)) removed.insert(entry);
      }
    }
    std::vector<std::string> toRegister;
    std::set<std::string> unfinished;
    if (blnBatchMode) {
      if (renew) {
        toRegister = AllEntries(pass.registeredList);
        for (const std::string& entry : Unfinished(pass.folder, pass.unregisteredList)) {
          toRegister.push_back(entry);
          unfinished.insert(entry);
        }
      }
    } else if (pass.registerBox.Value() == ui::vbChecked) {
      toRegister = SelectedEntries(pass.unregisteredList);
    }
    for (const std::string& entry : toRegister) {
      const bool created = registerEntry(entry, pass.folder, pass.scope);
      if (created && unfinished.count(entry) > 0) {
        ErrorLog::PrependDated(txtErr, entry + ": an earlier batch run removed this " +
                                           Registration(pass.folder) +
                                           " and did not write it again; it is written again now.");
      } else if (!created && (removed.count(entry) > 0 || unfinished.count(entry) > 0)) {
        // A renewal that removed a registration and cannot put it back has
        // switched the sink off there; that must not pass as a renewal.
        lost_registrations_.push_back(entry);
        notWritten.push_back({pass.folder, entry});
        ErrorLog::PrependDated(txtErr, entry + " - ERROR: the " + Registration(pass.folder) +
                                           " was removed and could not be created again; Zenthra "
                                           "no longer files mail there.");
      }
    }
  }
  // What could not be written again stays for the next run to try.
  if (blnBatchMode && renew) WriteJournal(notWritten, "");

  // After all unregistration, so no registration outlives its application.
  if (Check6.Value() == ui::vbChecked) ComPlus::UninstallComPlusObject(kAppName, txtErr);

  RefreshInstallState();
}

std::vector<std::string> InstallForm::Unfinished(const std::string& folder,
                                                 const ui::ListBox& unregisteredList) const {
  std::vector<std::string> entries;
  for (const RenewalJournal::Renewal& r : unfinished_) {
    if (r.folder != folder) continue;
    for (int i = 0; i <= unregisteredList.ListCount() - 1; ++i) {
      if (unregisteredList.List(i) == r.entry) {
        entries.push_back(r.entry);
        break;
      }
    }
  }
  return entries;
}

bool InstallForm::WriteJournal(const std::vector<RenewalJournal::Renewal>& renewals,
                               const std::string& consequence) {
  try {
    RenewalJournal::Write(core::ServerRoot(), renewals);
    return true;
  } catch (const core::RuntimeError& e) {
    ErrorLog::LogError(txtErr, "", core::RuntimeError(e.Number(), e.Description() + consequence));
    return false;
  }
}

void InstallForm::Form_Activate() {
  if (blnNotFirstTime) return;
  blnNotFirstTime = true;

  RefreshInstallState();

  // A batch run that died between removing registrations and writing them
  // again left their list behind.
  unfinished_.clear();
  try {
    unfinished_ = RenewalJournal::Read(core::ServerRoot());
  } catch (const core::RuntimeError& e) {
    ErrorLog::LogError(txtErr, "", e);
  }
  const bool unfinishedListed = !Unfinished(kStoreWideFolder, SysMbxInstList).empty() ||
                                !Unfinished(kMailboxFolder, MbxInstList).empty();

  if (!blnBatchMode) {
    // The administrator sees which mailboxes lost their registration.
    for (const auto& [folder, list] :
         {std::pair<const char*, ui::ListBox*>{kStoreWideFolder, &SysMbxInstList},
          {kMailboxFolder, &MbxInstList}}) {
      for (const std::string& entry : Unfinished(folder, *list)) {
        ErrorLog::PrependDated(txtErr, entry + " - ERROR: an earlier batch run removed this " +
                                           Registration(folder) +
                                           " and did not write it again; register it again, or "
                                           "run the batch mode.");
      }
    }
    const bool hasErrors = !txtErr.Text().empty();
    txtErr.Visible(hasErrors);
    Command3.Visible(hasErrors);
    return;
  }

  // Renew every registration found. Each list is selected before its box is
  // ticked, because the box refuses a tick without a selection.
  Check2.Value(ui::vbUnchecked);
  Check3.Value(ui::vbUnchecked);
  if (SysMbxUninstList.ListCount() > 0) {
    for (int i = 0; i <= SysMbxUninstList.ListCount() - 1; ++i) {
      SysMbxUninstList.Selected(i, true);
    }
    Check5.Value(ui::vbChecked);
  }
  if (MbxUninstList.ListCount() > 0) {
    for (int i = 0; i <= MbxUninstList.ListCount() - 1; ++i) MbxUninstList.Selected(i, true);
    Check4.Value(ui::vbChecked);
  }
  if (Check4.Value() == ui::vbChecked || Check5.Value() == ui::vbChecked || unfinishedListed) {
    Command1_Click();
  }

  Command2_Click();
}

}  // namespace setup

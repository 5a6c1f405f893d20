// InstallForm: the mailbox lists, the proposed identity and the cluster's
// server name, all read from the global catalog.
#include <memory>
#include <string>

#include "platform/ado/command.h"
#include "platform/ado/recordset.h"
#include "platform/core/text.h"
#include "platform/core/variant.h"
#include "platform/directory/errors.h"
#include "platform/directory/object.h"
#include "setup/ErrorLog.h"
#include "setup/Folders.h"
#include "setup/InstallForm.h"

namespace setup {

namespace {

constexpr const char* kItemName = "Zenthra.reg";
constexpr const char* kItemCondition = " AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";
constexpr const char* kSeparator = " / ";
constexpr std::int16_t kSizeLimit = 30000;

// The text of a value; Null reads as the empty text.
std::string TextOf(const core::Variant& value) { return value.IsNull() ? "" : value.AsString(); }

// A logon name goes between single quotes in a search text; doubling a quote
// keeps it a literal, so the name cannot change what is searched for.
std::string QuoteLiteral(const std::string& text) { return core::Replace(text, "'", "''"); }

// The server's name from an msExchHomeServerName value: upper case, cut to
// what follows the last "CN=" when at least two characters follow it.
std::string HomeServerName(const core::Variant& value) {
  std::string s = value.IsNull() ? "" : core::UCase(value.AsString());
  const std::size_t p = core::InStrRev(s, "CN=");
  if (p >= 1 && p + 3 < core::Len(s)) s = core::Mid(s, p + 3);
  return s;
}

// The provider's warning that the latest search on cnn stopped at its size
// limit, if it left one.
const core::RuntimeError* SizeLimitWarning(const adodb::Connection& cnn) {
  const adodb::Errors& errors = cnn.Errors();
  for (std::int32_t i = 0; i < errors.Count(); ++i) {
    if (errors.Item(i).Number() == directory::err::kSizeLimitExceeded) return &errors.Item(i);
  }
  return nullptr;
}

// The three search properties both user look-ups set.
void SetUserSearchProperties(adodb::Command& command) {
  command.Properties()["searchscope"].Value(core::Variant(std::int32_t{2}));
  command.Properties()["cache results"].Value(core::Variant(false));
  command.Properties()["Chase Referrals"].Value(core::Variant(std::int32_t{0x60}));
}

// Turns the window's input off for a scope and restores what it was, on
// every exit path.
class InputBlock {
 public:
  explicit InputBlock(ui::Form& form) : form_(form), was_(form.Enabled()) { form_.Enabled(false); }
  ~InputBlock() { form_.Enabled(was_); }
  InputBlock(const InputBlock&) = delete;
  InputBlock& operator=(const InputBlock&) = delete;

 private:
  ui::Form& form_;
  bool was_;
};

}  // namespace

void InstallForm::GetUsersWithMailboxes() {
  SysMbxUninstList.Clear();
  SysMbxInstList.Clear();
  MbxUninstList.Clear();
  MbxInstList.Clear();
  Check2.Value(ui::vbUnchecked);
  Check5.Value(ui::vbUnchecked);

  const std::string searchText =
      std::string("SELECT adspath, cn, msExchHomeServerName,mailNickName,mail ") + "FROM '" +
      strSearchRoot + "' " + "WHERE objectcategory='person' AND MsExchMailboxGuid='*' ORDER BY cn";

  auto command = std::make_shared<adodb::Command>();
  if (!cnn) cnn = std::make_shared<adodb::Connection>();
  command->ActiveConnection(cnn);
  command->CommandText(searchText);
  command->Properties()["searchscope"].Value(core::Variant(std::int32_t{2}));
  command->Properties()["cache results"].Value(core::Variant(true));
  command->Properties()["Chase Referrals"].Value(core::Variant(std::int32_t{0x60}));
  command->Properties()["Page Size"].Value(core::Variant(std::int16_t{100}));
  command->Properties()["Size Limit"].Value(core::Variant(kSizeLimit));
  command->Properties()["Timeout"].Value(core::Variant(std::int16_t{120}));
  adodb::RecordsetPtr rs = command->Execute(adodb::adCmdUnspecified);

  // The limit stays, but a cut listing must not pass for the whole server:
  // the mailboxes beyond it are neither shown nor, in batch mode, renewed.
  const core::RuntimeError* cut = SizeLimitWarning(*cnn);
  if (cut && !(blnBatchMode && listingCutLogged)) {
    listingCutLogged = true;
    ErrorLog::LogError(
        txtErr, strSearchRoot,
        core::RuntimeError(cut->Number(),
                           cut->Description() + " The mailbox listing was cut at " +
                               std::to_string(kSizeLimit) +
                               " directory records; mailboxes beyond them are not listed" +
                               (blnBatchMode ? " and were not renewed." : ".")));
  }

  if (!rs->Eof()) {
    FileBytes = 0;
    Picture1.ScaleWidth(rs->RecordCount());
    Picture1.Visible(true);

    // The listing lets the window repaint once per record. A click taken
    // then could start a second listing or an apply on half-filled lists,
    // so the window takes no input until the lists are whole.
    InputBlock block(*this);
    while (!rs->Eof()) {
      UpdateStatus(1);
      program().DoEvents();

      adodb::Fields& fields = rs->Fields();
      // Every record is bound, as the listing always has; the search's cache
      // answers each bind without a round trip to the server.
      const directory::DirectoryObjectPtr user =
          directory::GetObject(fields["adspath"].Value().AsString());

      const std::string homeServer = HomeServerName(fields["msExchHomeServerName"].Value());
      const bool local = core::EqualsNoCase(homeServer, ShortComputerName) ||
                         (blnIsClusterNode && core::EqualsNoCase(homeServer, ClusterName));
      if (local) {
        const std::string alias = TextOf(fields["mailNickName"].Value());
        const std::string displayName = TextOf(fields["cn"].Value());
        const core::Variant mailValue = fields["mail"].Value();
        const std::string mail = TextOf(mailValue);

        std::string localPart;
        std::string mailDomain;
        if (!mailValue.IsNull()) {
          localPart = mail;
          mailDomain = mail;
          const std::size_t at = core::InStr(mail, "@");
          if (at >= 2) {
            localPart = core::Left(mail, at - 1);
            mailDomain = core::Mid(mail, at + 1);
          }
        }

        const std::string rest = kSeparator + homeServer + kSeparator + mail + kSeparator + alias;
        const bool systemMailbox = core::EqualsNoCase(core::Left(alias, 14), "SystemMailbox{");

        // Registered or not: the same URL forms are tried for a user's Inbox
        // and a system mailbox's store-wide folder; only the last attempt
        // the record can reach writes to the error log.
        auto lookup = [&](const std::string& folderName) {
          int state = -1;
          bool attempt1 = false;
          if (!mailDomain.empty() && !alias.empty()) {
            attempt1 = true;
            state = Folders::FolderItemExists(
                "file://./backofficestorage/" + mailDomain + "/mbx/" + alias, folderName, kItemName,
                kItemCondition, false, cnn1, txtErr);
          }
          if (state == -1 && attempt1) {
            state = Folders::FolderItemExists(
                "http://" + ComputerName + "/exadmin/" + mailDomain + "/mbx/" + alias, folderName,
                kItemName, kItemCondition, false, cnn1, txtErr);
          }
          bool attempt3 = false;
          if (state == -1 && !alias.empty()) {
            attempt3 = true;
            state = Folders::FolderItemExists(FolderURL + "/" + alias, folderName, kItemName,
                                              kItemCondition, false, cnn1, txtErr);
          }
          if (state == -1 && attempt3) {
            state = Folders::FolderItemExists(FileFolderURL + "/" + alias, folderName, kItemName,
                                              kItemCondition, localPart.empty(), cnn1, txtErr);
          }
          bool attempt5 = false;
          if (state == -1 && !localPart.empty()) {
            attempt5 = true;
            state = Folders::FolderItemExists(FolderURL + "/" + localPart, folderName, kItemName,
                                              kItemCondition, false, cnn1, txtErr);
          }
          if (state == -1 && attempt5) {
            state = Folders::FolderItemExists(FileFolderURL + "/" + localPart, folderName,
                                              kItemName, kItemCondition, true, cnn1, txtErr);
          }
          return state;
        };

        if (systemMailbox) {
          // A store's system mailbox stands for the store-wide registration.
          if (lookup("StoreEvents/GlobalEvents") == 1) {
            SysMbxUninstList.AddItem(displayName + rest);
          } else {
            SysMbxInstList.AddItem(displayName + rest);
          }
        } else if (user->AccountDisabled()) {
          if (Check7.Value() == ui::vbChecked) {
            MbxInstList.AddItem(displayName + kDisabledMark + rest);
          }
        } else if (lookup("inbox") == 1) {
          MbxUninstList.AddItem(displayName + rest);
        } else {
          MbxInstList.AddItem(displayName + rest);
        }
      }
      rs->MoveNext();
    }

    Picture1.Cls();
    Picture1.Refresh();
    Picture1.Visible(false);
  }

  rs->Close();

  const std::pair<ui::CheckBox*, ui::ListBox*> pairs[] = {{&Check2, &SysMbxInstList},
                                                          {&Check3, &MbxInstList},
                                                          {&Check4, &MbxUninstList},
                                                          {&Check5, &SysMbxUninstList}};
  for (const auto& [box, list] : pairs) {
    box->Value(ui::vbUnchecked);
    box->Enabled(list->ListCount() > 0);
  }
}

void InstallForm::Check7_Click() {
  MousePointer(ui::vbHourglass);
  GetUsersWithMailboxes();
  MousePointer(ui::vbDefault);
}

std::string InstallForm::AccountSearchText(const std::string& attributes,
                                           const std::string& searchRoot,
                                           const std::string& logonName) {
  return "SELECT " + attributes + " " + "FROM '" + searchRoot + "' " +
         "WHERE objectcategory='person' AND sAMAccountName='" + QuoteLiteral(logonName) + "'";
}

void InstallForm::FillIdentityField() {
  const std::string logonName = GetCurrentUserName();
  std::string identity = logonName;

  auto command = std::make_shared<adodb::Command>();
  if (!cnn) cnn = std::make_shared<adodb::Connection>();
  command->ActiveConnection(cnn);
  command->CommandText(
      AccountSearchText("sAMAccountName, cn, objectCategory", strSearchRoot, logonName));
  SetUserSearchProperties(*command);
  adodb::RecordsetPtr rs = command->Execute(adodb::adCmdUnspecified);

  if (!rs->Eof()) {
    // The domain comes from the "DC=" components of the category's name.
    std::string dn = TextOf(rs->Fields()["objectcategory"].Value());
    const std::size_t p = core::InStr(dn, "DC=", core::Compare::Text);
    if (p > 0) {
      dn = core::LTrim(core::Mid(dn, p + 3));
      if (!dn.empty()) {
        std::size_t q = core::InStrRev(dn, "DC=");
        if (q == 0) q = 1;
        const std::size_t comma = core::InStr(dn, ",", core::Compare::Binary, q);
        if (comma >= 3) dn = core::Left(dn, comma - 1);
        dn = core::Replace(dn, " ", "");
        dn = core::Replace(dn, ",DC=", ".");
        if (!dn.empty()) identity = dn + "\\" + logonName;
      }
    }
  }
  rs->Close();

  txtIdent.Text(identity);
}

void InstallForm::GetClusterName() {
  ClusterName = "";

  auto command = std::make_shared<adodb::Command>();
  if (!cnn) cnn = std::make_shared<adodb::Connection>();
  command->ActiveConnection(cnn);
  command->CommandText(
      AccountSearchText("msExchHomeServerName", strSearchRoot, GetCurrentUserName()));
  SetUserSearchProperties(*command);
  adodb::RecordsetPtr rs = command->Execute(adodb::adCmdUnspecified);

  if (!rs->Eof()) ClusterName = HomeServerName(rs->Fields()["msExchHomeServerName"].Value());
  rs->Close();
}

}  // namespace setup

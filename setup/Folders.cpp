#include "setup/Folders.h"

#include <memory>
#include <optional>

#include "platform/ado/record.h"
#include "platform/ado/recordset.h"
#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/schema.h"
#include "setup/ErrorLog.h"

namespace Folders {

namespace {

constexpr const char* kStoreProvider = "ExOLEDB.DataSource";

// Clean-up steps must not turn a result into a raised error; a failure while
// tidying up leaves nothing the caller could act on.
template <typename F>
void Quietly(F&& f) {
  try {
    f();
  } catch (const core::RuntimeError&) {
  }
}

}  // namespace

std::string ItemQuery(const std::string& folderUrl, const std::string& itemName,
                      const std::string& extraCondition) {
  // The URL sits in double quotes inside a single-quoted scope literal, so
  // both kinds of quote are doubled; the name sits in a single-quoted literal.
  const std::string url = core::Replace(core::Replace(folderUrl, "\"", "\"\""), "'", "''");
  const std::string name = core::Replace(itemName, "'", "''");
  std::string q = "select ";
  q += " \"DAV:displayname\"";
  q += " from scope ('shallow traversal of ";
  q += '"';
  q += url;
  q += "\"') ";
  q += " WHERE \"DAV:displayname\" = '";
  q += name;
  q += "'";
  q += extraCondition;
  return q;
}

int FolderItemExists(const std::string& baseUrl, const std::string& folderName,
                     const std::string& itemName, const std::string& extraCondition, bool log,
                     adodb::ConnectionPtr& cnn, ui::TextBox& txtErr) {
  int result = -1;
  std::string url = baseUrl;
  bool createdConnection = false;
  adodb::RecordPtr rec;
  adodb::RecordsetPtr rs;
  std::optional<core::RuntimeError> error;

  try {
    if (!cnn) {
      cnn = std::make_shared<adodb::Connection>();
      cnn->Provider(kStoreProvider);
      createdConnection = true;
    }
    cnn->ConnectionString(url);
    cnn->Open(url, "", "", adodb::adConnectUnspecified);

    rec = std::make_shared<adodb::Record>();
    if (!core::EqualsNoCase(folderName, "inbox")) {
      url = url + "/" + folderName;
    } else {
      rec->Open(url, cnn, adodb::adModeRead, adodb::adFailIfNotExists,
                adodb::adOpenRecordUnspecified);
      if (rec->Fields().Count() > 0) url = rec->Fields()[store::schema::kInbox].Value().AsString();
      rec->Close();
    }

    // Fails when the folder does not exist, which the query alone would not tell.
    rec->Open(url, cnn, adodb::adModeRead, adodb::adFailIfNotExists,
              adodb::adOpenRecordUnspecified);

    rs = std::make_shared<adodb::Recordset>();
    rs->Open(ItemQuery(url, itemName, extraCondition), cnn, adodb::adOpenUnspecified,
             adodb::adLockUnspecified, adodb::adCmdUnspecified);
    result = rs->Eof() ? 0 : 1;

    if (rs->State() != adodb::adStateClosed) rs->Close();
    if (rec->State() != adodb::adStateClosed) rec->Close();
  } catch (const core::RuntimeError& e) {
    error = e;
  }

  if (cnn && cnn->State() != adodb::adStateClosed) Quietly([&] { cnn->Close(); });
  rs.reset();
  rec.reset();
  if (createdConnection) cnn.reset();

  if (error) {
    result = -1;
    if (log) ErrorLog::LogError(txtErr, url, *error);
  }
  return result;
}

}  // namespace Folders

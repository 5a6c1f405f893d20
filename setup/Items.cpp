#include "setup/Items.h"

#include <memory>
#include <optional>

#include "platform/ado/connection.h"
#include "platform/ado/record.h"
#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/core/variant.h"
#include "platform/store/schema.h"
#include "setup/ErrorLog.h"

namespace Items {

namespace {

constexpr const char* kStoreProvider = "exoledb.datasource";
namespace schema = store::schema;

adodb::ConnectionPtr OpenStore(const std::string& connectionString, const std::string& openOn) {
  auto cnn = std::make_shared<adodb::Connection>();
  cnn->Provider(kStoreProvider);
  cnn->ConnectionString(connectionString);
  cnn->Open(openOn, "", "", adodb::adConnectUnspecified);
  return cnn;
}

// The URL of the folder that holds the registration item (see Items.h).
std::string FolderUrl(const std::string& baseUrl, const std::string& folderName,
                      const adodb::ConnectionPtr& cnn) {
  if (!core::EqualsNoCase(folderName, "inbox")) return baseUrl + "/" + folderName;
  std::string url = baseUrl;
  adodb::Record rec;
  rec.Open(baseUrl, cnn, adodb::adModeRead, adodb::adFailIfNotExists,
           adodb::adOpenRecordUnspecified);
  if (rec.Fields().Count() > 0) url = rec.Fields()[schema::kInbox].Value().AsString();
  rec.Close();
  return url;
}

}  // namespace

std::string CreateRegistrationItem(const std::string& baseUrl, const std::string& folderName,
                                   const std::string& itemName, const std::string& eventMethod,
                                   const std::string& sinkClass, const std::string& matchScope,
                                   const std::string& criteria, const std::string& priority,
                                   bool log, ui::TextBox& txtErr) {
  std::string folderUrl;
  adodb::ConnectionPtr cnn;
  adodb::RecordPtr rec;
  std::optional<core::RuntimeError> error;

  try {
    cnn = OpenStore(baseUrl, baseUrl);
    folderUrl = FolderUrl(baseUrl, folderName, cnn);
    cnn->BeginTrans();

    rec = std::make_shared<adodb::Record>();
    rec->Open(folderUrl + "/" + itemName, cnn, adodb::adModeReadWrite, adodb::adCreateOverwrite,
              adodb::adDelayFetchFields, "", "");
    adodb::Fields& fields = rec->Fields();
    fields[schema::kContentClass].Value(core::Variant(schema::kEventRegistrationClass));
    fields[schema::kEventMethod].Value(core::Variant(eventMethod));
    fields[schema::kSinkClass].Value(core::Variant(sinkClass));
    fields[schema::kMatchScope].Value(core::Variant(matchScope));
    fields[schema::kCriteria].Value(core::Variant(criteria));
    fields[schema::kPriority].Value(core::Variant(priority));
    fields[schema::kIsHidden].Value(core::Variant(true));
    fields.Update();
    rec->Close();

    cnn->CommitTrans();
  } catch (const core::RuntimeError& e) {
    error = e;
  }

  // Releasing the connection discards a transaction that was not committed,
  // so a failed write leaves no half-written item behind.
  rec.reset();
  cnn.reset();

  if (error) {
    folderUrl.clear();
    if (log) ErrorLog::LogError(txtErr, baseUrl, *error);
  }
  return folderUrl;
}

bool DeleteRegistrationItem(const std::string& baseUrl, const std::string& folderName,
                            const std::string& itemName, bool log, ui::TextBox& txtErr) {
  bool result = true;
  adodb::ConnectionPtr cnn;
  adodb::RecordPtr rec;
  std::optional<core::RuntimeError> error;

  try {
    cnn = OpenStore(baseUrl, "");
    const std::string itemUrl = FolderUrl(baseUrl, folderName, cnn) + "/" + itemName;
    rec = std::make_shared<adodb::Record>();
    rec->Open(itemUrl, cnn, adodb::adModeReadWrite, adodb::adFailIfNotExists,
              adodb::adOpenRecordUnspecified);
    rec->DeleteRecord(itemUrl, false);
  } catch (const core::RuntimeError& e) {
    error = e;
  }

  rec.reset();
  cnn.reset();

  if (error) {
    result = false;
    if (log) ErrorLog::LogError(txtErr, baseUrl, *error);
  }
  return result;
}

}  // namespace Items

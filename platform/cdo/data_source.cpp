#include "platform/cdo/data_source.h"

#include "platform/ado/record.h"
#include "platform/cdo/errors.h"
#include "platform/cdo/message.h"
#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/mime/mime.h"
#include "platform/store/schema.h"
#include "platform/store/session.h"

namespace cdo {
namespace {

constexpr const char* kSource = "CDO.Message";

[[noreturn]] void InvalidArgument(const std::string& what) {
  throw core::RuntimeError(core::err::kAdoInvalidArgument, what, kSource);
}

}  // namespace

void IDataSource::Open(const std::string& source, adodb::ConnectionPtr activeConnection,
                       adodb::ConnectModeEnum mode, adodb::RecordCreateOptionsEnum createOptions,
                       adodb::RecordOpenOptionsEnum options, const std::string& userName,
                       const std::string& password) {
  if (createOptions != adodb::adFailIfNotExists) {
    InvalidArgument(
        "IDataSource.Open opens existing items only; createOptions must be "
        "adFailIfNotExists (-1).");
  }
  adodb::Record record;
  record.Open(source, std::move(activeConnection), mode, createOptions, options, userName,
              password);
  const std::string url = record.Source();
  core::Variant value;
  try {
    value = record.Fields()[store::schema::kContent].Value();
  } catch (const core::RuntimeError& e) {
    if (e.Number() != core::err::kAdoItemNotFound) throw;
  }
  if (value.Type() != core::VarType::String) {
    throw core::RuntimeError(err::kNoContent, "The item \"" + url + "\" holds no message.",
                             kSource);
  }
  std::string content = std::move(*value.Text());
  record.Close();
  // A sink reads a message its own thread has just saved: the store still
  // holds the analysis of that text.
  std::shared_ptr<const mime::MessageInfo> known;
  try {
    known = store::Session::ForThread(core::ServerRoot())->AnalysisOf(content);
  } catch (const core::RuntimeError&) {
    // No store session here; parse the text.
  }
  message_->Load(std::move(content), known.get());
  source_url_ = url;
}

void IDataSource::SaveToContainer(const std::string& containerURL,
                                  adodb::ConnectionPtr activeConnection,
                                  adodb::ConnectModeEnum mode,
                                  adodb::RecordCreateOptionsEnum createOptions,
                                  adodb::RecordOpenOptionsEnum options, const std::string& userName,
                                  const std::string& password) {
  if (!message_->IsLoaded()) {
    throw core::RuntimeError(
        err::kNotOpen, "The message has no content to save; open its data source first.", kSource);
  }
  if (createOptions != adodb::adCreateNonCollection) {
    InvalidArgument(
        "IDataSource.SaveToContainer always creates a new item; createOptions must be "
        "adCreateNonCollection (0).");
  }
  std::string folder = containerURL;
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  if (folder.empty()) InvalidArgument("IDataSource.SaveToContainer needs a container URL.");
  // The copy is open for writing whatever mode was asked; share flags are
  // kept.
  mode = static_cast<adodb::ConnectModeEnum>(mode | adodb::adModeReadWrite);

  // One change in the store: the copy appears with its content or not at all.
  adodb::Record record;
  const std::string subject = message_->Subject();
  try {
    record.CreateUnique(
        folder, [&](std::int32_t attempt) { return mime::ItemName(subject, attempt); },
        {{store::schema::kContentClass, core::Variant(store::schema::kMessageClass)},
         {store::schema::kContent, core::Variant(message_->Content())}},
        std::move(activeConnection), mode, options, userName, password);
  } catch (const core::RuntimeError& e) {
    if (e.Number() != core::err::kDbResourceExists) throw;
    throw core::RuntimeError(err::kNoUniqueName,
                             "No free item name for the message was found in \"" + folder + "\".",
                             kSource);
  }
  const std::string url = record.Source();
  record.Close();
  source_url_ = url;
}

}  // namespace cdo

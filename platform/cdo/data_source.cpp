#include "platform/cdo/data_source.h"

#include <climits>
#include <random>

#include "platform/ado/record.h"
#include "platform/cdo/errors.h"
#include "platform/cdo/message.h"
#include "platform/core/error.h"
#include "platform/mime/mime.h"
#include "platform/store/schema.h"

namespace cdo {
namespace {

constexpr const char* kSource = "CDO.Message";

// Names are first tried in order ("Subject.EML", "Subject-1.EML", ...), which
// is what people expect to see. A folder that already holds that many
// messages with one subject (a spam run, say) would make the walk long, so
// after that numbers are drawn at random from a range too large to clash.
constexpr int kSequentialAttempts = 100;
constexpr int kRandomAttempts = 100;

int RandomAttempt() {
  thread_local std::mt19937 engine{std::random_device{}()};
  return std::uniform_int_distribution<int>(kSequentialAttempts, INT_MAX)(engine);
}

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
  std::string content = value.AsString();
  record.Close();
  message_->Load(std::move(content));
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
  // The copy is written right after it is created, so it needs write access
  // whatever mode was asked; share flags are kept.
  mode = static_cast<adodb::ConnectModeEnum>(mode | adodb::adModeReadWrite);

  adodb::Record record;
  for (int i = 0;
       i < kSequentialAttempts + kRandomAttempts && record.State() == adodb::adStateClosed; ++i) {
    const int attempt = i < kSequentialAttempts ? i : RandomAttempt();
    const std::string url = folder + "/" + mime::ItemName(message_->Subject(), attempt);
    try {
      record.Open(url, activeConnection, mode, adodb::adCreateNonCollection, options, userName,
                  password);
    } catch (const core::RuntimeError& e) {
      if (e.Number() != core::err::kDbResourceExists) throw;
    }
  }
  if (record.State() == adodb::adStateClosed) {
    throw core::RuntimeError(err::kNoUniqueName,
                             "No free item name for the message was found in \"" + folder + "\".",
                             kSource);
  }

  try {
    adodb::Fields& fields = record.Fields();
    fields[store::schema::kContentClass].Value(store::schema::kMessageClass);
    fields[store::schema::kContent].Value(message_->Content());
    fields.Update();
  } catch (...) {
    // Leave no empty item behind; the write's error is the one to report.
    try {
      record.DeleteRecord();
    } catch (...) {
    }
    throw;
  }
  const std::string url = record.Source();
  record.Close();
  source_url_ = url;
}

}  // namespace cdo

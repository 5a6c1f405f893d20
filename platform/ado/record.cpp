#include "platform/ado/record.h"

#include "platform/ado/raise.h"
#include "platform/core/error.h"

namespace adodb {
namespace {

constexpr const char* kSource = "ADODB.Record";

[[noreturn]] void Fail(std::int32_t number) { internal::Raise(number, kSource); }

// A connection of the record's own on the provider that binds url.
ConnectionPtr OpenOwnConnection(const std::string& url, const std::string& userName,
                                const std::string& password) {
  auto [name, provider] = ProviderRegistry::Instance().FindForUrl(url);
  if (!provider) Fail(core::err::kAdoProviderNotFound);
  auto connection = std::make_shared<Connection>();
  connection->Provider(std::move(name));
  connection->Open(url, userName, password, adConnectUnspecified);
  return connection;
}

bool IsOwnItem(const std::string& source, const RecordSource& own) {
  return source.empty() || source == own.Source();
}

}  // namespace

Record::Record()
    : fields_(Fields::Owner{
          [this] { CheckOpen(); },
          [this](const FieldList& changes) {
            source_->WriteFields(changes);
            LoadFields();
          },
          [this](const std::string& name) {
            CheckOpen();
            return source_->ReadDeferredField(name);
          },
      }) {}

void Record::LoadFields() {
  std::vector<std::string> deferred;
  FieldList values = source_->ReadFieldsDeferring(&deferred);
  fields_.Load(std::move(values), std::move(deferred));
}

Record::~Record() {
  if (!source_) return;
  try {
    Unbind(true);
  } catch (...) {
  }
}

void Record::CheckOpen() const {
  if (!source_) Fail(core::err::kAdoObjectClosed);
}

ConnectionPtr Record::ConnectionFor(const std::string& url, ConnectionPtr activeConnection,
                                    const std::string& userName, const std::string& password,
                                    bool* own) {
  *own = !activeConnection;
  if (!activeConnection) return OpenOwnConnection(url, userName, password);
  if (activeConnection->State() != adStateOpen) Fail(core::err::kAdoInvalidConnection);
  return activeConnection;
}

void Record::Open(const std::string& source, ConnectionPtr activeConnection, ConnectModeEnum mode,
                  RecordCreateOptionsEnum createOptions, RecordOpenOptionsEnum options,
                  const std::string& userName, const std::string& password) {
  if (source_) Fail(core::err::kAdoObjectOpen);
  bool own = false;
  ConnectionPtr connection =
      ConnectionFor(source, std::move(activeConnection), userName, password, &own);
  // An own connection that fails here is released, and so closed, on unwind.
  std::unique_ptr<RecordSource> item =
      connection->Session().OpenRecord(source, mode, createOptions, options, userName, password);
  if (!item) {
    throw core::RuntimeError(
        core::err::kEFail,
        "Provider \"" + connection->Provider() + "\" returned no item for \"" + source + "\".",
        kSource);
  }
  Bind(std::move(item), std::move(connection), own);
}

void Record::CreateUnique(const std::string& folderUrl, const ItemNames& names,
                          const FieldList& properties, ConnectionPtr activeConnection,
                          ConnectModeEnum mode, RecordOpenOptionsEnum options,
                          const std::string& userName, const std::string& password) {
  if (source_) Fail(core::err::kAdoObjectOpen);
  bool own = false;
  ConnectionPtr connection =
      ConnectionFor(folderUrl, std::move(activeConnection), userName, password, &own);
  std::unique_ptr<RecordSource> item =
      connection->Session().CreateUniqueItem(folderUrl, names, properties, mode, options);
  if (!item) {
    throw core::RuntimeError(
        core::err::kEFail,
        "Provider \"" + connection->Provider() + "\" returned no item in \"" + folderUrl + "\".",
        kSource);
  }
  Bind(std::move(item), std::move(connection), own);
}

void Record::Attach(std::unique_ptr<RecordSource> source, ConnectionPtr connection) {
  if (source_) Fail(core::err::kAdoObjectOpen);
  if (!source) Fail(core::err::kAdoInvalidArgument);
  if (connection && connection->State() != adStateOpen) Fail(core::err::kAdoInvalidConnection);
  Bind(std::move(source), std::move(connection), false);
}

void Record::Bind(std::unique_ptr<RecordSource> source, ConnectionPtr connection, bool own) {
  // Read first, so that a failure leaves the record closed and the source
  // released while its connection is still open.
  FieldList values;
  std::vector<std::string> deferred;
  try {
    values = source->ReadFieldsDeferring(&deferred);
  } catch (...) {
    source.reset();
    throw;
  }
  source_ = std::move(source);
  connection_ = std::move(connection);
  own_connection_ = own;
  fields_.Load(std::move(values), std::move(deferred));
  if (connection_) connection_->AddDependent(this);
}

void Record::Unbind(bool close_own_connection) {
  // The source goes before its connection's session.
  source_.reset();
  fields_.Clear();
  ConnectionPtr connection = std::move(connection_);
  connection_.reset();
  const bool own = own_connection_;
  own_connection_ = false;
  if (!connection) return;
  connection->RemoveDependent(this);
  if (own && close_own_connection && connection->State() == adStateOpen) connection->Close();
}

void Record::Close() {
  CheckOpen();
  Unbind(true);
}

ObjectStateEnum Record::State() const { return source_ ? adStateOpen : adStateClosed; }

Fields& Record::Fields() {
  CheckOpen();
  return fields_;
}

std::string Record::Source() const {
  CheckOpen();
  return source_->Source();
}

std::string Record::ParentURL() const {
  CheckOpen();
  return source_->ParentURL();
}

RecordTypeEnum Record::RecordType() const {
  CheckOpen();
  return source_->RecordType();
}

ConnectionPtr Record::ActiveConnection() const {
  CheckOpen();
  return connection_;
}

std::unique_ptr<RecordSource> Record::OpenOther(const std::string& url,
                                                ConnectionPtr* keep_alive) const {
  ConnectionPtr connection = connection_;
  if (!connection) {
    connection = OpenOwnConnection(url, "", "");
    *keep_alive = connection;
  }
  std::unique_ptr<RecordSource> item = connection->Session().OpenRecord(
      url, adModeReadWrite, adFailIfNotExists, adOpenRecordUnspecified, "", "");
  if (!item) {
    throw core::RuntimeError(
        core::err::kEFail,
        "Provider \"" + connection->Provider() + "\" returned no item for \"" + url + "\".",
        kSource);
  }
  return item;
}

std::string Record::MoveRecord(const std::string& source, const std::string& destination,
                               const std::string& userName, const std::string& password,
                               MoveRecordOptionsEnum options, bool async) {
  (void)userName;
  (void)password;
  // Moves complete before returning; an asynchronous request is simply
  // finished early.
  (void)async;
  CheckOpen();
  // "Unspecified" means the default, which replaces nothing; providers test
  // option bits, and -1 has them all set.
  if (options == adMoveUnspecified) options = static_cast<MoveRecordOptionsEnum>(0);
  if (IsOwnItem(source, *source_)) {
    std::string url = source_->MoveTo(destination, options);
    LoadFields();
    return url;
  }
  ConnectionPtr keep_alive;
  std::unique_ptr<RecordSource> other = OpenOther(source, &keep_alive);
  return other->MoveTo(destination, options);
}

void Record::DeleteRecord(const std::string& source, bool async) {
  (void)async;
  CheckOpen();
  if (IsOwnItem(source, *source_)) {
    source_->Delete();
    Unbind(true);
    return;
  }
  ConnectionPtr keep_alive;
  std::unique_ptr<RecordSource> other = OpenOther(source, &keep_alive);
  other->Delete();
}

}  // namespace adodb

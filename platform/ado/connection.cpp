#include "platform/ado/connection.h"

#include <algorithm>

#include "platform/ado/raise.h"
#include "platform/ado/record.h"
#include "platform/core/error.h"

namespace adodb {
namespace {

constexpr const char* kSource = "ADODB.Connection";

[[noreturn]] void Fail(std::int32_t number) { internal::Raise(number, kSource); }

}  // namespace

Connection::~Connection() {
  if (!session_) return;
  // Releasing the last reference must not throw; the session's destruction
  // discards whatever the rollback could not.
  try {
    // No record can be open here: each holds a reference to this connection.
    CloseDependents();
    for (; transaction_level_ > 0; --transaction_level_) session_->RollbackTrans();
  } catch (...) {
  }
  transaction_level_ = 0;
  session_.reset();
}

void Connection::CheckOpen() const {
  if (!session_) Fail(core::err::kAdoObjectClosed);
}

void Connection::Provider(std::string name) {
  if (session_) Fail(core::err::kAdoObjectOpen);
  provider_ = std::move(name);
}

void Connection::ConnectionString(std::string text) {
  if (session_) Fail(core::err::kAdoObjectOpen);
  connection_string_ = std::move(text);
}

void Connection::Mode(ConnectModeEnum mode) {
  if (session_) Fail(core::err::kAdoObjectOpen);
  mode_ = mode;
}

void Connection::Open(const std::string& connectionString, const std::string& userId,
                      const std::string& password, std::int32_t options) {
  if (session_) Fail(core::err::kAdoObjectOpen);
  std::shared_ptr<adodb::Provider> provider = ProviderRegistry::Instance().Find(provider_);
  if (!provider) Fail(core::err::kAdoProviderNotFound);
  // The string opened on becomes the connection's string, as callers that
  // read ConnectionString back after Open expect.
  std::string text = connectionString.empty() ? connection_string_ : connectionString;
  std::unique_ptr<ProviderSession> session = provider->Open(text, userId, password, options);
  if (!session) {
    throw core::RuntimeError(
        core::err::kEFail,
        "Provider \"" + provider_ + "\" returned no session for \"" + text + "\".", kSource);
  }
  connection_string_ = std::move(text);
  session_ = std::move(session);
  transaction_level_ = 0;
}

void Connection::Close() {
  CheckOpen();
  const std::vector<ConnectionPtr> references = CloseDependents();
  // The session is destroyed whatever the rollback does; its destruction
  // discards an open transaction too. A failed rollback is still reported.
  std::unique_ptr<ProviderSession> session = std::move(session_);
  std::int32_t levels = transaction_level_;
  transaction_level_ = 0;
  for (; levels > 0; --levels) session->RollbackTrans();
}

ObjectStateEnum Connection::State() const { return session_ ? adStateOpen : adStateClosed; }

std::int32_t Connection::BeginTrans() {
  CheckOpen();
  if (transaction_level_ > 0 && !session_->SupportsNestedTransactions()) {
    Fail(core::err::kAdoFeatureNotAvailable);
  }
  session_->BeginTrans();
  return ++transaction_level_;
}

void Connection::CommitTrans() {
  CheckOpen();
  if (transaction_level_ == 0) Fail(core::err::kAdoInvalidTransaction);
  // A failed commit leaves the level open, to be rolled back by the caller
  // or discarded on Close.
  session_->CommitTrans();
  --transaction_level_;
}

void Connection::RollbackTrans() {
  CheckOpen();
  if (transaction_level_ == 0) Fail(core::err::kAdoInvalidTransaction);
  --transaction_level_;
  session_->RollbackTrans();
}

const core::RuntimeError& Errors::Item(std::int32_t index) const {
  if (index < 0 || index >= Count()) internal::Raise(core::err::kAdoItemNotFound, "ADODB.Errors");
  return items_[static_cast<std::size_t>(index)];
}

Rowset Connection::Execute(const std::string& commandText, const PropertyList& properties) {
  errors_.Clear();
  Rowset rows = Session().Execute(commandText, properties);
  errors_.items_ = std::move(rows.warnings);
  rows.warnings.clear();
  return rows;
}

ProviderSession& Connection::Session() {
  if (!session_) Fail(core::err::kAdoInvalidConnection);
  return *session_;
}

void Connection::AddDependent(Record* record) {
  if (std::find(dependents_.begin(), dependents_.end(), record) == dependents_.end()) {
    dependents_.push_back(record);
  }
}

void Connection::RemoveDependent(Record* record) {
  dependents_.erase(std::remove(dependents_.begin(), dependents_.end(), record), dependents_.end());
}

std::vector<ConnectionPtr> Connection::CloseDependents() {
  // Each Unbind removes its record from the list; take the list first.
  std::vector<Record*> records;
  records.swap(dependents_);
  std::vector<ConnectionPtr> references;
  for (Record* r : records) {
    references.push_back(r->connection_);
    r->Unbind(false);
  }
  return references;
}

}  // namespace adodb

// Connection: one open session with a provider.
//
// Provider and ConnectionString may be set only while closed (3705 when open).
// Open on an open connection is 3705; Close, transactions and use by Records
// on a closed connection are 3704. Closing or destroying a connection with
// uncommitted transactions discards them, and closing a connection first closes
// every Record still open on it, so that no provider item outlives the session
// it belongs to. A connection and the records on it are used by one thread at
// a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/constants.h"
#include "platform/ado/provider.h"

namespace adodb {

class Record;

// The provider's warnings about the connection's latest command: a result
// that was returned but is not the whole answer. Each command run on the
// connection replaces them.
class Errors {
 public:
  std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
  // 3265 when index is out of range.
  const core::RuntimeError& Item(std::int32_t index) const;
  void Clear() { items_.clear(); }

 private:
  friend class Connection;
  std::vector<core::RuntimeError> items_;
};

class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& Provider() const { return provider_; }
  void Provider(std::string name);
  const std::string& ConnectionString() const { return connection_string_; }
  void ConnectionString(std::string text);
  ConnectModeEnum Mode() const { return mode_; }
  void Mode(ConnectModeEnum mode);

  // Opens on connectionString, or on ConnectionString() when it is empty.
  // Error 3706 when the provider is not registered.
  void Open(const std::string& connectionString = "", const std::string& userId = "",
            const std::string& password = "", std::int32_t options = adConnectUnspecified);
  void Close();
  ObjectStateEnum State() const;

  // Returns the new nesting level (1 for the outermost). BeginTrans inside a
  // transaction opens a nested one where the provider supports that (3251
  // otherwise); CommitTrans and RollbackTrans end the innermost, and outside
  // any transaction are 3724. A commit that fails leaves its level to be
  // rolled back or discarded on Close.
  std::int32_t BeginTrans();
  void CommitTrans();
  void RollbackTrans();

  // The open session; error 3709 when the connection is closed.
  ProviderSession& Session();

  const adodb::Errors& Errors() const { return errors_; }
  // Runs a command on the session and keeps the result's warnings in
  // Errors (3709 when the connection is closed).
  Rowset Execute(const std::string& commandText, const PropertyList& properties);

 private:
  friend class Record;
  void CheckOpen() const;
  // Records open on this connection; closed before the session goes away.
  void AddDependent(Record* record);
  void RemoveDependent(Record* record);
  // Returns the records' references to this connection, which the caller
  // keeps until it no longer touches the connection.
  std::vector<std::shared_ptr<Connection>> CloseDependents();

  std::string provider_;
  std::string connection_string_;
  ConnectModeEnum mode_ = adModeUnknown;
  std::unique_ptr<ProviderSession> session_;
  std::int32_t transaction_level_ = 0;
  std::vector<Record*> dependents_;
  adodb::Errors errors_;
};

using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace adodb

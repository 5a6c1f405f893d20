// Connection: one open session with a provider.
//
// Provider and ConnectionString may be set only while closed (3705 when open).
// Open on an open connection is 3705; Close, transactions and use by Records
// on a closed connection are 3704. Closing or destroying a connection with an
// uncommitted transaction discards it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ado/constants.h"
#include "platform/ado/provider.h"

namespace adodb {

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

  // Returns the new nesting level (1).
  std::int32_t BeginTrans();
  void CommitTrans();
  void RollbackTrans();

  // The open session; error 3709 when the connection is closed.
  ProviderSession& Session();

 private:
  std::string provider_;
  std::string connection_string_;
  ConnectModeEnum mode_ = adModeUnknown;
  std::unique_ptr<ProviderSession> session_;
  bool in_transaction_ = false;
};

using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace adodb

// Command and Properties: a query with provider settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ado/connection.h"
#include "platform/ado/recordset.h"

namespace adodb {

class Properties;

class Property {
 public:
  const std::string& Name() const { return name_; }
  Variant Value() const;  // 3265 when the property was never set
  void Value(const Variant& v);

 private:
  friend class Properties;
  Property(Properties* owner, std::string name) : owner_(owner), name_(std::move(name)) {}
  Properties* owner_;
  std::string name_;
};

// Named settings, names compared without regard to case; the first spelling
// written is kept.
class Properties {
 public:
  std::int32_t Count() const { return static_cast<std::int32_t>(values_.size()); }
  Property Item(std::string_view name) { return Property(this, std::string(name)); }
  Property operator[](std::string_view name) { return Item(name); }
  const PropertyList& List() const { return values_; }

 private:
  friend class Property;
  PropertyList values_;
};

class Command {
 public:
  ConnectionPtr ActiveConnection() const { return connection_; }
  void ActiveConnection(ConnectionPtr connection) { connection_ = std::move(connection); }
  const std::string& CommandText() const { return text_; }
  void CommandText(std::string text) { text_ = std::move(text); }
  adodb::Properties& Properties() { return properties_; }

  // Runs CommandText with Properties on the active connection (3709 when it
  // is null or closed) and returns an open recordset.
  RecordsetPtr Execute(std::int32_t options = adCmdUnspecified);

 private:
  ConnectionPtr connection_;
  std::string text_;
  adodb::Properties properties_;
};

using CommandPtr = std::shared_ptr<Command>;

}  // namespace adodb

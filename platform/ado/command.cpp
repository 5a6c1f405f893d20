#include "platform/ado/command.h"

#include <algorithm>

#include "platform/ado/raise.h"
#include "platform/core/error.h"
#include "platform/core/text.h"

namespace adodb {
namespace {

constexpr const char* kPropertySource = "ADODB.Property";
constexpr const char* kCommandSource = "ADODB.Command";

PropertyList::iterator FindProperty(PropertyList& list, std::string_view name) {
  return std::find_if(list.begin(), list.end(),
                      [&](const auto& p) { return core::EqualsNoCase(p.first, name); });
}

}  // namespace

Variant Property::Value() const {
  auto it = FindProperty(owner_->values_, name_);
  if (it == owner_->values_.end()) internal::Raise(core::err::kAdoItemNotFound, kPropertySource);
  return it->second;
}

void Property::Value(const Variant& v) {
  auto it = FindProperty(owner_->values_, name_);
  if (it != owner_->values_.end()) {
    it->second = v;
  } else {
    owner_->values_.emplace_back(name_, v);
  }
}

RecordsetPtr Command::Execute(std::int32_t options) {
  (void)options;
  if (!connection_ || connection_->State() != adStateOpen) {
    internal::Raise(core::err::kAdoInvalidConnection, kCommandSource);
  }
  if (text_.empty()) {
    throw core::RuntimeError(static_cast<std::int32_t>(0x80040E0C),
                             "Command text was not set for the command object.", kCommandSource);
  }
  auto recordset = std::make_shared<Recordset>();
  recordset->Open(connection_->Execute(text_, properties_.List()));
  return recordset;
}

}  // namespace adodb

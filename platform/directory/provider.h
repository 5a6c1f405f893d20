// The directory provider "adsDSOobject" for the data-access objects.
//
// A connection opened on it ("Active Directory Provider"; user and password
// are not needed) runs queries of the dialect in query.h. A command's
// properties shape the search:
//
//   "searchscope"      Integer/Long 0 base, 1 one level, 2 subtree (default)
//   "Size Limit"       Integer/Long >= 0, at most so many rows (0 none)
//   "Page Size"        Integer/Long >= 0, rows per page asked of the server
//   "Timeout"          Integer/Long >= 0, seconds to wait (0 none)
//   "Time Limit"       Integer/Long >= 0, seconds the server may spend
//   "cache results"    Boolean
//   "Chase Referrals"  Integer/Long 0, 0x20, 0x40 or 0x60
//
// Names are matched without regard to case. A value of another type or out
// of range is error 3001, an unknown name 3265; both name the property.
//
// The result has one column per attribute of the SELECT list, named as
// written; "adspath" holds the object's path (scheme and host as in the
// query), an attribute the object lacks is Null, and an attribute with
// several values gives its first. Values are text.
#pragma once

#include <memory>
#include <string_view>

#include "platform/ado/provider.h"
#include "platform/directory/backend.h"
#include "platform/directory/machine_facts.h"

namespace directory {

inline constexpr const char* kProviderName = "adsDSOobject";

// The backend request for query run with properties.
SearchRequest MakeSearchRequest(const Query& query, const adodb::PropertyList& properties);

// Runs commandText with properties against backend.
adodb::Rowset ExecuteQuery(Backend& backend, std::string_view commandText,
                           const adodb::PropertyList& properties);

class DirectoryProvider : public adodb::Provider {
 public:
  explicit DirectoryProvider(std::shared_ptr<Backend> backend) : backend_(std::move(backend)) {}
  std::unique_ptr<adodb::ProviderSession> Open(const std::string& connectionString,
                                               const std::string& userId,
                                               const std::string& password,
                                               std::int32_t options) override;

 private:
  std::shared_ptr<Backend> backend_;
};

// Registers "adsDSOobject" with the process's provider registry and makes
// facts and backend the ones that GetObject and the system information
// objects use. Calling it again replaces both; registering the same facts
// twice changes nothing. The first form serves the directory of the server
// root, an LDAP server or the LDIF catalog (root_backend.h).
void RegisterProvider(const MachineFacts& facts);
void RegisterProvider(const MachineFacts& facts, std::shared_ptr<Backend> backend);

// What RegisterProvider last registered; error 429 (cannot create object)
// before any registration.
MachineFacts RegisteredFacts();
std::shared_ptr<Backend> RegisteredBackend();

}  // namespace directory

#include "platform/directory/provider.h"

#include <mutex>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/directory/errors.h"
#include "platform/directory/path.h"
#include "platform/directory/root_backend.h"

namespace directory {
namespace {

constexpr const char* kSource = "Active Directory";

[[noreturn]] void BadProperty(const std::string& name, const std::string& what) {
  throw core::RuntimeError(core::err::kAdoInvalidArgument,
                           "The property \"" + name + "\" " + what + ".", kSource);
}

std::int32_t IntegerValue(const std::string& name, const core::Variant& v) {
  if (v.Type() != core::VarType::Integer && v.Type() != core::VarType::Long) {
    BadProperty(name, std::string("takes an integer, not a value of type ") +
                          core::Variant::TypeName(v.Type()));
  }
  return v.AsLong();
}

std::int32_t NonNegative(const std::string& name, const core::Variant& v) {
  std::int32_t n = IntegerValue(name, v);
  if (n < 0) BadProperty(name, "must not be negative (" + std::to_string(n) + ")");
  return n;
}

class Session : public adodb::ProviderSession {
 public:
  explicit Session(std::shared_ptr<Backend> backend) : backend_(std::move(backend)) {}

  void BeginTrans() override { NotSupported("Transactions are"); }
  void CommitTrans() override { NotSupported("Transactions are"); }
  void RollbackTrans() override { NotSupported("Transactions are"); }
  std::unique_ptr<adodb::RecordSource> OpenRecord(const std::string&, adodb::ConnectModeEnum,
                                                  adodb::RecordCreateOptionsEnum,
                                                  adodb::RecordOpenOptionsEnum, const std::string&,
                                                  const std::string&) override {
    NotSupported("Records are");
  }
  adodb::Rowset Execute(const std::string& commandText,
                        const adodb::PropertyList& properties) override {
    return ExecuteQuery(*backend_, commandText, properties);
  }

 private:
  [[noreturn]] static void NotSupported(const std::string& what) {
    throw core::RuntimeError(core::err::kAdoFeatureNotAvailable,
                             what + " not available on a directory connection.", kSource);
  }
  std::shared_ptr<Backend> backend_;
};

struct Registration {
  std::mutex mu;
  bool registered = false;
  MachineFacts facts;
  std::shared_ptr<Backend> backend;
};

Registration& TheRegistration() {
  static Registration r;
  return r;
}

}  // namespace

SearchRequest MakeSearchRequest(const Query& query, const adodb::PropertyList& properties) {
  SearchRequest r;
  AdsPath path = ParseAdsPath(query.source);
  if (path.root_dse) {
    Raise(err::kErrorsInCommand, "(the root entry " + query.source + " cannot be searched)");
  }
  r.scheme = path.scheme;
  r.host = path.host;
  r.base_dn = path.dn;
  r.filter = query.filter;
  r.sort = query.order;
  for (const std::string& column : query.columns) {
    if (core::EqualsNoCase(column, "adspath")) continue;
    bool seen = false;
    for (const std::string& a : r.attributes) seen = seen || core::EqualsNoCase(a, column);
    if (!seen) r.attributes.push_back(column);
  }
  if (r.attributes.empty()) r.attributes.push_back("objectClass");  // paths only

  for (const auto& [name, value] : properties) {
    if (core::EqualsNoCase(name, "searchscope")) {
      std::int32_t s = IntegerValue(name, value);
      if (s < 0 || s > 2) BadProperty(name, "must be 0, 1 or 2, not " + std::to_string(s));
      r.scope = static_cast<SearchScope>(s);
    } else if (core::EqualsNoCase(name, "Size Limit")) {
      r.size_limit = NonNegative(name, value);
    } else if (core::EqualsNoCase(name, "Page Size")) {
      r.page_size = NonNegative(name, value);
    } else if (core::EqualsNoCase(name, "Timeout")) {
      r.timeout_seconds = NonNegative(name, value);
    } else if (core::EqualsNoCase(name, "Time Limit")) {
      r.time_limit_seconds = NonNegative(name, value);
    } else if (core::EqualsNoCase(name, "cache results")) {
      if (value.Type() != core::VarType::Boolean) {
        BadProperty(name, std::string("takes True or False, not a value of type ") +
                              core::Variant::TypeName(value.Type()));
      }
      r.cache_results = value.AsBool();
    } else if (core::EqualsNoCase(name, "Chase Referrals")) {
      std::int32_t c = IntegerValue(name, value);
      if (c != kChaseNever && c != kChaseSubordinate && c != kChaseExternal && c != kChaseAlways) {
        BadProperty(name, "must be 0, 0x20, 0x40 or 0x60, not " + std::to_string(c));
      }
      r.chase_referrals = c;
    } else {
      throw core::RuntimeError(core::err::kAdoItemNotFound,
                               "The directory provider has no property \"" + name + "\".", kSource);
    }
  }
  return r;
}

adodb::Rowset ExecuteQuery(Backend& backend, std::string_view commandText,
                           const adodb::PropertyList& properties) {
  Query query = ParseQuery(commandText);
  SearchRequest request = MakeSearchRequest(query, properties);
  SearchResult result = backend.Search(request);
  const std::vector<Entry>& entries = result.entries;

  adodb::Rowset rows;
  if (result.size_limit_exceeded) {
    rows.warnings.push_back(
        MakeError(err::kSizeLimitExceeded, "The first " + std::to_string(request.size_limit) +
                                               " entries were returned; more matched the search."));
  }
  rows.columns = query.columns;
  rows.rows.reserve(entries.size());
  for (const Entry& e : entries) {
    std::vector<core::Variant> row;
    row.reserve(query.columns.size());
    for (const std::string& column : query.columns) {
      if (core::EqualsNoCase(column, "adspath")) {
        row.emplace_back(MakeAdsPath(request.scheme, request.host, e.dn));
        continue;
      }
      const Attribute* a = e.Find(column);
      if (a == nullptr || a->values.empty()) {
        row.push_back(core::Variant::Null());
      } else {
        row.emplace_back(a->values[0]);
      }
    }
    rows.rows.push_back(std::move(row));
  }
  return rows;
}

std::unique_ptr<adodb::ProviderSession> DirectoryProvider::Open(const std::string& connectionString,
                                                                const std::string& userId,
                                                                const std::string& password,
                                                                std::int32_t options) {
  // The catalog is reached with the process's own credentials; the
  // connection string only names the data source.
  (void)connectionString;
  (void)userId;
  (void)password;
  (void)options;
  return std::make_unique<Session>(backend_);
}

void RegisterProvider(const MachineFacts& facts) {
  {
    Registration& r = TheRegistration();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.registered && r.facts.short_name == facts.short_name &&
        r.facts.dns_domain == facts.dns_domain &&
        dynamic_cast<ServerRootBackend*>(r.backend.get()) != nullptr) {
      return;  // keeps the catalog and the connections already made
    }
  }
  RegisterProvider(facts, std::make_shared<ServerRootBackend>(facts));
}

void RegisterProvider(const MachineFacts& facts, std::shared_ptr<Backend> backend) {
  Registration& r = TheRegistration();
  {
    std::lock_guard<std::mutex> lock(r.mu);
    r.registered = true;
    r.facts = facts;
    r.backend = backend;
  }
  adodb::ProviderRegistry::Instance().Register(kProviderName,
                                               std::make_shared<DirectoryProvider>(backend));
}

namespace {
[[noreturn]] void NotRegistered() {
  throw core::RuntimeError(core::err::kCannotCreateObject,
                           "ActiveX component can't create object (the directory is not set up "
                           "on this machine).",
                           kSource);
}
}  // namespace

MachineFacts RegisteredFacts() {
  Registration& r = TheRegistration();
  std::lock_guard<std::mutex> lock(r.mu);
  if (!r.registered) NotRegistered();
  return r.facts;
}

std::shared_ptr<Backend> RegisteredBackend() {
  Registration& r = TheRegistration();
  std::lock_guard<std::mutex> lock(r.mu);
  if (!r.registered) NotRegistered();
  return r.backend;
}

}  // namespace directory

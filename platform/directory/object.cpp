#include "platform/directory/object.h"

#include <charconv>

#include "platform/core/error.h"
#include "platform/directory/errors.h"
#include "platform/directory/path.h"
#include "platform/directory/provider.h"

namespace directory {

core::Variant DirectoryObject::Get(std::string_view name) const {
  return core::Variant(GetEx(name).front());
}

std::vector<std::string> DirectoryObject::GetEx(std::string_view name) const {
  const Attribute* a = entry_.Find(name);
  if (a == nullptr || a->values.empty()) {
    Raise(err::kPropertyNotFound, "(\"" + std::string(name) + "\" of " + path_ + ")");
  }
  return a->values;
}

bool DirectoryObject::AccountDisabled() const {
  std::string text = Get("userAccountControl").AsString();
  long long flags = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), flags);
  if (ec != std::errc() || p != text.data() + text.size()) {
    throw core::RuntimeError(
        core::err::kTypeMismatch,
        "Type mismatch (userAccountControl of " + path_ + " is \"" + text + "\")",
        "Active Directory");
  }
  return (flags & 0x2) != 0;
}

DirectoryObjectPtr GetObject(Backend& backend, std::string_view path) {
  AdsPath p = ParseAdsPath(path);
  if (p.root_dse) {
    return std::make_shared<DirectoryObject>(std::string(path), backend.RootDse(p.scheme, p.host));
  }
  std::optional<Entry> entry = backend.Read(p.scheme, p.host, p.dn);
  if (!entry) Raise(err::kNoSuchObject, "(" + std::string(path) + ")");
  return std::make_shared<DirectoryObject>(std::string(path), std::move(*entry));
}

DirectoryObjectPtr GetObject(std::string_view path) {
  std::shared_ptr<Backend> backend = RegisteredBackend();
  return GetObject(*backend, path);
}

WinNTSystemInfo::WinNTSystemInfo() : facts_(RegisteredFacts()) {}

std::string WinNTSystemInfo::ComputerName() const {
  if (facts_.short_name.empty()) {
    throw core::RuntimeError(core::err::kEFail, "This computer's name is not recorded.",
                             "WinNTSystemInfo");
  }
  return facts_.short_name;
}

ADSystemInfo::ADSystemInfo() : facts_(RegisteredFacts()) {}

std::string ADSystemInfo::DomainDNSName() const {
  if (facts_.dns_domain.empty()) {
    Raise(err::kDomainUnavailable, "(this computer belongs to no domain)");
  }
  return facts_.dns_domain;
}

}  // namespace directory

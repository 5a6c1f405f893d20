// Directory objects bound by path, and the system information objects.
//
//   GetObject("GC://RootDSE")->Get("dnshostname")   the catalog's host
//   GetObject(adspath)->AccountDisabled()            a user's account state
//
// Objects hold the attributes read at binding time; they do not follow
// later changes of the directory.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/variant.h"
#include "platform/directory/backend.h"
#include "platform/directory/machine_facts.h"

namespace directory {

class DirectoryObject {
 public:
  DirectoryObject(std::string path, Entry entry)
      : path_(std::move(path)), entry_(std::move(entry)) {}

  const std::string& ADsPath() const { return path_; }
  // The distinguished name; empty for a root entry.
  const std::string& DistinguishedName() const { return entry_.dn; }

  // The attribute's first value as text (name without regard to case);
  // error kPropertyNotFound naming the attribute when the object lacks it.
  core::Variant Get(std::string_view name) const;
  // Every value of the attribute; the same error when it lacks it.
  std::vector<std::string> GetEx(std::string_view name) const;

  // True when the account is disabled (bit 0x2 of "userAccountControl").
  // Error kPropertyNotFound when the object has no such attribute (it is no
  // user), 13 (type mismatch) when the attribute is not a number.
  bool AccountDisabled() const;

 private:
  std::string path_;
  Entry entry_;
};

using DirectoryObjectPtr = std::shared_ptr<DirectoryObject>;

// Binds the object named by path ("GC://host/CN=...", "GC://RootDSE").
// Errors: kBadPathname for a malformed path, kNoSuchObject when nothing has
// that name, kServerDown when no catalog answers for the host.
DirectoryObjectPtr GetObject(Backend& backend, std::string_view path);
// The same through the registered backend (provider.h).
DirectoryObjectPtr GetObject(std::string_view path);

// This computer as the network sees it.
class WinNTSystemInfo {
 public:
  WinNTSystemInfo();  // the registered facts
  explicit WinNTSystemInfo(MachineFacts facts) : facts_(std::move(facts)) {}
  // The short name, as recorded; error kEFail when none is recorded.
  std::string ComputerName() const;

 private:
  MachineFacts facts_;
};

// This computer's place in the directory.
class ADSystemInfo {
 public:
  ADSystemInfo();  // the registered facts
  explicit ADSystemInfo(MachineFacts facts) : facts_(std::move(facts)) {}
  // The DNS name of the computer's domain; error kDomainUnavailable when the
  // computer belongs to no domain.
  std::string DomainDNSName() const;

 private:
  MachineFacts facts_;
};

}  // namespace directory

// Where mail for an address goes: the mailbox of this store that the
// address names.
//
// An address belongs to the directory person whose "mail" equals it
// (without regard to case); their mailbox is the one named by their alias
// (mailNickName), as provisioning creates it. When no person has the
// address and its domain is the server's (its DNS domain, or its own host
// name), the local part names the mailbox. System mailboxes never receive
// mail this way.
//
// The directory is asked through the provider the rest of the system uses
// ("adsDSOobject", whatever backend is registered with it), so it must be
// registered before the first lookup. Answers are kept for a short time: a
// transport sends many messages to the same few addresses, and a directory
// search may cost milliseconds. "No such mailbox" is kept for less time, as
// the transport takes it for final; failures to reach the directory or the
// store are not kept at all.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/store/machine.h"
#include "tools/zenthra-lmtpd/address.h"

namespace store {
class Store;
}

namespace lmtp {

struct Resolution {
  enum Kind {
    kMailbox,    // mailbox holds the alias, as the store spells it
    kUnknown,    // no mailbox here for this address
    kAmbiguous,  // several persons with this address have mailboxes here
    kTemporary,  // the directory or the store could not be asked
  };
  Kind kind = kUnknown;
  std::string mailbox;
  std::string detail;  // why, for the log (may hold directory text)
};

class Recipients {
 public:
  explicit Recipients(store::Machine machine,
                      std::chrono::milliseconds ttl = std::chrono::seconds(30),
                      std::chrono::milliseconds unknown_ttl = std::chrono::seconds(5));

  // Thread-safe; store is the caller's own connection, used to check that
  // the mailbox exists.
  Resolution Resolve(const Address& address, store::Store& store);

 private:
  struct Cached {
    Resolution resolution;
    std::chrono::steady_clock::time_point expires;
  };
  Resolution Lookup(const Address& address, store::Store& store);
  std::string SearchRoot();

  store::Machine machine_;
  std::chrono::milliseconds ttl_;
  std::chrono::milliseconds unknown_ttl_;
  std::mutex mu_;
  std::string search_root_;
  std::unordered_map<std::string, Cached> cache_;
};

}  // namespace lmtp

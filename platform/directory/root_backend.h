// ServerRootBackend: the directory of the current server root
// (core::ServerRoot()), whichever kind it is: the LDAP server its
// directory/ldap.conf names (ldap_backend.h), or else its LDIF catalog
// (ldif_backend.h). The choice is made again at each call, so that a root
// switched to a directory server, or another root, is followed without a
// restart; the settings file is read again when it changes.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/directory/backend.h"
#include "platform/directory/ldap_backend.h"
#include "platform/directory/ldif_backend.h"
#include "platform/directory/machine_facts.h"

namespace directory {

class ServerRootBackend : public Backend {
 public:
  explicit ServerRootBackend(MachineFacts facts);

  SearchResult Search(const SearchRequest& request) override;
  std::optional<Entry> Read(std::string_view scheme, std::string_view host,
                            std::string_view dn) override;
  Entry RootDse(std::string_view scheme, std::string_view host) override;

  const MachineFacts& facts() const { return facts_; }
  // The backend of the current root. Error kDecodingError naming the
  // settings file when it cannot be read or used, or when it is not a
  // regular file of root or this user that only its owner may change (it
  // says where the credentials go).
  std::shared_ptr<Backend> Current();

 private:
  const MachineFacts facts_;
  std::mutex mu_;
  std::shared_ptr<LdifBackend> ldif_;
  std::shared_ptr<LdapBackend> ldap_;
  std::filesystem::path ldap_file_;
  long long ldap_mtime_ns_ = 0;
  std::uintmax_t ldap_size_ = 0;
};

}  // namespace directory

// LdifBackend: a directory served from an LDIF file.
//
// The file holds the whole catalog. A record with the empty name ("dn:")
// stands for the server's root entry; its "dnsHostName" names the catalog
// host. Without one the catalog host is this machine (MachineFacts::
// DnsHostName()), and the naming contexts are the "DC=" form of the domain.
// Requests for another host fail as a server that is not reachable would.
// Containers need not have records of their own: a search may start at any
// name that has entries below it.
//
// The file is read on first use and read again whenever its size or time of
// change differs, so edits show without a restart. Safe to use from several
// threads.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/directory/backend.h"
#include "platform/directory/machine_facts.h"

namespace directory {

// Where the catalog file lives below a server root.
std::filesystem::path DefaultLdifPath(const std::filesystem::path& server_root);

class LdifBackend : public Backend {
 public:
  // file empty: DefaultLdifPath(core::ServerRoot()), found again at each use.
  explicit LdifBackend(MachineFacts facts, std::filesystem::path file = {});
  ~LdifBackend() override;

  SearchResult Search(const SearchRequest& request) override;
  std::optional<Entry> Read(std::string_view scheme, std::string_view host,
                            std::string_view dn) override;
  Entry RootDse(std::string_view scheme, std::string_view host) override;

 private:
  struct Data;
  std::shared_ptr<const Data> Load();
  void CheckHost(const Data& data, std::string_view host) const;

  MachineFacts facts_;
  std::filesystem::path file_;
  std::mutex mu_;
  std::shared_ptr<const Data> cache_;
};

}  // namespace directory

#include "platform/directory/root_backend.h"

#include <fstream>
#include <iterator>

#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/directory/errors.h"
#include "platform/directory/ldap_config.h"

namespace directory {

namespace fs = std::filesystem;

ServerRootBackend::ServerRootBackend(MachineFacts facts)
    : facts_(std::move(facts)), ldif_(std::make_shared<LdifBackend>(facts_)) {}

std::shared_ptr<Backend> ServerRootBackend::Current() {
  const fs::path file = LdapConfigPath(core::ServerRoot());
  std::error_code ec;
  const auto mtime = fs::last_write_time(file, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return ldif_;
    Raise(err::kDecodingError, core::DescribeFileError("Cannot read", file, ec.value()));
  }
  const std::uintmax_t size = fs::file_size(file, ec);
  std::lock_guard<std::mutex> lock(mu_);
  if (ldap_ && ldap_file_ == file && ldap_mtime_ == mtime && ldap_size_ == size) return ldap_;
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) Raise(err::kDecodingError, "(cannot read " + file.string() + ")");
  ldap_ = std::make_shared<LdapBackend>(ParseLdapConfig(text, file.string()), facts_);
  ldap_file_ = file;
  ldap_mtime_ = mtime;
  ldap_size_ = size;
  return ldap_;
}

SearchResult ServerRootBackend::Search(const SearchRequest& request) {
  return Current()->Search(request);
}

std::optional<Entry> ServerRootBackend::Read(std::string_view scheme, std::string_view host,
                                             std::string_view dn) {
  return Current()->Read(scheme, host, dn);
}

Entry ServerRootBackend::RootDse(std::string_view scheme, std::string_view host) {
  return Current()->RootDse(scheme, host);
}

}  // namespace directory

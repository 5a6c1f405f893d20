#include "platform/directory/root_backend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

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
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) {
    if (errno == ENOENT) return ldif_;
    Raise(err::kDecodingError, core::DescribeFileError("Cannot read", file, errno));
  }
  // The file says where credentials go: nobody but its owner may change it.
  if (!S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
      (st.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Raise(err::kDecodingError,
          "(" + file.string() +
              " must be a file of root or of this user that nobody else may "
              "change; it is " +
              (S_ISREG(st.st_mode) ? std::string("mode ") + mode : std::string("no regular file")) +
              ", uid " + std::to_string(st.st_uid) + ")");
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (ldap_ && ldap_file_ == file &&
      ldap_mtime_ns_ == st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec &&
      ldap_size_ == static_cast<std::uintmax_t>(st.st_size)) {
    return ldap_;
  }
  std::ifstream in(file, std::ios::binary);
  std::string text = core::ReadAll(in);
  if (!in && !in.eof()) Raise(err::kDecodingError, "(cannot read " + file.string() + ")");
  ldap_ = std::make_shared<LdapBackend>(ParseLdapConfig(text, file.string()), facts_);
  ldap_file_ = file;
  ldap_mtime_ns_ = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  ldap_size_ = static_cast<std::uintmax_t>(st.st_size);
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

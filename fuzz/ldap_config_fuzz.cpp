// A root's ldap.conf: any text is either refused naming its line or read
// into settings that write back to a text which reads the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/error.h"
#include "platform/directory/ldap_config.h"

namespace {

bool Same(const directory::LdapConfig& a, const directory::LdapConfig& b) {
  return a.uri == b.uri && a.gc_uri == b.gc_uri && a.base == b.base && a.bind == b.bind &&
         a.bind_dn == b.bind_dn && a.password_file == b.password_file && a.starttls == b.starttls &&
         a.ca_file == b.ca_file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  directory::LdapConfig config;
  try {
    config = directory::ParseLdapConfig(text, "fuzz");
  } catch (const core::RuntimeError& e) {
    // Names the file (and the line, when one is at fault).
    if (e.Description().find(" fuzz") == std::string::npos) __builtin_trap();
    return 0;
  }
  if (!directory::LdapConfigProblem(config).empty()) __builtin_trap();
  const directory::LdapConfig again =
      directory::ParseLdapConfig(directory::FormatLdapConfig(config), "again");
  if (!Same(config, again)) __builtin_trap();
  try {
    directory::ParseLdapUri(text);
  } catch (const core::RuntimeError&) {
  }
  return 0;
}

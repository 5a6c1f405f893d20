#include "platform/directory/ldap_library.h"

#include <dlfcn.h>

#include <string>

#include "platform/core/error.h"

namespace directory {

namespace {

[[noreturn]] void CannotLoad(const std::string& why) {
  throw core::RuntimeError(core::err::kEFail,
                           "The LDAP client library " ZENTHRA_LIBLDAP_SONAME " cannot be loaded: " +
                               why + " (install the package " ZENTHRA_LIBLDAP_PACKAGE ")",
                           "Active Directory");
}

const LdapLibrary* Load() {
  // Never unloaded once complete: the library keeps global state, and
  // threads of its TLS stack may outlive any owner here.
  void* handle = ::dlopen(ZENTHRA_LIBLDAP_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) CannotLoad(::dlerror());
  LdapLibrary library;
  const char* missing = nullptr;
#define ZENTHRA_LDAP_FIND(name)                                                    \
  library.name = reinterpret_cast<decltype(library.name)>(::dlsym(handle, #name)); \
  if (library.name == nullptr && missing == nullptr) missing = #name;
  ZENTHRA_LDAP_FUNCTIONS(ZENTHRA_LDAP_FIND)
#undef ZENTHRA_LDAP_FIND
  if (missing != nullptr) {
    ::dlclose(handle);
    CannotLoad(std::string("it has no ") + missing);
  }
  return new LdapLibrary(library);
}

}  // namespace

const LdapLibrary& Ldap() {
  // A load that throws is tried again at the next use (the package may
  // have been installed meanwhile).
  static const LdapLibrary* library = Load();
  return *library;
}

}  // namespace directory

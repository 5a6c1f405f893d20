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
  // Never unloaded: the library keeps global state and threads of its TLS
  // stack may outlive any owner here.
  void* handle = ::dlopen(ZENTHRA_LIBLDAP_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) CannotLoad(::dlerror());
  auto* library = new LdapLibrary();
#define ZENTHRA_LDAP_FIND(name)                                                      \
  library->name = reinterpret_cast<decltype(library->name)>(::dlsym(handle, #name)); \
  if (library->name == nullptr) CannotLoad("it has no " #name);
  ZENTHRA_LDAP_FUNCTIONS(ZENTHRA_LDAP_FIND)
#undef ZENTHRA_LDAP_FIND
  return library;
}

}  // namespace

const LdapLibrary& Ldap() {
  // A load that throws is tried again at the next use (the package may
  // have been installed meanwhile).
  static const LdapLibrary* library = Load();
  return *library;
}

}  // namespace directory

// The LDAP client library (libldap), loaded the first time a server root
// uses a directory server.
//
// Linked in, libldap brings its TLS and SASL stacks into every process, and
// their start-up costs about 5 ms of CPU at each start of every program,
// though most runs (a delivery, a catalog change) never talk to a directory
// server. Loaded here on first use, it costs nothing until then.
//
// Each member is the library's function of the same name, typed by
// <ldap.h>; lber's functions come with libldap, which needs them.
#pragma once

#include <ldap.h>

namespace directory {

// clang-format off
#define ZENTHRA_LDAP_FUNCTIONS(X) \
  X(ldap_abandon_ext) \
  X(ldap_control_find) \
  X(ldap_control_free) \
  X(ldap_controls_free) \
  X(ldap_create_page_control) \
  X(ldap_create_sort_control) \
  X(ldap_err2string) \
  X(ldap_first_attribute) \
  X(ldap_free_urldesc) \
  X(ldap_get_dn) \
  X(ldap_get_option) \
  X(ldap_get_values_len) \
  X(ldap_initialize) \
  X(ldap_memfree) \
  X(ldap_msgfree) \
  X(ldap_next_attribute) \
  X(ldap_parse_pageresponse_control) \
  X(ldap_parse_reference) \
  X(ldap_parse_result) \
  X(ldap_parse_sortresponse_control) \
  X(ldap_result) \
  X(ldap_sasl_bind_s) \
  X(ldap_search_ext) \
  X(ldap_set_option) \
  X(ldap_start_tls_s) \
  X(ldap_unbind_ext_s) \
  X(ldap_url_desc2str) \
  X(ldap_url_parse) \
  X(ldap_value_free_len) \
  X(ber_free) \
  X(ber_memfree) \
  X(ber_memvfree)
// clang-format on

struct LdapLibrary {
#define ZENTHRA_LDAP_MEMBER(name) decltype(&::name) name = nullptr;
  ZENTHRA_LDAP_FUNCTIONS(ZENTHRA_LDAP_MEMBER)
#undef ZENTHRA_LDAP_MEMBER
};

// The library, loaded once per process (safe from several threads).
// RuntimeError naming the library and the loader's reason when it or one
// of its functions cannot be found.
const LdapLibrary& Ldap();

}  // namespace directory

#include "platform/directory/ldap_wire.h"

#include <string.h>
#include <sys/time.h>

#include "platform/directory/errors.h"
#include "platform/directory/ldap_library.h"

namespace directory {
namespace {

constexpr const char* kSystemAuthorities = "/etc/ssl/certs";

std::string Diagnostic(LDAP* ld) {
  char* text = nullptr;
  Ldap().ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text);
  std::string out = text != nullptr ? text : "";
  Ldap().ldap_memfree(text);
  return out;
}

int ResultCode(LDAP* ld) {
  int code = LDAP_OTHER;
  Ldap().ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
  return code;
}

std::string Text(const berval& v) {
  return std::string(v.bv_val != nullptr ? v.bv_val : "", v.bv_len);
}

// Owners of libldap's allocations.
struct ControlFree {
  void operator()(LDAPControl* c) const { Ldap().ldap_control_free(c); }
};
struct MessageFree {
  void operator()(LDAPMessage* m) const { Ldap().ldap_msgfree(m); }
};
using ControlPtr = std::unique_ptr<LDAPControl, ControlFree>;
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

Entry ReadEntry(LDAP* ld, LDAPMessage* message) {
  Entry entry;
  if (char* dn = Ldap().ldap_get_dn(ld, message)) {
    entry.dn = dn;
    Ldap().ldap_memfree(dn);
  }
  BerElement* ber = nullptr;
  for (char* name = Ldap().ldap_first_attribute(ld, message, &ber); name != nullptr;
       name = Ldap().ldap_next_attribute(ld, message, ber)) {
    Attribute attribute{name, {}};
    if (berval** values = Ldap().ldap_get_values_len(ld, message, name)) {
      for (berval** v = values; *v != nullptr; ++v) attribute.values.push_back(Text(**v));
      Ldap().ldap_value_free_len(values);
    }
    Ldap().ldap_memfree(name);
    entry.attributes.push_back(std::move(attribute));
  }
  if (ber != nullptr) Ldap().ber_free(ber, 0);
  return entry;
}

void ReadResult(LDAP* ld, LDAPMessage* message, WirePage& page) {
  int code = LDAP_OTHER;
  char* text = nullptr;
  char** referrals = nullptr;
  LDAPControl** controls = nullptr;
  const int rc = Ldap().ldap_parse_result(ld, message, &code, nullptr, &text, &referrals, &controls,
                                          /*freeit=*/0);
  if (rc != LDAP_SUCCESS) {
    page.result = rc;
    page.message = Diagnostic(ld);
    return;
  }
  page.result = code;
  if (text != nullptr) page.message = text;
  Ldap().ldap_memfree(text);
  if (referrals != nullptr) {
    for (char** r = referrals; *r != nullptr; ++r) page.referrals.push_back(*r);
    Ldap().ber_memvfree(reinterpret_cast<void**>(referrals));
  }
  if (controls != nullptr) {
    if (LDAPControl* c = Ldap().ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr)) {
      ber_int_t estimate = 0;
      berval cookie{0, nullptr};
      if (Ldap().ldap_parse_pageresponse_control(ld, c, &estimate, &cookie) == LDAP_SUCCESS) {
        page.cookie = Text(cookie);
        Ldap().ber_memfree(cookie.bv_val);
      }
    }
    if (LDAPControl* c = Ldap().ldap_control_find(LDAP_CONTROL_SORTRESPONSE, controls, nullptr)) {
      ber_int_t result = 0;
      char* attribute = nullptr;
      if (Ldap().ldap_parse_sortresponse_control(ld, c, &result, &attribute) == LDAP_SUCCESS) {
        page.sort_result = result;
      }
      Ldap().ldap_memfree(attribute);
    }
    Ldap().ldap_controls_free(controls);
  }
}

class LibldapConnection : public LdapConnection {
 public:
  LibldapConnection(LDAP* ld, std::string uri) : ld_(ld), uri_(std::move(uri)) {}
  ~LibldapConnection() override { Ldap().ldap_unbind_ext_s(ld_, nullptr, nullptr); }

  WirePage Search(const WireSearch& s) override {
    WirePage page;
    std::vector<LDAPControl*> controls;
    ControlPtr paged, sorted;
    if (s.page_size > 0) {
      berval cookie{s.cookie.size(), const_cast<char*>(s.cookie.data())};
      LDAPControl* c = nullptr;
      int rc =
          Ldap().ldap_create_page_control(ld_, s.page_size, s.cookie.empty() ? nullptr : &cookie,
                                          /*iscritical=*/0, &c);
      if (rc != LDAP_SUCCESS) return Failed(page, rc);
      paged.reset(c);
      controls.push_back(c);
    }
    if (!s.sort.empty()) {
      std::vector<LDAPSortKey> keys(s.sort.size());
      std::vector<LDAPSortKey*> list;
      for (std::size_t i = 0; i < s.sort.size(); ++i) {
        keys[i].attributeType = const_cast<char*>(s.sort[i].attribute.c_str());
        keys[i].orderingRule = nullptr;
        keys[i].reverseOrder = s.sort[i].descending ? 1 : 0;
        list.push_back(&keys[i]);
      }
      list.push_back(nullptr);
      LDAPControl* c = nullptr;
      int rc = Ldap().ldap_create_sort_control(ld_, list.data(), /*isCritical=*/0, &c);
      if (rc != LDAP_SUCCESS) return Failed(page, rc);
      sorted.reset(c);
      controls.push_back(c);
    }
    controls.push_back(nullptr);

    std::vector<char*> attributes;
    for (const std::string& a : s.attributes) attributes.push_back(const_cast<char*>(a.c_str()));
    attributes.push_back(nullptr);
    timeval limit{s.time_limit_seconds, 0};
    int msgid = 0;
    int rc = Ldap().ldap_search_ext(
        ld_, s.base.c_str(), static_cast<int>(s.scope), s.filter.c_str(),
        s.attributes.empty() ? nullptr : attributes.data(), 0, controls.data(), nullptr,
        s.time_limit_seconds > 0 ? &limit : nullptr, s.size_limit, &msgid);
    if (rc != LDAP_SUCCESS) return Failed(page, rc);

    while (true) {
      timeval wait{};
      timeval* wait_ptr = nullptr;
      if (s.deadline) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            *s.deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Abandon(page, msgid);
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        wait_ptr = &wait;
      }
      LDAPMessage* raw = nullptr;
      rc = Ldap().ldap_result(ld_, msgid, LDAP_MSG_ONE, wait_ptr, &raw);
      MessagePtr message(raw);
      if (rc == 0) return Abandon(page, msgid);
      if (rc < 0) return Failed(page, ResultCode(ld_));
      switch (rc) {
        case LDAP_RES_SEARCH_ENTRY:
          page.entries.push_back(ReadEntry(ld_, raw));
          break;
        case LDAP_RES_SEARCH_REFERENCE: {
          char** urls = nullptr;
          if (Ldap().ldap_parse_reference(ld_, raw, &urls, nullptr, 0) == LDAP_SUCCESS && urls) {
            for (char** u = urls; *u != nullptr; ++u) page.references.push_back(*u);
            Ldap().ber_memvfree(reinterpret_cast<void**>(urls));
          }
          break;
        }
        case LDAP_RES_SEARCH_RESULT:
          ReadResult(ld_, raw, page);
          return page;
        default:
          break;  // intermediate responses carry nothing asked for
      }
    }
  }

 private:
  WirePage& Failed(WirePage& page, int code) {
    page.result = code;
    page.message = Diagnostic(ld_);
    return page;
  }
  WirePage& Abandon(WirePage& page, int msgid) {
    Ldap().ldap_abandon_ext(ld_, msgid, nullptr, nullptr);
    page.result = LDAP_TIMEOUT;
    page.message = "no answer in time";
    return page;
  }

  LDAP* ld_;
  std::string uri_;
};

class Libldap : public LdapConnector {
 public:
  std::unique_ptr<LdapConnection> Connect(const Endpoint& e) override {
    LDAP* ld = nullptr;
    if (Ldap().ldap_initialize(&ld, e.uri.c_str()) != LDAP_SUCCESS || ld == nullptr) {
      throw LdapError(LDAP_PARAM_ERROR, e.uri, "not an LDAP URI");
    }
    // The handle is owned from here on, also when a step below fails.
    auto connection = std::make_unique<LibldapConnection>(ld, e.uri);
    auto fail = [&](int code) { throw LdapError(code, e.uri, Diagnostic(ld)); };
    int version = LDAP_VERSION3;
    Ldap().ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Referrals are chased by the backend, which knows whom to trust.
    Ldap().ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    // LDAP_OPT_ON names a variable of liblber, which is not linked in: any
    // other non-null pointer means the same to libldap.
    static const int kOn = 1;
    Ldap().ldap_set_option(ld, LDAP_OPT_RESTART, &kOn);
    timeval connect{e.connect_timeout_seconds, 0};
    Ldap().ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect);
    // The connect and the bind wait at most so long; searches wait as their
    // caller says (the limit is lifted again below).
    Ldap().ldap_set_option(ld, LDAP_OPT_TIMEOUT, &connect);

    const bool tls = e.starttls || e.uri.rfind("ldaps://", 0) == 0;
    if (tls) {
      int demand = LDAP_OPT_X_TLS_DEMAND;
      Ldap().ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
      Ldap().ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTDIR, kSystemAuthorities);
      if (!e.ca_file.empty())
        Ldap().ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, e.ca_file.c_str());
      int server = 0;
      if (Ldap().ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &server) != LDAP_OPT_SUCCESS) {
        throw LdapError(LDAP_LOCAL_ERROR, e.uri,
                        "cannot set up TLS" +
                            (e.ca_file.empty() ? std::string() : " with " + e.ca_file.string()));
      }
    }
    if (e.starttls) {
      const int rc = Ldap().ldap_start_tls_s(ld, nullptr, nullptr);
      if (rc != LDAP_SUCCESS) fail(rc);
    }
    int rc = LDAP_SUCCESS;
    switch (e.bind) {
      case Endpoint::Bind::kAnonymous: {
        // An explicit anonymous bind reaches the server now, so that one
        // that cannot be reached is reported here.
        berval none{0, nullptr};
        rc = Ldap().ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr);
        break;
      }
      case Endpoint::Bind::kSimple: {
        std::string password = e.password;
        berval credentials{password.size(), password.data()};
        rc = Ldap().ldap_sasl_bind_s(ld, e.bind_dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr,
                                     nullptr, nullptr);
        explicit_bzero(password.data(), password.size());
        break;
      }
      case Endpoint::Bind::kSaslExternal: {
        // An empty initial response: the identity the server sees, without
        // a round of challenge.
        berval empty{0, const_cast<char*>("")};
        rc = Ldap().ldap_sasl_bind_s(ld, nullptr, "EXTERNAL", &empty, nullptr, nullptr, nullptr);
        break;
      }
    }
    if (rc != LDAP_SUCCESS) fail(rc);
    Ldap().ldap_set_option(ld, LDAP_OPT_TIMEOUT, nullptr);
    return connection;
  }
};

std::int32_t NumberOf(int code) {
  switch (code) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
      return err::kServerDown;
    case LDAP_INVALID_CREDENTIALS:
      return err::kLogonFailure;
    case LDAP_NO_SUCH_OBJECT:
      return err::kNoSuchObject;
    case LDAP_SIZELIMIT_EXCEEDED:
      return err::kSizeLimitExceeded;
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_TIMEOUT:
      return err::kTimeLimitExceeded;
    case LDAP_FILTER_ERROR:
    case LDAP_INAPPROPRIATE_MATCHING:
      return err::kFilterUnknown;
    case LDAP_REFERRAL:
      return err::kReferral;
    case LDAP_INSUFFICIENT_ACCESS:
      return err::kAccessDenied;
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_AUTH_METHOD_NOT_SUPPORTED:
    case LDAP_INAPPROPRIATE_AUTH:
      return err::kStrongAuthRequired;
    case LDAP_CONFIDENTIALITY_REQUIRED:
      return err::kConfidentialityRequired;
    case LDAP_UNWILLING_TO_PERFORM:
      return err::kUnwillingToPerform;
    case LDAP_INVALID_DN_SYNTAX:
      return err::kBadPathname;
    case LDAP_PROTOCOL_ERROR:
      return err::kProtocolError;
    case LDAP_DECODING_ERROR:
      return err::kDecodingError;
    default:
      return err::kOperationsError;
  }
}

}  // namespace

std::shared_ptr<LdapConnector> LibldapConnector() { return std::make_shared<Libldap>(); }

std::optional<ReferralTarget> ParseReferral(std::string_view url) {
  const std::string text(url);
  LDAPURLDesc* desc = nullptr;
  if (Ldap().ldap_url_parse(text.c_str(), &desc) != LDAP_URL_SUCCESS || desc == nullptr) {
    return std::nullopt;
  }
  ReferralTarget t;
  t.scheme = desc->lud_scheme != nullptr ? desc->lud_scheme : "ldap";
  for (char& c : t.scheme) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  t.dn = desc->lud_dn != nullptr ? desc->lud_dn : "";
  // The server part rebuilt by the library, so that the host is escaped as
  // URLs need: the other parts are set aside meanwhile.
  char* dn = desc->lud_dn;
  char** attrs = desc->lud_attrs;
  char* filter = desc->lud_filter;
  char** exts = desc->lud_exts;
  const int scope = desc->lud_scope;
  desc->lud_dn = nullptr;
  desc->lud_attrs = nullptr;
  desc->lud_filter = nullptr;
  desc->lud_exts = nullptr;
  desc->lud_scope = LDAP_SCOPE_DEFAULT;
  char* server = Ldap().ldap_url_desc2str(desc);
  desc->lud_dn = dn;
  desc->lud_attrs = attrs;
  desc->lud_filter = filter;
  desc->lud_exts = exts;
  desc->lud_scope = scope;
  Ldap().ldap_free_urldesc(desc);
  if (server != nullptr) {
    t.server = server;
    Ldap().ldap_memfree(server);
    while (!t.server.empty() && t.server.back() == '/') t.server.pop_back();
  }
  if (t.server.empty()) return std::nullopt;
  return t;
}

core::RuntimeError LdapError(int code, std::string_view uri, std::string_view diagnostic) {
  std::string detail = "(" + std::string(uri) + ": " + Ldap().ldap_err2string(code);
  if (!diagnostic.empty()) detail += "; " + Excerpt(diagnostic, 200);
  return MakeError(NumberOf(code), detail + ")");
}

}  // namespace directory

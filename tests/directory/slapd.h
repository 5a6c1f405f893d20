// A private OpenLDAP server for a test: Debian's slapd started from a
// generated configuration in a temporary folder, on free loopback ports and
// an ldapi:// socket in that folder, with a small schema of the attributes
// the setup program reads, the server-side sort overlay on or off, and for
// TLS a test authority and server certificate made with openssl. The
// server is stopped when the object goes, also when the test failed.
//
// Without slapd on the machine Available() is false and SkipReason() says
// so (for GTEST_SKIP); everywhere the tests run in CI it is installed.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace directory::testing {

class Slapd {
 public:
  struct Options {
    std::string suffix = "DC=example,DC=com";
    bool sort_overlay = true;  // sssvlv: the server sorts (RFC 2891)
    bool tls = false;          // ldaps:// and StartTLS with a test authority
  };

  explicit Slapd(Options options);
  Slapd() : Slapd(Options{}) {}
  ~Slapd();
  Slapd(const Slapd&) = delete;
  Slapd& operator=(const Slapd&) = delete;

  bool Available() const { return available_; }
  const std::string& SkipReason() const { return skip_reason_; }

  // Before Start: the database's entries, from LDIF. They are fitted to the
  // test schema: each gets the structural class testObject (any attribute
  // the schema defines is allowed), of its own classes only those the schema
  // knows are kept (the core schema's person would demand a surname), the
  // root entry ("dn:") is left out, and missing containers between the
  // suffix and an entry are made. Throws std::runtime_error naming slapadd's
  // complaint.
  void Load(const std::string& ldif);

  // While running: adds entries (fitted as Load does; their containers must
  // exist) as the administrator, with ldapadd.
  void Add(const std::string& ldif);

  // Starts the server and waits until it answers (generously: the machine
  // may be busy). Throws std::runtime_error with the server's log on failure.
  void Start();
  void Stop();    // SIGTERM, then SIGKILL if it lingers
  void Kill();    // SIGKILL: the server goes away at once
  void Pause();   // SIGSTOP: connected, but no answer comes
  void Resume();  // SIGCONT
  bool Running() const { return pid_ > 0; }

  std::string LdapUri() const;  // ldap://127.0.0.1:<port>
  std::string LdapsUri() const;
  std::string LdapiUri() const;                        // the socket in the folder
  std::string HostUri(const std::string& host) const;  // ldap://<host>:<port>
  const std::string& Suffix() const { return options_.suffix; }
  std::filesystem::path CaFile() const { return folder_ / "ca.pem"; }

  // The administrator, who may read everything; anonymous users may too.
  std::string AdminDn() const { return "CN=admin," + options_.suffix; }
  static constexpr const char* kAdminPassword = "Zenthra-test-secret";
  // The password in a 0600 file (what ldap.conf's password_file names).
  std::filesystem::path AdminPasswordFile() const { return folder_ / "admin.secret"; }

  const std::filesystem::path& folder() const { return folder_; }

 private:
  void WriteConfiguration();
  void MakeCertificates();
  std::string ReadLog() const;

  Options options_;
  bool available_ = false;
  std::string skip_reason_;
  std::filesystem::path slapd_, slapadd_, modules_, schema_;
  std::filesystem::path folder_;
  int port_ = 0, tls_port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace directory::testing

#include "tests/directory/slapd.h"

#include "tests/directory/base64.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/core/files.h"
#include "platform/core/text.h"
#include "platform/directory/ldif.h"
#include "platform/directory/path.h"

namespace directory::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Where Debian (and most others) keep slapd, its modules and its schema.
fs::path FirstExisting(const std::vector<fs::path>& candidates) {
  for (const fs::path& p : candidates) {
    std::error_code ec;
    if (fs::exists(p, ec)) return p;
  }
  return {};
}

// Starts argv with its output appended to log; returns its process id.
pid_t Spawn(const std::vector<std::string>& argv, const fs::path& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// Runs argv with its output in log; true on exit status 0.
bool RunTool(const std::vector<std::string>& argv, const fs::path& log) {
  const pid_t pid = Spawn(argv, log);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(s);
  return port;
}

bool Answers(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

// The attributes and classes the tests' directories use that the system's
// core, cosine and inetOrgPerson schemas lack, under a private test arc.
const char* kTestSchema = R"(
attributetype ( 1.3.6.1.4.1.99999.77.1.1 NAME 'objectCategory'
  EQUALITY distinguishedNameMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.99999.77.1.2 NAME 'sAMAccountName'
  EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch ORDERING caseIgnoreOrderingMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.99999.77.1.3 NAME 'mailNickName'
  EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch ORDERING caseIgnoreOrderingMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.99999.77.1.4 NAME 'msExchHomeServerName'
  EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch ORDERING caseIgnoreOrderingMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.99999.77.1.5 NAME 'msExchMailboxGuid'
  EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.99999.77.1.6 NAME 'userAccountControl'
  EQUALITY integerMatch ORDERING integerOrderingMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.99999.77.1.7 NAME 'dnsHostName'
  EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
objectclass ( 1.3.6.1.4.1.99999.77.2.1 NAME 'testObject' SUP top STRUCTURAL )
objectclass ( 1.3.6.1.4.1.99999.77.2.2 NAME 'user' SUP top AUXILIARY )
objectclass ( 1.3.6.1.4.1.99999.77.2.3 NAME 'computer' SUP top AUXILIARY )
objectclass ( 1.3.6.1.4.1.99999.77.2.4 NAME 'classSchema' SUP top AUXILIARY )
objectclass ( 1.3.6.1.4.1.99999.77.2.5 NAME 'container' SUP top AUXILIARY )
)";

// The record of dn (with e's attributes, or a bare container) fitted to
// the test schema, in LDIF.
std::string Fitted(const std::string& dn, const Entry* e) {
  std::ostringstream out;
  // A referral object keeps its own structural class.
  bool referral = false;
  if (e != nullptr) {
    if (const Attribute* c = e->Find("objectClass")) {
      for (const std::string& v : c->values)
        referral = referral || core::EqualsNoCase(v, "referral");
    }
  }
  out << "dn:: " << Base64(dn) << "\nobjectClass: " << (referral ? "referral" : "testObject")
      << "\nobjectClass: extensibleObject\n";
  // The naming value must be among the entry's own.
  const std::size_t eq = dn.find('=');
  const std::string rdn_type = core::Trim(dn.substr(0, eq));
  const std::string rdn_value = FirstRdnValue(dn);
  bool has_rdn = false;
  if (e != nullptr) {
    for (const Attribute& a : e->attributes) {
      if (core::EqualsNoCase(a.name, "objectClass")) {
        for (const std::string& v : a.values) {
          for (const char* known : {"user", "computer", "classSchema", "container"}) {
            if (core::EqualsNoCase(v, known)) out << "objectClass: " << known << "\n";
          }
        }
        continue;
      }
      for (const std::string& v : a.values) {
        out << a.name << ":: " << Base64(v) << "\n";
        has_rdn =
            has_rdn || (core::EqualsNoCase(a.name, rdn_type) && core::EqualsNoCase(v, rdn_value));
      }
    }
  }
  if (!has_rdn) out << rdn_type << ":: " << Base64(rdn_value) << "\n";
  out << "\n";
  return out.str();
}

}  // namespace

Slapd::Slapd(Options options) : options_(std::move(options)) {
  slapd_ = FirstExisting({"/usr/sbin/slapd", "/usr/libexec/slapd", "/usr/local/libexec/slapd"});
  slapadd_ = FirstExisting({"/usr/sbin/slapadd", "/usr/local/sbin/slapadd"});
  modules_ =
      FirstExisting({"/usr/lib/ldap/back_mdb.la", "/usr/lib/x86_64-linux-gnu/ldap/back_mdb.la",
                     "/usr/lib64/openldap/back_mdb.la", "/usr/lib/openldap/back_mdb.la"})
          .parent_path();
  schema_ = FirstExisting({"/etc/ldap/schema/core.schema", "/etc/openldap/schema/core.schema"})
                .parent_path();
  if (slapd_.empty() || slapadd_.empty() || modules_.empty() || schema_.empty()) {
    skip_reason_ =
        "needs Debian's slapd (scripts/bootstrap installs it): slapd, slapadd, its modules or "
        "its schema files were not found";
    return;
  }
  std::string pattern = (fs::temp_directory_path() / "zenthra-slapd-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    skip_reason_ = "cannot make a temporary folder";
    return;
  }
  folder_ = pattern;
  fs::create_directory(folder_ / "db");
  {
    std::ofstream secret(AdminPasswordFile());
    secret << kAdminPassword;  // ldapadd -y takes the file whole
  }
  ::chmod(AdminPasswordFile().c_str(), 0600);
  if (options_.tls) MakeCertificates();
  port_ = FreePort();
  tls_port_ = FreePort();
  WriteConfiguration();
  available_ = true;
}

Slapd::~Slapd() {
  if (pid_ > 0) Stop();
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
}

void Slapd::MakeCertificates() {
  const fs::path log = folder_ / "openssl.log";
  const std::string d = folder_.string() + "/";
  // libldap checks "localhost" against the machine's own name: both are in.
  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  std::ofstream(folder_ / "server.ext") << "subjectAltName=DNS:localhost,DNS:" << host
                                        << ",IP:127.0.0.1\n"
                                           "basicConstraints=CA:FALSE\n"
                                           "keyUsage=digitalSignature,keyEncipherment\n"
                                           "extendedKeyUsage=serverAuth\n";
  const bool ok =
      RunTool({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", d + "ca.key", "-out",
               d + "ca.pem", "-days", "2", "-subj", "/CN=Zenthra test authority"},
              log) &&
      RunTool({"/usr/bin/openssl", "req", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", d + "server.key", "-out",
               d + "server.csr", "-subj", "/CN=localhost"},
              log) &&
      RunTool({"/usr/bin/openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem",
               "-CAkey", d + "ca.key", "-CAcreateserial", "-out", d + "server.pem", "-days", "2",
               "-extfile", d + "server.ext"},
              log);
  if (!ok) {
    std::ifstream in(log);
    throw std::runtime_error("openssl could not make the test certificates: " +
                             std::string(std::istreambuf_iterator<char>(in), {}));
  }
}

void Slapd::WriteConfiguration() {
  std::ofstream(folder_ / "test.schema") << kTestSchema;
  const std::string d = folder_.string();
  std::ofstream conf(folder_ / "slapd.conf");
  conf << "include " << (schema_ / "core.schema").string() << "\n"
       << "include " << (schema_ / "cosine.schema").string() << "\n"
       << "include " << (schema_ / "inetorgperson.schema").string() << "\n"
       << "include " << d << "/test.schema\n"
       << "pidfile " << d << "/slapd.pid\n"
       << "modulepath " << modules_.string() << "\n"
       << "moduleload back_mdb\n";
  if (options_.sort_overlay) conf << "moduleload sssvlv\n";
  if (options_.tls) {
    conf << "TLSCACertificateFile " << d << "/ca.pem\n"
         << "TLSCertificateFile " << d << "/server.pem\n"
         << "TLSCertificateKeyFile " << d << "/server.key\n";
  }
  conf << "sizelimit unlimited\n"
       << "timelimit unlimited\n"
       << "database mdb\n"
       << "suffix \"" << options_.suffix << "\"\n"
       << "rootdn \"" << AdminDn() << "\"\n"
       << "rootpw " << kAdminPassword << "\n"
       << "directory " << d << "/db\n"
       << "maxsize 1073741824\n"
       << "dbnosync\n"
       << "access to * by * read\n";
  if (options_.sort_overlay) conf << "overlay sssvlv\n";
}

void Slapd::Load(const std::string& ldif) {
  if (pid_ > 0) throw std::runtime_error("Load before Start");
  const std::string suffix = NormalizeDn(options_.suffix);
  std::set<std::string> present;
  std::vector<Entry> entries;
  for (Entry& e : ParseLdif(ldif, "the test directory")) {
    if (e.dn.empty()) continue;
    present.insert(NormalizeDn(e.dn));
    entries.push_back(std::move(e));
  }
  // Containers first (shortest names first), then the entries in order.
  std::vector<std::pair<std::size_t, std::string>> containers;
  auto need = [&](const std::string& dn) {
    std::string name = dn;
    while (true) {
      const std::size_t comma = [&] {
        for (std::size_t i = 0; i < name.size(); ++i) {
          if (name[i] == '\\') {
            ++i;
          } else if (name[i] == ',') {
            return i;
          }
        }
        return std::string::npos;
      }();
      if (comma == std::string::npos) return;
      name = name.substr(comma + 1);
      const std::string key = NormalizeDn(name);
      if (!DnWithin(key, suffix)) return;
      if (present.insert(key).second) containers.emplace_back(DnDepth(key), name);
    }
  };
  if (present.insert(suffix).second) containers.emplace_back(DnDepth(suffix), options_.suffix);
  for (const Entry& e : entries) {
    if (!DnWithin(NormalizeDn(e.dn), suffix)) {
      throw std::runtime_error(e.dn + " lies outside the test server's " + options_.suffix);
    }
    need(e.dn);
  }
  std::stable_sort(containers.begin(), containers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  std::ofstream out(folder_ / "data.ldif", std::ios::binary | std::ios::trunc);
  for (const auto& [depth, dn] : containers) out << Fitted(dn, nullptr);
  for (const Entry& e : entries) out << Fitted(e.dn, &e);
  out.close();
  const fs::path log = folder_ / "slapadd.log";
  if (!RunTool({slapadd_.string(), "-q", "-f", (folder_ / "slapd.conf").string(), "-l",
                (folder_ / "data.ldif").string()},
               log)) {
    std::ifstream in(log);
    throw std::runtime_error("slapadd refused the test directory: " +
                             std::string(std::istreambuf_iterator<char>(in), {}));
  }
}

void Slapd::Add(const std::string& ldif) {
  const fs::path file = folder_ / "add.ldif";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const Entry& e : ParseLdif(ldif, "the added entries")) out << Fitted(e.dn, &e);
  }
  const fs::path log = folder_ / "ldapadd.log";
  if (!RunTool({"/usr/bin/ldapadd", "-x", "-H", LdapUri(), "-D", AdminDn(), "-y",
                AdminPasswordFile().string(), "-f", file.string()},
               log)) {
    std::ifstream in(log);
    throw std::runtime_error("ldapadd refused the entries: " +
                             std::string(std::istreambuf_iterator<char>(in), {}));
  }
}

std::string Slapd::LdapUri() const { return HostUri("127.0.0.1"); }
std::string Slapd::HostUri(const std::string& host) const {
  return "ldap://" + host + ":" + std::to_string(port_);
}
std::string Slapd::LdapsUri() const { return "ldaps://127.0.0.1:" + std::to_string(tls_port_); }
std::string Slapd::LdapiUri() const {
  return "ldapi://" + core::PercentEncoded((folder_ / "ldapi").string());
}

std::string Slapd::ReadLog() const {
  std::ifstream in(folder_ / "slapd.log");
  std::string text(std::istreambuf_iterator<char>(in), {});
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

void Slapd::Start() {
  if (pid_ > 0) return;
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::error_code ec;
    fs::remove(folder_ / "ldapi", ec);
    std::string urls = LdapUri() + "/ " + LdapiUri() + "/";
    if (options_.tls) urls += " ldaps://127.0.0.1:" + std::to_string(tls_port_) + "/";
    const std::vector<std::string> argv{
        slapd_.string(), "-d", "0", "-f", (folder_ / "slapd.conf").string(), "-h", urls};
    pid_ = Spawn(argv, folder_ / "slapd.log");
    // Generous: two cores shared with compilers.
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < give_up) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (Answers(port_) && (!options_.tls || Answers(tls_port_)) &&
          fs::exists(folder_ / "ldapi", ec)) {
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
    if (pid_ > 0) {
      Kill();
      throw std::runtime_error("slapd did not answer within 60 s:\n" + ReadLog());
    }
    // It ended: most likely a port another program took meanwhile.
    port_ = FreePort();
    tls_port_ = FreePort();
  }
  throw std::runtime_error("slapd would not start:\n" + ReadLog());
}

void Slapd::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGCONT);
  ::kill(pid_, SIGTERM);
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  pid_ = -1;
}

void Slapd::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void Slapd::Pause() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGSTOP);
  // The signal stops each thread only when it is next scheduled: wait until
  // every one shows as stopped, or one might still answer.
  const fs::path tasks = "/proc/" + std::to_string(pid_) + "/task";
  auto stopped = [&] {
    std::error_code ec;
    for (fs::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
      std::ifstream in(it->path() / "stat");
      const std::string text((std::istreambuf_iterator<char>(in)), {});
      const std::size_t paren = text.rfind(')');
      if (paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] != 'T') {
        return false;
      }
    }
    return !ec;
  };
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  while (!stopped() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(5ms);
  }
}

void Slapd::Resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

}  // namespace directory::testing

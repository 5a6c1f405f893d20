// The directory settings file and the password file it names.
#include "platform/directory/ldap_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/directory/errors.h"
#include "tests/directory/expect_error.h"

namespace directory {
namespace {

namespace fs = std::filesystem;

TEST(LdapConfig, ReadsWhatItWritesAndDefaultsTheRest) {
  LdapConfig c = ParseLdapConfig(
      "# comment\n\nuri   ldap://dc1.example.com\n  base DC=example, DC=com  \n", "ldap.conf");
  EXPECT_EQ(c.uri, "ldap://dc1.example.com");
  EXPECT_EQ(c.gc_uri, "");
  EXPECT_EQ(c.base, "DC=example, DC=com");
  EXPECT_EQ(c.bind, LdapConfig::Bind::kAnonymous);
  EXPECT_FALSE(c.starttls);

  LdapConfig full;
  full.uri = "ldap://dc1.example.com";
  full.gc_uri = "ldap://dc1.example.com:3268";
  full.base = "DC=example,DC=com";
  full.bind = LdapConfig::Bind::kSimple;
  full.bind_dn = "CN=Zenthra Service,CN=Users,DC=example,DC=com";
  full.password_file = "/etc/zenthra/directory.secret";
  full.starttls = true;
  full.ca_file = "/etc/zenthra/ca.pem";
  LdapConfig back = ParseLdapConfig(FormatLdapConfig(full), "written");
  EXPECT_EQ(back.uri, full.uri);
  EXPECT_EQ(back.gc_uri, full.gc_uri);
  EXPECT_EQ(back.base, full.base);
  EXPECT_EQ(back.bind, full.bind);
  EXPECT_EQ(back.bind_dn, full.bind_dn);
  EXPECT_EQ(back.password_file, full.password_file);
  EXPECT_TRUE(back.starttls);
  EXPECT_EQ(back.ca_file, full.ca_file);

  LdapConfig socket = ParseLdapConfig(
      "uri ldapi://%2Frun%2Fslapd%2Fldapi\nbase o=x\nbind sasl-external\n", "ldap.conf");
  EXPECT_EQ(socket.bind, LdapConfig::Bind::kSaslExternal);
  EXPECT_EQ(ParseLdapUri(socket.uri).host, "/run/slapd/ldapi");
}

TEST(LdapConfig, NamesTheLineAndTheFaultOfABadFile) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"uri ldap://a\nbase DC=x\nport 389\n", "line 3: unknown setting \"port\""},
      {"uri ldap://a\nuri ldap://b\nbase DC=x\n", "line 2: \"uri\" is given twice"},
      {"uri ldap://a\nbase\n", "line 2: \"base\" needs a value"},
      {"base DC=x\n", "no \"uri\" given"},
      {"uri ldap://a\n", "no \"base\" given"},
      {"uri http://a\nbase DC=x\n", "\"http://a\" is no usable LDAP URI"},
      {"uri ldap://a/DC=x\nbase DC=x\n", "name the server only"},
      {"uri ldap:///\nbase DC=x\n", "it names no host"},
      {"uri ldap://a\nbase not a name\n", "is not a distinguished name"},
      {"uri ldap://a\nbase DC=x\nbind simple\n", "needs \"bind_dn\" and \"password_file\""},
      {"uri ldap://a\nbase DC=x\nbind_dn CN=a\n", "belong to a simple bind"},
      {"uri ldaps://a\nbase DC=x\nstarttls yes\n", "applies to ldap:// only"},
      {"uri ldap://a\nbase DC=x\nbind sasl-external\n", "needs ldapi://"},
      {"uri ldap://a\nbase DC=x\nbind kerberos\n", "not \"kerberos\""},
      {"uri ldap://a\nbase DC=x\nstarttls maybe\n", "yes or no"},
      {"uri ldap://a\x1b[2J\nbase DC=x\n", "control characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_RUNTIME_ERROR(ParseLdapConfig(c.text, "ldap.conf"), err::kDecodingError, c.message);
    EXPECT_RUNTIME_ERROR(ParseLdapConfig(c.text, "ldap.conf"), err::kDecodingError, "ldap.conf");
  }
}

TEST(LdapConfig, APasswordFileMustBeTheOwnersAlone) {
  char pattern[] = "/tmp/zenthra-secret-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const fs::path file = dir / "secret";
  std::ofstream(file) << "s3cret\r\n";
  ::chmod(file.c_str(), 0600);
  EXPECT_EQ(ReadPasswordFile(file), "s3cret");
  ::chmod(file.c_str(), 0644);
  EXPECT_RUNTIME_ERROR(ReadPasswordFile(file), err::kDecodingError, "(mode 0644); make it 0600");
  ::chmod(file.c_str(), 0620);
  EXPECT_RUNTIME_ERROR(ReadPasswordFile(file), err::kDecodingError, "mode 0620");
  ::chmod(file.c_str(), 0600);
  fs::create_symlink(file, dir / "link");
  EXPECT_RUNTIME_ERROR(ReadPasswordFile(dir / "link"), err::kDecodingError, "symbolic link");
  EXPECT_RUNTIME_ERROR(ReadPasswordFile(dir / "missing"), err::kDecodingError,
                       "no such file or folder");
  EXPECT_RUNTIME_ERROR(ReadPasswordFile(dir), err::kDecodingError, "no regular file");
  std::ofstream(dir / "empty") << "\n";
  ::chmod((dir / "empty").c_str(), 0600);
  EXPECT_RUNTIME_ERROR(ReadPasswordFile(dir / "empty"), err::kDecodingError, "is empty");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace directory

// zenthra-store provision --ldap and mailbox sync: mailboxes made from a
// directory server (a private slapd) or the catalog file, checked before
// anything is written, never deleted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/directory/ldap_config.h"
#include "platform/directory/ldif_backend.h"
#include "platform/store/session.h"
#include "platform/store/store.h"
#include "tests/directory/slapd.h"
#include "tests/support/small_fs.h"
#include "tools/zenthra-store/cli.h"
#include "tools/zenthra-store/directory_seed.h"
#include "tools/zenthra-store/provisioning.h"

namespace directory {
namespace {

namespace fs = std::filesystem;

const store::Machine kMachine{"mail01", "example.com"};

// A person homed on this server (or on other).
std::string Person(const std::string& cn, const std::string& alias,
                   const std::string& home = "MAIL01") {
  return "\ndn: CN=" + cn +
         ",CN=Users,DC=example,DC=com\n"
         "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\n"
         "mailNickName: " +
         alias +
         "\nmsExchMailboxGuid: 1\n"
         "msExchHomeServerName: /o=X/ou=Y/cn=Servers/cn=" +
         home + "\n";
}

class MailboxesFromDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zenthra-mailboxes-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ / "mail01";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.string()});
    std::istringstream in;
    out_.str("");
    err_.str("");
    return store::cli::Run(args, in, out_, err_);
  }
  int ProvisionFrom(const testing::Slapd& s, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"provision", "--computer", "mail01", "--domain", "example.com",
                                  "--ldap",    s.LdapUri(),  "--base", s.Suffix()};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }

  std::vector<std::string> Aliases() {
    std::vector<std::string> out;
    for (const store::MailboxInfo& m : store::Store::Open(root_)->Mailboxes()) {
      if (!m.is_system) out.push_back(m.alias);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::size_t Lines(const std::string& text, const std::string& start) {
    std::size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) n += line.rfind(start, 0) == 0;
    return n;
  }

  fs::path dir_, root_;
  std::ostringstream out_, err_;
};

TEST_F(MailboxesFromDirectoryTest, ProvisionFromADirectoryServerWritesItsSettings) {
  testing::Slapd slapd;
  if (!slapd.Available()) GTEST_SKIP() << slapd.SkipReason();
  slapd.Load(store::cli::PeopleLdif(kMachine, 300, 40));
  slapd.Start();
  ASSERT_EQ(ProvisionFrom(slapd, {"--bind-dn", slapd.AdminDn(), "--password-file",
                                  slapd.AdminPasswordFile().string()}),
            0)
      << err_.str();
  EXPECT_EQ(Aliases().size(), 40u);
  EXPECT_EQ(Lines(out_.str(), "mailbox "), 40u);
  EXPECT_EQ(Lines(out_.str(), "directory " + LdapConfigPath(root_).string()), 1u);
  EXPECT_FALSE(fs::exists(DefaultLdifPath(root_)));

  std::ifstream in(LdapConfigPath(root_));
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const LdapConfig c = ParseLdapConfig(text, "ldap.conf");
  EXPECT_EQ(c.uri, slapd.LdapUri());
  EXPECT_EQ(c.bind, LdapConfig::Bind::kSimple);
  EXPECT_EQ(c.password_file, slapd.AdminPasswordFile());
  EXPECT_EQ(text.find(testing::Slapd::kAdminPassword), std::string::npos) << "no password in it";
  struct stat st {};
  ASSERT_EQ(::stat(LdapConfigPath(root_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // The store's system mailbox, for the administrator to add.
  std::ifstream records(store::cli::SystemMailboxRecordsPath(root_));
  const std::string ldif((std::istreambuf_iterator<char>(records)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(ldif.find("mailNickName: SystemMailbox{"), std::string::npos) << ldif;
}

TEST_F(MailboxesFromDirectoryTest, AServerThatCannotBeUsedLeavesNothingBehind) {
  testing::Slapd slapd;
  if (!slapd.Available()) GTEST_SKIP() << slapd.SkipReason();
  slapd.Load(store::cli::PeopleLdif(kMachine, 10, 2) + Person("Bad", "a/b"));
  slapd.Start();
  EXPECT_EQ(ProvisionFrom(slapd), 1);
  EXPECT_NE(err_.str().find("the alias \"a/b\" cannot name a mailbox"), std::string::npos)
      << err_.str();

  const fs::path wrong = dir_ / "wrong.secret";
  std::ofstream(wrong) << "guess";
  ::chmod(wrong.c_str(), 0600);
  EXPECT_EQ(ProvisionFrom(slapd, {"--bind-dn", slapd.AdminDn(), "--password-file", wrong.string()}),
            1);
  EXPECT_NE(err_.str().find("Logon failure"), std::string::npos) << err_.str();
  ::chmod(wrong.c_str(), 0644);
  EXPECT_EQ(ProvisionFrom(slapd, {"--bind-dn", slapd.AdminDn(), "--password-file", wrong.string()}),
            1);
  EXPECT_NE(err_.str().find("make it 0600"), std::string::npos) << err_.str();

  EXPECT_EQ(ProvisionFrom(slapd, {"--bind-dn", slapd.AdminDn()}), 2);
  EXPECT_NE(err_.str().find("--bind-dn needs --password-file"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com", "--ldap",
                 "http://x", "--base", "DC=x"}),
            2);
  EXPECT_NE(err_.str().find("no usable LDAP URI"), std::string::npos) << err_.str();

  slapd.Kill();
  EXPECT_EQ(ProvisionFrom(slapd), 1);
  EXPECT_NE(err_.str().find("The server is not operational"), std::string::npos) << err_.str();
  EXPECT_TRUE(out_.str().empty());
  EXPECT_FALSE(fs::exists(root_));
  EXPECT_FALSE(fs::exists(store::cli::SiblingStaging(root_)));
}

TEST_F(MailboxesFromDirectoryTest, SyncMakesTheNewHiresMailboxesAndDeletesNone) {
  testing::Slapd slapd;
  if (!slapd.Available()) GTEST_SKIP() << slapd.SkipReason();
  slapd.Load("version: 1\n" + Person("Ann", "ann") + Person("Ben", "ben") +
             Person("Far", "far", "MAIL02"));
  slapd.Start();
  ASSERT_EQ(ProvisionFrom(slapd), 0) << err_.str();
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"ann", "ben"}));
  // A mailbox nobody in the directory owns (any more) stays.
  ASSERT_EQ(Run({"mailbox", "add", "leaver"}), 0);

  slapd.Add(Person("Cid", "cid") + Person("Dee", "dee") + Person("Ugly", "bell\x07") +
            Person("Eve", "eve", "MAIL02"));
  EXPECT_EQ(Run({"mailbox", "sync"}), 1) << "one person could not get a mailbox";
  EXPECT_EQ(Lines(out_.str(), "mailbox "), 2u) << out_.str();
  EXPECT_NE(out_.str().find("/MBX/cid\n"), std::string::npos);
  // The alias is shown with its control character spelt out.
  EXPECT_NE(err_.str().find("=Ugly,"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find(": the alias \"bell\\x07\" cannot name a mailbox"), std::string::npos)
      << err_.str();
  EXPECT_EQ(err_.str().find('\x07'), std::string::npos);
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"ann", "ben", "cid", "dee", "leaver"}));

  // Again: nothing new.
  EXPECT_EQ(Run({"mailbox", "sync"}), 1);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"ann", "ben", "cid", "dee", "leaver"}));
}

TEST_F(MailboxesFromDirectoryTest, SyncReadsTheCatalogFileOfARootWithoutServer) {
  ASSERT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com"}), 0);
  const std::vector<std::string> before = Aliases();
  std::ofstream(DefaultLdifPath(root_), std::ios::app) << Person("New Hire", "newhire");
  EXPECT_EQ(Run({"mailbox", "sync"}), 0) << err_.str();
  EXPECT_EQ(out_.str(), "mailbox file://./backofficestorage/example.com/MBX/newhire\n");
  EXPECT_EQ(Aliases().size(), before.size() + 1);
  EXPECT_EQ(Run({"mailbox", "sync"}), 0);
  EXPECT_EQ(out_.str(), "");

  // A directory that cannot be read changes nothing and says where.
  std::ofstream(DefaultLdifPath(root_), std::ios::app) << "\nbroken line\n";
  EXPECT_EQ(Run({"mailbox", "sync"}), 1);
  EXPECT_NE(err_.str().find("users.ldif line"), std::string::npos) << err_.str();
}

TEST_F(MailboxesFromDirectoryTest, SyncOnAFullOrReadOnlyDiskChangesNothing) {
  zenthra::testing::SmallFs disk(4 << 20);  // room for the store's space reserve
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  root_ = disk.path() / "mail01";
  ASSERT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com"}), 0);
  const std::vector<std::string> before = Aliases();
  std::string hires;
  for (int i = 0; i < 2000; ++i)
    hires += Person("Hire " + std::to_string(i), "h" + std::to_string(i));
  std::ofstream(DefaultLdifPath(root_), std::ios::app) << hires;

  // (How the store words a full disk is the store's; nothing may change.)
  disk.Fill();
  EXPECT_EQ(Run({"mailbox", "sync"}), 1);
  EXPECT_FALSE(err_.str().empty());
  EXPECT_EQ(out_.str(), "") << "no line for a mailbox that was not made";
  disk.FreeSpace();
  EXPECT_EQ(Aliases(), before);

  store::Session::ReleaseIdle(root_);  // Aliases' connection would keep the remount busy
  ASSERT_TRUE(disk.ReadOnly(true));
  EXPECT_EQ(Run({"mailbox", "sync"}), 1);
  EXPECT_FALSE(err_.str().empty());
  EXPECT_EQ(out_.str(), "");
  ASSERT_TRUE(disk.ReadOnly(false));
  EXPECT_EQ(Aliases(), before);
  EXPECT_EQ(Run({"mailbox", "sync"}), 0) << err_.str();
  EXPECT_EQ(Aliases().size(), before.size() + 2000);
}

}  // namespace
}  // namespace directory

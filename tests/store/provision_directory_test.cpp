// zenthra-store provision with the directory: the LDIF it writes and the
// mailboxes it makes for the persons homed on this server.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "platform/core/text.h"
#include "platform/directory/ldif.h"
#include "platform/directory/ldif_backend.h"
#include "platform/store/store.h"
#include "tools/zenthra-store/cli.h"
#include "tools/zenthra-store/directory_seed.h"

namespace store::testing {
namespace {

class ProvisionDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zenthra-provision-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    root_ = dir_ / "root";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.string()});
    std::istringstream in;
    out_.str("");
    err_.str("");
    return cli::Run(args, in, out_, err_);
  }

  std::vector<directory::Entry> Directory() {
    std::ifstream f(directory::DefaultLdifPath(root_));
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return directory::ParseLdif(text, "users.ldif");
  }

  // The last component of a mailbox's Inbox URL.
  std::string InboxName(Store& store, const std::string& alias) {
    for (const auto& [name, value] : store.Properties(store.Resolve(MailboxUrl(alias)).id)) {
      if (name == "urn:schemas:httpmail:inbox") {
        const std::string url = value.AsString();
        return url.substr(url.rfind('/') + 1);
      }
    }
    return "";
  }
  static std::string MailboxUrl(const std::string& alias) {
    return "file://./backofficestorage/example.com/MBX/" + alias;
  }

  std::filesystem::path dir_, root_;
  std::ostringstream out_, err_;
};

TEST_F(ProvisionDirectoryTest, DefaultDirectoryGetsMailboxesForItsLocalPersons) {
  ASSERT_EQ(Run({"provision", "--computer", "MAIL01", "--domain", "example.com"}), 0) << err_.str();
  std::unique_ptr<Store> store = Store::Open(root_);
  std::vector<std::string> aliases;
  std::string system_alias;
  for (const MailboxInfo& m : store->Mailboxes()) {
    (m.is_system ? system_alias : aliases.emplace_back()) = m.alias;
  }
  // Everyone homed here, disabled or without address too; not mmajor (MAIL02).
  EXPECT_EQ(aliases, (std::vector<std::string>{"administrator", "aschmidt", "edubois", "jdoe",
                                               "oldacct", "scanner"}));
  EXPECT_EQ(InboxName(*store, "aschmidt"), "Posteingang");
  EXPECT_EQ(InboxName(*store, "edubois"),
            "Bo\xC3\xAEte de r\xC3\xA9"
            "ception");
  EXPECT_EQ(InboxName(*store, "jdoe"), "Inbox");

  // The directory names the store's own system mailbox, homed here.
  bool found_system = false;
  for (const directory::Entry& e : Directory()) {
    const directory::Attribute* alias = e.Find("mailnickname");
    if (alias && alias->values[0] == system_alias) {
      found_system = true;
      EXPECT_EQ(e.Find("mail")->values[0], system_alias + "@example.com");
      EXPECT_TRUE(core::UCase(e.Find("msExchHomeServerName")->values[0]).ends_with("CN=MAIL01"));
    }
    if (e.Find("cn")->values[0] == "\xC3\x89milie Dubois") {
      EXPECT_EQ(e.dn, "CN=\xC3\x89milie Dubois,CN=Users,DC=example,DC=com");  // base64 round trip
    }
  }
  EXPECT_TRUE(found_system);
}

TEST_F(ProvisionDirectoryTest, UsersFileIsTakenAndCompletedWithTheSystemMailbox) {
  const std::filesystem::path users = dir_ / "people.ldif";
  std::ofstream(users)
      << "version: 1\n\n"
         "dn: CN=Zoe Local,CN=Users,DC=example,DC=com\n"
         "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\n"
         "mailNickName: zoe\nmsExchMailboxGuid: 1\n"
         "msExchHomeServerName: /o=X/ou=Y/cn=Servers/cn=mail01\n\n"
         "dn: CN=Far Away,CN=Users,DC=example,DC=com\n"
         "mailNickName: far\nmsExchMailboxGuid: 2\n"
         "msExchHomeServerName: /o=X/ou=Y/cn=Servers/cn=MAIL9\n\n"
         "dn: CN=No Mailbox,CN=Users,DC=example,DC=com\n"
         "mailNickName: nobox\n"
         "msExchHomeServerName: /o=X/ou=Y/cn=Servers/cn=MAIL01";  // no final newline
  ASSERT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com", "--users",
                 users.string()}),
            0)
      << err_.str();
  std::unique_ptr<Store> store = Store::Open(root_);
  std::vector<std::string> aliases;
  for (const MailboxInfo& m : store->Mailboxes()) {
    if (!m.is_system) aliases.push_back(m.alias);
  }
  EXPECT_EQ(aliases, std::vector<std::string>{"zoe"});
  EXPECT_EQ(Directory().size(), 4u);  // three persons and the system mailbox
}

TEST_F(ProvisionDirectoryTest, BadDirectoryIsRefusedBeforeAnythingIsWritten) {
  const std::filesystem::path users = dir_ / "bad.ldif";
  std::ofstream(users) << "version: 1\n\ndn: CN=A,DC=x\nthis line has no colon\n";
  EXPECT_NE(Run({"provision", "--computer", "mail01", "--domain", "example.com", "--users",
                 users.string()}),
            0);
  EXPECT_NE(err_.str().find("line 4"), std::string::npos) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(root_ / "machine"));
  EXPECT_FALSE(std::filesystem::exists(DatabaseFile(root_)));

  std::ofstream(users, std::ios::trunc)
      << "dn: CN=A,DC=x\nmailNickName: same\nmsExchMailboxGuid: 1\n"
         "msExchHomeServerName: cn=mail01\n\n"
         "dn: CN=B,DC=x\nmailNickName: SAME\nmsExchMailboxGuid: 2\n"
         "msExchHomeServerName: cn=mail01\n";
  EXPECT_NE(Run({"provision", "--computer", "mail01", "--domain", "example.com", "--users",
                 users.string()}),
            0);
  EXPECT_NE(err_.str().find("already used"), std::string::npos) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(DatabaseFile(root_)));

  EXPECT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com", "--users",
                 (dir_ / "missing.ldif").string()}),
            2);
  EXPECT_NE(err_.str().find("missing.ldif"), std::string::npos);
  // After all that, a good run still works: nothing was left half-made.
  EXPECT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com"}), 0) << err_.str();
}

TEST(LocalisedInboxName, FollowsThePrimaryLanguage) {
  EXPECT_EQ(cli::LocalisedInboxName("de-AT"), "Posteingang");
  EXPECT_EQ(cli::LocalisedInboxName("FR"),
            "Bo\xC3\xAEte de r\xC3\xA9"
            "ception");
  EXPECT_EQ(cli::LocalisedInboxName(""), "Inbox");
  EXPECT_EQ(cli::LocalisedInboxName("tlh"), "Inbox");
}

TEST(PeopleLdif, SpreadsTheHomedPersonsAndPlansAMailboxForEach) {
  const Machine machine{"mail01", "example.com"};
  const auto entries = directory::ParseLdif(cli::PeopleLdif(machine, 1000, 150), "people.ldif");
  ASSERT_EQ(entries.size(), 1000u);
  const auto planned = cli::PlanMailboxes(entries, machine);
  ASSERT_EQ(planned.size(), 150u);
  // Evenly spread: no tenth of the directory lacks homed persons.
  EXPECT_EQ(planned.front().alias, "p000007");
  EXPECT_EQ(planned.back().alias, "p001000");
  for (std::size_t i = 1; i < planned.size(); ++i) {
    const int gap =
        std::stoi(planned[i].alias.substr(1)) - std::stoi(planned[i - 1].alias.substr(1));
    EXPECT_LE(gap, 7) << planned[i].alias;
  }
}

}  // namespace
}  // namespace store::testing

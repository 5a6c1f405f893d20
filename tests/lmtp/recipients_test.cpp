// Recipients: addresses to mailboxes through the directory provider (an
// LDIF catalog here) and the store.
#include "tools/zenthra-lmtpd/recipients.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/directory/ldif_backend.h"
#include "platform/directory/provider.h"
#include "tests/lmtp/store_root.h"

namespace lmtp {
namespace {

using testing::StoreRoot;

struct Person {
  std::string mail, alias;
};

void WriteDirectory(const std::filesystem::path& file, const std::vector<Person>& people) {
  std::string text = "version: 1\n";
  int n = 0;
  for (const Person& p : people) {
    text += "\ndn: CN=Person " + std::to_string(++n) + ",CN=Users,DC=example,DC=com\n";
    text += "objectClass: user\n";
    text += "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\n";
    text += "cn: Person " + std::to_string(n) + "\n";
    if (!p.mail.empty()) text += "mail: " + p.mail + "\n";
    if (!p.alias.empty()) text += "mailNickName: " + p.alias + "\n";
  }
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

Address At(const std::string& local, const std::string& domain) { return Address{local, domain}; }

class RecipientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.AddMailboxes({"jdoe", "asmith", "john", "obrien", "postmaster", "noalias"});
    std::unique_ptr<store::Store> s = root_.Open();
    for (const store::MailboxInfo& m : s->Mailboxes()) {
      if (m.is_system) system_ = m.url.substr(m.url.rfind('/') + 1);
    }
    ldif_ = root_.path() / "directory" / "users.ldif";
    WriteDirectory(ldif_, {{"John.Doe@Example.com", "jdoe"},
                           {"anna@example.com", "asmith"},
                           {"john@example.com", "jsmith2"},  // homed elsewhere
                           {"shared@example.com", "jdoe"},
                           {"shared@example.com", "asmith"},
                           {"o'brien@example.com", "obrien"},
                           {"partner@other.org", "JDOE"},
                           {"sys@example.com", system_},
                           {"noalias@example.com", ""}});
    const directory::MachineFacts facts{testing::kMachine.computer, testing::kMachine.domain};
    directory::RegisterProvider(facts, std::make_shared<directory::LdifBackend>(facts, ldif_));
    store_ = root_.Open();
  }

  std::string Resolve(Recipients& r, const Address& a) {
    Resolution res = r.Resolve(a, *store_);
    switch (res.kind) {
      case Resolution::kMailbox:
        return res.mailbox;
      case Resolution::kUnknown:
        return "unknown";
      case Resolution::kAmbiguous:
        return "ambiguous";
      case Resolution::kTemporary:
        return "temporary";
    }
    return "?";
  }

  StoreRoot root_;
  std::filesystem::path ldif_;
  std::string system_;
  std::unique_ptr<store::Store> store_;
};

TEST_F(RecipientsTest, APersonsAddressLeadsToTheirAliasAndNowhereElse) {
  Recipients r(testing::kMachine);
  EXPECT_EQ(Resolve(r, At("john.doe", "example.COM")), "jdoe");
  EXPECT_EQ(Resolve(r, At("ANNA", "Example.com")), "asmith");
  EXPECT_EQ(Resolve(r, At("o'brien", "example.com")), "obrien");
  // Any domain the directory lists, and the alias as the store spells it.
  EXPECT_EQ(Resolve(r, At("partner", "other.org")), "jdoe");
  // The person's mailbox is elsewhere: the mailbox that shares the local
  // part belongs to someone else and must not get their mail.
  EXPECT_EQ(Resolve(r, At("john", "example.com")), "unknown");
  EXPECT_EQ(Resolve(r, At("shared", "example.com")), "ambiguous");
  EXPECT_EQ(Resolve(r, At("sys", "example.com")), "unknown");
  EXPECT_EQ(Resolve(r, At("noalias", "example.com")), "unknown");
}

TEST_F(RecipientsTest, OtherwiseTheLocalPartNamesAMailboxOfThisServersDomain) {
  Recipients r(testing::kMachine);
  EXPECT_EQ(Resolve(r, At("JDOE", "example.com")), "jdoe");
  EXPECT_EQ(Resolve(r, At("asmith", "mx.example.com")), "asmith");
  EXPECT_EQ(Resolve(r, At("jdoe", "other.org")), "unknown");
  EXPECT_EQ(Resolve(r, At("ghost", "example.com")), "unknown");
  EXPECT_EQ(Resolve(r, At(system_, "example.com")), "unknown");
  EXPECT_EQ(Resolve(r, At("Postmaster", "")), "postmaster");
  // Search syntax in an address is only text.
  EXPECT_EQ(Resolve(r, At("j*", "example.com")), "unknown");
  EXPECT_EQ(Resolve(r, At("*", "example.com")), "unknown");
  EXPECT_EQ(Resolve(r, At("x') OR (mail='*", "example.com")), "unknown");
}

TEST_F(RecipientsTest, KeepsAnswersBrieflyButNotFailures) {
  const std::chrono::hours kLong(1);
  const std::chrono::milliseconds kNone(0);
  Recipients cached(testing::kMachine, kLong, kLong);
  Recipients fresh(testing::kMachine, kNone, kNone);
  Recipients found_only(testing::kMachine, kLong, kNone);
  EXPECT_EQ(Resolve(cached, At("anna", "example.com")), "asmith");
  EXPECT_EQ(Resolve(fresh, At("anna", "example.com")), "asmith");
  WriteDirectory(ldif_, {{"anna@example.com", "jdoe"}, {"padding to change the size", ""}});
  EXPECT_EQ(Resolve(cached, At("anna", "example.com")), "asmith");
  EXPECT_EQ(Resolve(fresh, At("anna", "example.com")), "jdoe");

  // "No such mailbox" may be kept for less time than an answer.
  EXPECT_EQ(Resolve(found_only, At("newcomer", "example.com")), "unknown");
  EXPECT_EQ(Resolve(cached, At("newcomer", "example.com")), "unknown");
  WriteDirectory(ldif_, {{"anna@example.com", "jdoe"}, {"newcomer@example.com", "john"}});
  EXPECT_EQ(Resolve(found_only, At("newcomer", "example.com")), "john");
  EXPECT_EQ(Resolve(cached, At("newcomer", "example.com")), "unknown");

  // A directory that cannot be read is a temporary failure, asked again
  // next time.
  std::filesystem::remove(ldif_);
  EXPECT_EQ(Resolve(cached, At("new", "example.com")), "temporary");
  WriteDirectory(ldif_, {{"new@example.com", "john"}});
  EXPECT_EQ(Resolve(cached, At("new", "example.com")), "john");
}

}  // namespace
}  // namespace lmtp

// zenthra-store provision as one step: modes whatever the umask, aliases
// checked before anything is written, leftovers of killed runs cleaned up,
// and a full or read-only disk leaving nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/core/text.h"
#include "platform/directory/ldif.h"
#include "platform/directory/ldif_backend.h"
#include "platform/store/store.h"
#include "tests/directory/base64.h"
#include "tests/directory/root_checks.h"
#include "tests/support/small_fs.h"
#include "tools/zenthra-store/cli.h"
#include "tools/zenthra-store/provisioning.h"

namespace directory {
namespace {

namespace fs = std::filesystem;

// The umask of the process for a scope.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

class ProvisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zenthra-provision-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ / "mail01";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  int Run(std::vector<std::string> args, const fs::path& root) {
    args.insert(args.begin(), {"--root", root.string()});
    std::istringstream in;
    out_.str("");
    err_.str("");
    return store::cli::Run(args, in, out_, err_);
  }
  int Provision(const fs::path& root, const std::string& users_ldif = "") {
    std::vector<std::string> args{"provision", "--computer", "mail01", "--domain", "example.com"};
    if (!users_ldif.empty()) {
      std::ofstream(dir_ / "people.ldif") << users_ldif;
      args.insert(args.end(), {"--users", (dir_ / "people.ldif").string()});
    }
    return Run(args, root);
  }

  fs::path dir_, root_;
  std::ostringstream out_, err_;
};

// A person homed on mail01 with the given alias.
std::string Homed(const std::string& cn, const std::string& alias) {
  return "\ndn: CN=" + cn +
         ",CN=Users,DC=example,DC=com\n"
         "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\n"
         "mailNickName: " +
         alias +
         "\nmsExchMailboxGuid: 1\n"
         "msExchHomeServerName: /o=X/ou=Y/cn=Servers/cn=MAIL01\n";
}

TEST_F(ProvisionTest, EveryFolderAndFileIsPrivateWhateverTheUmask) {
  Umask open_to_all(0);
  const fs::path occupied = dir_ / "occupied";  // already holds a file of its own
  fs::create_directory(occupied);
  std::ofstream(occupied / "notes.txt") << "kept\n";
  for (const fs::path& root : {root_, occupied}) {
    SCOPED_TRACE(root);
    ASSERT_EQ(Provision(root), 0) << err_.str();
    const RootState state =
        InspectRoot(root, {"administrator", "aschmidt", "edubois", "jdoe", "oldacct", "scanner"});
    EXPECT_TRUE(state.whole) << state.problem;
    EXPECT_FALSE(fs::exists(store::cli::SiblingStaging(root)));
    EXPECT_FALSE(fs::exists(root / store::cli::kStagingName));
  }
  EXPECT_EQ(fs::status(root_).permissions(), fs::perms::owner_all);
  std::ifstream notes(occupied / "notes.txt");
  std::string kept;
  std::getline(notes, kept);
  EXPECT_EQ(kept, "kept");
  // Lines are printed for what exists: the directory, then each mailbox.
  EXPECT_NE(out_.str().find("directory " + (occupied / "directory" / "users.ldif").string()),
            std::string::npos)
      << out_.str();
}

TEST_F(ProvisionTest, BadAliasesAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::string alias;
    std::string message;
  } cases[] = {
      {"..", "\"..\" cannot name a mailbox"},   {"a/b", "cannot name a mailbox"},
      {"back\\slash", "cannot name a mailbox"}, {"bell\x07", "cannot name a mailbox"},
      {" lead", "cannot name a mailbox"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alias);
    const std::string ldif =
        "version: 1\n" + Homed("Good", "good") +
        "\ndn: CN=Bad,CN=Users,DC=example,DC=com\nmailNickName:: " + testing::Base64(c.alias) +
        "\nmsExchMailboxGuid: 2\n"
        "msExchHomeServerName: /o=X/ou=Y/cn=Servers/cn=MAIL01\n";
    EXPECT_EQ(Provision(root_, ldif), 1);
    EXPECT_NE(err_.str().find("CN=Bad,CN=Users"), std::string::npos) << err_.str();
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
    EXPECT_TRUE(out_.str().empty()) << out_.str();
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_FALSE(fs::exists(store::cli::SiblingStaging(root_)));
  }
}

TEST_F(ProvisionTest, PersonsSharingAnAliasGetNeitherAndTheCheckIsLinear) {
  // Duplicates are found by one look each, not by comparing every pair:
  // 20,000 homed persons plan as quickly as the run takes to read them.
  std::vector<Entry> entries;
  for (int i = 0; i < 20000; ++i) {
    Entry e{"CN=P" + std::to_string(i) + ",DC=example,DC=com", {}};
    e.Add("mailNickName", "p" + std::to_string(i));
    e.Add("msExchMailboxGuid", "x");
    e.Add("msExchHomeServerName", "cn=MAIL01");
    entries.push_back(std::move(e));
  }
  entries[17].attributes[0].values[0] = "P19999";  // the same as the last, but for case
  const store::cli::MailboxPlan plan =
      store::cli::PlanHomedMailboxes(entries, {"mail01", "example.com"});
  EXPECT_EQ(plan.mailboxes.size(), 19998u);
  ASSERT_EQ(plan.problems.size(), 2u);
  EXPECT_EQ(plan.problems[0].dn, "CN=P19999,DC=example,DC=com");
  EXPECT_EQ(plan.problems[0].what, "is already used by another person");
  EXPECT_EQ(plan.problems[1].dn, "CN=P17,DC=example,DC=com");
  for (const store::cli::PlannedMailbox& m : plan.mailboxes) {
    EXPECT_NE(core::LCase(m.alias), "p19999");
  }
}

TEST_F(ProvisionTest, LeftoversOfKilledRunsAreCleanedUp) {
  // A sibling staging folder with a half-built root in it.
  const fs::path sibling = store::cli::SiblingStaging(root_);
  fs::create_directories(sibling / "store");
  std::ofstream(sibling / "store" / "store.db") << "half";
  ASSERT_EQ(Provision(root_), 0) << err_.str();
  EXPECT_FALSE(fs::exists(sibling));
  EXPECT_TRUE(InspectRoot(root_, {}, /*check_mailboxes=*/false).whole);

  // A run into an occupied folder killed after moving the store in, before
  // the machine file made the root provisioned.
  const fs::path occupied = dir_ / "occupied";
  ASSERT_EQ(Provision(dir_ / "model"), 0) << err_.str();
  fs::create_directories(occupied / store::cli::kStagingName);
  std::ofstream(occupied / "notes.txt") << "kept\n";
  fs::copy(dir_ / "model" / "store", occupied / "store");
  fs::copy(dir_ / "model" / "machine", occupied / store::cli::kStagingName / "machine");
  EXPECT_EQ(Run({"mailbox", "list"}, occupied), 1) << "no machine file: not provisioned";
  ASSERT_EQ(Provision(occupied), 0) << err_.str();
  EXPECT_TRUE(InspectRoot(occupied, {}, false).whole);
  EXPECT_FALSE(fs::exists(occupied / store::cli::kStagingName));
  EXPECT_TRUE(fs::exists(occupied / "notes.txt"));

  // Killed after the commit, before the staging folder was removed: the
  // root stands, and the next run only tidies up.
  fs::create_directories(occupied / store::cli::kStagingName / "store");
  EXPECT_EQ(Provision(occupied), 1);
  EXPECT_NE(err_.str().find("already provisioned"), std::string::npos) << err_.str();
  EXPECT_FALSE(fs::exists(occupied / store::cli::kStagingName));
  EXPECT_TRUE(InspectRoot(occupied, {}, false).whole);
}

TEST_F(ProvisionTest, RefusesWhatItWouldOtherwiseOverwrite) {
  // A folder that is not provisioned but holds a directory of someone's.
  fs::create_directories(root_ / "directory");
  std::ofstream(root_ / "directory" / "users.ldif") << "dn: CN=x\n";
  EXPECT_EQ(Provision(root_), 1);
  EXPECT_NE(err_.str().find("move it away first"), std::string::npos) << err_.str();
  EXPECT_EQ(fs::file_size(root_ / "directory" / "users.ldif"), 9u);
  EXPECT_FALSE(fs::exists(root_ / "machine"));
  EXPECT_FALSE(fs::exists(root_ / store::cli::kStagingName));
}

TEST_F(ProvisionTest, ARunningProvisioningIsNotDisturbed) {
  const fs::path sibling = store::cli::SiblingStaging(root_);
  fs::create_directories(sibling);
  const int fd = ::open(sibling.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  // flock locks belong to the open file: another open in this process
  // competes as another process would.
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  std::ofstream(sibling / "in-progress") << "x";
  EXPECT_EQ(Provision(root_), 1);
  EXPECT_NE(err_.str().find("Another provisioning is running"), std::string::npos) << err_.str();
  EXPECT_TRUE(fs::exists(sibling / "in-progress"));
  ::close(fd);
  EXPECT_EQ(Provision(root_), 0) << err_.str();
}

TEST_F(ProvisionTest, AFullOrReadOnlyDiskLeavesNothingBehind) {
  zenthra::testing::SmallFs fs_small(1 << 20);
  if (!fs_small.Available()) GTEST_SKIP() << fs_small.SkipReason();
  const fs::path root = fs_small.path() / "mail01";
  // 3,000 persons do not fit in 1 MB.
  std::string big = "version: 1\n";
  for (int i = 0; i < 3000; ++i) big += Homed("P" + std::to_string(i), "p" + std::to_string(i));
  std::ofstream(dir_ / "people.ldif") << big;
  EXPECT_EQ(Run({"provision", "--computer", "mail01", "--domain", "example.com", "--users",
                 (dir_ / "people.ldif").string()},
                root),
            1);
  EXPECT_NE(err_.str().find("full"), std::string::npos) << err_.str();
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists(store::cli::SiblingStaging(root)));
  EXPECT_EQ(Provision(root), 0) << "the space was given back: " << err_.str();

  ASSERT_TRUE(fs_small.ReadOnly(true));
  const fs::path other = fs_small.path() / "mail02";
  EXPECT_EQ(Provision(other), 1);
  EXPECT_NE(err_.str().find("read-only file system"), std::string::npos) << err_.str();
  EXPECT_FALSE(fs::exists(other));
  ASSERT_TRUE(fs_small.ReadOnly(false));
}

}  // namespace
}  // namespace directory

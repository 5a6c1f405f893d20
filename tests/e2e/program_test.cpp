// ZenthraSetup itself, run unattended on a server without a display, as a
// scheduled "-b" job runs it: the disclaimer is answered on the terminal,
// every registration found is renewed, everything the error log gets is on
// standard error as well, and the exit status says how it went.
#include <gmock/gmock.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/server.h"
#include "platform/core/terminal.h"
#include "setup/Items.h"
#include "setup/RenewalJournal.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/small_fs.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ProgramTest : public ServerTest {
 protected:
  // The application installed with priority 300 in its constructor string.
  void Install() {
    ui::TextBox log("txtErr");
    ComPlus::InstallComPlusObject("Zenthra", "", "", std::string("Spam\r") + kMarker + "\r300",
                                  log);
    ASSERT_EQ(log.Text(), "");
  }
  void Register(const std::string& baseUrl, const std::string& folder, const std::string& scope,
                const std::string& priority) {
    ui::TextBox log("txtErr");
    ASSERT_NE(
        Items::CreateRegistrationItem(baseUrl, folder, "Zenthra.reg", "onsyncsave",
                                      "Zenthra.ZenthraCls", scope, kCriteria, priority, true, log),
        "")
        << log.Text();
  }
  void RegisterMailbox(const std::string& alias, const std::string& priority = "1") {
    Register(std::string(kMbx) + "/" + alias, "inbox", "SHALLOW", priority);
  }
  std::string PriorityOf(const std::string& folder) {
    const auto item = RegistrationItem(folder);
    return item ? Property(*item, store::schema::kPriority) : "<no item>";
  }
  // Runs the program with switches, ZENTHRA_ROOT = root (none when empty)
  // and input as its terminal's answers; keeps its output and its errors.
  int Setup(const std::vector<std::string>& switches, const std::string& input,
            const fs::path& root) {
    std::vector<std::string> args = {ZENTHRA_SETUP_PROGRAM};
    args.insert(args.end(), switches.begin(), switches.end());
    return RunProgram(args, root, input, &output_, &errors_);
  }
  int Setup(const std::string& switches, const std::string& input) {
    return Setup(std::vector<std::string>{switches}, input, root_);
  }
  std::string output_;
  std::string errors_;
};

TEST_F(ProgramTest, ACleanBatchRunRenewsEveryRegistrationQuietlyAndEndsWith0) {
  Install();
  RegisterMailbox("asmith");
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "2");

  EXPECT_EQ(Setup("-b", "y\n"), 0) << output_ << errors_;
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(RegisteredFolders(), (std::vector<std::string>{InboxOf("asmith"), GlobalEvents()}));
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "300");
  EXPECT_EQ(PriorityOf(GlobalEvents()), "300");
  EXPECT_EQ(Catalog().size(), 1u);
}

TEST_F(ProgramTest, ADeclinedDisclaimerChangesNothingAndEndsWith2) {
  Install();
  RegisterMailbox("asmith");
  for (const char* answer : {"n\n", ""}) {  // "no", and no answer at all
    EXPECT_EQ(Setup("-b", answer), 2) << output_ << errors_;
    EXPECT_THAT(output_, HasSubstr("LIMITATION OF LIABILITY"));
    EXPECT_EQ(errors_, "");
  }
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "1");
}

TEST_F(ProgramTest, ACorruptCatalogIsReportedOnStandardErrorAndEndsWith3) {
  Install();
  RegisterMailbox("asmith");
  const fs::path catalog = root_ / "complus" / "catalog.db";
  ASSERT_TRUE(fs::exists(catalog));
  std::ofstream(catalog, std::ios::binary | std::ios::trunc) << std::string(4096, 'x');
  // What the catalog itself says about the file, found without the program.
  std::string cause;
  try {
    complus::COMAdminCatalog probe;
    probe.GetCollection("Applications")->Populate();
  } catch (const core::RuntimeError& e) {
    cause = e.Description();
  }
  ASSERT_THAT(cause, HasSubstr(catalog.string()));

  // Without the catalog the window offers the install, and the batch run
  // stops at the identity message: nothing is renewed, and cron hears why.
  EXPECT_EQ(Setup("-b", "y\n"), 3) << output_ << errors_;
  EXPECT_THAT(errors_, HasSubstr(core::TerminalSafe(cause)));
  EXPECT_THAT(errors_, HasSubstr("Please fill the Identity and Password fields"));
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "1");
}

TEST_F(ProgramTest, WithoutTheApplicationTheBatchRunStopsAtItsMessageAndEndsWith3) {
  RegisterMailbox("jdoe");
  // The identity message is an OK box: confirmed by the next line.
  EXPECT_EQ(Setup("/b", "yes\n\n"), 3) << output_ << errors_;
  EXPECT_THAT(errors_, HasSubstr("Please fill the Identity and Password fields"));
  EXPECT_THAT(output_, Not(HasSubstr("Please fill")));
  EXPECT_EQ(PriorityOf(InboxOf("jdoe")), "1");
  EXPECT_TRUE(Catalog().empty());
}

TEST_F(ProgramTest, ARenewalThatCannotRecreateARegistrationNamesTheMailboxAndEndsWith4) {
  Install();
  RegisterMailbox("asmith");
  RegisterMailbox("carol");
  // Then a sink registered in Carol's Inbox starts refusing to let the
  // registration item be written there (deletes still pass).
  com::RegisterLibrary(CLOSED_INBOX_SINK);
  store_->Create(
      store_->Resolve(InboxOf("carol")).id, "closed.reg", false, store::ExistingItem::Fail,
      {{store::schema::kContentClass, core::Variant(store::schema::kEventRegistrationClass)},
       {store::schema::kEventMethod, core::Variant("onsyncsave")},
       {store::schema::kSinkClass, core::Variant("E2eTest.ClosedInbox")},
       {store::schema::kMatchScope, core::Variant("SHALLOW")},
       {store::schema::kPriority, core::Variant("1")},
       {store::schema::kIsHidden, core::Variant(true)}});

  EXPECT_EQ(Setup("-b", "y\n"), 4) << output_ << errors_;
  // The loss is named, and so is what refused the new item.
  EXPECT_THAT(errors_,
              HasSubstr(CarolEntry() + " - ERROR: the registration was removed and could not be "
                                       "created again"));
  EXPECT_THAT(errors_, HasSubstr(std::string(kFolderURL) + "/carol - ERROR: "));
  EXPECT_THAT(errors_, Not(HasSubstr(AnnaEntry())));
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "300");
  EXPECT_FALSE(RegistrationItem(InboxOf("carol")));
}

TEST_F(ProgramTest, AReadOnlyRootRenewsNothingSaysWhyAndLosesNothing) {
  zenthra::testing::SmallFs disk(64 << 20);
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  Install();
  RegisterMailbox("asmith");
  store_.reset();  // every change is in the database file itself now
  const fs::path root = disk.path() / "root";
  fs::copy(root_, root, fs::copy_options::recursive);
  ASSERT_TRUE(disk.ReadOnly(true));

  // The store reads, so the window loads; the renewal stops before it
  // removes anything, and says why.
  EXPECT_EQ(Setup({"-b"}, "y\n", root), 3) << output_ << errors_;
  EXPECT_THAT(errors_, HasSubstr("read-only file system"));
  EXPECT_THAT(errors_, HasSubstr("nothing was renewed"));

  ASSERT_TRUE(disk.ReadOnly(false));
  std::unique_ptr<store::Store> after = store::Store::Open(root);
  const auto item = after->Find(after->Names(InboxOf("asmith") + "/Zenthra.reg"));
  ASSERT_TRUE(item) << "the registration was lost";
  EXPECT_EQ(Property(after->Properties(item->id, false), store::schema::kPriority), "1");
}

// A registration item as the setup program writes it: every property there.
::testing::AssertionResult Whole(const adodb::FieldList& item) {
  for (const char* name :
       {store::schema::kContentClass, store::schema::kEventMethod, store::schema::kSinkClass,
        store::schema::kMatchScope, store::schema::kCriteria, store::schema::kPriority}) {
    std::string value = "<absent>";
    for (const auto& [n, v] : item) {
      if (core::EqualsNoCase(n, name)) value = v.IsNull() ? "<null>" : v.AsString();
    }
    if (value == "<absent>" || value == "<null>" || value.empty()) {
      return ::testing::AssertionFailure() << name << " is " << value;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST_F(ProgramTest, OnAFullDiskNoRegistrationIsLostWithoutBeingNamed) {
  zenthra::testing::SmallFs disk(64 << 20);
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  Install();
  for (const char* alias : {"asmith", "carol", "jdoe"}) RegisterMailbox(alias);
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "2");
  store_.reset();
  const std::vector<std::pair<std::string, std::string>> registrations = {
      {InboxOf("asmith"), AnnaEntry()},
      {InboxOf("carol"), CarolEntry()},
      {InboxOf("jdoe"), JohnEntry()},
      {GlobalEvents(), StoreEntry()}};

  // From no room at all to room for a few pages: the run fails in different
  // places (loading, removing, writing again), and whatever it removed and
  // could not write again is named.
  std::vector<std::size_t> rooms = {0, 262144};
  for (std::size_t room = 16384; room <= 65536; room += 8192) rooms.push_back(room);
  for (const std::size_t room : rooms) {
    SCOPED_TRACE("room " + std::to_string(room));
    const fs::path root = disk.path() / "root";
    fs::remove_all(root);
    fs::copy(root_, root, fs::copy_options::recursive);
    std::ofstream(disk.path() / "room", std::ios::binary) << std::string(room, 'r');
    disk.Fill();
    fs::remove(disk.path() / "room");

    const int status = Setup({"-b"}, "y\n", root);
    disk.FreeSpace();
    EXPECT_THAT(status, ::testing::AnyOf(0, 1, 3, 4)) << output_ << errors_;
    if (status != 0) {
      EXPECT_NE(errors_, "") << "status " << status << " with nothing said";
    }

    std::unique_ptr<store::Store> after = store::Store::Open(root);
    bool lost = false;
    for (const auto& [folder, entry] : registrations) {
      const auto item = after->Find(after->Names(folder + "/Zenthra.reg"));
      if (item) {
        EXPECT_TRUE(Whole(after->Properties(item->id, false))) << folder;
      } else {
        lost = true;
        EXPECT_THAT(errors_, HasSubstr(entry + " - ERROR: the "))
            << folder << " lost without a word; status " << status;
      }
    }
    if (lost) {
      EXPECT_EQ(status, 4) << errors_;
    }
  }
}

TEST_F(ProgramTest, KilledAtRandomInstantsItLosesNothingTheNextRunCannotWriteAgain) {
  Install();
  std::vector<Person> people = DefaultPeople();
  std::vector<std::string> folders = {InboxOf("asmith"), InboxOf("carol"), InboxOf("jdoe"),
                                      GlobalEvents()};
  for (int i = 1; i <= 30; ++i) {
    char alias[8];
    std::snprintf(alias, sizeof alias, "u%02d", i);
    people.push_back(
        {std::string("User ") + alias, alias, std::string(alias) + "@example.com", alias});
    store_->AddMailbox(alias);
    folders.push_back(std::string(kMbx) + "/" + alias + "/Inbox");
  }
  WriteDirectory(people);
  for (const std::string& folder : folders) {
    const std::string mailbox = folder.substr(0, folder.find('/', std::strlen(kMbx) + 1));
    if (folder == GlobalEvents()) {
      Register(mailbox, "StoreEvents/GlobalEvents", "ANY", "2");
    } else {
      Register(mailbox, "inbox", "SHALLOW", "1");
    }
  }

  // How long a whole run takes, so the kills fall inside one.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Setup("-b", "y\n"), 0) << errors_;
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);

  std::mt19937 random(20251207);
  std::uniform_int_distribution<long> instant(0, whole.count());
  int killed = 0;
  int journals = 0;  // kills after which a renewal was left unfinished
  for (int round = 0; round < 12; ++round) {
    const std::string input = (temp_ / "yes.txt").string();
    std::ofstream(input) << "y\n";
    std::vector<std::string> env = {"ZENTHRA_ROOT=" + root_.string()};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = ZENTHRA_SETUP_PROGRAM, batch = "-b";
    char* argv[] = {program.data(), batch.data(), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::microseconds(instant(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed;
    if (fs::exists(RenewalJournal::JournalFile(root_))) ++journals;

    // Whatever instant it died at: the store opens, every registration item
    // there is whole, and the catalog still holds the one application.
    std::unique_ptr<store::Store> after = store::Store::Open(root_);
    for (const std::string& folder : folders) {
      const auto item = after->Find(after->Names(folder + "/Zenthra.reg"));
      if (item) {
        EXPECT_TRUE(Whole(after->Properties(item->id, false))) << folder;
      }
    }
    ASSERT_EQ(Catalog().size(), 1u) << "round " << round;
    EXPECT_EQ(Catalog()[0].components.size(), 1u);
  }
  EXPECT_GT(killed, 0) << "no run was killed before it ended";
  RecordProperty("kills_leaving_a_journal", journals);

  // A run to its end afterwards writes again what a killed run removed and
  // left in its journal, and renews the rest: every registration is there.
  EXPECT_THAT(Setup("-b", "y\n"), ::testing::AnyOf(0, 3)) << errors_;
  for (const std::string& folder : folders) {
    const auto item = RegistrationItem(folder);
    ASSERT_TRUE(item) << folder << " lost after " << killed << " kills";
    EXPECT_TRUE(Whole(*item)) << folder;
    EXPECT_EQ(Property(*item, store::schema::kPriority), "300") << folder;
  }
  EXPECT_FALSE(fs::exists(RenewalJournal::JournalFile(root_)));
}

TEST_F(ProgramTest, ARegistrationAnInterruptedRunRemovedIsWrittenAgainByTheNextBatchRun) {
  Install();
  RegisterMailbox("jdoe");
  // A run that died had removed Carol's and the store-wide registration and
  // noted them; Carol's was written again, the store-wide one was not.
  RenewalJournal::Write(root_, {{"inbox", CarolEntry()},
                                {"StoreEvents/GlobalEvents", StoreEntry()},
                                {"inbox", JohnEntry()}});

  // The window shows the administrator what is missing.
  EXPECT_EQ(Setup("", "y\n"), 1) << errors_;  // no display: the window takes no input
  EXPECT_THAT(errors_, HasSubstr(CarolEntry() +
                                 " - ERROR: an earlier batch run removed this registration and "
                                 "did not write it again; register it again, or run the batch "
                                 "mode."));
  EXPECT_THAT(errors_, HasSubstr(StoreEntry() + " - ERROR: an earlier batch run removed this "
                                                "store-wide registration"));
  EXPECT_THAT(errors_, Not(HasSubstr(JohnEntry())));  // still registered: nothing to say
  EXPECT_TRUE(fs::exists(RenewalJournal::JournalFile(root_)));

  // The next batch run finishes the job and says so.
  EXPECT_EQ(Setup("-b", "y\n"), 3) << errors_;
  EXPECT_THAT(errors_, HasSubstr(CarolEntry() + ": an earlier batch run removed this registration "
                                                "and did not write it again; it is written again "
                                                "now."));
  EXPECT_THAT(errors_, HasSubstr(StoreEntry() + ": an earlier batch run removed this store-wide "
                                                "registration and did not write it again; it is "
                                                "written again now."));
  EXPECT_EQ(RegisteredFolders(),
            (std::vector<std::string>{InboxOf("jdoe"), InboxOf("carol"), GlobalEvents()}));
  EXPECT_EQ(PriorityOf(InboxOf("carol")), "300");
  EXPECT_EQ(PriorityOf(InboxOf("jdoe")), "300");
  EXPECT_FALSE(fs::exists(RenewalJournal::JournalFile(root_)));

  // Done: the run after that has nothing to report.
  EXPECT_EQ(Setup("-b", "y\n"), 0) << errors_;
  EXPECT_EQ(errors_, "");
}

TEST_F(ProgramTest, ARenewalThatCannotKeepItsJournalRemovesNothing) {
  Install();
  RegisterMailbox("jdoe");
  // The journal's folder is taken by a file: the journal cannot be written.
  std::ofstream(root_ / "setup") << "in the way";
  EXPECT_EQ(Setup("-b", "y\n"), 3) << errors_;
  EXPECT_THAT(errors_, HasSubstr((root_ / "setup").string()));
  EXPECT_THAT(errors_, HasSubstr("; nothing was renewed, so nothing could be lost"));
  EXPECT_EQ(PriorityOf(InboxOf("jdoe")), "1");
}

TEST_F(ProgramTest, AListingCutAtTheDirectorysSizeLimitIsReportedAndEndsWith3) {
  Install();
  RegisterMailbox("asmith");
  // 30,000 persons elsewhere push a registered mailbox of this server past
  // the listing's 30,000 records ("Zoe" sorts last).
  std::vector<Person> people = DefaultPeople();
  for (int i = 1; i <= 30000; ++i) {
    char cn[32];
    std::snprintf(cn, sizeof cn, "Person %05d", i);
    people.push_back({cn, "", "", "", "SRV2"});
  }
  people.push_back({"Zoe Last", "zoe", "zoe@example.com", "zoe"});
  WriteDirectory(people);
  store_->AddMailbox("zoe");
  RegisterMailbox("zoe");

  EXPECT_EQ(Setup("-b", "y\n"), 3) << output_ << errors_;
  EXPECT_THAT(errors_, HasSubstr("The mailbox listing was cut at 30000 directory records; "
                                 "mailboxes beyond them are not listed and were not renewed."));
  // Listed before and after the renewal, reported once.
  const std::string cut = "The mailbox listing was cut";
  EXPECT_EQ(errors_.find(cut), errors_.rfind(cut)) << errors_;
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "300");
  EXPECT_EQ(PriorityOf(InboxOf("zoe")), "1");
}

TEST_F(ProgramTest, TheRootOptionIsTakenBeforeTheBatchSwitchInEitherOrder) {
  Install();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--root", root_.string(), "-b"},
        std::vector<std::string>{"-b", "--root", root_.string()},
        std::vector<std::string>{"/B", "--root=" + root_.string()}}) {
    RegisterMailbox("asmith", "1");
    EXPECT_EQ(Setup(args, "y\n", fs::path()), 0) << args[0] << ": " << output_ << errors_;
    EXPECT_EQ(PriorityOf(InboxOf("asmith")), "300") << args[0];
  }
}

TEST_F(ProgramTest, AMissingRootIsRefusedWithWhatDoesExistAndEndsWith64) {
  EXPECT_EQ(Setup({"-b"}, "y\n", fs::path()), 64);
  EXPECT_EQ(errors_, "ZenthraSetup: no server root: set ZENTHRA_ROOT or pass --root DIR\n");

  const fs::path missing = temp_ / "rot";
  EXPECT_EQ(Setup({"--root", missing.string(), "-b"}, "y\n", fs::path()), 64);
  EXPECT_EQ(errors_, "ZenthraSetup: unusable server root (named by --root): " + missing.string() +
                         " does not exist (" + temp_.string() + " does, and holds root)\n");
  EXPECT_THAT(output_, Not(HasSubstr("LIMITATION OF LIABILITY")));

  EXPECT_EQ(Setup({"-b", "--root"}, "y\n", root_), 64);
  EXPECT_THAT(errors_, HasSubstr("--root needs a folder"));
}

}  // namespace
}  // namespace e2e

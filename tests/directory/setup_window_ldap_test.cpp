// The setup window with its directory on a directory server (a private
// slapd) instead of the catalog file: the first activation's lists and
// proposed identity, a cluster node's server name, the unattended run, and
// a server that is down or goes away while the lists fill.
#include <string>
#include <vector>

#include "platform/directory/errors.h"
#include "platform/directory/ldap_config.h"
#include "platform/win/registry.h"
#include "setup/Items.h"
#include "tests/directory/slapd.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class DirectoryServerTest : public ServerTest {
 protected:
  // Serves people from a fresh slapd and points the server root at it.
  bool Serve(const std::vector<Person>& people) {
    slapd_ = std::make_unique<directory::testing::Slapd>();
    if (!slapd_->Available()) return false;
    slapd_->Load(Ldif(people));
    slapd_->Start();
    std::ofstream(directory::LdapConfigPath(root_))
        << "uri " << slapd_->HostUri("localhost") << "\nbase DC=example,DC=com\n";
    fs::remove(directory::DefaultLdifPath(root_));
    return true;
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

  std::unique_ptr<directory::testing::Slapd> slapd_;
};

#define SERVE_OR_SKIP(people) \
  if (!Serve(people)) GTEST_SKIP() << slapd_->SkipReason()

TEST_F(DirectoryServerTest, FirstActivationListsTheServersMailboxesAndProposesTheIdentity) {
  SERVE_OR_SKIP(DefaultPeople());
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  // The catalog's host is the server's, named as the settings name it.
  EXPECT_EQ(w.strSearchRoot, "GC://localhost");
  EXPECT_EQ(w.txtIdent.Text(), "example.com\\" + CurrentUser());
  EXPECT_EQ(Entries(w.MbxInstList),
            (std::vector<std::string>{AnnaEntry(), CarolEntry(), JohnEntry()}));
  EXPECT_TRUE(Entries(w.MbxUninstList).empty());
  EXPECT_EQ(Entries(w.SysMbxInstList), std::vector<std::string>{StoreEntry()});
  EXPECT_EQ(w.txtErr.Text(), "");

  // Registered in one Inbox: listed with the registered ones on a refresh.
  Register(std::string(kMbx) + "/carol", "inbox", "SHALLOW", "7");
  w.Check7_Click();
  EXPECT_EQ(Entries(w.MbxUninstList), std::vector<std::string>{CarolEntry()});
  EXPECT_EQ(Entries(w.MbxInstList), (std::vector<std::string>{AnnaEntry(), JohnEntry()}));
}

TEST_F(DirectoryServerTest, AClusterNodeFindsItsServersNameInTheDirectory) {
  win::HKEY key = 0;
  ASSERT_EQ(win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key), win::ERROR_SUCCESS);
  win::RegCloseKey(key);
  std::vector<Person> people = DefaultPeople();
  people[0].server = "EXVS1";  // the administrator's own mailbox
  people[3].server = "EXVS1";  // Carol's
  SERVE_OR_SKIP(people);
  SetupRun run;
  run.Accept();
  EXPECT_TRUE(run.window().blnIsClusterNode);
  EXPECT_EQ(run.window().ClusterName, "EXVS1");
  EXPECT_EQ(Entries(run.window().MbxInstList),
            (std::vector<std::string>{
                AnnaEntry(), "Carol Clark / EXVS1 / carol@example.com / carol", JohnEntry()}));
}

TEST_F(DirectoryServerTest, BatchModeRenewsEveryRegistrationItFinds) {
  SERVE_OR_SKIP(DefaultPeople());
  ui::TextBox log("txtErr");
  ComPlus::InstallComPlusObject("Zenthra", "", "", std::string("Spam\r") + kMarker + "\r100", log);
  ASSERT_EQ(log.Text(), "");
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "7");
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "9");

  SetupRun run("-b");
  run.Accept();
  EXPECT_TRUE(run.dialogs().Shown().empty());
  EXPECT_EQ(run.window().txtErr.Text(), "");
  EXPECT_TRUE(run.program().Ended());
  EXPECT_EQ(RegisteredFolders(), (std::vector<std::string>{InboxOf("jdoe"), GlobalEvents()}));
  for (const std::string& folder : RegisteredFolders()) {
    EXPECT_EQ(Property(*RegistrationItem(folder), store::schema::kPriority), "100") << folder;
  }
}

TEST_F(DirectoryServerTest, AServerThatIsDownStopsTheLoadWithItsError) {
  SERVE_OR_SKIP(DefaultPeople());
  slapd_->Kill();
  ui::ScriptedDialogs dialogs;
  ui::Program program(dialogs);
  setup::InstallForm form(program, "");
  try {
    form.Load();
    ADD_FAILURE() << "the load went on without a directory";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), directory::err::kServerDown);
    EXPECT_NE(e.Description().find(slapd_->HostUri("localhost")), std::string::npos)
        << e.Description();
  }
}

TEST_F(DirectoryServerTest, AServerThatGoesAwayWhileTheListsFillLeavesThemWhole) {
  SERVE_OR_SKIP(DefaultPeople());
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  // The records and their objects came with the one search; the server
  // going away after the second record costs the listing nothing.
  int records = 0;
  run.program().SetDoEventsHook([&] {
    if (++records == 2) slapd_->Kill();
  });
  w.Check7_Click();
  run.program().SetDoEventsHook(nullptr);
  EXPECT_EQ(records, 5);  // every person with a mailbox
  EXPECT_EQ(Entries(w.MbxInstList),
            (std::vector<std::string>{AnnaEntry(), CarolEntry(), JohnEntry()}));
  // The next listing finds no server, and says so.
  try {
    w.Check7_Click();
    ADD_FAILURE() << "listed without a server";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), directory::err::kServerDown);
  }
}

}  // namespace
}  // namespace e2e

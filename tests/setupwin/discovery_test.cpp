// The mailbox lists, the proposed identity and the cluster's server name,
// read from a directory file and a real mail store.
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/command.h"
#include "platform/ado/recordset.h"
#include "platform/win/registry.h"
#include "setup/Items.h"
#include "tests/setupwin/window_fixture.h"

namespace {

using setupwintest::CurrentUser;
using setupwintest::HomeOn;
using setupwintest::Ldif;
using setupwintest::Person;
using setupwintest::WindowTest;
using Strings = std::vector<std::string>;

constexpr const char* kFileMbx = "file://./backofficestorage/example.com/mbx/";

class DiscoveryTest : public WindowTest {
 protected:
  // Registers the sink in a mailbox's Inbox (or a system mailbox's store-wide
  // folder) the way the apply procedure does.
  void Register(const std::string& alias, const std::string& folder = "inbox") {
    ui::TextBox log("log");
    ASSERT_NE(
        Items::CreateRegistrationItem(kFileMbx + alias, folder, "Zenthra.reg", "onsyncsave",
                                      "Zenthra.ZenthraCls", folder == "inbox" ? "SHALLOW" : "ANY",
                                      " WHERE \"DAV:ishidden\" = FALSE", "65500", false, log),
        "")
        << log.Text();
  }

  void MarkCurrentUser(std::vector<Person>& people, const std::string& home) {
    people.push_back(Person{"Zz Admin", CurrentUser(), "", "", home, false, false});
  }
};

// Mailboxes of this server and of others, in every shape the lists meet.
class ListingTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    sys_ = SystemMailboxAlias();
    for (const char* alias : {"anna", "bert", "dora", "emil", "fritz", "otto"}) {
      store_->AddMailbox(alias);
    }
    store_->AddMailbox("hans", "Posteingang");
    Register("bert");
    Register("dora");
    Register("emil");
    Register("fritz");
    Register("hans");
    Register("otto");

    const std::string srv1 = "/o=Example/ou=First Administrative Group/cn=Servers/cn=srv1";
    WriteDirectory(Ldif({
        {"Otto Omega", "otto", "otto@mail.example.org", "otto", HomeOn("SRV1")},
        {"Anna Alpha", "anna", "anna@example.com", "anna", srv1},
        {"Carla Far", "carla", "carla@example.com", "carla", HomeOn("SRV2")},
        {"Bert Beta", "bert", "bert@example.com", "bert", HomeOn("SRV1")},
        {"Dora Delta", "dora", "dora@example.com", "dora", HomeOn("SRV1"), true},
        {"Emil Epsilon", "emil", "", "emil", HomeOn("SRV1")},
        {"Fritz Zeta", "fritz", "fritz@example.com", "", HomeOn("SRV1")},
        {"Gina Eta", "gina", "gina@example.com", "gina", HomeOn("SRV1")},
        {"Hans Theta", "hans", "hans@example.com", "hans", HomeOn("SRV1")},
        {"Nina North", "nina", "nina@example.com", "nina", HomeOn("SRV1"), false, false},
        {"Ivan Short", "ivan", "ivan@example.com", "ivan", "/cn=Servers/cn=S"},
        {sys_, "", sys_ + "@example.com", sys_, HomeOn("SRV1"), true},
    }));
    form_->Load();
  }

  std::string sys_;
};

TEST_F(ListingTest, EntriesGoToTheListOfTheirRegistrationState) {
  form_->GetUsersWithMailboxes();

  EXPECT_EQ(Entries(form_->MbxInstList),
            (Strings{"Anna Alpha / SRV1 / anna@example.com / anna",
                     "Dora Delta [***DISABLED***] / SRV1 / dora@example.com / dora",
                     "Gina Eta / SRV1 / gina@example.com / gina"}));
  EXPECT_EQ(Entries(form_->MbxUninstList),
            (Strings{"Bert Beta / SRV1 / bert@example.com / bert", "Emil Epsilon / SRV1 /  / emil",
                     "Fritz Zeta / SRV1 / fritz@example.com / ",
                     "Hans Theta / SRV1 / hans@example.com / hans",
                     "Otto Omega / SRV1 / otto@mail.example.org / otto"}));
  EXPECT_EQ(Entries(form_->SysMbxInstList),
            (Strings{sys_ + " / SRV1 / " + sys_ + "@example.com / " + sys_}));
  EXPECT_TRUE(Entries(form_->SysMbxUninstList).empty());

  // Only the mailbox that answered at no URL left a line, from its last try.
  const std::string& log = form_->txtErr.Text();
  EXPECT_NE(log.find("] " + form_->FileFolderURL + "/gina"), std::string::npos) << log;
  EXPECT_EQ(log.find("ERROR"), log.rfind("ERROR")) << log;

  EXPECT_TRUE(form_->Check2.Enabled());
  EXPECT_TRUE(form_->Check3.Enabled());
  EXPECT_TRUE(form_->Check4.Enabled());
  EXPECT_FALSE(form_->Check5.Enabled());
  EXPECT_TRUE(dialogs_.Shown().empty());
}

TEST_F(ListingTest, StoreWideRegistrationMovesTheSystemMailbox) {
  Register(sys_, "StoreEvents/GlobalEvents");
  form_->GetUsersWithMailboxes();
  EXPECT_TRUE(Entries(form_->SysMbxInstList).empty());
  EXPECT_EQ(Entries(form_->SysMbxUninstList),
            (Strings{sys_ + " / SRV1 / " + sys_ + "@example.com / " + sys_}));
  EXPECT_FALSE(form_->Check2.Enabled());
  EXPECT_TRUE(form_->Check5.Enabled());
  // A store-wide item does not make any user mailbox registered.
  EXPECT_EQ(form_->MbxInstList.ListCount(), 3);
}

TEST_F(ListingTest, ShowDisabledRefillsTheListsUnderTheHourglass) {
  form_->GetUsersWithMailboxes();
  form_->MbxInstList.Click(0);
  ASSERT_TRUE(form_->Check3.Click());
  ASSERT_EQ(form_->Check3.Value(), ui::vbChecked);

  int pointerDuring = -1;
  program_.SetDoEventsHook([&] { pointerDuring = form_->MousePointer(); });
  ASSERT_TRUE(form_->Check7.Click());  // clears "Show disabled"
  EXPECT_EQ(pointerDuring, ui::vbHourglass);
  EXPECT_EQ(form_->MousePointer(), ui::vbDefault);
  EXPECT_EQ(Entries(form_->MbxInstList), (Strings{"Anna Alpha / SRV1 / anna@example.com / anna",
                                                  "Gina Eta / SRV1 / gina@example.com / gina"}));
  EXPECT_EQ(form_->MbxInstList.SelCount(), 0);
  EXPECT_EQ(form_->Check3.Value(), ui::vbUnchecked);

  ASSERT_TRUE(form_->Check7.Click());
  EXPECT_EQ(form_->MbxInstList.ListCount(), 3);
  // The disabled account's registered Inbox was never looked at.
  EXPECT_EQ(form_->MbxUninstList.ListCount(), 5);
}

TEST_F(ListingTest, ProgressRunsOverEveryRecordAndTheWindowTakesNoClicksMeanwhile) {
  struct Step {
    std::string text;
    bool visible;
    bool formEnabled;
    bool clickTaken;
  };
  std::vector<Step> steps;
  program_.SetDoEventsHook([&] {
    std::string text;
    for (const ui::DrawOp& op : form_->Picture1.DisplayList()) {
      if (op.kind == ui::DrawKind::Text) text = op.text;
    }
    // A click that would start a second listing while this one runs.
    const bool taken = form_->Check7.Click();
    steps.push_back({text, form_->Picture1.Visible(), form_->Enabled(), taken});
  });
  form_->GetUsersWithMailboxes();

  // Every record with a mailbox counts, kept or not: 11 of them.
  ASSERT_EQ(steps.size(), 11u);
  EXPECT_EQ(form_->Picture1.ScaleWidth(), 11);
  EXPECT_EQ(steps.front().text, "9%");
  EXPECT_EQ(steps.back().text, "100%");
  for (const Step& s : steps) {
    EXPECT_TRUE(s.visible);
    EXPECT_FALSE(s.formEnabled);
    EXPECT_FALSE(s.clickTaken);
  }
  EXPECT_FALSE(form_->Picture1.Visible());
  EXPECT_TRUE(form_->Picture1.DisplayList().empty());
  EXPECT_GE(form_->Picture1.RefreshCount(), 1);
  EXPECT_TRUE(form_->Enabled());
  EXPECT_EQ(form_->Check7.Value(), ui::vbChecked);
  EXPECT_EQ(form_->MbxInstList.ListCount(), 3);
}

TEST_F(DiscoveryTest, AnEmptySearchLeavesEverythingEmptyAndDisabled) {
  WriteDirectory(
      Ldif({{"Nina North", "nina", "nina@example.com", "nina", HomeOn("SRV1"), false, false}}));
  form_->Load();
  form_->MbxInstList.AddItem("stale");
  form_->MbxInstList.Selected(0, true);
  form_->Check3.Value(ui::vbChecked);
  form_->SysMbxUninstList.AddItem("stale");
  form_->SysMbxUninstList.Selected(0, true);
  form_->Check5.Value(ui::vbChecked);

  bool yielded = false;
  program_.SetDoEventsHook([&] { yielded = true; });
  form_->GetUsersWithMailboxes();
  EXPECT_FALSE(yielded);
  for (const ui::ListBox* l : {&form_->MbxInstList, &form_->MbxUninstList, &form_->SysMbxInstList,
                               &form_->SysMbxUninstList}) {
    EXPECT_EQ(l->ListCount(), 0) << l->Name();
  }
  for (const ui::CheckBox* c : {&form_->Check2, &form_->Check3, &form_->Check4, &form_->Check5}) {
    EXPECT_EQ(c->Value(), ui::vbUnchecked) << c->Name();
    EXPECT_FALSE(c->Enabled()) << c->Name();
  }
  EXPECT_FALSE(form_->Picture1.Visible());
}

TEST_F(DiscoveryTest, ADirectoryFailureMidwayStopsTheListingKeepingWhatWasListed) {
  store_->AddMailbox("anna");
  // Bob's account control is no number: his account state cannot be read.
  {
    std::string text = Ldif({{"Anna Alpha", "anna", "anna@example.com", "anna", HomeOn("SRV1")},
                             {"Bob Broken", "bob", "bob@example.com", "bob", HomeOn("SRV1")}});
    const std::string bob = "cn: Bob Broken";
    const std::size_t at = text.find("userAccountControl: 512", text.find(bob));
    text.replace(at, std::string("userAccountControl: 512").size(), "userAccountControl: abc");
    WriteDirectory(text);
  }
  form_->Load();
  form_->Check4.Enabled(false);

  const core::RuntimeError e = setupwintest::Raised([&] { form_->GetUsersWithMailboxes(); });
  EXPECT_EQ(e.Number(), core::err::kTypeMismatch);
  EXPECT_EQ(Entries(form_->MbxInstList), (Strings{"Anna Alpha / SRV1 / anna@example.com / anna"}));
  // The tidy-up after the walk did not run, but the window takes input again.
  EXPECT_TRUE(form_->Picture1.Visible());
  EXPECT_FALSE(form_->Check4.Enabled());
  EXPECT_TRUE(form_->Enabled());
}

// --- Cluster nodes ---

class ClusterTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    for (const char* alias : {"anna", "clara", "nora"}) store_->AddMailbox(alias);
    people_ = {
        {"Anna Alpha", "anna", "anna@example.com", "anna", HomeOn("SRV1")},
        {"Clara Cluster", "clara", "clara@example.com", "clara", HomeOn("EXVS1")},
        {"Nora Nohome", "nora", "nora@example.com", "nora", ""},
    };
  }

  void MakeClusterNode() {
    win::HKEY key = 0;
    ASSERT_EQ(win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key), win::ERROR_SUCCESS);
    win::RegCloseKey(key);
  }

  std::vector<Person> people_;
};

TEST_F(ClusterTest, OnANodeMailboxesOfTheClusterServerAreLocalToo) {
  MakeClusterNode();
  MarkCurrentUser(people_, HomeOn("exvs1"));
  WriteDirectory(Ldif(people_));
  form_->Load();
  ASSERT_TRUE(form_->blnIsClusterNode);
  form_->GetClusterName();
  EXPECT_EQ(form_->ClusterName, "EXVS1");
  form_->GetUsersWithMailboxes();
  EXPECT_EQ(Entries(form_->MbxInstList),
            (Strings{"Anna Alpha / SRV1 / anna@example.com / anna",
                     "Clara Cluster / EXVS1 / clara@example.com / clara"}));
}

TEST_F(ClusterTest, OffANodeTheClusterNamePlaysNoPart) {
  WriteDirectory(Ldif(people_));
  form_->Load();
  ASSERT_FALSE(form_->blnIsClusterNode);
  form_->ClusterName = "EXVS1";
  form_->GetUsersWithMailboxes();
  EXPECT_EQ(Entries(form_->MbxInstList), (Strings{"Anna Alpha / SRV1 / anna@example.com / anna"}));
}

TEST_F(ClusterTest, AnAdministratorWithoutMailboxLeavesTheNameEmptyAndHomelessMailboxesPass) {
  MakeClusterNode();
  MarkCurrentUser(people_, "");
  WriteDirectory(Ldif(people_));
  form_->Load();
  form_->ClusterName = "OLD";
  form_->GetClusterName();
  EXPECT_EQ(form_->ClusterName, "");
  form_->GetUsersWithMailboxes();
  EXPECT_EQ(Entries(form_->MbxInstList), (Strings{"Anna Alpha / SRV1 / anna@example.com / anna",
                                                  "Nora Nohome /  / nora@example.com / nora"}));
}

TEST_F(ClusterTest, HomeServerNamesAreCutOnlyWhenTwoCharactersFollowTheLastCn) {
  MarkCurrentUser(people_, "/o=Example/cn=Servers/cn=X");
  WriteDirectory(Ldif(people_));
  form_->Load();
  form_->GetClusterName();
  EXPECT_EQ(form_->ClusterName, "/O=EXAMPLE/CN=SERVERS/CN=X");

  // An administrator the catalog does not know.
  WriteDirectory(Ldif({}));
  form_->GetClusterName();
  EXPECT_EQ(form_->ClusterName, "");
}

// --- The proposed identity ---

using IdentityTest = DiscoveryTest;

TEST_F(IdentityTest, DomainComesFromTheCategorysDomainComponents) {
  const std::string user = CurrentUser();
  const struct {
    const char* category;
    std::string identity;
  } cases[] = {
      {"CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com", "example.com\\" + user},
      {"CN=Person,CN=Schema,CN=Configuration,dc=corp,DC=example,DC=com",
       "corp.example.com\\" + user},
      // Only upper-case ",DC=" is joined; a lower-case one stays.
      {"CN=Person,CN=Schema,CN=Configuration,DC=corp,dc=example,DC=com",
       "corp,dc=example.com\\" + user},
      // Blanks go, also inside a label.
      {"CN=Person,CN=Schema,CN=Configuration,DC=ex ample, DC=com", "example.com\\" + user},
      // Whatever follows the last domain component is cut off.
      {"CN=Person,CN=Schema,DC=example,DC=com,OU=x", "example.com\\" + user},
      {"CN=Person,CN=Schema,CN=Configuration", user},
      {"CN=Person,CN=Schema,DC=", user},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.category);
    Person admin{"Zz Admin", user, "", "", "", false, false, c.category};
    WriteDirectory(Ldif({admin}));
    form_->Load();
    form_->txtIdent.Text("");
    form_->FillIdentityField();
    EXPECT_EQ(form_->txtIdent.Text(), c.identity);
  }
}

TEST_F(IdentityTest, AnUnknownAdministratorGetsTheBareLogonName) {
  WriteDirectory(Ldif({{"Other", "someone-else", "", "", "", false, false}}));
  form_->Load();
  form_->FillIdentityField();
  EXPECT_EQ(form_->txtIdent.Text(), CurrentUser());
}

TEST_F(IdentityTest, AQuoteInTheLogonNameStaysPartOfTheName) {
  WriteDirectory(Ldif({{"O'Brien", "o'brien", "", "", "", false, false},
                       {"Anna Alpha", "anna", "", "", "", false, false}}));
  form_->Load();
  auto run = [&](const std::string& logon) {
    auto cmd = std::make_shared<adodb::Command>();
    cmd->ActiveConnection(form_->cnn);
    cmd->CommandText(setup::InstallForm::AccountSearchText("cn", form_->strSearchRoot, logon));
    Strings found;
    for (adodb::RecordsetPtr rs = cmd->Execute(-1); !rs->Eof(); rs->MoveNext()) {
      found.push_back(rs->Fields()["cn"].Value().AsString());
    }
    return found;
  };
  EXPECT_EQ(run("o'brien"), Strings{"O'Brien"});
  EXPECT_EQ(run("x' OR sAMAccountName='anna"), Strings{});
  EXPECT_EQ(run("x') OR (objectcategory='person"), Strings{});
  EXPECT_EQ(setup::InstallForm::AccountSearchText("cn", "GC://gc", "o'brien"),
            "SELECT cn FROM 'GC://gc' WHERE objectcategory='person' AND sAMAccountName='o''brien'");
}

}  // namespace

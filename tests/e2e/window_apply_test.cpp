// The setup window against a real server: what the first activation shows,
// what CHANGE refuses, the URL cascades it walks for each list entry, the
// order of its phases, and the unattended run.
#include <regex>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/win/registry.h"
#include "setup/Items.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr const char* kIdentityPrompt = "Please fill the Identity and Password fields";
constexpr const char* kSettingsPrompt = "Please fill the Attachment name and Target folder fields";

// The contexts of the error log's lines, newest first.
std::vector<std::string> LogContexts(const std::string& log) {
  static const std::regex line(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*?) - ERROR: -?\d+ )");
  std::vector<std::string> contexts;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
       ++it) {
    contexts.push_back((*it)[1]);
  }
  return contexts;
}

class WindowApplyTest : public ServerTest {
 protected:
  // Writes a registration item as an earlier run of the setup program would.
  void Register(const std::string& baseUrl, const std::string& folder, const std::string& scope,
                const std::string& priority) {
    ui::TextBox log("txtErr");
    ASSERT_NE(
        Items::CreateRegistrationItem(baseUrl, folder, "Zenthra.reg", "onsyncsave",
                                      "Zenthra.ZenthraCls", scope, kCriteria, priority, true, log),
        "")
        << log.Text();
  }
  void RemoveAllRegistrations() {
    for (const std::string& folder : RegisteredFolders()) {
      store_->Delete(store_->Resolve(folder + "/Zenthra.reg").id);
    }
  }
};

TEST_F(WindowApplyTest, FirstActivationShowsTheServerAsItIs) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();

  // Nothing installed, the library at hand: install is proposed with the
  // administrator's own account and an empty password.
  EXPECT_EQ(w.Check1.Value(), ui::vbChecked);
  EXPECT_TRUE(w.Check1.Enabled());
  EXPECT_EQ(w.txtIdent.Text(), "example.com\\" + CurrentUser());
  EXPECT_TRUE(w.txtIdent.Enabled() && w.txtIdent.Visible());
  EXPECT_EQ(w.txtPwd.Text(), "");
  EXPECT_TRUE(w.txtPwd.Enabled() && w.txtPwd.Visible());
  EXPECT_EQ(w.Label2.Caption(), "Password:");
  EXPECT_TRUE(w.txtSpamTag.Enabled() && w.txtSpamFolder.Enabled() && w.txtPriority.Enabled());
  EXPECT_EQ(w.txtSpamTag.Text(), kMarker);
  EXPECT_EQ(w.txtSpamFolder.Text(), "Spam");
  EXPECT_EQ(w.txtPriority.Text(), "65500");
  EXPECT_EQ(w.Check6.Value(), ui::vbUnchecked);
  EXPECT_FALSE(w.Check6.Enabled());

  // This server's mailboxes, none registered; Bob lives elsewhere.
  EXPECT_EQ(Entries(w.MbxInstList),
            (std::vector<std::string>{AnnaEntry(), CarolEntry(), JohnEntry()}));
  EXPECT_TRUE(Entries(w.MbxUninstList).empty());
  EXPECT_EQ(Entries(w.SysMbxInstList), std::vector<std::string>{StoreEntry()});
  EXPECT_TRUE(Entries(w.SysMbxUninstList).empty());
  EXPECT_TRUE(w.Check2.Enabled() && w.Check3.Enabled());
  EXPECT_FALSE(w.Check4.Enabled() || w.Check5.Enabled());

  EXPECT_EQ(w.txtErr.Text(), "");
  EXPECT_FALSE(w.txtErr.Visible());
  EXPECT_FALSE(w.Command3.Visible());
  EXPECT_EQ(w.MousePointer(), ui::vbDefault);
  EXPECT_TRUE(run.dialogs().Shown().empty());
  EXPECT_TRUE(w.Loaded());

  // Coming back to the window refreshes nothing: the directory changed, the
  // lists did not.
  WriteDirectory({DefaultPeople()[0], DefaultPeople()[1]});
  w.Deactivate();
  w.Activate();
  EXPECT_EQ(Entries(w.MbxInstList).size(), 3u);
  EXPECT_TRUE(w.Loaded());
}

TEST_F(WindowApplyTest, AMissingLibraryIsReportedAndInstallIsNotOffered) {
  const fs::path elsewhere = temp_ / "elsewhere";
  fs::create_directory(elsewhere);
  fs::current_path(elsewhere);
  const std::string line = "[DATE] File " + (fs::current_path() / "Zenthra.dll").string() +
                           " not found. COM+ object installation is impossible.\r\n\r\n";

  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  EXPECT_EQ(Undated(w.txtErr.Text()), line);
  EXPECT_TRUE(w.txtErr.Visible());
  EXPECT_TRUE(w.Command3.Visible());
  EXPECT_EQ(w.Check1.Value(), ui::vbUnchecked);
  EXPECT_FALSE(w.Check1.Enabled());
  EXPECT_FALSE(w.Check6.Enabled());
  for (ui::Control* c : std::vector<ui::Control*>{&w.txtIdent, &w.txtPwd, &w.txtSpamTag,
                                                  &w.txtPriority, &w.txtSpamFolder}) {
    SCOPED_TRACE(c->Name());
    EXPECT_FALSE(c->Enabled());
    EXPECT_FALSE(c->Visible());
  }
  for (ui::Control* c :
       std::vector<ui::Control*>{&w.Label2, &w.Label3, &w.Label5, &w.Label6, &w.Label7}) {
    EXPECT_FALSE(c->Visible()) << c->Name();
  }
  EXPECT_TRUE(run.dialogs().Shown().empty());

  // Each apply starts a fresh log: the line appears once, not twice.
  ASSERT_TRUE(w.Command1.Click());
  EXPECT_EQ(Undated(w.txtErr.Text()), line);
  EXPECT_TRUE(Catalog().empty());

  // Clear Error Log hides it until the next refresh finds the library gone.
  ASSERT_TRUE(w.Command3.Click());
  EXPECT_FALSE(w.txtErr.Visible());
  ASSERT_TRUE(w.Command1.Click());
  EXPECT_TRUE(w.txtErr.Visible());
}

TEST_F(WindowApplyTest, InstallIsRefusedWithoutIdentityOrPassword) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  w.Caption("Zenthra setup");

  struct Case {
    const char* identity;
    const char* password;
  };
  for (const Case& c : {Case{"   ", "secret"}, Case{"example.com\\admin", "  "}}) {
    SCOPED_TRACE(std::string("identity '") + c.identity + "' password '" + c.password + "'");
    w.txtIdent.Text(c.identity);
    w.txtPwd.Text(c.password);
    // Other work asked for too: none of it may happen.
    Pick(w.MbxInstList, JohnEntry());
    ASSERT_TRUE(w.Check3.Click());
    w.txtErr.Text("an old entry\r\n\r\n");
    run.dialogs().ClearShown();
    int pointerWhileShown = -1;
    run.dialogs().WhileShown([&](const ui::MessageBox&) { pointerWhileShown = w.MousePointer(); });

    ASSERT_TRUE(w.Command1.Click());
    ASSERT_EQ(run.dialogs().Shown().size(), 1u);
    EXPECT_EQ(run.dialogs().Shown()[0].prompt, kIdentityPrompt);
    EXPECT_EQ(run.dialogs().Shown()[0].style, ui::vbExclamation);
    EXPECT_EQ(run.dialogs().Shown()[0].title, "Zenthra setup");
    EXPECT_EQ(pointerWhileShown, ui::vbHourglass);
    EXPECT_EQ(w.MousePointer(), ui::vbDefault);
    EXPECT_EQ(w.txtErr.Text(), "");
    EXPECT_TRUE(Catalog().empty());
    EXPECT_TRUE(RegisteredFolders().empty());
    // No refresh ran: the selection and the tick are as they were.
    EXPECT_EQ(w.Check3.Value(), ui::vbChecked);
    EXPECT_EQ(w.MbxInstList.SelCount(), 1);
    run.dialogs().WhileShown(nullptr);
    ASSERT_TRUE(w.Check3.Click());
    Pick(w.MbxInstList, JohnEntry());
  }
}

TEST_F(WindowApplyTest, TheTargetFolderIsNormalisedBeforeItIsInstalled) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();

  struct Case {
    const char* typed;
    const char* installed;
  };
  const Case cases[] = {
      {"  /Inbox/Spam/ ", "Inbox\\Spam"},
      {"C:\\x", "C\\x"},
      {":\\x", "\\x"},  // the colon goes after the stripping
      {"'\"Junk\"'", "Junk"},
      {"\\\\Inbox\\Junk Mail\\\\", "Inbox\\Junk Mail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_EQ(w.Check1.Value(), ui::vbChecked);
    w.txtPwd.Text("secret");
    w.txtSpamFolder.Text(c.typed);
    ASSERT_TRUE(w.Command1.Click());
    EXPECT_TRUE(run.dialogs().Shown().empty());
    EXPECT_EQ(w.txtErr.Text(), "");

    const std::vector<AppInfo> apps = Catalog();
    ASSERT_EQ(apps.size(), 1u);
    ASSERT_EQ(apps[0].components.size(), 1u);
    EXPECT_EQ(apps[0].components[0].constructorString,
              std::string(c.installed) + "\r" + kMarker + "\r65500");
    EXPECT_TRUE(apps[0].components[0].constructionEnabled);
    // The window shows what is installed.
    EXPECT_EQ(w.txtSpamFolder.Text(), c.installed);
    EXPECT_FALSE(w.txtSpamFolder.Enabled());

    // Uninstall, for the next case: install is offered again, and the old
    // password is not kept for it.
    ASSERT_TRUE(w.Check6.Click());
    ASSERT_TRUE(w.Command1.Click());
    EXPECT_TRUE(Catalog().empty());
    EXPECT_EQ(w.txtPwd.Text(), "");
  }
}

TEST_F(WindowApplyTest, AnEmptyFolderOrAttachmentNameIsRefused) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  w.txtPwd.Text("secret");

  // Separators alone normalise to nothing; the box keeps what is left.
  w.txtSpamFolder.Text("/\\/ ");
  ASSERT_TRUE(w.Command1.Click());
  ASSERT_EQ(run.dialogs().Shown().size(), 1u);
  EXPECT_EQ(run.dialogs().Shown()[0].prompt, kSettingsPrompt);
  EXPECT_EQ(run.dialogs().Shown()[0].style, ui::vbExclamation);
  EXPECT_EQ(w.txtSpamFolder.Text(), "");
  EXPECT_EQ(w.MousePointer(), ui::vbDefault);

  w.txtSpamFolder.Text("Spam");
  w.txtSpamTag.Text("   ");
  ASSERT_TRUE(w.Command1.Click());
  ASSERT_EQ(run.dialogs().Shown().size(), 2u);
  EXPECT_EQ(run.dialogs().Shown()[1].prompt, kSettingsPrompt);
  EXPECT_TRUE(Catalog().empty());
}

TEST_F(WindowApplyTest, SettingsAreInstalledAndRegisteredAsTyped) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  w.txtIdent.Text(" example.com\\svc ");
  w.txtPwd.Text("secret");
  w.txtSpamTag.Text(" a.txt");
  w.txtSpamFolder.Text("Inbox\\Spam");
  w.txtPriority.Text(" 100 ");  // pasted, blanks and all
  ASSERT_EQ(w.txtPriority.Text(), " 100 ");
  Pick(w.MbxInstList, JohnEntry());
  ASSERT_TRUE(w.Check3.Click());
  ASSERT_TRUE(w.Command1.Click());
  EXPECT_EQ(w.txtErr.Text(), "");

  // One CR between the fields, the priority trimmed, the name as typed.
  const std::vector<AppInfo> apps = Catalog();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].name, "Zenthra");
  EXPECT_EQ(apps[0].identity, "example.com\\svc");
  EXPECT_FALSE(apps[0].accessChecks);
  ASSERT_EQ(apps[0].components.size(), 1u);
  EXPECT_EQ(apps[0].components[0].progId, "Zenthra.ZenthraCls");
  EXPECT_EQ(apps[0].components[0].constructorString, "Inbox\\Spam\r a.txt\r100");

  // The registration carries the priority text exactly as the box held it.
  const auto item = RegistrationItem(InboxOf("jdoe"));
  ASSERT_TRUE(item);
  EXPECT_EQ(Property(*item, "DAV:contentclass"), "urn:content-class:storeeventreg");
  EXPECT_EQ(Property(*item, store::schema::kEventMethod), "onsyncsave");
  EXPECT_EQ(Property(*item, store::schema::kSinkClass), "Zenthra.ZenthraCls");
  EXPECT_EQ(Property(*item, store::schema::kMatchScope), "SHALLOW");
  EXPECT_EQ(Property(*item, store::schema::kCriteria), kCriteria);
  EXPECT_EQ(Property(*item, store::schema::kPriority), " 100 ");
  EXPECT_EQ(Property(*item, store::schema::kIsHidden), "True");

  // Installed: the settings are shown read back and locked.
  EXPECT_EQ(w.Check1.Value(), ui::vbUnchecked);
  EXPECT_FALSE(w.Check1.Enabled());
  EXPECT_TRUE(w.Check6.Enabled());
  EXPECT_EQ(w.txtIdent.Text(), "example.com\\svc");
  EXPECT_FALSE(w.txtIdent.Enabled());
  EXPECT_FALSE(w.txtPwd.Visible());
  EXPECT_EQ(w.Label2.Caption(), "Password: ********");
  EXPECT_EQ(w.txtPriority.Text(), "100");
  EXPECT_FALSE(w.txtPriority.Enabled() || w.txtSpamTag.Enabled() || w.txtSpamFolder.Enabled());
  EXPECT_EQ(Entries(w.MbxUninstList), std::vector<std::string>{JohnEntry()});
  EXPECT_EQ(w.MousePointer(), ui::vbDefault);
}

TEST_F(WindowApplyTest, RegistrationTriesTheAddressBeforeTheAlias) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();

  struct Case {
    std::string entry;
    std::vector<std::string> registered;
    std::vector<std::string> logged;  // contexts, newest first
  };
  const Case cases[] = {
      // The address's mailbox wins over the alias's.
      {"Lara Lane / SRV1 / jdoe@example.com / carol", {InboxOf("jdoe")}, {}},
      // An address without a mailbox falls through, silently, to the alias.
      {"Nick New / SRV1 / nobody@example.com / asmith", {InboxOf("asmith")}, {}},
      // No address: straight to the alias.
      {"Olga Old / SRV1 /  / carol", {InboxOf("carol")}, {}},
      // A mail domain that is not the store's still leads to the local part.
      {"Paul Post / SRV1 / jdoe@other.example / ", {InboxOf("jdoe")}, {}},
      // Nothing reachable: only the last attempt the entry allows logs.
      {"Gone Ghost / SRV1 / ghost@example.com / ", {}, {std::string(kFolderURL) + "/ghost"}},
      {"Phantom / SRV1 / phantom@example.com / phantom",
       {},
       {std::string(kFolderURL) + "/phantom"}},
      // Blanks around the last two fields do not count.
      {"Quinn / SRV1 / nobody@example.com /  carol ", {InboxOf("carol")}, {}},
      {"Rita / SRV1 /  jdoe@example.com  / ", {InboxOf("jdoe")}, {}},
      // Neither address nor alias: nothing to try, nothing to log.
      {"Nobody / SRV1 /  / ", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    RemoveAllRegistrations();
    w.Check1.Value(ui::vbUnchecked);
    w.MbxInstList.AddItem(c.entry);
    Pick(w.MbxInstList, c.entry);
    ASSERT_TRUE(w.Check3.Click());
    ASSERT_TRUE(w.Command1.Click());
    EXPECT_EQ(RegisteredFolders(), c.registered);
    EXPECT_EQ(LogContexts(w.txtErr.Text()), c.logged);
    EXPECT_EQ(w.txtErr.Visible(), !c.logged.empty());
    EXPECT_TRUE(Catalog().empty());
  }

  // Two entries in one apply log in the order they were tried.
  RemoveAllRegistrations();
  w.Check1.Value(ui::vbUnchecked);
  w.MbxInstList.AddItem("Gone Ghost / SRV1 / ghost@example.com / ");
  w.MbxInstList.AddItem("Phantom / SRV1 / phantom@example.com / phantom");
  Pick(w.MbxInstList, "Gone Ghost / SRV1 / ghost@example.com / ");
  Pick(w.MbxInstList, "Phantom / SRV1 / phantom@example.com / phantom");
  ASSERT_TRUE(w.Check3.Click());
  ASSERT_TRUE(w.Command1.Click());
  EXPECT_EQ(LogContexts(w.txtErr.Text()),
            (std::vector<std::string>{std::string(kFolderURL) + "/phantom",
                                      std::string(kFolderURL) + "/ghost"}));
}

TEST_F(WindowApplyTest, UnregistrationTriesTheWebStoreFormFirstAndLogsOnlyAliasAttempts) {
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "65500");
  Register(std::string(kMbx) + "/asmith", "inbox", "SHALLOW", "65500");
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "65500");
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  ASSERT_EQ(Entries(w.MbxUninstList), (std::vector<std::string>{AnnaEntry(), JohnEntry()}));
  ASSERT_EQ(Entries(w.SysMbxUninstList), std::vector<std::string>{StoreEntry()});

  w.Check1.Value(ui::vbUnchecked);
  // Anna's address is no mailbox name: the alias finds her. The entry
  // without address still finds John by his alias. Carol (no alias) is not
  // registered and leaves no trace; Zed (alias) is unknown and logs twice.
  w.MbxUninstList.Clear();
  for (const char* entry :
       {"Anna Smith / SRV1 / anna.smith@example.com / asmith", "John Doe / SRV1 /  / jdoe",
        "Carol Clark / SRV1 / carol@example.com / ", "Zed Zero / SRV1 / zed@example.com / zed"}) {
    w.MbxUninstList.AddItem(entry);
  }
  ASSERT_TRUE(w.Command6.Click());
  ASSERT_TRUE(w.Check4.Click());
  ASSERT_TRUE(w.Command1.Click());

  // The store-wide registration was not asked about and stays.
  EXPECT_EQ(RegisteredFolders(), std::vector<std::string>{GlobalEvents()});
  EXPECT_EQ(LogContexts(w.txtErr.Text()),
            (std::vector<std::string>{std::string(kFileFolderURL) + "/zed",
                                      std::string(kFolderURL) + "/zed"}));
  EXPECT_EQ(Entries(w.MbxInstList),
            (std::vector<std::string>{AnnaEntry(), CarolEntry(), JohnEntry()}));
  EXPECT_TRUE(Entries(w.MbxUninstList).empty());
}

TEST_F(WindowApplyTest, EachPassRemovesBeforeItCreates) {
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "7");
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "7");
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  w.Check1.Value(ui::vbUnchecked);

  // The same mailbox and store in both lists of their pass, both ticked.
  w.MbxInstList.AddItem(JohnEntry());
  w.SysMbxInstList.AddItem(StoreEntry());
  w.Check2.Enabled(true);  // as a listing that put the store in this list leaves it
  Pick(w.MbxInstList, JohnEntry());
  Pick(w.MbxUninstList, JohnEntry());
  Pick(w.SysMbxInstList, StoreEntry());
  Pick(w.SysMbxUninstList, StoreEntry());
  for (ui::CheckBox* box : {&w.Check2, &w.Check3, &w.Check4, &w.Check5}) {
    ASSERT_TRUE(box->Click());
    ASSERT_EQ(box->Value(), ui::vbChecked) << box->Name();
  }
  ASSERT_TRUE(w.Command1.Click());
  EXPECT_EQ(w.txtErr.Text(), "");

  // Removed, then created afresh with this apply's values.
  const auto mailbox = RegistrationItem(InboxOf("jdoe"));
  ASSERT_TRUE(mailbox);
  EXPECT_EQ(Property(*mailbox, store::schema::kPriority), "65500");
  EXPECT_EQ(Property(*mailbox, store::schema::kMatchScope), "SHALLOW");
  const auto storeWide = RegistrationItem(GlobalEvents());
  ASSERT_TRUE(storeWide);
  EXPECT_EQ(Property(*storeWide, store::schema::kPriority), "65500");
  EXPECT_EQ(Property(*storeWide, store::schema::kMatchScope), "ANY");
}

TEST_F(WindowApplyTest, WithEveryBoxClearChangeOnlyClearsTheLogAndRefreshes) {
  Register(std::string(kMbx) + "/carol", "inbox", "SHALLOW", "65500");
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  w.Check1.Value(ui::vbUnchecked);
  w.txtErr.Text("[old] something failed\r\n\r\n");
  w.txtErr.Visible(true);
  w.Command3.Visible(true);
  // Selections without ticks ask for nothing.
  Pick(w.MbxInstList, JohnEntry());
  Pick(w.MbxUninstList, CarolEntry());
  // The lists are read afresh afterwards; a stale entry goes.
  w.MbxInstList.AddItem("Stale / SRV1 / stale@example.com / stale");

  ASSERT_TRUE(w.Command1.Click());
  EXPECT_EQ(w.txtErr.Text(), "");
  EXPECT_FALSE(w.txtErr.Visible());
  EXPECT_FALSE(w.Command3.Visible());
  EXPECT_TRUE(Catalog().empty());
  EXPECT_EQ(RegisteredFolders(), std::vector<std::string>{InboxOf("carol")});
  EXPECT_EQ(Entries(w.MbxInstList), (std::vector<std::string>{AnnaEntry(), JohnEntry()}));
  EXPECT_EQ(w.MbxInstList.SelCount(), 0);
  EXPECT_EQ(w.MousePointer(), ui::vbDefault);
  EXPECT_TRUE(run.dialogs().Shown().empty());
}

TEST_F(WindowApplyTest, AFailingRefreshStillRestoresThePointer) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  w.Check1.Value(ui::vbUnchecked);
  // The directory becomes unreadable: the listing at the end of the apply
  // fails, and that error is the program's to report.
  std::ofstream(directory::DefaultLdifPath(root_), std::ios::binary | std::ios::trunc)
      << "version: 1\n\nthis is no record\n";
  EXPECT_THROW(w.Command1.Click(), core::RuntimeError);
  EXPECT_EQ(w.MousePointer(), ui::vbDefault);
}

TEST_F(WindowApplyTest, TheInstalledAccountIsShownAsTheCatalogHoldsIt) {
  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  ASSERT_EQ(w.txtIdent.Text(), "example.com\\" + CurrentUser());

  // Meanwhile the application is installed elsewhere, with no account set.
  ui::TextBox log("txtErr");
  ComPlus::InstallComPlusObject("Zenthra", "", "", "", log);
  ASSERT_EQ(log.Text(), "");
  {
    complus::COMAdminCatalog catalog;
    auto apps = catalog.GetCollection("Applications");
    apps->Populate();
    apps->Item(0)->Value("Identity", core::Variant(""));
    apps->SaveChanges();
  }
  w.Check1.Value(ui::vbUnchecked);
  ASSERT_TRUE(w.Command1.Click());

  // The proposal gives way to what is installed, empty as it is; without a
  // constructor string the settings keep their text.
  EXPECT_EQ(w.txtIdent.Text(), "");
  EXPECT_FALSE(w.txtIdent.Enabled());
  EXPECT_FALSE(w.Check1.Enabled());
  EXPECT_TRUE(w.Check6.Enabled());
  EXPECT_EQ(w.txtSpamFolder.Text(), "Spam");
  EXPECT_EQ(w.txtPriority.Text(), "65500");
  EXPECT_EQ(w.txtErr.Text(), "");
}

TEST_F(WindowApplyTest, OnAClusterNodeTheClustersMailboxesAreListedToo) {
  win::HKEY key = 0;
  ASSERT_EQ(win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key), win::ERROR_SUCCESS);
  win::RegCloseKey(key);
  // The administrator's own mailbox is homed on the cluster's virtual
  // server, and so is Carol's.
  std::vector<Person> people = DefaultPeople();
  people[0].server = "EXVS1";
  people[3].server = "EXVS1";
  WriteDirectory(people);

  SetupRun run;
  run.Accept();
  setup::InstallForm& w = run.window();
  EXPECT_TRUE(w.blnIsClusterNode);
  EXPECT_EQ(w.ClusterName, "EXVS1");
  EXPECT_EQ(Entries(w.MbxInstList),
            (std::vector<std::string>{
                AnnaEntry(), "Carol Clark / EXVS1 / carol@example.com / carol", JohnEntry()}));
}

using BatchTest = WindowApplyTest;

TEST_F(BatchTest, WithNothingRegisteredTheWindowClosesAtOnce) {
  SetupRun run("-b");
  run.Accept();
  EXPECT_EQ(run.window().Caption(), "Zenthra setup - batch mode");
  EXPECT_TRUE(run.dialogs().Shown().empty());
  EXPECT_FALSE(run.window().Loaded());
  EXPECT_TRUE(run.program().Ended());
  EXPECT_TRUE(Catalog().empty());
  EXPECT_TRUE(RegisteredFolders().empty());
}

TEST_F(BatchTest, EveryListedRegistrationIsRenewedWithTheInstalledPriority) {
  ui::TextBox log("txtErr");
  ComPlus::InstallComPlusObject("Zenthra", "", "", std::string("Spam\r") + kMarker + "\r100", log);
  ASSERT_EQ(log.Text(), "");
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "7");
  Register(std::string(kMbx) + "/carol", "inbox", "SHALLOW", "8");
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "9");

  SetupRun run("-b");
  run.Accept();
  EXPECT_TRUE(run.dialogs().Shown().empty());
  EXPECT_EQ(run.window().txtErr.Text(), "");
  EXPECT_TRUE(run.program().Ended());
  EXPECT_FALSE(run.window().Loaded());

  // Renewed where found, nowhere else; the application is left alone.
  EXPECT_EQ(RegisteredFolders(),
            (std::vector<std::string>{InboxOf("jdoe"), InboxOf("carol"), GlobalEvents()}));
  for (const std::string& folder : RegisteredFolders()) {
    SCOPED_TRACE(folder);
    const auto item = RegistrationItem(folder);
    EXPECT_EQ(Property(*item, store::schema::kPriority), "100");
    EXPECT_EQ(Property(*item, store::schema::kMatchScope),
              folder == GlobalEvents() ? "ANY" : "SHALLOW");
    EXPECT_EQ(Property(*item, store::schema::kSinkClass), "Zenthra.ZenthraCls");
  }
  EXPECT_EQ(Catalog().size(), 1u);
}

TEST_F(BatchTest, WithoutAnInstalledApplicationItStopsAtTheIdentityCheck) {
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "7");
  SetupRun run("/B");
  run.Accept();
  ASSERT_EQ(run.dialogs().Shown().size(), 1u);
  EXPECT_EQ(run.dialogs().Shown()[0].prompt, kIdentityPrompt);
  EXPECT_EQ(run.dialogs().Shown()[0].title, "Zenthra setup - batch mode");
  EXPECT_TRUE(run.program().Ended());
  EXPECT_FALSE(run.window().Loaded());
  // Nothing was changed: the registration is the old one.
  EXPECT_TRUE(Catalog().empty());
  ASSERT_EQ(RegisteredFolders(), std::vector<std::string>{InboxOf("jdoe")});
  EXPECT_EQ(Property(*RegistrationItem(InboxOf("jdoe")), store::schema::kPriority), "7");
}

TEST_F(BatchTest, AnInteractiveRunDoesNoBatchWork) {
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "7");
  SetupRun run("b");
  run.Accept();
  EXPECT_TRUE(run.window().Loaded());
  EXPECT_FALSE(run.program().Ended());
  EXPECT_EQ(run.window().Check4.Value(), ui::vbUnchecked);
  EXPECT_EQ(run.window().MbxUninstList.SelCount(), 0);
  EXPECT_EQ(Property(*RegistrationItem(InboxOf("jdoe")), store::schema::kPriority), "7");
}

}  // namespace
}  // namespace e2e

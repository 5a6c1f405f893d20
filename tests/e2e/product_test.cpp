// The whole product, as an administrator meets it: install the sink with
// ZenthraSetup, register it in mailboxes and store-wide, watch quarantined
// mail being filed away, renew every registration with "-b", then remove
// it all and watch the mail stay where it was delivered.
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

// Delivers a message with the store's command-line tool, in a process of
// its own; returns the tool's exit status.
int DeliverWithTool(const fs::path& root, const std::string& alias, const std::string& message) {
  std::string output;
  const int status = RunProgram({ZENTHRA_STORE_TOOL, "deliver", alias}, root, message, &output);
  if (status != 0) ADD_FAILURE() << "zenthra-store deliver " << alias << ": " << output;
  return status;
}

class ProductTest : public ServerTest {
 protected:
  std::string Quarantine(const std::string& alias) { return InboxOf(alias) + "/Quarantine"; }

  void SetPriority(const std::string& folder, const std::string& priority) {
    const store::Item item = store_->Resolve(folder + "/Zenthra.reg");
    store_->Update(item.id, {{store::schema::kPriority, core::Variant(priority)}});
  }
  std::string PriorityOf(const std::string& folder) {
    const auto item = RegistrationItem(folder);
    return item ? Property(*item, store::schema::kPriority) : "<no item>";
  }
};

TEST_F(ProductTest, QuarantinedMailIsFiledAwayWhereTheSinkIsRegistered) {
  // --- First run: accept the disclaimer, install, register two mailboxes.
  {
    SetupRun run;
    run.Accept();
    setup::InstallForm& w = run.window();
    ASSERT_TRUE(w.Loaded());
    ASSERT_EQ(w.Check1.Value(), ui::vbChecked);
    ASSERT_EQ(w.txtIdent.Text(), "example.com\\" + CurrentUser());

    ASSERT_TRUE(w.txtPwd.Type("Secret-1"));
    w.txtSpamFolder.SelStart(0);
    w.txtSpamFolder.SelLength(100);
    ASSERT_TRUE(w.txtSpamFolder.Type("Inbox/Quarantine"));
    w.txtPriority.SelStart(0);
    w.txtPriority.SelLength(100);
    ASSERT_TRUE(w.txtPriority.Type("100"));
    ASSERT_EQ(w.txtPriority.Text(), "100");
    Pick(w.MbxInstList, JohnEntry());
    Pick(w.MbxInstList, AnnaEntry());
    ASSERT_TRUE(w.Check3.Click());
    ASSERT_TRUE(w.Command1.Click());
    EXPECT_TRUE(run.dialogs().Shown().empty());
    EXPECT_EQ(w.txtErr.Text(), "");

    const std::vector<AppInfo> apps = Catalog();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].name, "Zenthra");
    EXPECT_EQ(apps[0].identity, "example.com\\" + CurrentUser());
    ASSERT_EQ(apps[0].components.size(), 1u);
    EXPECT_EQ(apps[0].components[0].progId, "Zenthra.ZenthraCls");
    EXPECT_TRUE(apps[0].components[0].constructionEnabled);
    EXPECT_EQ(apps[0].components[0].constructorString,
              std::string("Inbox\\Quarantine\r") + kMarker + "\r100");
    EXPECT_EQ(RegisteredFolders(), (std::vector<std::string>{InboxOf("jdoe"), InboxOf("asmith")}));
    EXPECT_EQ(PriorityOf(InboxOf("asmith")), "100");

    EXPECT_EQ(w.txtSpamFolder.Text(), "Inbox\\Quarantine");
    EXPECT_EQ(Entries(w.MbxUninstList), (std::vector<std::string>{AnnaEntry(), JohnEntry()}));
    EXPECT_EQ(Entries(w.MbxInstList), std::vector<std::string>{CarolEntry()});
    EXPECT_EQ(Entries(w.SysMbxInstList), std::vector<std::string>{StoreEntry()});

    // Per-mailbox registration: John's and Anna's marked mail moves (Anna's
    // Inbox has another name), the rest stays, Carol is not covered yet.
    store_->Deliver("jdoe", Message("marked for John", kMarker));
    store_->Deliver("jdoe", Message("hello John"));
    store_->Deliver("asmith", Message("marked for Anna", kMarker));
    store_->Deliver("carol", Message("marked for Carol", kMarker));
    EXPECT_EQ(Subjects(Quarantine("jdoe")), std::vector<std::string>{"marked for John"});
    EXPECT_EQ(Subjects(InboxOf("jdoe")), std::vector<std::string>{"hello John"});
    EXPECT_EQ(Subjects(Quarantine("asmith")), std::vector<std::string>{"marked for Anna"});
    EXPECT_EQ(Subjects(InboxOf("asmith")), std::vector<std::string>{});
    EXPECT_EQ(Subjects(InboxOf("carol")), std::vector<std::string>{"marked for Carol"});
    EXPECT_FALSE(store_->Find(store_->Names(Quarantine("carol"))));

    // Store-wide registration covers Carol too.
    Pick(w.SysMbxInstList, StoreEntry());
    ASSERT_TRUE(w.Check2.Click());
    ASSERT_TRUE(w.Command1.Click());
    EXPECT_EQ(w.txtErr.Text(), "");
    const auto storeWide = RegistrationItem(GlobalEvents());
    ASSERT_TRUE(storeWide);
    EXPECT_EQ(Property(*storeWide, store::schema::kMatchScope), "ANY");
    EXPECT_EQ(Entries(w.SysMbxUninstList), std::vector<std::string>{StoreEntry()});

    ASSERT_EQ(DeliverWithTool(root_, "carol", Message("marked again", kMarker)), 0);
    ASSERT_EQ(DeliverWithTool(root_, "carol", Message("hello Carol")), 0);
    EXPECT_EQ(Subjects(Quarantine("carol")), std::vector<std::string>{"marked again"});
    EXPECT_EQ(Subjects(InboxOf("carol")),
              (std::vector<std::string>{"hello Carol", "marked for Carol"}));

    ASSERT_TRUE(w.Command2.Click());
    EXPECT_TRUE(run.program().Ended());
  }

  // --- "-b": every registration found is renewed with the installed
  // priority, and nothing else is registered.
  SetPriority(InboxOf("jdoe"), "1");
  SetPriority(GlobalEvents(), "2");
  {
    SetupRun run("-b");
    run.Accept();
    EXPECT_TRUE(run.dialogs().Shown().empty());
    EXPECT_EQ(run.window().txtErr.Text(), "");
    EXPECT_FALSE(run.window().Loaded());
    EXPECT_TRUE(run.program().Ended());
  }
  EXPECT_EQ(RegisteredFolders(),
            (std::vector<std::string>{InboxOf("jdoe"), InboxOf("asmith"), GlobalEvents()}));
  EXPECT_EQ(PriorityOf(InboxOf("jdoe")), "100");
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "100");
  EXPECT_EQ(PriorityOf(GlobalEvents()), "100");
  EXPECT_EQ(Property(*RegistrationItem(InboxOf("jdoe")), store::schema::kMatchScope), "SHALLOW");
  EXPECT_EQ(Property(*RegistrationItem(GlobalEvents()), store::schema::kMatchScope), "ANY");
  EXPECT_EQ(Catalog().size(), 1u);

  // --- Last run: unregister everything and uninstall.
  {
    SetupRun run;
    run.Accept();
    setup::InstallForm& w = run.window();
    ASSERT_TRUE(w.Command6.Click());
    ASSERT_TRUE(w.Check4.Click());
    Pick(w.SysMbxUninstList, StoreEntry());
    ASSERT_TRUE(w.Check5.Click());
    ASSERT_TRUE(w.Check6.Click());
    ASSERT_TRUE(w.Command1.Click());
    EXPECT_EQ(w.txtErr.Text(), "");
    EXPECT_TRUE(run.dialogs().Shown().empty());
    EXPECT_TRUE(Catalog().empty());
    EXPECT_TRUE(RegisteredFolders().empty());
    // Back to the start: install is offered again.
    EXPECT_EQ(w.Check1.Value(), ui::vbChecked);
    EXPECT_FALSE(w.Check6.Enabled());
    EXPECT_EQ(Entries(w.MbxInstList),
              (std::vector<std::string>{AnnaEntry(), CarolEntry(), JohnEntry()}));
    EXPECT_EQ(Entries(w.SysMbxInstList), std::vector<std::string>{StoreEntry()});
    ASSERT_TRUE(w.Command2.Click());
  }

  // Marked mail now stays in the Inbox.
  store_->Deliver("jdoe", Message("marked, unfiled", kMarker));
  ASSERT_EQ(DeliverWithTool(root_, "carol", Message("marked, unfiled", kMarker)), 0);
  EXPECT_EQ(Subjects(Quarantine("jdoe")), std::vector<std::string>{"marked for John"});
  EXPECT_EQ(Subjects(InboxOf("jdoe")), (std::vector<std::string>{"hello John", "marked, unfiled"}));
  EXPECT_EQ(Subjects(Quarantine("carol")), std::vector<std::string>{"marked again"});
  EXPECT_EQ(Subjects(InboxOf("carol")),
            (std::vector<std::string>{"hello Carol", "marked for Carol", "marked, unfiled"}));
}

}  // namespace
}  // namespace e2e

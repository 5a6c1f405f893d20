// Start and end of the setup program: the facts the window gathers when it
// loads, the batch switch, the release of its connections, the disclaimer.
#include <fstream>
#include <string>

#include "platform/ado/connection.h"
#include "platform/directory/errors.h"
#include "platform/store/machine.h"
#include "platform/win/registry.h"
#include "setup/Disclaimer.h"
#include "tests/setupwin/window_fixture.h"

namespace {

using setupwintest::Raised;
using setupwintest::WindowTest;

using StartupTest = WindowTest;

TEST_F(StartupTest, LoadGathersTheMachineStoreAndDirectoryFacts) {
  form_->Load();
  const setup::InstallForm& f = *form_;
  EXPECT_FALSE(f.blnBatchMode);
  EXPECT_EQ(f.Caption(), "Zenthra setup");
  EXPECT_EQ(f.ShortComputerName, "srv1");
  EXPECT_EQ(f.DomainDNSName, "example.com");
  EXPECT_EQ(f.ComputerName, "srv1.example.com");
  EXPECT_EQ(f.FileFolderURL, "file://./backofficestorage/example.com/mbx");
  EXPECT_EQ(f.FolderURL, "http://srv1.example.com/exadmin/example.com/mbx");
  EXPECT_EQ(f.strSearchRoot, "GC://srv1.example.com");
  EXPECT_FALSE(f.blnIsClusterNode);
  EXPECT_EQ(f.ClusterName, "");
  EXPECT_FALSE(f.blnNotFirstTime);

  ASSERT_NE(f.cnn, nullptr);
  EXPECT_EQ(f.cnn->Provider(), "adsDSOobject");
  EXPECT_EQ(f.cnn->State(), adodb::adStateOpen);
  ASSERT_NE(f.cnn1, nullptr);
  EXPECT_EQ(f.cnn1->Provider(), "ExOLEDB.DataSource");
  EXPECT_EQ(f.cnn1->State(), adodb::adStateClosed);

  const ui::PictureBox& p = f.Picture1;
  EXPECT_TRUE(p.FontBold());
  EXPECT_TRUE(p.AutoRedraw());
  EXPECT_EQ(p.BackColor(), 0xFFFFFFu);
  EXPECT_EQ(p.DrawMode(), 10);
  EXPECT_EQ(p.FillStyle(), 0);
  EXPECT_EQ(p.ForeColor(), 0xFF0000u);
  EXPECT_TRUE(dialogs_.Shown().empty());
}

TEST_F(StartupTest, BatchModeOnlyWhenTheArgumentsBeginWithDashOrSlashB) {
  const struct {
    const char* args;
    bool batch;
  } cases[] = {{"", false},    {"-b", true},     {"/B", true},       {"-B", true}, {"/b", true},
               {"-bx", true},  {"/batch", true}, {"-b extra", true}, {"b", false}, {"-x", false},
               {" -b", false}, {"-", false},     {"x-b", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("arguments \"") + c.args + "\"");
    setup::InstallForm form(program_, c.args);
    form.Load();
    EXPECT_EQ(form.blnBatchMode, c.batch);
    EXPECT_EQ(form.Caption(), c.batch ? "Zenthra setup - batch mode" : "Zenthra setup");
  }
}

TEST_F(StartupTest, ClusterNodeWhenTheClusterKeyExists) {
  win::HKEY key = 0;
  ASSERT_EQ(win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key), win::ERROR_SUCCESS);
  win::RegCloseKey(key);
  form_->Load();
  EXPECT_TRUE(form_->blnIsClusterNode);
  EXPECT_EQ(form_->ClusterName, "");
}

TEST_F(StartupTest, UrlsUseTheListedDomainFolderTheComputerNameKeepsTheDomain) {
  // The machine's domain is recorded differently from the store's folder.
  std::ofstream(store::MachineFile(root_), std::ios::trunc)
      << "computer=srv1\ndomain=corp.example.com\n";
  form_->Load();
  EXPECT_EQ(form_->DomainDNSName, "corp.example.com");
  EXPECT_EQ(form_->ComputerName, "srv1.corp.example.com");
  EXPECT_EQ(form_->FileFolderURL, "file://./backofficestorage/example.com/mbx");
  EXPECT_EQ(form_->FolderURL, "http://srv1.corp.example.com/exadmin/example.com/mbx");
}

TEST_F(StartupTest, LoadStopsWithTheErrorWhenNoCatalogAnswers) {
  std::filesystem::remove(directory::DefaultLdifPath(root_));
  const core::RuntimeError e = Raised([&] { form_->Load(); });
  EXPECT_EQ(e.Number(), directory::err::kServerDown);
  EXPECT_EQ(form_->cnn, nullptr);
}

TEST_F(StartupTest, ExitReleasesBothConnectionsWithoutAMessage) {
  form_->Load();
  form_->Show();
  ASSERT_TRUE(form_->Loaded());
  ASSERT_TRUE(form_->Command2.Click());
  EXPECT_FALSE(form_->Loaded());
  EXPECT_EQ(form_->cnn, nullptr);
  EXPECT_EQ(form_->cnn1, nullptr);
  EXPECT_TRUE(program_.Ended());
  EXPECT_TRUE(dialogs_.Shown().empty());
}

TEST_F(StartupTest, UnloadWithConnectionsNeverMadeOrNeverOpenedIsQuiet) {
  // Never loaded: neither connection exists.
  EXPECT_NO_THROW(form_->Form_Unload());
  EXPECT_EQ(form_->cnn, nullptr);
  EXPECT_EQ(form_->cnn1, nullptr);

  // cnn1 made but never opened, cnn already closed by someone else.
  form_->Load();
  form_->cnn->Close();
  EXPECT_NO_THROW(form_->Form_Unload());
  EXPECT_EQ(form_->cnn, nullptr);
  EXPECT_EQ(form_->cnn1, nullptr);
}

using DisclaimerTest = WindowTest;

TEST_F(DisclaimerTest, AsksTheQuestionBelowTheLiabilityText) {
  setup::Disclaimer d(program_, "");
  const std::string& text = d.Label1.Caption();
  EXPECT_EQ(text.rfind("LIMITATION OF LIABILITY.", 0), 0u);
  EXPECT_EQ(text.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
  EXPECT_NE(text.find("----------"), std::string::npos);
  EXPECT_EQ(d.Label2.Caption(),
            "Do you accept all of of the terms of the preceding Limitation of Liability? To "
            "install you must accept the Limitation of Liability . If  you choose No, install "
            "will close.");
  EXPECT_FALSE(d.SetupWindow().Loaded());
}

TEST_F(DisclaimerTest, NoEndsTheProgramWithoutLoadingTheSetupWindow) {
  setup::Disclaimer d(program_, "-b");
  d.Show();
  ASSERT_TRUE(d.Command2.Click());
  EXPECT_TRUE(program_.Ended());
  EXPECT_TRUE(d.Declined());
  EXPECT_FALSE(d.SetupWindow().Loaded());
}

TEST_F(DisclaimerTest, ClosingItUnansweredCountsAsDeclined) {
  setup::Disclaimer d(program_, "");
  d.Show();
  d.Unload();
  EXPECT_TRUE(program_.Ended());
  EXPECT_TRUE(d.Declined());
}

TEST_F(DisclaimerTest, YesLoadsTheSetupWindowUnderTheHourglassThenUnloadsItself) {
  store_->AddMailbox("anna");
  WriteDirectory(setupwintest::Ldif(
      {{"Anna Alpha", "anna", "anna@example.com", "anna", setupwintest::HomeOn("SRV1")}}));
  setup::Disclaimer d(program_, "");
  d.Show();
  int pointerWhileListing = -1;
  program_.SetDoEventsHook([&] { pointerWhileListing = d.MousePointer(); });
  ASSERT_TRUE(d.Command1.Click());

  EXPECT_EQ(pointerWhileListing, ui::vbHourglass);
  EXPECT_EQ(d.MousePointer(), ui::vbDefault);
  EXPECT_FALSE(d.Loaded());
  EXPECT_FALSE(d.Declined());
  setup::InstallForm& setupWindow = d.SetupWindow();
  EXPECT_TRUE(setupWindow.Visible());
  EXPECT_TRUE(setupWindow.Active());
  EXPECT_TRUE(setupWindow.blnNotFirstTime);
  EXPECT_EQ(setupWindow.MbxInstList.ListCount(), 1);
  EXPECT_FALSE(program_.Ended());

  // The program ends with the setup window.
  ASSERT_TRUE(setupWindow.Command2.Click());
  EXPECT_TRUE(program_.Ended());
}

TEST_F(DisclaimerTest, YesPassesALoadFailureOnInsteadOfShowingAHalfLoadedWindow) {
  std::filesystem::remove(directory::DefaultLdifPath(root_));
  setup::Disclaimer d(program_, "");
  d.Show();
  const core::RuntimeError e = Raised([&] { d.Command1.Click(); });
  EXPECT_EQ(e.Number(), directory::err::kServerDown);
  EXPECT_FALSE(d.SetupWindow().Visible());
}

}  // namespace

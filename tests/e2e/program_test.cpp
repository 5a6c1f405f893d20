// ZenthraSetup itself, run unattended on a server without a display, as a
// scheduled "-b" job runs it: the disclaimer is answered on the terminal and
// every registration found is renewed.
#include <string>
#include <vector>

#include "setup/Items.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

class ProgramTest : public ServerTest {
 protected:
  void Register(const std::string& baseUrl, const std::string& folder, const std::string& scope,
                const std::string& priority) {
    ui::TextBox log("txtErr");
    ASSERT_NE(
        Items::CreateRegistrationItem(baseUrl, folder, "Zenthra.reg", "onsyncsave",
                                      "Zenthra.ZenthraCls", scope, kCriteria, priority, true, log),
        "")
        << log.Text();
  }
  std::string PriorityOf(const std::string& folder) {
    const auto item = RegistrationItem(folder);
    return item ? Property(*item, store::schema::kPriority) : "<no item>";
  }
  int Setup(const std::string& switches, const std::string& input) {
    std::vector<std::string> args = {ZENTHRA_SETUP_PROGRAM};
    if (!switches.empty()) args.push_back(switches);
    return RunProgram(args, root_, input, &output_);
  }
  std::string output_;
};

TEST_F(ProgramTest, TheBatchRunRenewsEveryRegistrationAndEnds) {
  ui::TextBox log("txtErr");
  ComPlus::InstallComPlusObject("Zenthra", "", "", std::string("Spam\r") + kMarker + "\r300", log);
  ASSERT_EQ(log.Text(), "");
  Register(std::string(kMbx) + "/asmith", "inbox", "SHALLOW", "1");
  Register(std::string(kMbx) + "/" + system_alias_, "StoreEvents/GlobalEvents", "ANY", "2");

  // Declined, or no answer at all: nothing is done.
  EXPECT_EQ(Setup("-b", "n\n"), 2) << output_;
  EXPECT_NE(output_.find("LIMITATION OF LIABILITY"), std::string::npos) << output_;
  EXPECT_EQ(Setup("-b", ""), 2) << output_;
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "1");
  EXPECT_EQ(PriorityOf(GlobalEvents()), "2");

  EXPECT_EQ(Setup("-b", "y\n"), 0) << output_;
  EXPECT_EQ(RegisteredFolders(), (std::vector<std::string>{InboxOf("asmith"), GlobalEvents()}));
  EXPECT_EQ(PriorityOf(InboxOf("asmith")), "300");
  EXPECT_EQ(PriorityOf(GlobalEvents()), "300");
  EXPECT_EQ(Catalog().size(), 1u);
}

TEST_F(ProgramTest, WithoutTheApplicationTheBatchRunSaysWhatIsMissingAndChangesNothing) {
  Register(std::string(kMbx) + "/jdoe", "inbox", "SHALLOW", "1");
  // The identity message is an OK box: confirmed by the next line.
  EXPECT_EQ(Setup("/b", "yes\n\n"), 0) << output_;
  EXPECT_NE(output_.find("Please fill the Identity and Password fields"), std::string::npos)
      << output_;
  EXPECT_EQ(PriorityOf(InboxOf("jdoe")), "1");
  EXPECT_TRUE(Catalog().empty());
}

}  // namespace
}  // namespace e2e

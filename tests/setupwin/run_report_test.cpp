// What a run of the setup program reports: every entry of the window's error
// log on standard error as it is written, the boxes a batch run stopped at,
// and the exit status made of all that.
#include <gmock/gmock.h>

#include <sstream>
#include <string>

#include "setup/ErrorLog.h"
#include "setup/RunReport.h"
#include "tests/setupwin/window_fixture.h"

namespace setupwintest {
namespace {

using ::testing::ElementsAre;

class RunReportTest : public WindowTest {
 protected:
  void Log(const std::string& context) {
    ErrorLog::LogError(form_->txtErr, context, core::RuntimeError(-2147467259, "It failed."));
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(err_.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::ostringstream err_;
};

TEST_F(RunReportTest, EachEntryIsReportedOnceAsItIsWrittenAndNothingElse) {
  std::vector<std::string> entries;
  form_->OnErrorLogged([&](const std::string& entry) { entries.push_back(entry); });
  Log("first");
  Log("second");
  form_->Command3_Click();  // Clear Error Log: no entry
  form_->txtErr.Text("");   // the apply empties the log: no entry
  Log("third");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_THAT(entries[0], ::testing::HasSubstr("] first - ERROR: -2147467259 It failed.\r\n\r\n"));
  EXPECT_THAT(entries[1], ::testing::HasSubstr("] second - ERROR: "));
  EXPECT_THAT(entries[2], ::testing::HasSubstr("] third - ERROR: "));
  // The window still shows them newest first.
  EXPECT_EQ(form_->txtErr.Text(), entries[2]);
}

TEST_F(RunReportTest, EntriesBecomeOneSafeLineEachAndTheStatusSaysTheyWereThere) {
  setup::RunReport report(err_);
  report.Watch(*form_);
  EXPECT_EQ(report.ExitStatus(false), setup::kExitDone);
  Log("file://./backofficestorage/example.com/mbx/\x1b]0;owned\x07jdoe");
  Log("line\r\nbreak");
  EXPECT_THAT(
      Lines(),
      ElementsAre(
          ::testing::MatchesRegex("ZenthraSetup: \\[.*\\] file://./backofficestorage/"
                                  "example.com/mbx/\\\\x1B\\]0;owned\\\\x07jdoe - ERROR: "
                                  "-2147467259 It failed\\."),
          ::testing::MatchesRegex("ZenthraSetup: \\[.*\\] line\\\\r\\\\nbreak - ERROR: .*")));
  EXPECT_EQ(report.ErrorsLogged(), 2);
  EXPECT_EQ(report.ExitStatus(false), setup::kExitErrorsLogged);
  // A run-time error that ended the program says more than the log.
  EXPECT_EQ(report.ExitStatus(true), setup::kExitRuntimeError);
}

TEST_F(RunReportTest, ABoxInABatchRunStopsItAndTheProgramGetsItsBoxesBackAfterwards) {
  setup::RunReport report(err_);
  report.Watch(*form_);
  ui::ScriptedDialogs inner;
  {
    setup::BatchDialogs boxes(program_, inner, report, true);
    EXPECT_EQ(&program_.dialogs(), &boxes);
    EXPECT_EQ(program_.MsgBox("Please fill the Identity and Password fields", ui::vbExclamation,
                              "Zenthra setup - batch mode"),
              ui::vbOK);
  }
  EXPECT_EQ(&program_.dialogs(), &dialogs_);
  ASSERT_EQ(inner.Shown().size(), 1u);  // the box was really shown
  EXPECT_TRUE(report.Stopped());
  EXPECT_THAT(Lines(), ElementsAre("ZenthraSetup: batch run stopped at the message \"Please fill "
                                   "the Identity and Password fields\""));
  EXPECT_EQ(report.ExitStatus(false), setup::kExitErrorsLogged);
}

TEST_F(RunReportTest, ADestroyedReportNoLongerListens) {
  {
    setup::RunReport report(err_);
    report.Watch(*form_);
  }
  Log("after");  // must not reach the destroyed report
  EXPECT_EQ(err_.str(), "");
}

}  // namespace
}  // namespace setupwintest

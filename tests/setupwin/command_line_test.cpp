// The setup program's command line and the check of the server root it names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "setup/CommandLine.h"
#include "setup/InstallForm.h"

namespace {

namespace fs = std::filesystem;
using setup::ParseCommandLine;

TEST(CommandLineTest, TheRootIsTakenOutWhereverItStandsBeforeTheBatchSwitchIsRead) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--root", "/srv/m", "-b"},
                                               std::vector<std::string>{"-b", "--root", "/srv/m"},
                                               std::vector<std::string>{"--root=/srv/m", "-b"}}) {
    const setup::CommandLine c = ParseCommandLine(args);
    EXPECT_EQ(c.error, "");
    EXPECT_EQ(c.root, std::optional<std::string>("/srv/m"));
    EXPECT_EQ(c.argumentText, "-b");
    EXPECT_TRUE(setup::InstallForm::IsBatchSwitch(c.argumentText));
  }
  // Other words stay in the argument text as they were, one blank apart.
  const setup::CommandLine c = ParseCommandLine({"/Batch", "--root", "r", "x"});
  EXPECT_EQ(c.argumentText, "/Batch x");
  EXPECT_TRUE(setup::InstallForm::IsBatchSwitch(c.argumentText));
  EXPECT_FALSE(ParseCommandLine({}).root);
  EXPECT_EQ(ParseCommandLine({"b", "--root", "r"}).argumentText, "b");
}

TEST(CommandLineTest, ARootWithoutAFolderOrGivenTwiceIsRefused) {
  EXPECT_EQ(ParseCommandLine({"-b", "--root"}).error, "--root needs a folder");
  EXPECT_EQ(ParseCommandLine({"--root="}).error, "--root needs a folder");
  EXPECT_EQ(ParseCommandLine({"--root", "a", "--root=b"}).error, "--root given twice");
}

TEST(CommandLineTest, HelpIsAskedForOnlyByTheWholeArgumentText) {
  EXPECT_TRUE(ParseCommandLine({"--help"}).help);
  EXPECT_TRUE(ParseCommandLine({"--root", "r", "-h"}).help);
  EXPECT_FALSE(ParseCommandLine({"-b", "--help"}).help);
}

class ServerRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zenthra-root-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    temp_ = pattern;
  }
  void TearDown() override { fs::remove_all(temp_); }
  fs::path temp_;
};

TEST_F(ServerRootTest, AMissingRootNamesTheNearestFolderThatExistsAndWhatItHolds) {
  fs::create_directories(temp_ / "mail01");
  fs::create_directories(temp_ / "mail02");
  std::ofstream(temp_ / "notes.txt") << "not a folder";
  EXPECT_EQ(core::ServerRootProblem(temp_ / "mail1"), (temp_ / "mail1").string() +
                                                          " does not exist (" + temp_.string() +
                                                          " does, and holds mail01, mail02)");
  EXPECT_EQ(core::ServerRootProblem(temp_ / "a" / "b"), (temp_ / "a" / "b").string() +
                                                            " does not exist (" + temp_.string() +
                                                            " does, and holds mail01, mail02)");
  EXPECT_EQ(core::ServerRootProblem(temp_ / "mail02" / "x"),
            (temp_ / "mail02" / "x").string() + " does not exist (" + (temp_ / "mail02").string() +
                " does)");
  EXPECT_EQ(core::ServerRootProblem(temp_ / "notes.txt"),
            (temp_ / "notes.txt").string() + " is not a folder");
  EXPECT_EQ(core::ServerRootProblem(temp_ / "mail01"), "");
}

TEST_F(ServerRootTest, AnUnsetRootSaysBothWaysToNameOne) {
  const char* saved = std::getenv(core::kServerRootVariable);
  const std::string keep = saved != nullptr ? saved : "";
  ::unsetenv(core::kServerRootVariable);
  try {
    core::ServerRoot();
    ADD_FAILURE() << "no error without a root";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), 76);
    EXPECT_EQ(e.Description(), "No server root: set ZENTHRA_ROOT or pass --root DIR");
  }
  if (saved != nullptr) ::setenv(core::kServerRootVariable, keep.c_str(), 1);
}

}  // namespace

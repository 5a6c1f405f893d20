#include "platform/core/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/core/error.h"

namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zenthra-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    old_umask_ = ::umask(0);  // the worst case: nothing taken away
  }
  void TearDown() override {
    ::umask(old_umask_);
    fs::remove_all(dir_);
  }
  static unsigned Mode(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dir_;
  mode_t old_umask_ = 022;
};

TEST_F(FilesTest, FoldersAndFilesGetFixedModesWhateverTheUmask) {
  core::CreatePrivateFolders(dir_ / "a" / "b" / "c");
  EXPECT_EQ(Mode(dir_ / "a"), 0700u);
  EXPECT_EQ(Mode(dir_ / "a" / "b" / "c"), 0700u);
  core::WriteFileAtomically(dir_ / "a" / "f", "text");
  EXPECT_EQ(Mode(dir_ / "a" / "f"), 0600u);

  ::umask(0777);  // and the other extreme
  core::CreatePrivateFolders(dir_ / "x" / "y");
  core::WriteFileAtomically(dir_ / "x" / "y" / "g", "text");
  EXPECT_EQ(Mode(dir_ / "x" / "y"), 0700u);
  EXPECT_EQ(Mode(dir_ / "x" / "y" / "g"), 0600u);
}

TEST_F(FilesTest, ExistingFoldersAreLeftAlone) {
  fs::create_directory(dir_ / "shared");
  ::chmod((dir_ / "shared").c_str(), 0755);
  core::CreatePrivateFolders(dir_ / "shared" / "mine");
  EXPECT_EQ(Mode(dir_ / "shared"), 0755u);
  EXPECT_EQ(Mode(dir_ / "shared" / "mine"), 0700u);
}

TEST_F(FilesTest, AFileInTheWayIsNamedWithTheCause) {
  core::WriteFileAtomically(dir_ / "plain", "x");
  try {
    core::CreatePrivateFolders(dir_ / "plain" / "below");
    FAIL() << "a folder was created below a file";
  } catch (const core::RuntimeError& e) {
    EXPECT_NE(e.Description().find((dir_ / "plain").string()), std::string::npos)
        << e.Description();
    EXPECT_NE(e.Description().find("not a folder"), std::string::npos) << e.Description();
  }
}

TEST_F(FilesTest, ReplacementIsWholeAndLeavesNoTemporaryFiles) {
  const fs::path f = dir_ / "file";
  core::WriteFileAtomically(f, "old contents");
  core::WriteFileAtomically(f, "new");
  EXPECT_EQ(Read(f), "new");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(FilesTest, AFailedReplacementLeavesWhatWasThereAndNoTemporaryFile) {
  // A folder cannot be replaced by a file, even by root.
  const fs::path target = dir_ / "folder";
  core::CreatePrivateFolders(target);
  core::WriteFileAtomically(target / "inside", "kept");
  EXPECT_THROW(core::WriteFileAtomically(target, "new"), core::RuntimeError);
  EXPECT_EQ(Read(target / "inside"), "kept");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(ReadAll, ReadsEveryByteAcrossBlocks) {
  std::string text(200'000 + 7, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31 % 251);
  std::istringstream in(text);
  in.get();  // from where the stream stands
  EXPECT_EQ(core::ReadAll(in), text.substr(1));
  EXPECT_FALSE(in.bad());
  std::istringstream empty;
  EXPECT_EQ(core::ReadAll(empty), "");
}

TEST(FileErrorCause, SaysWhatAnAdministratorActsOn) {
  EXPECT_EQ(core::FileErrorCause(EROFS), "read-only file system");
  EXPECT_EQ(core::FileErrorCause(ENOSPC), "disk full");
  EXPECT_EQ(core::FileErrorCause(EDQUOT), "disk full");
  EXPECT_EQ(core::FileErrorCause(EACCES), "permission denied");
  EXPECT_EQ(core::DescribeFileError("Cannot open the store", "/srv/m/store.db", EROFS),
            "Cannot open the store /srv/m/store.db: read-only file system");
}

}  // namespace

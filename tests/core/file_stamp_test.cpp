#include "platform/core/file_stamp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace core {
namespace {

namespace fs = std::filesystem;

class FileStampTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zenthra-stamp-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const fs::path& file, const char* text) { std::ofstream(file) << text; }

  fs::path dir_;
};

TEST_F(FileStampTest, EveryKindOfChangeGivesAnotherStamp) {
  const fs::path file = dir_ / "f";
  EXPECT_FALSE(FileStamp::Of(file));
  Write(file, "abc");
  const std::optional<FileStamp> first = FileStamp::Of(file);
  ASSERT_TRUE(first);
  EXPECT_TRUE(*first == *FileStamp::Of(file));
  EXPECT_FALSE(first->Settled()) << "just written";

  Write(file, "abcd");
  EXPECT_FALSE(*first == *FileStamp::Of(file)) << "size";
  const std::optional<FileStamp> longer = FileStamp::Of(file);
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  EXPECT_FALSE(*longer == *FileStamp::Of(file)) << "mode and change time";

  // Replaced by rename with content of the same size: another file.
  const std::optional<FileStamp> before = FileStamp::Of(file);
  Write(dir_ / "g", "wxyz");
  fs::rename(dir_ / "g", file);
  EXPECT_FALSE(*before == *FileStamp::Of(file));
}

TEST_F(FileStampTest, AFileLeftAloneSettles) {
  const fs::path file = dir_ / "f";
  Write(file, "abc");
  // Times set back change the change time, which stays recent.
  const timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  EXPECT_FALSE(FileStamp::Of(file)->Settled());
  sleep(4);
  EXPECT_TRUE(FileStamp::Of(file)->Settled());
}

}  // namespace
}  // namespace core

#include "platform/win/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/core/server_root.h"

namespace win {
namespace {

namespace fs = std::filesystem;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("zenthra-registry-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    core::SetServerRoot(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // The check a setup program makes: open, close whatever came back.
  static bool KeyExists(HKEY root, const char* path) {
    HKEY h = 0;
    LONG rc = RegOpenKeyA(root, path, &h);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
  }

  fs::path root_;
};

TEST_F(RegistryTest, TheClusterKeyExistsExactlyOnAClusterNode) {
  EXPECT_EQ(HKEY_LOCAL_MACHINE, 0x80000002u);
  HKEY h = 0x1234;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Cluster", &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Cluster"));

  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Cluster", &h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(root_ / "registry" / "HKEY_LOCAL_MACHINE" / "Cluster"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Cluster"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "CLUSTER"));  // names ignore case
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Cluster"));  // another root

  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "cluster"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Cluster"));
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, OpensPathsAndRelativeKeys) {
  HKEY created = 0;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Zenthra\\Settings", &created),
            ERROR_SUCCESS);
  HKEY again = 0;
  // Creating an existing key with other letter cases opens it, adding nothing.
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\zenthra", &again), ERROR_SUCCESS);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "registry" / "HKEY_LOCAL_MACHINE"),
                          fs::directory_iterator()),
            1);
  HKEY settings = 0;
  EXPECT_EQ(RegOpenKeyA(again, "settings", &settings), ERROR_SUCCESS);
  EXPECT_NE(settings, again);
  EXPECT_NE(settings, created);
  // An empty or null sub-key gives the same handle back.
  HKEY same = 0;
  EXPECT_EQ(RegOpenKeyA(again, "", &same), ERROR_SUCCESS);
  EXPECT_EQ(same, again);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, nullptr, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_LOCAL_MACHINE);

  // A key with sub-keys cannot be deleted.
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Zenthra"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(again, "Settings"), ERROR_SUCCESS);
  // A handle to a deleted key still closes, and finds nothing below it.
  EXPECT_EQ(RegOpenKeyA(settings, "x", &same), ERROR_FILE_NOT_FOUND);
  for (HKEY h : {created, again, settings}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(RegistryTest, RefusesBadHandlesAndNamesThatLeaveTheKey) {
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyA(0, "Cluster", &h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(0x7777, "Cluster", &h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Cluster", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Cluster", &h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);  // closed twice

  // A folder next to the registry is no key of it.
  fs::create_directories(root_ / "registry" / "Outside");
  for (const char* bad :
       {"..\\Outside", "Cluster\\..\\..\\Outside", "Cluster/..", ".", "Cluster\\", "\\Cluster"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, bad, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, bad, &h), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, bad), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_TRUE(fs::is_directory(root_ / "registry" / "Outside"));
  // A file of that name is no key either.
  std::ofstream(root_ / "registry" / "HKEY_LOCAL_MACHINE" / "Plain") << "x";
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Plain", &h), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeysArePrivateFoldersWhateverTheUmask) {
  const mode_t old = ::umask(0);
  HKEY h = 0;
  const LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Zenthra\\Settings", &h);
  ::umask(old);
  ASSERT_EQ(rc, ERROR_SUCCESS);
  RegCloseKey(h);
  fs::path folder = root_ / "registry";
  for (const char* part : {"HKEY_LOCAL_MACHINE", "Software", "Zenthra", "Settings", ""}) {
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
    folder /= part;
  }
}

}  // namespace
}  // namespace win

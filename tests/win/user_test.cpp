#include "platform/win/user.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/core/error.h"

namespace win {
namespace {

std::string EffectiveLogin() {
  const passwd* pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "";
}

TEST(GetUserNameA, FillsTheBufferAndCountsTheZero) {
  const std::string login = EffectiveLogin();
  ASSERT_FALSE(login.empty());
  // The setup program's call: 255 blanks, size 255.
  char buffer[255];
  std::memset(buffer, ' ', sizeof buffer);
  DWORD size = sizeof buffer;
  ASSERT_NE(GetUserNameA(buffer, &size), 0);
  EXPECT_EQ(size, login.size() + 1);
  EXPECT_EQ(std::string(buffer, size - 1), login);
  EXPECT_EQ(buffer[size - 1], '\0');
  EXPECT_EQ(buffer[size], ' ');  // nothing written beyond the zero

  // Exactly large enough.
  size = static_cast<DWORD>(login.size() + 1);
  std::memset(buffer, ' ', sizeof buffer);
  EXPECT_NE(GetUserNameA(buffer, &size), 0);
  EXPECT_EQ(std::string(buffer), login);
}

TEST(GetUserNameA, ReportsTheSizeNeededWhenTooSmall) {
  const std::string login = EffectiveLogin();
  char buffer[255];
  std::memset(buffer, 'x', sizeof buffer);
  DWORD size = static_cast<DWORD>(login.size());  // no room for the zero
  SetLastError(0);
  EXPECT_EQ(GetUserNameA(buffer, &size), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, login.size() + 1);
  EXPECT_EQ(buffer[0], 'x');  // untouched

  size = 0;
  EXPECT_EQ(GetUserNameA(nullptr, &size), 0);
  EXPECT_EQ(size, login.size() + 1);
  size = 100;
  EXPECT_EQ(GetUserNameA(nullptr, &size), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  EXPECT_EQ(GetUserNameA(buffer, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CurDir, IsTheProcessesCurrentDirectory) {
  namespace fs = std::filesystem;
  const fs::path before = fs::current_path();
  const fs::path dir = fs::temp_directory_path() / ("zenthra-curdir-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  EXPECT_EQ(CurDir(), fs::canonical(dir).string());
  // A directory removed under the process is reported, not invented.
  fs::remove(dir);
  try {
    CurDir();
    ADD_FAILURE() << "CurDir of a removed directory raised nothing";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kPathNotFound);
  }
  fs::current_path(before);
  EXPECT_EQ(CurDir(), before.string());
}

}  // namespace
}  // namespace win

// Everything in a server root is private to its owner whatever the umask of
// the programs that wrote it: every folder 0700, every file 0600 (a
// service's Unix socket 0660, so that its group may connect).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/server_root.h"
#include "platform/win/registry.h"

namespace {

namespace fs = std::filesystem;

// Runs args under umask 000 with input on standard input; the exit status.
int RunUnderUmask0(std::vector<std::string> args, const std::string& input = "") {
  int in[2];
  if (::pipe(in) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::umask(0);
    ::dup2(in[0], 0);
    ::close(in[1]);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) return -1;
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RootModesTest, EveryFolderAndFileOfARootIsPrivateWhateverTheUmask) {
  std::string pattern = (fs::temp_directory_path() / "zenthra-modes-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path base = pattern;
  const std::string root = (base / "root").string();

  EXPECT_EQ(RunUnderUmask0({ZENTHRA_STORE_TOOL, "--root", root, "provision", "--computer", "MX1",
                            "--domain", "example.com"}),
            0);
  EXPECT_EQ(RunUnderUmask0({ZENTHRA_STORE_TOOL, "--root", root, "mailbox", "add", "hmuster"}), 0);
  EXPECT_EQ(RunUnderUmask0(
                {ZENTHRA_CATALOG_TOOL, "--root", root, "install", "Zenthra", ZENTHRA_SINK_LIBRARY}),
            0);
  EXPECT_EQ(RunUnderUmask0({ZENTHRA_STORE_TOOL, "--root", root, "deliver", "hmuster"},
                           "From: a@example.com\r\nSubject: Hello\r\n\r\nHi\r\n"),
            0);
  // The setup program's registry keys, written in this process.
  core::SetServerRoot(root);
  const mode_t old = ::umask(0);
  win::HKEY key = 0;
  const win::LONG rc = win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Cluster", &key);
  ::umask(old);
  ASSERT_EQ(rc, win::ERROR_SUCCESS);
  win::RegCloseKey(key);

  std::vector<std::string> loose;
  auto check = [&](const fs::path& path) {
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    const unsigned mode = st.st_mode & 07777;
    const unsigned want = S_ISDIR(st.st_mode) ? 0700 : S_ISSOCK(st.st_mode) ? 0660 : 0600;
    if (mode != want) {
      char text[8];
      std::snprintf(text, sizeof text, "%04o", mode);
      loose.push_back(std::string(text) + " " + path.string());
    }
  };
  check(root);
  std::size_t seen = 0;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
    check(e.path());
    ++seen;
  }
  EXPECT_GT(seen, 8u) << "the root is not as full as a working server's";
  std::string list;
  for (const std::string& l : loose) list += "\n  " + l;
  EXPECT_TRUE(loose.empty()) << "not private:" << list;
  std::error_code ec;
  fs::remove_all(base, ec);
}

}  // namespace

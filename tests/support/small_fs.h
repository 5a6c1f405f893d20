// A small file system of a test's own, for what only a real one shows: a
// disk that fills up and a root that turns read-only under a running
// program. It is a size-limited tmpfs mounted on a temporary folder, so it
// needs root; elsewhere Available() is false and SkipReason() says why, for
// GTEST_SKIP.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace zenthra::testing {

class SmallFs {
 public:
  explicit SmallFs(std::size_t bytes = 4 << 20) {
    char pattern[] = "/tmp/zenthra-smallfs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      reason_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
      return;
    }
    path_ = pattern;
    if (::geteuid() != 0) {
      reason_ = "needs root to mount a small file system (disk-full and read-only cases)";
      return;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("zenthra-smallfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallFs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  SmallFs(const SmallFs&) = delete;
  SmallFs& operator=(const SmallFs&) = delete;

  bool Available() const { return mounted_; }
  const std::string& SkipReason() const { return reason_; }
  const std::filesystem::path& path() const { return path_; }

  // Writes a filler file until the disk is full; FreeSpace removes it.
  void Fill() {
    const std::filesystem::path filler = path_ / ".filler";
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::vector<char> block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    std::size_t small = 512;  // the last partial blocks
    while (small > 0) {
      if (::write(fd, block.data(), small) <= 0) small /= 2;
    }
    ::close(fd);
  }
  void FreeSpace() {
    std::error_code ec;
    std::filesystem::remove(path_ / ".filler", ec);
  }

  // Remounts read-only (true) or read-write (false); false when that failed.
  bool ReadOnly(bool read_only) {
    unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
    return ::mount("zenthra-smallfs", path_.c_str(), "tmpfs", flags, nullptr) == 0;
  }

 private:
  std::filesystem::path path_;
  std::string reason_;
  bool mounted_ = false;
};

}  // namespace zenthra::testing

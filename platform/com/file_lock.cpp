#include "platform/com/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/core/error.h"
#include "platform/core/files.h"

namespace com {

namespace {

[[noreturn]] void Fail(const char* what, const std::filesystem::path& path, int e) {
  throw core::RuntimeError(core::err::kPathNotFound, core::DescribeFileError(what, path, e), "com");
}

int OpenLockFile(const std::filesystem::path& path, bool create) {
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, core::kPrivateFileMode);
  if (fd < 0 && !(errno == ENOENT && !create)) Fail("Cannot open the lock file", path, errno);
  return fd;
}

// flock, restarted after signals; the errno of the failure otherwise.
int Flock(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

FileLock::FileLock(const std::filesystem::path& path) : fd_(OpenLockFile(path, true)) {
  if (int e = Flock(fd_, LOCK_EX); e != 0) {
    ::close(fd_);
    Fail("Cannot lock", path, e);
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

std::optional<FileLock> FileLock::TryLock(const std::filesystem::path& path, bool create) {
  int fd = OpenLockFile(path, create);
  if (fd < 0) return std::nullopt;
  if (int e = Flock(fd, LOCK_EX | LOCK_NB); e != 0) {
    ::close(fd);
    if (e == EWOULDBLOCK) return std::nullopt;
    Fail("Cannot lock", path, e);
  }
  return FileLock(fd);
}

}  // namespace com

// An advisory lock (flock) on a lock file, held for an object's lifetime.
//
// The lock file is created 0600 when missing. A process that dies, killed or
// not, lets its locks go, so a lock held says that its holder is alive.
#pragma once

#include <filesystem>
#include <optional>

namespace com {

class FileLock {
 public:
  // Waits for the exclusive lock. RuntimeError (76) naming the file and the
  // cause when it cannot be opened or locked.
  explicit FileLock(const std::filesystem::path& path);
  ~FileLock();
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // The exclusive lock if nobody holds it now, nullopt if somebody does.
  // create false: nullopt when the file does not exist either.
  static std::optional<FileLock> TryLock(const std::filesystem::path& path, bool create);

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace com

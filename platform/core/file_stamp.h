// FileStamp: telling, from one stat, that a file still holds what was read
// from it, so that a process may keep what it parsed instead of reading the
// file at every use.
//
// A stamp is the file's identity (device, inode), size, owner, mode and its
// change and modification times. Any write, replacement by rename, chmod or
// chown gives a different stamp, with one exception: file times come from a
// coarse clock, so two writes close together may leave the same times and
// size. A stamp therefore vouches for content only once the file has been
// left alone for a moment (Settled); until then a reader reads the file
// again each time, as it would without a cache.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <optional>

namespace core {

class FileStamp {
 public:
  // The stamp of file now; nullopt when it cannot be stat'ed (absent, say).
  static std::optional<FileStamp> Of(const std::filesystem::path& file);

  // True when the file's last change is long enough before now that a later
  // write cannot carry the same times.
  bool Settled() const;

  // True when the file had no bytes.
  bool empty() const { return size_ == 0; }

  bool operator==(const FileStamp& other) const;

 private:
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t size_ = 0;
  uid_t owner_ = 0;
  mode_t mode_ = 0;
  timespec changed_{}, modified_{};
};

}  // namespace core

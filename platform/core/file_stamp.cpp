#include "platform/core/file_stamp.h"

namespace core {

namespace {

// Well above the granularity of any file system's timestamps (a jiffy, or
// two seconds on FAT).
constexpr time_t kSettleSeconds = 3;

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

std::optional<FileStamp> FileStamp::Of(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  FileStamp stamp;
  stamp.device_ = st.st_dev;
  stamp.inode_ = st.st_ino;
  stamp.size_ = st.st_size;
  stamp.owner_ = st.st_uid;
  stamp.mode_ = st.st_mode;
  stamp.changed_ = st.st_ctim;
  stamp.modified_ = st.st_mtim;
  return stamp;
}

bool FileStamp::Settled() const {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const time_t latest = changed_.tv_sec > modified_.tv_sec ? changed_.tv_sec : modified_.tv_sec;
  return latest + kSettleSeconds < now.tv_sec;
}

bool FileStamp::operator==(const FileStamp& other) const {
  return device_ == other.device_ && inode_ == other.inode_ && size_ == other.size_ &&
         owner_ == other.owner_ && mode_ == other.mode_ && SameTime(changed_, other.changed_) &&
         SameTime(modified_, other.modified_);
}

}  // namespace core

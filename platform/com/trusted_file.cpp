#include "platform/com/trusted_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <utility>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/text.h"

namespace com {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "com";

std::string UserName(uid_t uid) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, scratch.data(), scratch.size(), &found) == 0 && found &&
      found->pw_name) {
    return std::string(found->pw_name) + " (" + std::to_string(uid) + ")";
  }
  return "uid " + std::to_string(uid);
}

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// Why what st describes may not be trusted, or "".
std::string DistrustReason(const struct stat& st, bool folder) {
  const uid_t euid = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != euid) {
    return "is owned by " + UserName(st.st_uid) + ", not by root or " + UserName(euid);
  }
  if (folder && !S_ISDIR(st.st_mode)) return "is not a folder";
  if (!folder && !S_ISREG(st.st_mode)) return "is not a regular file";
  const bool sticky = folder && (st.st_mode & S_ISVTX) != 0;
  if ((st.st_mode & 022) != 0 && !sticky) {
    return "is writable by group or others (mode " + Octal(st.st_mode) + ")";
  }
  return "";
}

[[noreturn]] void Fail(std::int32_t number, std::string_view what, const fs::path& path,
                       const std::string& reason) {
  throw core::RuntimeError(number, std::string(what) + " " + path.string() + " " + reason, kSource);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Checks what fd refers to; throws naming the folder or the file at fault.
void Check(int fd, bool folder, std::string_view what, const fs::path& path,
           const fs::path& walked) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    Fail(core::err::kPathNotFound, what, path,
         "cannot be read: " + walked.string() + ": " + core::FileErrorCause(errno));
  }
  const std::string reason = DistrustReason(st, folder);
  if (reason.empty()) return;
  if (!folder) Fail(kPermissionDenied, what, path, "is not trusted: it " + reason);
  Fail(kPermissionDenied, what, path,
       "is not trusted: " + std::string(walked == "/" ? "the root folder " : "the folder ") +
           walked.string() + " " + reason);
}

std::deque<std::string> Components(const std::string& text) {
  std::deque<std::string> parts;
  for (const std::string& p : core::Split(text, "/")) {
    if (!p.empty() && p != ".") parts.push_back(p);
  }
  return parts;
}

std::optional<TrustedFile> Open(const fs::path& path, std::string_view what, bool mayBeMissing) {
  if (!path.is_absolute()) {
    Fail(core::err::kPathNotFound, what, path, "is not an absolute path");
  }
  // Each folder is checked before anything in it is believed, a link's target
  // included: a link is only as good as the folder that holds it.
  constexpr int kMaxLinks = 40;
  int links = 0;
  std::deque<std::string> todo = Components(path.string());
  if (todo.empty()) Fail(core::err::kPathNotFound, what, path, "is not a file");
  Descriptor dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  fs::path walked("/");
  if (dir.get() < 0) Fail(core::err::kPathNotFound, what, path, "cannot be read");
  Check(dir.get(), true, what, path, walked);
  while (!todo.empty()) {
    const std::string name = todo.front();
    todo.pop_front();
    const bool last = todo.empty();
    if (name == "..") {
      dir.reset(::openat(dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      walked = walked.has_relative_path() ? walked.parent_path() : walked;
      if (dir.get() < 0) Fail(core::err::kPathNotFound, what, path, "cannot be read");
      Check(dir.get(), true, what, path, walked);
      if (last) Fail(core::err::kPathNotFound, what, path, "is a folder, not a file");
      continue;
    }
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int e = errno;
      if (e == ENOENT && mayBeMissing) return std::nullopt;
      if (e == ENOENT) Fail(core::err::kFileNotFound, what, path, "not found");
      Fail(core::err::kPathNotFound, what, path,
           "cannot be read: " + (walked / name).string() + ": " + core::FileErrorCause(e));
    }
    if (S_ISLNK(st.st_mode)) {
      // In a sticky folder anyone may have made the link.
      if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        Fail(kPermissionDenied, what, path,
             "is not trusted: the link " + (walked / name).string() + " is owned by " +
                 UserName(st.st_uid));
      }
      if (++links > kMaxLinks) {
        Fail(core::err::kPathNotFound, what, path, "cannot be read: too many symbolic links");
      }
      std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
      ssize_t n = ::readlinkat(dir.get(), name.c_str(), target.data(), target.size());
      if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
        Fail(kPermissionDenied, what, path,
             "is not trusted: the link " + (walked / name).string() +
                 " changed while it was being checked");
      }
      target.resize(static_cast<std::size_t>(n));
      std::deque<std::string> more = Components(target);
      todo.insert(todo.begin(), more.begin(), more.end());
      if (!target.empty() && target.front() == '/') {
        dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        walked = "/";
      }
      if (todo.empty()) Fail(core::err::kPathNotFound, what, path, "is a folder, not a file");
      continue;
    }
    walked /= name;
    // Folders are opened as paths only; the file itself for reading,
    // non-blocking so that a FIFO swapped in cannot stall the walk. Nothing
    // is followed: what was checked is what is opened.
    const int flags = last ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
                           : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    dir.reset(::openat(dir.get(), name.c_str(), flags));
    if (dir.get() < 0) {
      const int e = errno;
      if (e == ELOOP || e == ENOTDIR) {
        Fail(kPermissionDenied, what, path,
             "is not trusted: " + walked.string() + " changed while it was being checked");
      }
      Fail(core::err::kPathNotFound, what, path,
           "cannot be read: " + walked.string() + ": " + core::FileErrorCause(e));
    }
    Check(dir.get(), !last, what, path, walked);
  }
  const int fd = dir.release();
  // Regular files ignore O_NONBLOCK, but readers should not see it.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return TrustedFile(fd, walked);
}

}  // namespace

TrustedFile::~TrustedFile() {
  if (fd_ >= 0) ::close(fd_);
}

TrustedFile::TrustedFile(TrustedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

TrustedFile& TrustedFile::operator=(TrustedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

std::string TrustedFile::DescriptorPath() const {
  return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd_);
}

std::string TrustedFile::ReadAll() const {
  std::string data;
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd_, buf, sizeof buf, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw core::RuntimeError(core::err::kPathNotFound,
                               core::DescribeFileError("Cannot read", path_, errno), kSource);
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
    offset += n;
  }
  return data;
}

TrustedFile OpenTrusted(const fs::path& path, std::string_view what) {
  return *Open(path, what, false);
}

std::optional<TrustedFile> OpenTrustedIfExists(const fs::path& path, std::string_view what) {
  return Open(path, what, true);
}

}  // namespace com

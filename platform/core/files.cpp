#include "platform/core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <istream>
#include <random>

#include "platform/core/error.h"

namespace core {

namespace fs = std::filesystem;

std::string FileErrorCause(int errnum) {
  switch (errnum) {
    case EROFS:
      return "read-only file system";
    case ENOSPC:
    case EDQUOT:
      return "disk full";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOENT:
      return "no such file or folder";
    case ENOTDIR:
      return "a part of the path is not a folder";
    default:
      return std::strerror(errnum);
  }
}

std::string DescribeFileError(std::string_view what, const fs::path& path, int errnum) {
  return std::string(what) + " " + path.string() + ": " + FileErrorCause(errnum);
}

void CreatePrivateFolders(const fs::path& folder) {
  fs::path so_far;
  for (const fs::path& part : folder) {
    so_far /= part;
    if (::mkdir(so_far.c_str(), kPrivateFolderMode) == 0) {
      // The umask may have taken bits away; the owner needs all three.
      if (::chmod(so_far.c_str(), kPrivateFolderMode) != 0) {
        throw RuntimeError(err::kPathNotFound,
                           DescribeFileError("Cannot set the mode of", so_far, errno));
      }
      continue;
    }
    int e = errno;
    struct stat st {};
    if (e == EEXIST && ::stat(so_far.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    throw RuntimeError(err::kPathNotFound, DescribeFileError("Cannot create the folder", so_far,
                                                             e == EEXIST ? ENOTDIR : e));
  }
}

namespace {

std::string TempSuffix() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  static const char* kHex = "0123456789abcdef";
  std::string s = ".tmp-";
  std::uint64_t r = engine();
  for (int i = 0; i < 12; ++i, r >>= 4) s += kHex[r & 15];
  return s;
}

}  // namespace

void WriteFileAtomically(const fs::path& path, std::string_view contents) {
  const fs::path temp = path.string() + TempSuffix();
  int fd =
      ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode);
  if (fd < 0)
    throw RuntimeError(err::kPathNotFound, DescribeFileError("Cannot write", path, errno));
  auto fail = [&](int e) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw RuntimeError(err::kPathNotFound, DescribeFileError("Cannot write", path, e));
  };
  if (::fchmod(fd, kPrivateFileMode) != 0) fail(errno);
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int e = errno;
    ::unlink(temp.c_str());
    throw RuntimeError(err::kPathNotFound, DescribeFileError("Cannot write", path, e));
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(temp.c_str());
    throw RuntimeError(err::kPathNotFound, DescribeFileError("Cannot replace", path, e));
  }
  // The rename is durable only once the folder is.
  fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    int rc = ::fsync(dir);
    int e = errno;
    ::close(dir);
    if (rc != 0) throw RuntimeError(err::kPathNotFound, DescribeFileError("Cannot write", path, e));
  }
}

std::string PercentEncoded(std::string_view text, std::string_view keep) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
        keep.find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string FileUri(const std::filesystem::path& path) {
  return "file:" + PercentEncoded(path.string(), "/");
}

std::string ReadAll(std::istream& in) {
  std::string text;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    text.append(block, static_cast<std::size_t>(in.gcount()));
  }
  return text;
}

}  // namespace core

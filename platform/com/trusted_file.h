// Opening the files that decide which code a process runs (the class
// registry and component libraries) so that nobody but root and the running
// user can have chosen what they hold.
//
// A file is trusted when it is a regular file owned by root or the effective
// user and writable by neither group nor others, and every folder from "/"
// down to it is owned by root or the effective user and writable by neither
// group nor others. A sticky folder (such as /tmp) may be writable by all:
// nobody can rename or remove there what a trusted owner put in it, and the
// next step of the walk checks that owner.
//
// The walk opens each component below the previous one's descriptor without
// following links and checks what it opened, so the file that was checked is
// the very file that is read or loaded. A symbolic link is followed only
// from a folder that passed and only when root or the running user made it,
// and its target is walked and checked the same way; anything swapped in during the walk makes it fail rather than check
// one file and open another.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace com {

// The language runtime's "Permission denied", for a file that is not trusted.
inline constexpr std::int32_t kPermissionDenied = 70;

// An open, checked file. Owns its descriptor.
class TrustedFile {
 public:
  TrustedFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  ~TrustedFile();
  TrustedFile(TrustedFile&& other) noexcept;
  TrustedFile& operator=(TrustedFile&& other) noexcept;
  TrustedFile(const TrustedFile&) = delete;
  TrustedFile& operator=(const TrustedFile&) = delete;

  int fd() const { return fd_; }
  // The absolute path that was walked, with every link resolved.
  const std::filesystem::path& path() const { return path_; }
  // A name of this very file for a loader that takes names only
  // ("/proc/<pid>/fd/<n>"); valid while this object lives. The pid rather
  // than "self" keeps it meaningful to helper processes, such as a
  // sanitizer's symbolizer, that read it on this process's behalf.
  std::string DescriptorPath() const;
  // Every byte of the file.
  std::string ReadAll() const;

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

// Opens path for reading after checking it as above. what names the file in
// errors ("the class registry", "the component library"). RuntimeError:
// kPathNotFound (76) for a relative path, kFileNotFound (53) when it does not
// exist, kPermissionDenied (70) when it or a folder above it is not trusted,
// each naming the file, the folder at fault and the reason.
TrustedFile OpenTrusted(const std::filesystem::path& path, std::string_view what);

// As OpenTrusted, but nullopt when the file does not exist.
std::optional<TrustedFile> OpenTrustedIfExists(const std::filesystem::path& path,
                                               std::string_view what);

}  // namespace com

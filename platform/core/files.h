// Files of the server root: fixed modes whatever the umask, atomic
// replacement, and failures that say what failed and why.
//
// Every folder a program creates below a server root is 0700 and every file
// 0600: the root holds mail, password hashes and the registry that names the
// libraries a delivery loads, so nobody but its owner may read or change any
// of it. A Unix-domain socket a service offers is the one exception (0660).
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>

namespace core {

inline constexpr unsigned kPrivateFolderMode = 0700;
inline constexpr unsigned kPrivateFileMode = 0600;

// Why a file operation failed, in words an administrator acts on:
// "read-only file system", "disk full", "permission denied", ... (strerror
// for the rest).
std::string FileErrorCause(int errnum);

// "<what> <path>: <cause>", e.g. "Cannot open the store /srv/m/store/store.db:
// read-only file system".
std::string DescribeFileError(std::string_view what, const std::filesystem::path& path, int errnum);

// Creates folder and every missing folder above it with kPrivateFolderMode
// (folders that exist are left as they are). RuntimeError (76) naming the
// folder and the cause on failure.
void CreatePrivateFolders(const std::filesystem::path& folder);

// Replaces path with contents atomically and durably: a temporary file
// beside it (kPrivateFileMode), fsync, rename, fsync of the folder. A crash
// leaves the old file or the new one, never a mix. RuntimeError (76) naming
// the file and the cause on failure; the old file is then untouched.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view contents);

// The rest of in, read in large blocks (not a character at a time); the
// caller checks in.bad() for a read error.
std::string ReadAll(std::istream& in);

// text with every byte outside the URI's unreserved characters and keep
// %-escaped ("%2F" for "/" unless keep has it).
std::string PercentEncoded(std::string_view text, std::string_view keep = "");

// A "file:" URI for path, every byte outside the unreserved characters and
// "/" %-escaped: how SQLite is given a file with flags only a URI carries.
std::string FileUri(const std::filesystem::path& path);

}  // namespace core

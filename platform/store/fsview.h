// The store's file-system view: paths below \\.\backofficestorage\ with
// backslashes, names compared without regard to case.
//
//   Dir("\\.\backofficestorage\example.com\MBX\jdoe\Spam", kDirectory)
//
// gives "Spam" (the stored spelling) when that folder exists and "" when it
// does not. Without kDirectory in attributes only items (not folders) are
// found. A path ending in "\" lists the folder: Dir gives its first entry,
// DirEntries all of them; the first entry of "\\.\backofficestorage\" is
// the store's domain folder. Wildcards are not supported: "*" and "?" are
// ordinary characters.
//
// Errors: a path outside \\.\backofficestorage\ is kPathNotFound;
// an unprovisioned server root is kPathNotFound. A missing item is "", never
// an error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace store {

inline constexpr const char* kFsPrefix = "\\\\.\\backofficestorage\\";
inline constexpr int kDirectory = 16;

std::string Dir(std::string_view path, int attributes = 0);
std::vector<std::string> DirEntries(std::string_view path, int attributes = kDirectory);

}  // namespace store

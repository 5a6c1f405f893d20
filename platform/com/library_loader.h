// Loading component libraries from checked files.
//
// A library is opened and checked as a trusted file (trusted_file.h) and the
// dynamic loader is handed that descriptor's name, so the code that runs is
// the code that was checked. The loader then knows the library by that name,
// so the descriptor stays open for as long as the library is loaded: a
// library the loader keeps for good (C++ libraries with unique symbols are
// never unloaded) keeps its descriptor for the life of the process, one per
// library.
#pragma once

#include <filesystem>

namespace com {

// dlopen's handle of the library at path (flags as dlopen's; RTLD_LOCAL is
// added). what names it in errors ("its library", "the component library").
// RuntimeError as OpenTrusted, or 429 naming the file and the loader's reason
// when it cannot be loaded. *resolved, when given, receives the checked path
// with every link resolved.
void* LoadTrustedLibrary(const std::filesystem::path& path, int flags, const char* what,
                         std::filesystem::path* resolved = nullptr);

// Gives back one handle from LoadTrustedLibrary.
void UnloadTrustedLibrary(void* handle);

}  // namespace com

// The server root: the folder that stands for the mail server this process
// runs on. The store, the component registry, the catalog and the directory
// keep their files below it.
//
// It is named by the environment variable ZENTHRA_ROOT, so that a
// program and every library it loads (the event sink included) agree on one
// server without passing it around. Tools set it from their --root option.
#pragma once

#include <filesystem>

namespace core {

inline constexpr const char* kServerRootVariable = "ZENTHRA_ROOT";

// The configured server root; RuntimeError (76, path not found) when the
// variable is unset or empty.
std::filesystem::path ServerRoot();

// Sets the variable for this process and the programs it starts.
void SetServerRoot(const std::filesystem::path& root);

}  // namespace core

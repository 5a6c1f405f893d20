// The server root: the folder that stands for the mail server this process
// runs on. The store, the component registry, the catalog and the directory
// keep their files below it.
//
// It is named by the environment variable ZENTHRA_ROOT, so that a
// program and every library it loads (the event sink included) agree on one
// server without passing it around. Programs set it from their --root option.
#pragma once

#include <filesystem>
#include <string>

namespace core {

inline constexpr const char* kServerRootVariable = "ZENTHRA_ROOT";

// The configured server root; RuntimeError (76, path not found) when the
// variable is unset or empty.
std::filesystem::path ServerRoot();

// Sets the variable for this process and the programs it starts.
void SetServerRoot(const std::filesystem::path& root);

// Why root cannot be a server root at all, or "" when it is a folder this
// process can look into: "/srv/mail1 does not exist (/srv does, and holds
// mail01, mail02)", "/srv/mail01 is not a folder", "/srv/mail01: permission
// denied". Whether the folder holds a provisioned server is for the store
// to say when it is opened.
std::string ServerRootProblem(const std::filesystem::path& root);

}  // namespace core

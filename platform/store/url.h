// Store URLs.
//
// One location has two URL spellings:
//   file://./backofficestorage/<domain>/MBX/<mailbox>/<folder>/.../<item>
//   http://<computer DNS name>/exadmin/<domain>/mbx/<mailbox>/<folder>/...
// Scheme, "backofficestorage", "exadmin" and every name compare without
// regard to case. One trailing "/" is tolerated. http URLs accept %XX escapes
// (UTF-8), so names with blanks can be written as a web client would; file
// URLs are taken literally ("%" is an ordinary character there). The http
// host must be this machine's DNS name or its short name.
//
// Parsing checks only the spelling; whether the names exist is the store's
// business. Every failure throws core::RuntimeError: a malformed URL is
// kAdoInvalidArgument, another host is kDbNotFound; the description names
// the URL.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/store/machine.h"

namespace store {

inline constexpr const char* kFileUrlPrefix = "file://./backofficestorage/";

struct StoreUrl {
  // The names below the store root, the domain folder first; never empty.
  std::vector<std::string> names;
};

// True when url starts like a store URL of either form (cheap, no checks).
bool LooksLikeStoreUrl(std::string_view url);

StoreUrl ParseUrl(std::string_view url, const Machine& machine);

// The file URL of the given names, as written ("file://./backofficestorage/"
// + names joined by "/").
std::string FileUrl(const std::vector<std::string>& names);

// Checks one item name; "" when valid, else what is wrong. Names may not be
// empty, ".", "..", hold "/", "\" or control characters, or end in a blank.
std::string CheckItemName(std::string_view name);

}  // namespace store

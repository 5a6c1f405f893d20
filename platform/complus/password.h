// One-way storage of run-as passwords.
//
// The catalog never keeps a password it could hand back: it stores a salted
// yescrypt hash (libcrypt), which is enough to check a password later and
// useless for recovering it.
#pragma once

#include <string>
#include <string_view>

namespace complus::internal {

// A fresh salt each call, so equal passwords give different hashes. Error
// kEFail when the system cannot produce one.
std::string HashPassword(std::string_view password);

// True when password is the one hash was made from.
bool VerifyPassword(std::string_view password, std::string_view hash);

}  // namespace complus::internal

#include "platform/complus/password.h"

#include <crypt.h>
#include <string.h>

#include <memory>

#include "platform/core/error.h"

namespace complus::internal {

namespace {

// crypt_data is large; keep it off the stack and wipe it after use, since it
// holds the password while hashing.
struct CryptScratch {
  CryptScratch() : data(std::make_unique<crypt_data>()) { ::memset(data.get(), 0, sizeof *data); }
  ~CryptScratch() { ::explicit_bzero(data.get(), sizeof *data); }
  std::unique_ptr<crypt_data> data;
};

}  // namespace

std::string HashPassword(std::string_view password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!::crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt)) {
    throw core::RuntimeError(core::err::kEFail, "cannot make a salt for the password", "complus");
  }
  std::string phrase(password);
  CryptScratch scratch;
  const char* hash = ::crypt_rn(phrase.c_str(), salt, scratch.data.get(), sizeof *scratch.data);
  ::explicit_bzero(phrase.data(), phrase.size());
  if (!hash || hash[0] == '*') {
    throw core::RuntimeError(core::err::kEFail, "cannot hash the password", "complus");
  }
  return hash;
}

bool VerifyPassword(std::string_view password, std::string_view hash) {
  std::string phrase(password);
  std::string setting(hash);
  CryptScratch scratch;
  const char* result =
      ::crypt_rn(phrase.c_str(), setting.c_str(), scratch.data.get(), sizeof *scratch.data);
  ::explicit_bzero(phrase.data(), phrase.size());
  return result && result[0] != '*' && hash == result;
}

}  // namespace complus::internal

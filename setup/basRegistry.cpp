#include "setup/basRegistry.h"

#include "platform/core/error.h"
#include "platform/win/registry.h"

namespace basRegistry {

bool RegKeyExists(win::HKEY rootKey, const std::string& keyPath, const std::string& valueName) {
  (void)valueName;
  bool result = false;
  win::HKEY key = 0;
  try {
    result = win::RegOpenKeyA(rootKey, keyPath.c_str(), &key) == win::ERROR_SUCCESS;
  } catch (const core::RuntimeError&) {
    result = false;
  }
  // Closed whatever the open gave; a handle of 0 is refused harmlessly.
  try {
    win::RegCloseKey(key);
  } catch (const core::RuntimeError&) {
  }
  return result;
}

}  // namespace basRegistry

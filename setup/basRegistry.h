// basRegistry: registry look-ups of the setup program.
#pragma once

#include <string>

#include "platform/win/types.h"

namespace basRegistry {

// True when the key keyPath below rootKey can be opened. The handle it gets
// is closed again at once. valueName is accepted for the callers' sake and
// not looked at. Any failure, a run-time error included, gives false.
bool RegKeyExists(win::HKEY rootKey, const std::string& keyPath, const std::string& valueName);

}  // namespace basRegistry

// The registry: keys kept as folders below the server root.
//
// The predefined root keys map to <server root>/registry/<root key name>,
// e.g. HKEY_LOCAL_MACHINE\Cluster is <server root>/registry/
// HKEY_LOCAL_MACHINE/Cluster. Key names compare without regard to case, as
// the registry's do; a sub-key path separates names with "\".
//
// Handles are process-wide; each RegOpenKeyA that succeeds with a new handle
// needs one RegCloseKey. Safe to use from several threads.
#pragma once

#include "platform/win/types.h"

namespace win {

inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr HKEY HKEY_USERS = 0x80000003;
inline constexpr HKEY HKEY_PERFORMANCE_DATA = 0x80000004;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005;

// Opens subKey below hKey (a root key or an open handle) into *phkResult.
// A null or empty subKey gives hKey itself. Returns ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND (no such key; also for names no key can have, such
// as "..", or for a root key the server root cannot be found for),
// ERROR_INVALID_HANDLE (hKey is neither) or ERROR_INVALID_PARAMETER
// (phkResult null). On failure *phkResult is 0.
LONG RegOpenKeyA(HKEY hKey, const char* subKey, HKEY* phkResult);

// Releases a handle. Closing a root key does nothing and succeeds; a value
// that is no open handle (0 included) gives ERROR_INVALID_HANDLE.
LONG RegCloseKey(HKEY hKey);

// Creates subKey and every missing key on its way (existing keys are found
// without regard to case) and opens it. ERROR_INVALID_PARAMETER for a name no
// key can have ("", ".", "..", or one holding "/"); ERROR_ACCESS_DENIED when
// the folder cannot be made.
LONG RegCreateKeyA(HKEY hKey, const char* subKey, HKEY* phkResult);

// Deletes subKey, which must have no sub-keys (ERROR_ACCESS_DENIED
// otherwise). ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegDeleteKeyA(HKEY hKey, const char* subKey);

}  // namespace win

// Error numbers of the component catalog.
//
// The catalog's own refusals carry the published catalog result codes (as
// signed 32-bit numbers); misuse of the object model carries the scripting
// runtime's numbers. A missing component library is 53 and one that cannot
// be loaded 429, as the component model reports them. Every description names
// the object, property or file concerned.
#pragma once

#include <cstdint>

namespace complus {

inline constexpr std::int32_t COMADMIN_E_OBJECTERRORS = static_cast<std::int32_t>(0x80110401);
inline constexpr std::int32_t COMADMIN_E_DLLREGISTERSERVER = static_cast<std::int32_t>(0x8011041A);
inline constexpr std::int32_t COMADMIN_E_COMPFILE_CLASSNOTAVAIL =
    static_cast<std::int32_t>(0x80110427);
inline constexpr std::int32_t COMADMIN_E_COMPFILE_NOTINSTALLABLE =
    static_cast<std::int32_t>(0x80110429);
inline constexpr std::int32_t COMADMIN_E_OBJECT_DOES_NOT_EXIST =
    static_cast<std::int32_t>(0x80110809);

namespace err {
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
}  // namespace err

}  // namespace complus

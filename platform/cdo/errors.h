// Run-time error numbers raised by the message objects themselves. Errors of
// the data source underneath (a missing item or folder, a refused write) are
// passed on unchanged with the provider's number and description.
#pragma once

#include <cstdint>

namespace cdo::err {

// The data source is bound to no message yet (Open was never called or
// failed), so there is nothing to save.
inline constexpr std::int32_t kNotOpen = static_cast<std::int32_t>(0x80040B01);
// The item opened has no message text (it is a folder or another kind of item).
inline constexpr std::int32_t kNoContent = static_cast<std::int32_t>(0x80040B02);
// No free item name was found in the container after a bounded number of tries.
inline constexpr std::int32_t kNoUniqueName = static_cast<std::int32_t>(0x80040B03);
// Attachments.Item with an index outside 1..Count (E_INVALIDARG).
inline constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057);

}  // namespace cdo::err

// Errors of the directory: the result codes a directory client sees, and
// one helper that raises them with their standard text and a detail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/error.h"

namespace directory {

namespace err {
// An ADsPath that cannot be parsed.
inline constexpr std::int32_t kBadPathname = static_cast<std::int32_t>(0x80005000);
// Get of an attribute the object does not have.
inline constexpr std::int32_t kPropertyNotFound = static_cast<std::int32_t>(0x8000500D);
// Binding an object that does not exist.
inline constexpr std::int32_t kNoSuchObject = static_cast<std::int32_t>(0x80072030);
// No directory answers for the host (no directory data, or another host).
inline constexpr std::int32_t kServerDown = static_cast<std::int32_t>(0x8007203A);
// The directory's own data cannot be read (a malformed directory file).
inline constexpr std::int32_t kDecodingError = static_cast<std::int32_t>(0x8007203D);
// An LDAP search filter that cannot be parsed.
inline constexpr std::int32_t kFilterUnknown = static_cast<std::int32_t>(0x8007203E);
// The computer is in no domain (or its domain cannot be reached).
inline constexpr std::int32_t kDomainUnavailable = static_cast<std::int32_t>(0x8007054B);
// A search matched more entries than its size limit; the first are returned.
inline constexpr std::int32_t kSizeLimitExceeded = static_cast<std::int32_t>(0x80072023);
// The server stopped a search at its time limit, or no answer came within
// the client's time-out.
inline constexpr std::int32_t kTimeLimitExceeded = static_cast<std::int32_t>(0x80072022);
// The server's answers did not follow the protocol.
inline constexpr std::int32_t kProtocolError = static_cast<std::int32_t>(0x80072021);
// The server refused the operation for a reason of its own.
inline constexpr std::int32_t kOperationsError = static_cast<std::int32_t>(0x80072020);
// The server requires a stronger authentication, or a protected connection.
inline constexpr std::int32_t kStrongAuthRequired = static_cast<std::int32_t>(0x80072028);
inline constexpr std::int32_t kConfidentialityRequired = static_cast<std::int32_t>(0x8007202D);
// The object lies on another server, and referrals are not chased.
inline constexpr std::int32_t kReferral = static_cast<std::int32_t>(0x8007202B);
// The server is unwilling to perform the operation.
inline constexpr std::int32_t kUnwillingToPerform = static_cast<std::int32_t>(0x80072035);
// Binding with a name and password the server does not accept.
inline constexpr std::int32_t kLogonFailure = static_cast<std::int32_t>(0x8007052E);
// The bound account may not read what was asked.
inline constexpr std::int32_t kAccessDenied = static_cast<std::int32_t>(0x80070005);
// A search text in the query dialect that cannot be parsed.
inline constexpr std::int32_t kErrorsInCommand = static_cast<std::int32_t>(0x80040E14);
}  // namespace err

// The error core::RuntimeError(number, standard text of number + " " +
// detail) with source "Active Directory"; Raise throws it.
// The start of text for a message, cut at a character boundary with "..."
// when longer than max bytes: outside text may be arbitrarily long.
std::string Excerpt(std::string_view text, std::size_t max = 60);

core::RuntimeError MakeError(std::int32_t number, std::string_view detail);
[[noreturn]] void Raise(std::int32_t number, std::string_view detail);

}  // namespace directory

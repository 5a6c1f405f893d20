// Run-time errors.
//
// Every platform operation that fails throws RuntimeError, carrying a 32-bit
// error number and a description, the way a scripting runtime reports them.
// Callers that trap errors read Number() and Description(); callers that do
// not let it propagate to the program's top level.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace core {

class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(std::int32_t number, std::string description, std::string source = "");

  std::int32_t Number() const { return number_; }
  const std::string& Description() const { return description_; }
  // The component that raised the error, e.g. "ADODB.Connection"; may be empty.
  const std::string& Source() const { return source_; }

 private:
  std::int32_t number_;
  std::string description_;
  std::string source_;
};

// Error numbers used by more than one module. Numbers of the language runtime
// are small positive values; data-access errors are in the 3000s; provider
// errors are negative 32-bit result codes.
namespace err {
inline constexpr std::int32_t kInvalidProcedureCall = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kPathNotFound = 76;
inline constexpr std::int32_t kObjectNotSet = 91;
inline constexpr std::int32_t kInvalidUseOfNull = 94;
inline constexpr std::int32_t kCannotCreateObject = 429;
inline constexpr std::int32_t kObjectDoesNotSupport = 438;
// Data access.
inline constexpr std::int32_t kAdoInvalidArgument = 3001;
inline constexpr std::int32_t kAdoNoCurrentRecord = 3021;
inline constexpr std::int32_t kAdoFeatureNotAvailable = 3251;
inline constexpr std::int32_t kAdoItemNotFound = 3265;
inline constexpr std::int32_t kAdoObjectClosed = 3704;
inline constexpr std::int32_t kAdoObjectOpen = 3705;
inline constexpr std::int32_t kAdoProviderNotFound = 3706;
inline constexpr std::int32_t kAdoInvalidConnection = 3709;
inline constexpr std::int32_t kAdoInvalidTransaction = 3724;
// Provider result codes (as signed 32-bit numbers).
inline constexpr std::int32_t kDbNotFound = static_cast<std::int32_t>(0x80040E19);
inline constexpr std::int32_t kDbErrorsInCommand = static_cast<std::int32_t>(0x80040E14);
inline constexpr std::int32_t kDbResourceExists = static_cast<std::int32_t>(0x80040E0F);
inline constexpr std::int32_t kDbReadOnly = static_cast<std::int32_t>(0x80040E4E);
inline constexpr std::int32_t kDbPermissionDenied = static_cast<std::int32_t>(0x80040E4D);
inline constexpr std::int32_t kDbIntegrityViolation = static_cast<std::int32_t>(0x80040E2F);
inline constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005);
inline constexpr std::int32_t kENoInterface = static_cast<std::int32_t>(0x80004002);
inline constexpr std::int32_t kClassNotRegistered = static_cast<std::int32_t>(0x80040154);
}  // namespace err

// The general date format used in error log lines: "2026-12-07 03:40:07",
// local time. Unambiguous in every locale.
std::string GeneralDate(std::chrono::system_clock::time_point when);

// One error log line:
//   "[" date "] " context " - ERROR: " number " " description CR LF CR LF
// With an empty context two blanks stand between "]" and "-".
std::string ErrorLogLine(std::chrono::system_clock::time_point when, std::string_view context,
                         std::int32_t number, std::string_view description);
std::string ErrorLogLine(std::chrono::system_clock::time_point when, std::string_view context,
                         const RuntimeError& error);

}  // namespace core

#include "platform/directory/errors.h"

#include <string>

#include "platform/core/error.h"

namespace directory {
namespace {

const char* StandardText(std::int32_t number) {
  switch (number) {
    case err::kBadPathname:
      return "An invalid directory pathname was passed.";
    case err::kPropertyNotFound:
      return "The directory property cannot be found in the cache.";
    case err::kNoSuchObject:
      return "There is no such object on the server.";
    case err::kServerDown:
      return "The server is not operational.";
    case err::kDecodingError:
      return "A decoding error has occurred.";
    case err::kFilterUnknown:
      return "The search filter cannot be recognized.";
    case err::kDomainUnavailable:
      return "The specified domain either does not exist or could not be contacted.";
    case err::kSizeLimitExceeded:
      return "The size limit for this request was exceeded.";
    case err::kTimeLimitExceeded:
      return "The time limit for this request was exceeded.";
    case err::kProtocolError:
      return "A protocol error occurred.";
    case err::kOperationsError:
      return "An operations error occurred.";
    case err::kStrongAuthRequired:
      return "A more secure authentication method is required for this server.";
    case err::kConfidentialityRequired:
      return "The server requires a protected connection.";
    case err::kReferral:
      return "A referral was returned from the server.";
    case err::kUnwillingToPerform:
      return "The server is unwilling to process the request.";
    case err::kLogonFailure:
      return "Logon failure: unknown user name or bad password.";
    case err::kAccessDenied:
      return "General access denied error.";
    case err::kErrorsInCommand:
      return "One or more errors occurred during processing of command.";
    default:
      return "The directory operation failed.";
  }
}

}  // namespace

std::string Excerpt(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

core::RuntimeError MakeError(std::int32_t number, std::string_view detail) {
  std::string text = StandardText(number);
  if (!detail.empty()) {
    text += " ";
    text += detail;
  }
  return core::RuntimeError(number, std::move(text), "Active Directory");
}

void Raise(std::int32_t number, std::string_view detail) { throw MakeError(number, detail); }

}  // namespace directory

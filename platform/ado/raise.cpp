#include "platform/ado/raise.h"

#include "platform/core/error.h"

namespace adodb::internal {

const char* Describe(std::int32_t number) {
  namespace err = core::err;
  switch (number) {
    case err::kAdoInvalidArgument:
      return "Arguments are of the wrong type, are out of acceptable range, or are in conflict "
             "with one another.";
    case err::kAdoNoCurrentRecord:
      return "Either BOF or EOF is True, or the current record has been deleted. Requested "
             "operation requires a current record.";
    case err::kAdoFeatureNotAvailable:
      return "Object or provider is not capable of performing requested operation.";
    case err::kAdoItemNotFound:
      return "Item cannot be found in the collection corresponding to the requested name or "
             "ordinal.";
    case err::kAdoObjectClosed:
      return "Operation is not allowed when the object is closed.";
    case err::kAdoObjectOpen:
      return "Operation is not allowed when the object is open.";
    case err::kAdoProviderNotFound:
      return "Provider cannot be found. It may not be properly installed.";
    case err::kAdoInvalidConnection:
      return "The connection cannot be used to perform this operation. It is either closed or "
             "invalid in this context.";
    case err::kAdoInvalidTransaction:
      return "No transaction is active.";
    default:
      return "Provider failed to perform the requested operation.";
  }
}

void Raise(std::int32_t number, const char* source) {
  throw core::RuntimeError(number, Describe(number), source);
}

}  // namespace adodb::internal

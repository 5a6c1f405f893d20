// Runs one statement of a procedure whose failures are ignored statement by
// statement: whatever it throws is dropped and the next statement runs.
#pragma once

namespace zenthra {

template <class Statement>
void IgnoreErrors(Statement&& statement) noexcept {
  try {
    statement();
  } catch (...) {
  }
}

}  // namespace zenthra

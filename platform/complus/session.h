// Applications a catalog adds stay provisional until that catalog is done.
//
// Installing is several saves: the application, then its components. A
// process killed in between would leave an application without components
// that looks installed. So each application saved by a catalog is marked with
// that catalog's session, whose lock file (<root>/complus/sessions/<id>) it
// holds while it lives; installing a component into the application clears
// the mark in the same transaction, and so does the end of the session. A
// later opening removes every marked application without components whose
// session's lock is free: its process died before it finished. Internal to
// the catalog.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/com/file_lock.h"

namespace complus::internal {

class Database;

class Session {
 public:
  explicit Session(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // The mark for the applications this session saves; the first call creates
  // and locks the session's lock file. RuntimeError naming the file on
  // failure.
  const std::string& Mark();

  // Clears the session's marks and gives up its lock file. Best effort: a
  // mark left behind is cleared by the next opening, which sees the lock free.
  void End(Database& db) noexcept;

 private:
  std::filesystem::path folder_;
  std::string id_;
  std::optional<com::FileLock> lock_;
};

// Removes the applications without components that sessions which died
// left marked, and clears their other marks. Errors as the database's.
void RemoveAbandonedApplications(Database& db, const std::filesystem::path& folder);

}  // namespace complus::internal

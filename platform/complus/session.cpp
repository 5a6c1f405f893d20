#include "platform/complus/session.h"

#include <unistd.h>

#include <vector>

#include "platform/com/guid.h"
#include "platform/complus/database.h"
#include "platform/core/error.h"
#include "platform/core/files.h"

namespace complus::internal {

namespace fs = std::filesystem;

const std::string& Session::Mark() {
  if (lock_) return id_;
  core::CreatePrivateFolders(folder_);
  std::string id = com::GUID::New().ToString();
  std::optional<com::FileLock> lock = com::FileLock::TryLock(folder_ / id, true);
  if (!lock) {
    throw core::RuntimeError(core::err::kEFail,
                             "the catalog session " + (folder_ / id).string() + " is in use",
                             "complus");
  }
  id_ = std::move(id);
  lock_ = std::move(lock);
  return id_;
}

void Session::End(Database& db) noexcept {
  if (!lock_) return;
  try {
    Statement(db, "UPDATE applications SET unfinished_by = NULL WHERE unfinished_by = ?1")
        .Bind(1, id_)
        .Run();
    ::unlink((folder_ / id_).c_str());
  } catch (...) {
    // The lock goes with this object; the next opening finishes the job.
  }
  lock_.reset();
}

void RemoveAbandonedApplications(Database& db, const fs::path& folder) {
  std::vector<std::string> marks;
  {
    Statement s(db,
                "SELECT DISTINCT unfinished_by FROM applications WHERE unfinished_by IS NOT NULL");
    while (s.Step()) marks.push_back(s.Text(0));
  }
  for (const std::string& mark : marks) {
    // The mark names a file: only a well-formed one is looked up.
    std::optional<com::GUID> id = com::GUID::TryParse(mark);
    std::optional<com::FileLock> dead;
    if (id) {
      dead = com::FileLock::TryLock(folder / id->ToString(), false);
      const bool missing = !dead && !fs::exists(folder / id->ToString());
      if (!dead && !missing) continue;  // its session is alive
    }
    Transaction t(db);
    Statement(db,
              "DELETE FROM applications WHERE unfinished_by = ?1 AND NOT EXISTS "
              "(SELECT 1 FROM components c WHERE c.app_id = applications.id)")
        .Bind(1, mark)
        .Run();
    Statement(db, "UPDATE applications SET unfinished_by = NULL WHERE unfinished_by = ?1")
        .Bind(1, mark)
        .Run();
    t.Commit();
    if (id) ::unlink((folder / id->ToString()).c_str());
  }
}

}  // namespace complus::internal

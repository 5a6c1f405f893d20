#include "platform/complus/registry_journal.h"

#include "platform/complus/database.h"
#include "platform/core/error.h"

namespace complus::internal {

namespace {
std::filesystem::path LockPath(const Database& db) {
  return db.Path().parent_path() / "registry.lock";
}
}  // namespace

com::FileLock LockRegistry(const Database& db) { return com::FileLock(LockPath(db)); }

std::optional<com::FileLock> TryLockRegistry(const Database& db) {
  return com::FileLock::TryLock(LockPath(db), true);
}

std::vector<RegistryTarget> CurrentTargets(const std::vector<com::ClassDescription>& classes) {
  std::vector<RegistryTarget> targets;
  for (const com::ClassDescription& c : classes) {
    targets.push_back({c.clsid, com::LookupClsid(c.clsid)});
    if (std::optional<com::ClassEntry> e = com::LookupProgId(c.progId); e && e->clsid != c.clsid) {
      targets.push_back({e->clsid, e});
    }
  }
  return targets;
}

void RecordTargets(Database& db, const std::vector<RegistryTarget>& targets) {
  Statement add(db,
                "INSERT INTO registry_journal (clsid, progid, library, threading_model) "
                "VALUES (?1, ?2, ?3, ?4)");
  for (const RegistryTarget& t : targets) {
    add.Bind(1, t.clsid.ToString());
    if (t.entry) {
      add.Bind(2, t.entry->progId).Bind(3, t.entry->libraryPath).Bind(4, t.entry->threadingModel);
    } else {
      add.BindNull(2).BindNull(3).BindNull(4);
    }
    add.Run();
  }
}

void ClearTargets(Database& db) { Statement(db, "DELETE FROM registry_journal").Run(); }

bool HasTargets(Database& db) {
  Statement s(db, "SELECT 1 FROM registry_journal LIMIT 1");
  return s.Step();
}

void ApplyTargets(Database& db) {
  std::vector<RegistryTarget> targets;
  {
    Statement s(
        db, "SELECT clsid, progid, library, threading_model FROM registry_journal ORDER BY seq");
    while (s.Step()) {
      std::optional<com::GUID> clsid = com::GUID::TryParse(s.Text(0));
      if (!clsid) continue;
      RegistryTarget t{*clsid, std::nullopt};
      if (!s.IsNull(1)) t.entry = com::ClassEntry{s.Text(1), *clsid, s.Text(2), s.Text(3)};
      targets.push_back(std::move(t));
    }
  }
  if (targets.empty()) return;
  // Both steps can be repeated: a crash in between is finished by the next
  // attempt.
  for (const RegistryTarget& t : targets) com::UnregisterClass(t.clsid);
  for (const RegistryTarget& t : targets) {
    if (!t.entry) continue;
    try {
      com::RegisterClass(t.entry->progId, t.clsid, t.entry->libraryPath, t.entry->threadingModel);
    } catch (const core::RuntimeError& e) {
      // An entry no activation would use (a relative path written by an
      // older version) is not worth keeping the record open for.
      if (e.Number() != core::err::kInvalidProcedureCall) throw;
    }
  }
  Transaction clear(db);
  ClearTargets(db);
  clear.Commit();
}

}  // namespace complus::internal

// Changes to the class registry that go with a catalog change, made safe
// against a crash.
//
// The catalog and the class registry are two files, and no transaction spans
// both. So a change that touches both first records in the catalog what the
// registry must hold for each class concerned should the process die before
// it is done, in a transaction that commits no later than the catalog change
// itself, and clears that record in the transaction that completes it.
// Whoever finds a record later puts the registry so, then clears it.
//
// Every change that writes the registry holds the registry lock
// (<root>/complus/registry.lock) from before it records until after it
// clears, so a record found under that lock was left by a process that died.
// Internal to the catalog.
#pragma once

#include <optional>
#include <vector>

#include "platform/com/class_registry.h"
#include "platform/com/file_lock.h"
#include "platform/com/server.h"

namespace complus::internal {

class Database;

// What the registry must hold for one class: entry, or nothing.
struct RegistryTarget {
  com::CLSID clsid;
  std::optional<com::ClassEntry> entry;
};

// Waits for the registry lock of the catalog db.
com::FileLock LockRegistry(const Database& db);
// The lock if nobody holds it now.
std::optional<com::FileLock> TryLockRegistry(const Database& db);

// What the registry holds now for each class and for any other class that
// registering them would displace (an entry with the same ProgID).
std::vector<RegistryTarget> CurrentTargets(const std::vector<com::ClassDescription>& classes);

// Inside the caller's transaction.
void RecordTargets(Database& db, const std::vector<RegistryTarget>& targets);
void ClearTargets(Database& db);

// Puts the registry as the record says, then clears the record. Nothing to
// do when there is none. The caller holds the registry lock. RuntimeError
// naming the file and the cause when the registry cannot be written; the
// record then stays for the next attempt.
void ApplyTargets(Database& db);

// True when a record is waiting.
bool HasTargets(Database& db);

}  // namespace complus::internal

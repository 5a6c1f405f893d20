// Provisioning a server root as one step: a run that is killed, or that
// fails on a full or read-only disk, leaves either no root or a whole one,
// never something in between that a rerun would refuse.
//
// The new root is built completely in a staging folder and then put in
// place. When the root does not exist yet (or is an empty folder on the same
// file system as its parent) the staging folder lies beside it and one
// rename makes it the root. Otherwise (a folder that already holds other
// files) it lies inside the root and its parts are moved in with the machine
// file last: a root counts as provisioned only once that file is there, so
// until then a rerun takes the moved parts back out and starts again.
//
// A staging folder is locked (flock) while a run uses it; the next run
// finds a leftover of a killed run unlocked and removes it (a run killed
// just after its commit inside an occupied folder leaves the staging folder
// there, empty, until then). Every folder of
// the new root is 0700 and every file 0600 whatever the umask, and every
// part is synced to disk before the rename that publishes it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/store/machine.h"
#include "tools/zenthra-store/directory_seed.h"

namespace store::cli {

// What the new root's directory/ folder holds and which mailboxes to make.
struct RootPlan {
  enum class Directory { kLdif, kLdap };
  Directory directory = Directory::kLdif;
  // kLdif: the catalog; the store's system mailboxes are appended to it.
  // kLdap: the connection settings (ldap_config.h); the system mailboxes'
  // records go to system-mailboxes.ldif for the administrator to add.
  std::string text;
  std::vector<PlannedMailbox> mailboxes;
};

// The name of a staging folder inside a root, and beside it for root.
inline constexpr const char* kStagingName = ".zenthra-provisioning";
std::filesystem::path SiblingStaging(const std::filesystem::path& root);

// The records of the store's system mailboxes, written beside ldap.conf
// for the administrator to add to the directory server.
std::filesystem::path SystemMailboxRecordsPath(const std::filesystem::path& root);

// Creates root for machine as planned and returns the lines to print (the
// system mailboxes, the directory file, each mailbox), all of which hold
// only once it returns. RuntimeError kDbResourceExists when root is
// provisioned already, another code naming the file and the cause ("disk
// full", "read-only file system") when the disk refuses; nothing is left
// behind then.
std::vector<std::string> ProvisionRoot(const std::filesystem::path& root, const Machine& machine,
                                       const RootPlan& plan);

}  // namespace store::cli

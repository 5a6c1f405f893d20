#include "tools/zenthra-store/provisioning.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/directory/ldap_config.h"
#include "platform/directory/ldif_backend.h"
#include "platform/store/session.h"
#include "platform/store/store.h"

namespace store::cli {

namespace fs = std::filesystem;
using core::RuntimeError;

namespace {

[[noreturn]] void FileFailure(std::string_view what, const fs::path& path, int errnum) {
  throw RuntimeError(core::err::kPathNotFound, core::DescribeFileError(what, path, errnum));
}

// An open descriptor, closed on every path.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void SyncPath(const fs::path& path, bool folder) {
  Fd fd(::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) FileFailure("Cannot sync", path, errno);
}

// Gives every folder below (and including) top 0700 and every file 0600,
// and syncs each to disk: the parts become durable before they are renamed
// into place, and the modes hold whatever the umask was.
void SealTree(const fs::path& top) {
  std::vector<fs::path> folders{top};
  for (std::size_t i = 0; i < folders.size(); ++i) {
    std::error_code ec;
    for (fs::directory_iterator it(folders[i], ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& p = it->path();
      struct stat st {};
      if (::lstat(p.c_str(), &st) != 0) FileFailure("Cannot read", p, errno);
      if (S_ISDIR(st.st_mode)) {
        folders.push_back(p);
      } else {
        if (::chmod(p.c_str(), core::kPrivateFileMode) != 0) {
          FileFailure("Cannot set the mode of", p, errno);
        }
        SyncPath(p, false);
      }
    }
    if (ec) FileFailure("Cannot read the folder", folders[i], ec.value());
  }
  // Innermost folders first, so that each folder's entries are on disk
  // before the folder that names it.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (::chmod(it->c_str(), core::kPrivateFolderMode) != 0) {
      FileFailure("Cannot set the mode of", *it, errno);
    }
    SyncPath(*it, true);
  }
}

// Renames from to to; durable only once the folder holding to is synced.
void MoveIntoPlace(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) FileFailure("Cannot move into place", to, errno);
}

void RemoveAll(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) FileFailure("Cannot remove", path, ec.value());
}

// A staging folder held for the life of the object. Taking it fails when
// another run holds it; a leftover of a run that was killed is emptied.
class Staging {
 public:
  explicit Staging(fs::path path) : path_(std::move(path)) {
    if (::mkdir(path_.c_str(), core::kPrivateFolderMode) != 0 && errno != EEXIST) {
      FileFailure("Cannot create the staging folder", path_, errno);
    }
    fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) FileFailure("Cannot open the staging folder", path_, errno);
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      ::close(fd_);
      fd_ = -1;
      if (e == EWOULDBLOCK) {
        throw RuntimeError(core::err::kDbResourceExists,
                           "Another provisioning is running (it holds " + path_.string() + ")");
      }
      FileFailure("Cannot lock the staging folder", path_, e);
    }
    if (::fchmod(fd_, core::kPrivateFolderMode) != 0) {
      FileFailure("Cannot set the mode of", path_, errno);
    }
    Empty();
  }
  ~Staging() {
    if (fd_ >= 0) ::close(fd_);
  }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  const fs::path& path() const { return path_; }

  void Empty() {
    std::error_code ec;
    for (fs::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
      RemoveAll(it->path());
    }
    if (ec) FileFailure("Cannot read the folder", path_, ec.value());
  }

  // Removes the staging folder itself (still locked until destroyed).
  void Remove() {
    RemoveAll(path_);
    SyncPath(path_.parent_path(), true);
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

fs::path Normalized(const fs::path& root) {
  fs::path p = fs::absolute(root).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();  // "a/b/" -> "a/b"
  return p;
}

bool IsProvisioned(const fs::path& root) {
  std::error_code ec;
  return fs::exists(MachineFile(root), ec) || fs::exists(DatabaseFile(root), ec);
}

// An in-root staging folder is removed only after the machine file is in
// place, so one found without that file belongs to a run that was killed
// while moving its parts in: those parts are taken out again.
void RecoverInRoot(const fs::path& root) {
  const fs::path staging = root / kStagingName;
  std::error_code ec;
  if (!fs::is_directory(staging, ec)) return;
  Staging held(staging);
  if (!fs::exists(MachineFile(root), ec)) {
    RemoveAll(DatabaseFile(root).parent_path());
    RemoveAll(directory::DefaultLdifPath(root).parent_path());
    SyncPath(root, true);
  }
  held.Remove();
}

bool UseSibling(const fs::path& root) {
  struct stat st {
  }, parent{};
  if (::stat(root.c_str(), &st) != 0) return errno == ENOENT;
  std::error_code ec;
  if (!S_ISDIR(st.st_mode) || !fs::is_empty(root, ec) || ec) return false;
  // A rename cannot cross file systems, nor replace a mount point.
  return ::stat(root.parent_path().c_str(), &parent) == 0 && parent.st_dev == st.st_dev &&
         ::access(root.parent_path().c_str(), W_OK) == 0;
}

// Builds the whole root in staging; returns the lines to print.
std::vector<std::string> Build(const fs::path& staging, const fs::path& root,
                               const Machine& machine, const RootPlan& plan) {
  std::vector<std::string> system_lines, mailbox_lines;
  std::string system_records;
  Provision(staging, machine);
  {
    std::unique_ptr<Store> store = Store::Open(staging);
    for (const MailboxInfo& m : store->Mailboxes()) {
      if (!m.is_system) continue;
      system_records += SystemMailboxLdif(machine, m);
      system_lines.push_back("system mailbox " + m.url);
    }
    // One transaction: one sync for all mailboxes.
    store->BeginTrans();
    for (const PlannedMailbox& m : plan.mailboxes) {
      mailbox_lines.push_back("mailbox " + store->AddMailbox(m.alias, m.inbox_name));
    }
    store->CommitTrans();
  }
  // Every connection to the database is closed before the rename.
  store::Session::ReleaseIdle(staging);

  core::CreatePrivateFolders(directory::DefaultLdifPath(staging).parent_path());
  std::string directory_line;
  if (plan.directory == RootPlan::Directory::kLdif) {
    core::WriteFileAtomically(directory::DefaultLdifPath(staging), plan.text + system_records);
    directory_line = "directory " + directory::DefaultLdifPath(root).string();
  } else {
    // The directory server is not ours to change: its administrator adds
    // the system mailboxes' records, with which the store-wide
    // registration is offered.
    core::WriteFileAtomically(directory::LdapConfigPath(staging), plan.text);
    core::WriteFileAtomically(SystemMailboxRecordsPath(staging),
                              "# The store's system mailboxes: add them to the directory\n"
                              "# (ldapadd -f) to register Zenthra store-wide.\n"
                              "version: 1\n" +
                                  system_records);
    directory_line = "directory " + directory::LdapConfigPath(root).string() +
                     " (records to add: " + SystemMailboxRecordsPath(root).string() + ")";
  }
  SealTree(staging);

  std::vector<std::string> lines = std::move(system_lines);
  lines.push_back(directory_line);
  lines.insert(lines.end(), mailbox_lines.begin(), mailbox_lines.end());
  return lines;
}

}  // namespace

fs::path SystemMailboxRecordsPath(const fs::path& root) {
  return directory::DefaultLdifPath(root).parent_path() / "system-mailboxes.ldif";
}

fs::path SiblingStaging(const fs::path& root) {
  const fs::path r = Normalized(root);
  return r.parent_path() / ("." + r.filename().string() + kStagingName);
}

std::vector<std::string> ProvisionRoot(const fs::path& root_in, const Machine& machine,
                                       const RootPlan& plan) {
  const fs::path root = Normalized(root_in);
  const fs::path parent = root.parent_path();
  core::CreatePrivateFolders(parent);

  std::error_code ec;
  if (fs::is_directory(root, ec)) RecoverInRoot(root);
  auto already = [&] {
    return RuntimeError(core::err::kDbResourceExists,
                        "Server root " + root.string() + " is already provisioned");
  };
  const bool sibling = !IsProvisioned(root) && UseSibling(root);
  if (!sibling && fs::is_directory(SiblingStaging(root), ec)) {
    Staging(SiblingStaging(root)).Remove();  // a leftover; the root has changed since
  }
  if (IsProvisioned(root)) throw already();
  if (!sibling) {
    // The parts are moved in beside what the folder holds; they must not
    // meet anything of the same name (which a failure would then remove).
    for (const fs::path& part :
         {DatabaseFile(root).parent_path(), directory::DefaultLdifPath(root).parent_path()}) {
      if (fs::exists(fs::symlink_status(part, ec))) {
        throw RuntimeError(core::err::kDbResourceExists,
                           "Server root " + root.string() + " is not provisioned but holds " +
                               part.string() + " already; move it away first");
      }
    }
  }
  Staging staging(sibling ? SiblingStaging(root) : root / kStagingName);
  if (IsProvisioned(root)) {  // another run finished in the meantime
    staging.Remove();
    throw already();
  }

  std::vector<std::string> lines;
  bool committed = false;
  try {
    lines = Build(staging.path(), root, machine, plan);
    if (sibling) {
      // One rename publishes the whole root (it may replace an empty
      // folder of that name).
      MoveIntoPlace(staging.path(), root);
      committed = true;
      SyncPath(parent, true);
    } else {
      const fs::path store_folder = DatabaseFile(root).parent_path().filename();
      const fs::path directory_folder = directory::DefaultLdifPath(root).parent_path().filename();
      MoveIntoPlace(staging.path() / store_folder, root / store_folder);
      MoveIntoPlace(staging.path() / directory_folder, root / directory_folder);
      SyncPath(root, true);
      MoveIntoPlace(MachineFile(staging.path()), MachineFile(root));
      committed = true;
      SyncPath(root, true);
    }
  } catch (...) {
    // Nothing is published before the commit: take back what was made.
    // What cannot be removed now, the next run removes.
    store::Session::ReleaseIdle(staging.path());
    if (!committed) {
      try {
        if (!sibling) {
          RemoveAll(DatabaseFile(root).parent_path());
          RemoveAll(directory::DefaultLdifPath(root).parent_path());
        }
        staging.Remove();
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  if (!sibling) {
    // Left behind, the staging folder would only cost the next run a look.
    try {
      staging.Remove();
    } catch (const std::exception&) {
    }
  }
  return lines;
}

}  // namespace store::cli

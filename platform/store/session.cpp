#include "platform/store/session.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <iterator>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/text.h"
#include "platform/store/database.h"
#include "platform/store/events.h"
#include "platform/store/sqlite_util.h"
#include "platform/store/store.h"

// The copy of the store's code in the program offers its session table here
// (see session.h). The number changes whenever Session, Store or the
// dispatcher change shape, so that copies built from other sources never
// share objects.
#define ZENTHRA_SESSION_SYMBOL zenthra_store_session_v6
#define ZENTHRA_STRINGIFY2(x) #x
#define ZENTHRA_STRINGIFY(x) ZENTHRA_STRINGIFY2(x)

namespace store {

using core::RuntimeError;
namespace err = core::err;

namespace {

// A few pages more than deleting a large message writes to the log, so that
// an administrator can still remove mail from a full disk.
constexpr off_t kReserveBytes = 1 << 20;

std::filesystem::path ReserveFile(const std::filesystem::path& root) {
  return root / "store" / "space-reserve";
}

// Savepoint statements by depth, kept prepared like every other statement;
// deeper levels are run as text.
const char* const kSavepoint[] = {nullptr,        "SAVEPOINT l1", "SAVEPOINT l2", "SAVEPOINT l3",
                                  "SAVEPOINT l4", "SAVEPOINT l5", "SAVEPOINT l6", "SAVEPOINT l7"};
const char* const kRelease[] = {nullptr,      "RELEASE l1", "RELEASE l2", "RELEASE l3",
                                "RELEASE l4", "RELEASE l5", "RELEASE l6", "RELEASE l7"};
const char* const kRollbackTo[] = {nullptr,          "ROLLBACK TO l1", "ROLLBACK TO l2",
                                   "ROLLBACK TO l3", "ROLLBACK TO l4", "ROLLBACK TO l5",
                                   "ROLLBACK TO l6", "ROLLBACK TO l7"};
constexpr std::size_t kPreparedDepth = std::size(kSavepoint);

// Forks behind this process: a child counts one more than the parent it was
// forked from. Counted by an atfork handler, registered before the first
// session opens, rather than by getpid at every lookup, a system call.
std::atomic<std::uint64_t> forks{0};

std::uint64_t ForkGeneration() {
  [[maybe_unused]] static const int registered =
      ::pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1, std::memory_order_relaxed); });
  return forks.load(std::memory_order_relaxed);
}

std::string Key(const std::filesystem::path& root) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(root, ec);
  return (ec ? root : absolute).lexically_normal().string();
}

}  // namespace

// The sessions of the calling thread, by the root's spelling; one session
// may stand under several spellings of the same root.
class SessionTable {
 public:
  ~SessionTable() {
    while (!entries_.empty()) entries_.pop_back();  // the newest first
  }

  static SessionTable& ThisThread() {
    thread_local SessionTable table;
    return table;
  }

  std::shared_ptr<Session> Get(const std::filesystem::path& root) {
    // A thread asks for one root again and again, spelled the same way; a
    // relative spelling depends on the current folder and is worked out anew.
    if (!root.is_absolute() || root.native() != last_spelling_) {
      last_key_ = Key(root);
      last_spelling_ = root.is_absolute() ? root.native() : std::string();
    }
    const std::string key = last_key_;
    LeaveForkedParent();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].key != key) continue;
      // A session inside a transaction stays the thread's until it ends,
      // whatever became of its file: its work must not be split.
      if (entries_[i].session->InTransaction() || !entries_[i].session->Outdated()) {
        return entries_[i].session;
      }
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
    Sweep();
    const std::filesystem::path file = DatabaseFile(root);
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
      for (const Entry& e : entries_) {
        if (e.session->dev_ == st.st_dev && e.session->ino_ == st.st_ino &&
            !e.session->Outdated()) {
          entries_.push_back({key, e.session});
          return entries_.back().session;
        }
      }
    }
    std::shared_ptr<Session> session = Session::Open(root, file);
    entries_.push_back({key, session});
    return session;
  }

  void ReleaseIdle(const std::filesystem::path& root) {
    LeaveForkedParent();
    const std::string key = Key(root);
    for (const Entry& e : entries_) {
      if (e.key != key) continue;
      // One session may stand under several spellings: it is idle when the
      // table's entries are all that hold it.
      const std::shared_ptr<Session> session = e.session;
      long held_here = 0;
      for (const Entry& other : entries_) held_here += other.session == session;
      if (session.use_count() - 1 != held_here) return;
      std::erase_if(entries_, [&](const Entry& x) { return x.session == session; });
      return;
    }
  }

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<Session> session;
  };

  // A forked child must not use, nor close, its parent's connections: they
  // are left alone for good.
  void LeaveForkedParent() {
    if (entries_.empty() || entries_.front().session->fork_generation_ == ForkGeneration()) return;
    static auto* parked = new std::vector<Entry>();  // never freed, never closed
    std::move(entries_.begin(), entries_.end(), std::back_inserter(*parked));
    entries_.clear();
  }

  // Sessions of deleted or replaced stores that nobody uses any more.
  void Sweep() {
    for (std::size_t i = entries_.size(); i-- > 0;) {
      if (entries_[i].session.use_count() == 1 && entries_[i].session->HasMoved()) {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  std::vector<Entry> entries_;
  std::string last_spelling_, last_key_;
};

}  // namespace store

extern "C" __attribute__((visibility("default"))) void ZENTHRA_SESSION_SYMBOL(
    const char* root, std::size_t layout, std::shared_ptr<store::Session>* out,
    std::int32_t* number, std::string* description) {
  *number = 0;
  if (layout != sizeof(store::Session)) {
    *number = core::err::kEFail;
    *description =
        "A component's copy of the store does not match the program's; build them from the same "
        "sources";
    return;
  }
  try {
    *out = store::SessionTable::ThisThread().Get(root);
  } catch (const core::RuntimeError& e) {
    *number = e.Number();
    *description = e.Description();
  } catch (const std::exception& e) {
    *number = core::err::kEFail;
    *description = e.what();
  }
}

namespace store {

namespace {

using SessionFn = void (*)(const char*, std::size_t, std::shared_ptr<Session>*, std::int32_t*,
                           std::string*);

// The program's session table when this copy of the code is not the
// program's own; null otherwise.
SessionFn ProgramTable() {
  static const SessionFn fn = []() -> SessionFn {
    void* symbol = ::dlsym(RTLD_DEFAULT, ZENTHRA_STRINGIFY(ZENTHRA_SESSION_SYMBOL));
    if (!symbol || symbol == reinterpret_cast<void*>(&ZENTHRA_SESSION_SYMBOL)) return nullptr;
    // The program's sessions may come to hold objects made by this copy.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&ZENTHRA_SESSION_SYMBOL), &info) && info.dli_fname) {
      ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    return reinterpret_cast<SessionFn>(symbol);
  }();
  return fn;
}

}  // namespace

std::shared_ptr<Session> Session::ForThread(const std::filesystem::path& root) {
  if (SessionFn program = ProgramTable()) {
    std::shared_ptr<Session> session;
    std::int32_t number = 0;
    std::string description;
    program(root.c_str(), sizeof(Session), &session, &number, &description);
    if (number != 0) throw RuntimeError(number, description);
    return session;
  }
  return SessionTable::ThisThread().Get(root);
}

void Session::ReleaseIdle(const std::filesystem::path& root) {
  if (ProgramTable()) return;
  SessionTable::ThisThread().ReleaseIdle(root);
}

std::shared_ptr<Session> Session::Open(const std::filesystem::path& root,
                                       const std::filesystem::path& file) {
  Machine machine = ReadMachine(root);
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      throw RuntimeError(err::kPathNotFound,
                         "Server root " + root.string() + " has no store (" + file.string() + ")");
    }
    throw RuntimeError(err::kPathNotFound,
                       core::DescribeFileError("Cannot open the store", file, errno));
  }
  db::Opened opened = db::Open(file);
  std::shared_ptr<Session> session(new Session());
  session->db_ = opened.handle;
  session->read_only_ = opened.read_only;
  session->read_only_errno_ = opened.read_only_errno;
  session->root_ = root;
  session->file_ = file;
  session->machine_ = std::move(machine);
  session->fork_generation_ = ForkGeneration();
  session->dev_ = st.st_dev;
  session->ino_ = st.st_ino;
  // Commits sync the log themselves (Commit), so that a relaxed one needs
  // no change of level. What a savepoint must be able to undo stays in
  // memory: spilled to a temporary file, it cost a file opened, written and
  // closed for every batch of sink work units. It holds the pages the
  // savepoint changed, a few for a delivery or for a message filed.
  if (!session->read_only_) {
    sql::Exec(opened.handle, "PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY");
  }
  session->stmts_ = std::make_unique<sql::StmtCache>(opened.handle);
  session->events_ = std::make_unique<events::Dispatcher>(*session);
  {
    sql::Stmt s(opened.handle, "SELECT name FROM items WHERE parent = 0 ORDER BY id LIMIT 1");
    if (!s.Step()) {
      throw RuntimeError(err::kDbNotFound, "The store " + file.string() + " has no domain folder");
    }
    session->domain_folder_ = s.Text(0);
  }
  if (!session->read_only_) session->TakeBackReserve();
  return session;
}

Session::~Session() {
  if (!levels_.empty()) RollbackFrom(0);
  events_.reset();
  stmts_.reset();
  if (db_) {
    // A deleted store needs no checkpoint on the way out.
    if (HasMoved()) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close_v2(db_);
  }
}

bool Session::HasMoved() const {
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK) return true;
  return moved != 0;
}

bool Session::Outdated() const {
  if (HasMoved()) return true;
  return read_only_ && read_only_errno_ != 0 && db::ReadOnlyReason(file_) == 0;
}

std::string Session::WriteRefusal() const {
  return "Cannot change the store " + file_.string() + ": " +
         (read_only_errno_ != 0 ? core::FileErrorCause(read_only_errno_)
                                : std::string("it is open for reading only"));
}

// --- Transaction levels ------------------------------------------------------

std::size_t Session::IndexOf(Level level) const {
  for (std::size_t i = 0; i < levels_.size(); ++i) {
    if (levels_[i].id == level) return i;
  }
  return static_cast<std::size_t>(-1);
}

bool Session::IsOpen(Level level) const { return IndexOf(level) != static_cast<std::size_t>(-1); }

void Session::Reconcile() noexcept {
  if (levels_.empty() || !sqlite3_get_autocommit(db_)) return;
  // SQLite rolled the transaction back by itself (a full disk, a failed
  // COMMIT): every level is gone, and so is what their events saved.
  levels_.clear();
  ForgetAll();
  EndTransaction();
  events_->Aborted(0);
}

void Session::Run(const char* sql) {
  auto s = stmts_->Get(sql);
  s->Run();
}

void Session::RunLevel(const char* const* table, const char* verb, std::size_t depth) {
  if (depth < kPreparedDepth) return Run(table[depth]);
  sql::Exec(db_, (std::string(verb) + " l" + std::to_string(depth)).c_str());
}

bool Session::RunQuietly(const char* sql) noexcept {
  try {
    Run(sql);
    return true;
  } catch (...) {
    return false;
  }
}

Session::Level Session::Begin(Durability durability) {
  Reconcile();
  if (read_only_) throw RuntimeError(err::kEFail, WriteRefusal());
  const std::size_t depth = levels_.size();
  if (depth == 0) {
    // A transaction nobody here owns can only be left from a failed
    // rollback; it must not swallow the next one.
    if (!sqlite3_get_autocommit(db_)) RunQuietly("ROLLBACK");
    relaxed_ = durability == Durability::Relaxed;
    try {
      Run("BEGIN IMMEDIATE");
    } catch (...) {
      EndTransaction();
      throw;
    }
    // A newer program may have changed the store's format since it was
    // opened; writing the old format into it would damage it.
    int format = -1;
    {
      auto v = stmts_->Get("PRAGMA user_version");
      if (v->Step()) format = static_cast<int>(v->Int(0));
    }
    if (format != db::kFormatVersion) {
      RunQuietly("ROLLBACK");
      EndTransaction();
      throw RuntimeError(err::kEFail, "The store " + file_.string() + " now has format " +
                                          std::to_string(format) + ", this program writes format " +
                                          std::to_string(db::kFormatVersion));
    }
    changes_at_begin_ = sqlite3_total_changes64(db_);
    // What other connections committed before the write lock was taken
    // shows now; until the transaction ends nobody else can commit.
    CheckDataVersion();
  } else {
    RunLevel(kSavepoint, "SAVEPOINT", depth);
  }
  levels_.push_back({next_level_++, events_->Mark()});
  return levels_.back().id;
}

void Session::EndTransaction() noexcept { relaxed_ = false; }

void Session::Commit(Level level, const std::function<void()>& durable) {
  Reconcile();
  const std::size_t i = IndexOf(level);
  if (i == static_cast<std::size_t>(-1)) {
    throw RuntimeError(err::kAdoInvalidTransaction,
                       "The transaction is no longer open on the store " + file_.string() +
                           " (it was rolled back)");
  }
  if (i + 1 != levels_.size()) {
    throw RuntimeError(err::kAdoInvalidTransaction,
                       "Cannot commit: a transaction begun later on this thread's session of the "
                       "store " +
                           file_.string() + " is still open");
  }
  if (i > 0) {
    RunLevel(kRelease, "RELEASE", i);
    levels_.pop_back();
    return;
  }
  try {
    Run("COMMIT");
  } catch (const RuntimeError&) {
    Reconcile();
    throw;
  }
  const bool relaxed = relaxed_;
  EndTransaction();
  levels_.clear();
  // The connection runs at synchronous=NORMAL, where a commit does not sync
  // the log; a full commit syncs it here. Switching the level per
  // transaction instead costs a statement prepared anew each time.
  std::exception_ptr not_durable;
  if (sqlite3_total_changes64(db_) != changes_at_begin_) {
    unsynced_ = true;
    if (!relaxed) {
      try {
        Sync();
      } catch (const RuntimeError&) {
        not_durable = std::current_exception();
      }
    }
  }
  if (durable && !relaxed && !not_durable) durable();
  // The changes are in the store whatever the sync did, and the sinks see
  // them as for any commit; a failed sync is then reported as a failure, so
  // that the caller may store its work again but never counts on it.
  events_->Committed();
  if (not_durable) std::rethrow_exception(not_durable);
}

void Session::CommitScope(Level level) {
  Reconcile();
  const std::size_t i = IndexOf(level);
  if (i != static_cast<std::size_t>(-1) && i + 1 < levels_.size()) RollbackFrom(i + 1);
  Commit(level);
}

void Session::Rollback(Level level) noexcept {
  Reconcile();
  const std::size_t i = IndexOf(level);
  if (i != static_cast<std::size_t>(-1)) RollbackFrom(i);
}

void Session::RollbackFrom(std::size_t index) noexcept {
  ForgetAll();  // what was found inside may be gone
  const std::size_t mark = levels_[index].event_mark;
  if (index == 0) {
    RunQuietly("ROLLBACK");
    EndTransaction();
  } else {
    try {
      RunLevel(kRollbackTo, "ROLLBACK TO", index);
      RunLevel(kRelease, "RELEASE", index);
    } catch (...) {
      // Reconcile below notices when SQLite gave the whole transaction up.
    }
  }
  levels_.resize(index);
  Reconcile();
  events_->Aborted(mark);
}

void Session::Sync() {
  if (!unsynced_) return;
  // The log as SQLite itself holds it open; syncing it makes every frame
  // written so far durable, as a commit at synchronous=FULL would have.
  sqlite3_file* log = nullptr;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) == SQLITE_OK &&
      log != nullptr && log->pMethods != nullptr) {
    if (log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) != SQLITE_OK) {
      const int e = errno;
      throw RuntimeError(err::kEFail, core::DescribeFileError("Cannot sync the store log",
                                                              file_.string() + "-wal", e));
    }
    unsynced_ = false;
    return;
  }
  const std::string wal = file_.string() + "-wal";
  int fd = ::open(wal.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // Checkpointed and removed: the checkpoint synced the database file.
    if (errno == ENOENT) {
      unsynced_ = false;
      return;
    }
    throw RuntimeError(err::kEFail,
                       core::DescribeFileError("Cannot sync the store log", wal, errno));
  }
  int rc = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (rc != 0) {
    throw RuntimeError(err::kEFail, core::DescribeFileError("Cannot sync the store log", wal, e));
  }
  unsynced_ = false;
}

// --- Disk-space reserve -------------------------------------------------------

// Only texts of ordinary size are kept: a copy of a huge message would
// cost more memory than its second parse costs time.
constexpr std::size_t kMaxAnalysedBytes = 1 << 20;
// Enough for a committer's batch of ordinary messages.
constexpr std::size_t kMaxAnalysedTexts = 64;
constexpr std::size_t kMaxAnalysedTotal = 8 << 20;

Session::Analysis Session::RememberAnalysis(std::string_view content,
                                            const mime::MessageInfo& info) {
  if (content.size() > kMaxAnalysedBytes) return {};
  analysed_.push_front({std::make_shared<const std::string>(content),
                        std::make_shared<const mime::MessageInfo>(info)});
  analysed_bytes_ += content.size();
  Analysis added = analysed_.front();
  while (analysed_.size() > kMaxAnalysedTexts || analysed_bytes_ > kMaxAnalysedTotal) {
    analysed_bytes_ -= analysed_.back().text->size();
    analysed_.pop_back();
  }
  return added;
}

Session::Analysis Session::Remembered(std::string_view content) const {
  for (const Analysis& a : analysed_) {
    if (a.text->size() == content.size() && *a.text == content) return a;
  }
  return {};
}

// --- Caches -----------------------------------------------------------------------

void Session::Revalidate() noexcept {
  if (!levels_.empty() && !sqlite3_get_autocommit(db_)) return;
  CheckDataVersion();
}

void Session::CheckDataVersion() noexcept {
  std::int64_t version = -1;
  try {
    auto handle = stmts_->Get("PRAGMA data_version");
    if (handle->Step()) version = handle->Int(0);
  } catch (...) {
    // Unknown: nothing kept can be trusted.
  }
  if (version != data_version_ || version == -1) ForgetAll();
  data_version_ = version;
}

Session::ItemCache::Entry* Session::ItemCache::Get(ItemId id) {
  for (auto& [item, entry] : entries_) {
    if (item == id) return &entry;
  }
  return nullptr;
}

Session::ItemCache::Entry& Session::ItemCache::Put(ItemId id) {
  auto it =
      std::find_if(entries_.begin(), entries_.end(), [id](const auto& e) { return e.first == id; });
  if (it != entries_.end()) {
    std::rotate(it, it + 1, entries_.end());
  } else {
    if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
    entries_.emplace_back(id, Entry());
  }
  return entries_.back().second;
}

void Session::ItemCache::Forget(ItemId id) {
  auto it =
      std::find_if(entries_.begin(), entries_.end(), [id](const auto& e) { return e.first == id; });
  if (it != entries_.end()) entries_.erase(it);
}

const Item* Session::FolderCache::Get(ItemId parent, const std::string& name_key) const {
  auto children = folders_.find(parent);
  if (children == folders_.end()) return nullptr;
  auto it = children->second.find(name_key);
  return it == children->second.end() ? nullptr : &it->second;
}

const Item* Session::FolderCache::ById(ItemId id) const {
  auto it = by_id_.find(id);
  if (it != by_id_.end()) return &it->second;
  for (const Item& item : items_) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

void Session::FolderCache::Put(const Item& item) {
  if (item.is_folder) {
    Put(core::FoldCase(item.name), item);
    return;
  }
  ForgetItem(item.id);
  if (items_.size() >= kMaxItems) items_.erase(items_.begin());
  items_.push_back(item);
}

void Session::FolderCache::ForgetItem(ItemId id) {
  auto it = std::find_if(items_.begin(), items_.end(), [id](const Item& i) { return i.id == id; });
  if (it != items_.end()) items_.erase(it);
}

void Session::FolderCache::Put(const std::string& name_key, const Item& folder) {
  folders_[folder.parent].insert_or_assign(name_key, folder);
  by_id_.insert_or_assign(folder.id, folder);
}

bool Session::GiveUpReserve() {
  struct stat st {};
  const std::filesystem::path file = ReserveFile(root_);
  if (::stat(file.c_str(), &st) != 0 || st.st_size == 0) return false;
  return ::unlink(file.c_str()) == 0;
}

void Session::TakeBackReserve() noexcept {
  const std::filesystem::path file = ReserveFile(root_);
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && st.st_size >= kReserveBytes) return;
  int fd =
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, core::kPrivateFileMode);
  if (fd < 0) return;
  ::fchmod(fd, core::kPrivateFileMode);
  // No room yet: what could be had stays, the rest waits for the next try.
  (void)::posix_fallocate(fd, 0, kReserveBytes);
  ::close(fd);
}

}  // namespace store

// A store session: the one SQLite connection through which every data-access
// object of one thread reaches one server root's store.
//
// Store handles, ADO connections and records, CDO data sources, the
// file-system view and the event dispatcher of a thread all share the
// thread's session on a root, with its prepared statements, so opening any
// of them costs a table lookup and a stat, not a database open. Threads never
// share a session. A session stays open for its thread's life; one whose
// database file was deleted or replaced (a root removed and provisioned
// again at the same path) is never handed out again.
//
// Component libraries keep private copies of the store's code. So that the
// event sinks they hold work inside the work units the dispatcher opens
// around them, the copy in the program exports the thread's session table
// (zenthra_store_session_v<N>, see session.cpp) and every other copy takes its
// sessions from there. A copy that joins the program's table keeps its own
// code loaded for the rest of the process, because the program's sessions
// may come to hold objects it made.
//
// Transactions are a stack of levels: the outermost is BEGIN IMMEDIATE, each
// inner one a savepoint. Whoever begins a level owns it: committing it while
// an inner level is still open is refused (the inner work is never committed
// by someone else's commit), and rolling it back rolls back every level above
// it too. When SQLite ends a transaction by itself (a failed COMMIT, a full
// disk), the session's levels follow it: all are gone, later commits of them
// fail with kAdoInvalidTransaction and rollbacks of them do nothing.
//
// Store events wait on the levels: the committed phase runs after the
// outermost commit, the aborted phase after the rollback of the level they
// were raised in (events.h).
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/core/variant.h"
#include "platform/mime/mime.h"
#include "platform/store/item.h"
#include "platform/store/machine.h"

namespace store {

namespace events {
class Dispatcher;
}
namespace sql {
class StmtCache;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  // The calling thread's session on the store of root, opened on first use.
  // Error 76 when root is not provisioned; errors naming the database file
  // and the cause when it cannot be opened.
  static std::shared_ptr<Session> ForThread(const std::filesystem::path& root);

  // Closes the calling thread's sessions on root that no handle holds any
  // more. An idle session keeps the store's files open, so a thread calls
  // this before it removes or moves those files, or before their file
  // system is remounted read-only; otherwise the space of deleted files
  // stays taken and the remount is refused. Does nothing in a component's
  // copy of the store, whose sessions are the program's.
  static void ReleaseIdle(const std::filesystem::path& root);

  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  sqlite3* db() const { return db_; }
  sql::StmtCache& stmts() { return *stmts_; }
  events::Dispatcher& events() { return *events_; }
  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& file() const { return file_; }
  const Machine& machine() const { return machine_; }
  // The domain folder's name as stored.
  const std::string& domain_folder() const { return domain_folder_; }

  // True when the store cannot be written here (read-only file system, no
  // permission); every write then fails with WriteRefusal().
  bool read_only() const { return read_only_; }
  // "Cannot change the store <file>: <cause>".
  std::string WriteRefusal() const;

  // --- Transaction levels -------------------------------------------------
  using Level = std::uint64_t;  // 0 names no level
  enum class Durability {
    // Durable when Commit returns: the log is synced after the commit.
    Full,
    // Not synced: lost on power failure until a later full commit or
    // Sync(); a crash of the process alone loses nothing.
    Relaxed,
  };

  // Opens a level: BEGIN IMMEDIATE when none is open (waits for the write
  // lock), a savepoint otherwise. The durability of the whole transaction
  // is the outermost level's.
  Level Begin(Durability durability = Durability::Full);
  // Commits level, which must be the innermost open one; committing the
  // outermost ends the transaction and then runs the committed phase of
  // its events. kAdoInvalidTransaction when level is not open or an inner
  // level is. A failed COMMIT leaves the levels as SQLite left the
  // transaction and raises the error. A full commit whose log cannot be
  // synced stays committed, runs its committed phase and then raises the
  // error: its work may or may not survive a power failure.
  //
  // durable, when given, is called once a full commit of the outermost
  // level is synced (or changed nothing), before the committed phase runs:
  // a caller that answers for the work need not wait for the sinks. It is
  // not called for a relaxed or an inner level, nor for a commit that
  // failed or could not be synced, and must not throw.
  void Commit(Level level, const std::function<void()>& durable = nullptr);
  // Commits level after rolling back whatever levels above it were left
  // open by code it called (a sink that never committed its own).
  void CommitScope(Level level);
  // Rolls back level and every level above it; nothing when level is no
  // longer open. Never throws.
  void Rollback(Level level) noexcept;
  bool IsOpen(Level level) const;
  bool InTransaction() const { return !levels_.empty(); }

  // Makes every relaxed commit of this session durable (one fsync of the
  // log) when there is one that is not yet.
  void Sync();

  // Frees the disk-space reserve so that a delete can go through on a full
  // disk; true when there was one to free. TakeBackReserve() recreates it
  // when there is room (quietly does nothing otherwise).
  bool GiveUpReserve();
  void TakeBackReserve() noexcept;

  // How deep the thread is inside event sinks called for this session's
  // events (events.h), kept here so that every copy of the store's code
  // sees the same count.
  int& event_depth() { return event_depth_; }

  // Empties the folder and item caches below when another connection has
  // committed since they were filled (PRAGMA data_version); call it before
  // a series of lookups. Inside this session's own transaction nobody else
  // can commit, so there it costs nothing: Begin checks once.
  void Revalidate() noexcept;
  // PRAGMA data_version as Revalidate (or Begin) last found it: it changes
  // whenever another connection has committed. -1 when it could not be read.
  std::int64_t data_version() const { return data_version_; }

  // Folders found by name, so that resolving a URL costs a lookup per
  // level only when the folder tree may have changed: the cache is kept
  // while no other connection has committed and emptied whenever this
  // session moves or deletes a folder or rolls back. Never a name not found.
  // Besides the folders, the last few other items looked up by id (the
  // messages one delivery reads again and again), each dropped when this
  // session moves or deletes it.
  class FolderCache {
   public:
    const Item* Get(ItemId parent, const std::string& name_key) const;
    // A folder, or one of the last few other items.
    const Item* ById(ItemId id) const;
    // A folder under its folded name, which the caller has at hand.
    void Put(const std::string& name_key, const Item& folder);
    // Any item just read or written: a folder under its folded name, else
    // one of the last few other items.
    void Put(const Item& item);
    void ForgetItem(ItemId id);
    void Clear() {
      folders_.clear();
      by_id_.clear();
      items_.clear();
    }

   private:
    static constexpr std::size_t kMaxItems = 16;
    // By parent, then by folded name: looking one up allocates nothing.
    std::unordered_map<ItemId, std::unordered_map<std::string, Item>> folders_;
    std::unordered_map<ItemId, Item> by_id_;
    std::vector<Item> items_;  // not folders; the newest last
  };
  FolderCache& folders() { return folders_; }

  // The stored properties of the items this session read lately, and the
  // text of the messages it saved, so that the readers of one item in one
  // delivery (a registration's criteria, the event record, the records and
  // messages a sink opens) read them from the database once. Kept like the
  // folder cache; besides, an item's entry is dropped whenever this session
  // writes or deletes that item.
  class ItemCache {
   public:
    static constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);
    struct Entry {
      bool has_rows = false;
      // The item's properties in their stored order, each with its value
      // except the message text, which stands at content_row without one.
      std::vector<std::pair<std::string, core::Variant>> rows;
      std::size_t content_row = kNoRow;
      // The text, while the analyses above still keep it (so the cache
      // never holds more text than they do).
      std::weak_ptr<const std::string> content;
    };
    Entry* Get(ItemId id);
    // The entry for id, empty when it had none; it becomes the newest.
    Entry& Put(ItemId id);
    void Forget(ItemId id);
    void Clear() { entries_.clear(); }

   private:
    static constexpr std::size_t kMaxEntries = 16;
    std::vector<std::pair<ItemId, Entry>> entries_;  // the newest last
  };
  ItemCache& items() { return items_; }

  // The analyses of the message texts this session's thread saved lately
  // (the last few dozen, a few MB of text at most), kept so that a sink
  // reading an item right after its delivery, or a copy of a message being
  // saved, need not parse the same text again; a committer that stores a
  // batch of messages before their sinks run keeps all of them. AnalysisOf
  // gives one only for exactly its text (an analysis depends on nothing
  // else), null otherwise.
  struct Analysis {
    std::shared_ptr<const std::string> text;  // the session's copy of the text
    std::shared_ptr<const mime::MessageInfo> info;
  };
  // Both null when the text is too large to keep.
  Analysis RememberAnalysis(std::string_view content, const mime::MessageInfo& info);
  // Both null when content is not known.
  Analysis Remembered(std::string_view content) const;
  std::shared_ptr<const mime::MessageInfo> AnalysisOf(std::string_view content) const {
    return Remembered(content).info;
  }

 private:
  struct LevelState {
    Level id;
    std::size_t event_mark;  // events raised before this level began
  };

  friend class SessionTable;
  Session() = default;
  static std::shared_ptr<Session> Open(const std::filesystem::path& root,
                                       const std::filesystem::path& file);

  // Runs a transaction statement, prepared once.
  void Run(const char* sql);
  bool RunQuietly(const char* sql) noexcept;
  // Runs "<verb> l<depth>", from table when it has the statement.
  void RunLevel(const char* const* table, const char* verb, std::size_t depth);
  // True when the database file was deleted or replaced since it was opened.
  bool HasMoved() const;
  // True when the thread should open the store anew: it has moved, or this
  // session was opened for reading only and the file may now be written
  // (a file system remounted read-write, a mode put right).
  bool Outdated() const;
  // Drops the levels when SQLite has ended the transaction on its own.
  void Reconcile() noexcept;
  // Revalidate, also inside a transaction.
  void CheckDataVersion() noexcept;
  // Empties the folder and item caches.
  void ForgetAll() noexcept {
    folders_.Clear();
    items_.Clear();
  }
  // After the outermost level ended: the safety level back to FULL.
  void EndTransaction() noexcept;
  void RollbackFrom(std::size_t index) noexcept;
  std::size_t IndexOf(Level level) const;

  sqlite3* db_ = nullptr;
  std::unique_ptr<sql::StmtCache> stmts_;
  std::unique_ptr<events::Dispatcher> events_;
  std::filesystem::path root_;
  std::filesystem::path file_;
  Machine machine_;
  std::string domain_folder_;
  bool read_only_ = false;
  int read_only_errno_ = 0;
  std::uint64_t fork_generation_ = 0;  // forks behind the process when it opened
  dev_t dev_ = 0;                      // the database file's identity when it was opened
  ino_t ino_ = 0;

  std::vector<LevelState> levels_;
  Level next_level_ = 1;
  std::int64_t changes_at_begin_ = 0;
  bool unsynced_ = false;  // the log holds commits not yet synced
  bool relaxed_ = false;   // the open transaction commits relaxed
  int event_depth_ = 0;
  std::deque<Analysis> analysed_;  // newest first
  std::size_t analysed_bytes_ = 0;
  std::int64_t data_version_ = -1;  // when the caches were last found current
  FolderCache folders_;
  ItemCache items_;
};

}  // namespace store

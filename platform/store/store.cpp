#include "platform/store/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/mime/mime.h"
#include "platform/store/events.h"
#include "platform/store/schema.h"
#include "platform/store/sqlite_util.h"
#include "platform/store/url.h"

namespace store {

using adodb::FieldList;
using core::RuntimeError;
using core::Variant;
using core::VarType;
namespace err = core::err;

bool SameProperty(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return core::EqualsNoCase(a, b);
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 0x80 || y >= 0x80) return core::EqualsNoCase(a, b);
    if (x != y && std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

namespace detail {
struct BusyWait {
  std::chrono::steady_clock::time_point start;
  std::minstd_rand jitter{std::random_device{}()};
};
}  // namespace detail

namespace {

using detail::BusyWait;

constexpr int kBusyTimeoutMs = 30000;
constexpr int kMailboxDepth = 3;
// Stored in the database header (PRAGMA user_version); a store of another
// format is refused rather than misread.
constexpr int kFormatVersion = 2;
constexpr const char* kMbx = "MBX";
constexpr const char* kSystemMailboxPrefix = "SystemMailbox{";

// Derived properties: computed on every read, never stored.
bool IsDerived(std::string_view name) {
  return SameProperty(name, schema::kHref) || SameProperty(name, schema::kDisplayName) ||
         SameProperty(name, schema::kParentName) || SameProperty(name, schema::kIsFolder);
}

const char* kSchema = R"sql(
CREATE TABLE items(
  id INTEGER PRIMARY KEY,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  is_folder INTEGER NOT NULL,
  UNIQUE(parent, name_key));
CREATE TABLE props(
  id INTEGER PRIMARY KEY,
  item INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  UNIQUE(item, name_key));
CREATE TABLE mailbox_stores(id INTEGER PRIMARY KEY, name TEXT NOT NULL, guid TEXT NOT NULL);
CREATE TABLE mailboxes(
  item INTEGER PRIMARY KEY,
  store INTEGER NOT NULL,
  is_system INTEGER NOT NULL);
)sql";

// Waits for the write lock in short, jittered steps for up to kBusyTimeoutMs.
// SQLite's own busy timeout backs off to 100 ms sleeps, so a writer that
// lost once keeps losing to one that commits every few milliseconds.
int OnBusy(void* data, int count) {
  auto* wait = static_cast<BusyWait*>(data);
  auto now = std::chrono::steady_clock::now();
  if (count == 0) wait->start = now;
  if (now - wait->start > std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
  std::this_thread::sleep_for(std::chrono::microseconds(200 + wait->jitter() % 800));
  return 1;
}

// WAL with synchronous=FULL: every COMMIT is fsynced to the WAL before it
// returns, so an acknowledged write survives a power loss, not only a killed
// process. NORMAL would lose the last commits on power loss.
void Configure(sqlite3* db, BusyWait* wait) {
  sqlite3_busy_handler(db, OnBusy, wait);
  sql::Exec(db, "PRAGMA synchronous=FULL");
  sqlite3_extended_result_codes(db, 1);
}

sqlite3* OpenDatabase(const std::filesystem::path& file, int flags, BusyWait* wait) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string text = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw RuntimeError(err::kPathNotFound, "Cannot open the store " + file.string() + ": " + text);
  }
  try {
    Configure(db, wait);
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  return db;
}

std::string NewGuid() {
  std::random_device rd;
  std::uniform_int_distribution<int> nibble(0, 15);
  const char* hex = "0123456789ABCDEF";
  std::string g = "{";
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) g += '-';
    g += hex[nibble(rd)];
  }
  return g + "}";
}

std::string Describe(const std::string& url, const std::string& what) { return what + ": " + url; }

}  // namespace

// One write transaction: BEGIN IMMEDIATE on its own, a savepoint inside the
// caller's transaction. Rolls back unless committed.
class Store::WriteScope {
 public:
  explicit WriteScope(Store& store)
      : store_(store), nested_(store.user_transaction_), mark_(store.events_->Mark()) {
    sql::Exec(store_.db_, nested_ ? "SAVEPOINT write_scope" : "BEGIN IMMEDIATE");
  }
  ~WriteScope() {
    if (done_) return;
    // Best effort: the error that brought us here is what the caller sees.
    sqlite3_exec(store_.db_, nested_ ? "ROLLBACK TO write_scope; RELEASE write_scope" : "ROLLBACK",
                 nullptr, nullptr, nullptr);
    store_.events_->Aborted(mark_);
  }
  void Commit() {
    sql::Exec(store_.db_, nested_ ? "RELEASE write_scope" : "COMMIT");
    done_ = true;
    if (!nested_) store_.events_->Committed();
  }

 private:
  Store& store_;
  bool nested_;
  std::size_t mark_;
  bool done_ = false;
};

std::filesystem::path DatabaseFile(const std::filesystem::path& root) {
  return root / "store" / "store.db";
}

void Provision(const std::filesystem::path& root, const Machine& machine_in) {
  Machine machine{core::LCase(machine_in.computer), core::LCase(machine_in.domain)};
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  if (ec) {
    throw RuntimeError(err::kPathNotFound,
                       "Cannot create the server root " + root.string() + ": " + ec.message());
  }
  std::filesystem::path file = DatabaseFile(root);
  if (std::filesystem::exists(file)) {
    throw RuntimeError(err::kDbResourceExists,
                       "Server root " + root.string() + " is already provisioned");
  }
  WriteMachine(root, machine);  // refuses an existing root atomically
  auto undo = [&] {
    std::filesystem::remove_all(root / "store", ec);
    std::filesystem::remove(MachineFile(root), ec);
  };
  try {
    std::filesystem::create_directory(root / "store");
    ::chmod((root / "store").c_str(), 0700);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw RuntimeError(err::kPathNotFound, "Cannot create " + file.string());
    ::close(fd);
    BusyWait wait;
    sqlite3* db = OpenDatabase(file, SQLITE_OPEN_READWRITE, &wait);
    try {
      sql::Exec(db, "PRAGMA journal_mode=WAL");
      sql::Exec(db, "BEGIN IMMEDIATE");
      sql::Exec(db, kSchema);
      sql::Exec(db, ("PRAGMA user_version=" + std::to_string(kFormatVersion)).c_str());
      auto insert = [&](std::int64_t parent, const std::string& name) {
        sql::Stmt s(db, "INSERT INTO items(parent, name, name_key, is_folder) VALUES(?,?,?,1)");
        s.Bind(1, parent).Bind(2, name).Bind(3, core::FoldCase(name)).Run();
        return sqlite3_last_insert_rowid(db);
      };
      auto prop = [&](std::int64_t item, const char* name, const std::string& value) {
        sql::Stmt s(db, "INSERT INTO props(item, name, name_key, type, value) VALUES(?,?,?,?,?)");
        s.Bind(1, item).Bind(2, std::string_view(name)).Bind(3, core::FoldCase(name));
        s.Bind(4, static_cast<std::int64_t>(VarType::String)).BindBlob(5, value).Run();
      };
      std::int64_t domain = insert(0, machine.domain);
      std::int64_t mbx = insert(domain, kMbx);
      std::string guid = NewGuid();
      {
        sql::Stmt s(db, "INSERT INTO mailbox_stores(name, guid) VALUES(?,?)");
        s.Bind(1, "Mailbox Store (" + core::UCase(machine.computer) + ")").Bind(2, guid).Run();
      }
      std::int64_t store_id = sqlite3_last_insert_rowid(db);
      std::int64_t system = insert(mbx, kSystemMailboxPrefix + guid.substr(1));
      prop(system, schema::kContentClass, schema::kFolderClass);
      {
        sql::Stmt s(db, "INSERT INTO mailboxes(item, store, is_system) VALUES(?,?,1)");
        s.Bind(1, system).Bind(2, store_id).Run();
      }
      std::int64_t events = insert(system, "StoreEvents");
      prop(events, schema::kContentClass, schema::kFolderClass);
      std::int64_t global = insert(events, "GlobalEvents");
      prop(global, schema::kContentClass, schema::kFolderClass);
      sql::Exec(db, "COMMIT");
    } catch (...) {
      sqlite3_close(db);
      throw;
    }
    sqlite3_close(db);
  } catch (...) {
    undo();
    throw;
  }
}

std::unique_ptr<Store> Store::Open() { return Open(core::ServerRoot()); }

std::unique_ptr<Store> Store::Open(const std::filesystem::path& root) {
  Machine machine = ReadMachine(root);
  std::filesystem::path file = DatabaseFile(root);
  if (!std::filesystem::exists(file)) {
    throw RuntimeError(err::kPathNotFound,
                       "Server root " + root.string() + " has no store (" + file.string() + ")");
  }
  auto wait = std::make_unique<BusyWait>();
  sqlite3* db = OpenDatabase(file, SQLITE_OPEN_READWRITE, wait.get());
  std::unique_ptr<Store> store(new Store(root, std::move(machine), db));
  store->busy_ = std::move(wait);
  {
    sql::Stmt v(db, "PRAGMA user_version");
    int version = v.Step() ? static_cast<int>(v.Int(0)) : 0;
    if (version != kFormatVersion) {
      throw RuntimeError(err::kEFail, "The store " + file.string() + " has format " +
                                          std::to_string(version) + ", this program reads format " +
                                          std::to_string(kFormatVersion));
    }
  }
  sql::Stmt s(db, "SELECT name FROM items WHERE parent = 0 ORDER BY id LIMIT 1");
  if (!s.Step()) {
    throw RuntimeError(err::kDbNotFound, "The store " + file.string() + " has no domain folder");
  }
  store->domain_folder_ = s.Text(0);
  return store;
}

Store::Store(std::filesystem::path root, Machine machine, sqlite3* db)
    : root_(std::move(root)),
      machine_(std::move(machine)),
      db_(db),
      stmts_(std::make_unique<sql::StmtCache>(db)),
      events_(std::make_unique<events::Dispatcher>(*this)) {}

Store::~Store() {
  // An open transaction is discarded: closing rolls it back.
  if (user_transaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  events_->Aborted(0);
  stmts_.reset();
  sqlite3_close_v2(db_);
}

void Store::BeginTrans() {
  if (user_transaction_) {
    throw RuntimeError(err::kAdoInvalidTransaction, "A transaction is already open on the store");
  }
  sql::Exec(db_, "BEGIN IMMEDIATE");
  user_transaction_ = true;
}

void Store::CommitTrans() {
  if (!user_transaction_) {
    throw RuntimeError(err::kAdoInvalidTransaction, "No transaction is open on the store");
  }
  sql::Exec(db_, "COMMIT");
  user_transaction_ = false;
  events_->Committed();
}

void Store::RollbackTrans() {
  if (!user_transaction_) {
    throw RuntimeError(err::kAdoInvalidTransaction, "No transaction is open on the store");
  }
  user_transaction_ = false;
  sql::Exec(db_, "ROLLBACK");
  events_->Aborted(0);
}

// --- Locating ---------------------------------------------------------------

std::vector<std::string> Store::Names(std::string_view url) const {
  return ParseUrl(url, machine_).names;
}

std::optional<Item> Store::Child(ItemId parent, std::string_view name) {
  auto s_handle =
      stmts_->Get("SELECT id, name, is_folder FROM items WHERE parent = ? AND name_key = ?");
  sql::Stmt& s = *s_handle;
  s.Bind(1, parent).Bind(2, core::FoldCase(name));
  if (!s.Step()) return std::nullopt;
  return Item{s.Int(0), parent, s.Text(1), s.Int(2) != 0};
}

std::optional<Item> Store::Find(const std::vector<std::string>& names) {
  std::optional<Item> item;
  ItemId parent = 0;
  for (const std::string& name : names) {
    if (item && !item->is_folder) return std::nullopt;
    item = Child(parent, name);
    if (!item) return std::nullopt;
    parent = item->id;
  }
  return item;
}

Item Store::Resolve(std::string_view url) {
  std::vector<std::string> names = Names(url);
  if (!core::EqualsNoCase(names[0], domain_folder_)) {
    throw RuntimeError(err::kDbNotFound,
                       Describe(std::string(url), "Unknown domain folder \"" + names[0] + "\""));
  }
  if (names.size() >= kMailboxDepth && core::EqualsNoCase(names[1], kMbx) &&
      !Find({names.begin(), names.begin() + kMailboxDepth})) {
    throw RuntimeError(err::kDbNotFound,
                       Describe(std::string(url), "No mailbox \"" + names[2] + "\""));
  }
  std::optional<Item> item = Find(names);
  if (!item) throw RuntimeError(err::kDbNotFound, Describe(std::string(url), "No such item"));
  return *item;
}

std::optional<Item> Store::Get(ItemId id) {
  auto s_handle = stmts_->Get("SELECT parent, name, is_folder FROM items WHERE id = ?");
  sql::Stmt& s = *s_handle;
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  return Item{id, s.Int(0), s.Text(1), s.Int(2) != 0};
}

std::string Store::UrlOf(ItemId id) {
  std::vector<std::string> names;
  while (id != 0) {
    auto q_handle = stmts_->Get("SELECT parent, name FROM items WHERE id = ?");
    sql::Stmt& q = *q_handle;
    q.Bind(1, id);
    if (!q.Step()) {
      throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    }
    names.insert(names.begin(), q.Text(1));
    id = q.Int(0);
  }
  return FileUrl(names);
}

int Store::Depth(ItemId id) {
  int depth = 0;
  while (id != 0) {
    std::optional<Item> item = Get(id);
    if (!item) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    ++depth;
    id = item->parent;
  }
  return depth;
}

ItemId Store::MailboxOf(ItemId id) {
  std::vector<ItemId> chain;
  while (id != 0) {
    chain.insert(chain.begin(), id);
    std::optional<Item> item = Get(id);
    if (!item) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    id = item->parent;
  }
  return chain.size() >= kMailboxDepth ? chain[kMailboxDepth - 1] : 0;
}

std::vector<Item> Store::Children(ItemId folder) {
  std::vector<Item> items;
  auto s_handle =
      stmts_->Get("SELECT id, name, is_folder FROM items WHERE parent = ? ORDER BY name_key, id");
  sql::Stmt& s = *s_handle;
  s.Bind(1, folder);
  while (s.Step()) items.push_back(Item{s.Int(0), folder, s.Text(1), s.Int(2) != 0});
  return items;
}

std::vector<Item> Store::Descendants(ItemId folder) {
  std::vector<Item> out;
  for (Item& child : Children(folder)) {
    out.push_back(child);
    if (child.is_folder) {
      std::vector<Item> below = Descendants(child.id);
      out.insert(out.end(), below.begin(), below.end());
    }
  }
  return out;
}

FieldList Store::Properties(ItemId id, bool with_content) {
  std::optional<Item> item = Get(id);
  if (!item) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
  FieldList fields;
  std::string parent_url = item->parent ? UrlOf(item->parent) : "";
  std::string href = item->parent ? parent_url + "/" + item->name : FileUrl({item->name});
  fields.emplace_back(schema::kHref, Variant(std::move(href)));
  fields.emplace_back(schema::kDisplayName, Variant(item->name));
  fields.emplace_back(schema::kParentName, Variant(std::move(parent_url)));
  fields.emplace_back(schema::kIsFolder, Variant(item->is_folder));
  bool has_hidden = false;
  auto s_handle = stmts_->Get(
      "SELECT name, type, value FROM props WHERE item = ?1 AND (?2 OR name_key <> ?3) "
      "ORDER BY id");
  sql::Stmt& s = *s_handle;
  s.Bind(1, id).Bind(2, std::int64_t{with_content}).Bind(3, core::FoldCase(schema::kContent));
  while (s.Step()) {
    std::string name = s.Text(0);
    auto type = static_cast<VarType>(s.Int(1));
    Variant value;
    switch (type) {
      case VarType::Null:
        value = Variant::Null();
        break;
      case VarType::Boolean:
        value = Variant(s.Int(2) != 0);
        break;
      case VarType::Integer:
        value = Variant(static_cast<std::int16_t>(s.Int(2)));
        break;
      case VarType::Long:
        value = Variant(static_cast<std::int32_t>(s.Int(2)));
        break;
      case VarType::Double:
        value = Variant(s.Real(2));
        break;
      case VarType::String:
        value = Variant(s.Text(2));
        break;
      case VarType::Empty:
        continue;
    }
    if (SameProperty(name, schema::kIsHidden)) has_hidden = true;
    fields.emplace_back(std::move(name), std::move(value));
  }
  if (!has_hidden) fields.emplace_back(schema::kIsHidden, Variant(false));
  return fields;
}

// --- Changing ---------------------------------------------------------------

ItemId Store::InsertItem(ItemId parent, const std::string& name, bool is_folder) {
  auto s_handle =
      stmts_->Get("INSERT INTO items(parent, name, name_key, is_folder) VALUES(?,?,?,?)");
  sql::Stmt& s = *s_handle;
  s.Bind(1, parent).Bind(2, name).Bind(3, core::FoldCase(name)).Bind(4, std::int64_t{is_folder});
  s.Run();
  return sqlite3_last_insert_rowid(db_);
}

void Store::WriteProperty(ItemId id, const std::string& name, const Variant& value) {
  if (value.IsEmpty()) {
    auto s_handle = stmts_->Get("DELETE FROM props WHERE item = ? AND name_key = ?");
    sql::Stmt& s = *s_handle;
    s.Bind(1, id).Bind(2, core::FoldCase(name)).Run();
    return;
  }
  // Upsert keeps the row (and so the property's place in the order).
  auto s_handle = stmts_->Get(
      "INSERT INTO props(item, name, name_key, type, value) VALUES(?,?,?,?,?) "
      "ON CONFLICT(item, name_key) DO UPDATE SET type = excluded.type, "
      "value = excluded.value");
  sql::Stmt& s = *s_handle;
  s.Bind(1, id).Bind(2, name).Bind(3, core::FoldCase(name));
  s.Bind(4, static_cast<std::int64_t>(value.Type()));
  switch (value.Type()) {
    case VarType::Boolean:
      s.Bind(5, std::int64_t{value.AsBool()});
      break;
    case VarType::Integer:
    case VarType::Long:
      s.Bind(5, std::int64_t{value.AsLong()});
      break;
    case VarType::Double:
      s.Bind(5, value.AsDouble());
      break;
    case VarType::String:
      s.BindBlob(5, value.AsString());
      break;
    default:
      s.BindNull(5);
      break;
  }
  s.Run();
}

void Store::Save(const SaveRequest& request) {
  WriteChanges(request);
  // Begin phase: sinks see the item as saved and may veto by throwing; the
  // committed phase follows the outermost commit.
  events_->SaveBegin(request.id, request.is_new, request.origin, false);
}

void Store::WriteChanges(const SaveRequest& request) {
  bool wrote_class = false;
  const Variant* content = nullptr;
  for (const auto& [name, value] : *request.changes) {
    if (IsDerived(name)) continue;
    WriteProperty(request.id, name, value);
    if (SameProperty(name, schema::kContentClass)) wrote_class = true;
    if (SameProperty(name, schema::kContent) && value.Type() == VarType::String) content = &value;
  }
  if (!content) return;
  mime::MessageInfo analysed;
  if (!request.info) analysed = mime::Analyze(content->AsString());
  const mime::MessageInfo& info = request.info ? *request.info : analysed;
  WriteProperty(request.id, schema::kHasAttachment, Variant(info.has_attachment));
  WriteProperty(request.id, schema::kSubject, Variant(info.subject));
  WriteProperty(request.id, schema::kFrom, Variant(info.from));
  WriteProperty(request.id, schema::kTo, Variant(info.to));
  WriteProperty(request.id, schema::kMessageId, Variant(info.message_id));
  if (!wrote_class) {
    auto s_handle = stmts_->Get("SELECT 1 FROM props WHERE item = ? AND name_key = ?");
    sql::Stmt& s = *s_handle;
    s.Bind(1, request.id).Bind(2, core::FoldCase(schema::kContentClass));
    if (!s.Step()) WriteProperty(request.id, schema::kContentClass, Variant(schema::kMessageClass));
  }
}

void Store::MoveItem(const Item& item, ItemId parent, const std::string& name) {
  // Event hook: a move is a delete at the old URL and a save at the new one.
  auto s_handle = stmts_->Get("UPDATE items SET parent = ?, name = ?, name_key = ? WHERE id = ?");
  sql::Stmt& s = *s_handle;
  s.Bind(1, parent).Bind(2, name).Bind(3, core::FoldCase(name)).Bind(4, item.id).Run();
  events_->SaveBegin(item.id, false, SaveOrigin::Client, true);
}

void Store::DeleteItem(ItemId id) {
  // Event hook: OnSyncDelete for the item (and, for a folder, its content).
  events_->Deleted(id);
  const char* kSub =
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
      "SELECT items.id FROM items JOIN sub ON items.parent = sub.id) ";
  std::string props = std::string(kSub) + "DELETE FROM props WHERE item IN sub";
  std::string mailboxes = std::string(kSub) + "DELETE FROM mailboxes WHERE item IN sub";
  std::string items = std::string(kSub) + "DELETE FROM items WHERE id IN sub";
  sql::Stmt(db_, props.c_str()).Bind(1, id).Run();
  sql::Stmt(db_, mailboxes.c_str()).Bind(1, id).Run();
  sql::Stmt(db_, items.c_str()).Bind(1, id).Run();
}

Item Store::Create(ItemId parent, const std::string& name, bool is_folder, ExistingItem existing,
                   const FieldList& properties, SaveOrigin origin) {
  WriteScope scope(*this);
  std::optional<Item> folder = Get(parent);
  if (!folder) throw RuntimeError(err::kDbNotFound, "The parent folder does not exist");
  std::string url = UrlOf(parent) + "/" + name;
  std::string problem = CheckItemName(name);
  if (!problem.empty()) throw RuntimeError(err::kAdoInvalidArgument, Describe(url, problem));
  if (!folder->is_folder) {
    throw RuntimeError(err::kDbNotFound, Describe(url, "The parent is not a folder"));
  }
  if (Depth(parent) < kMailboxDepth) {
    throw RuntimeError(err::kDbPermissionDenied,
                       Describe(url, "Items can be created only inside a mailbox"));
  }
  std::optional<Item> old = Child(parent, name);
  if (old) {
    if (existing == ExistingItem::Open) {
      scope.Commit();
      return *old;
    }
    if (existing == ExistingItem::Fail) {
      throw RuntimeError(err::kDbResourceExists, Describe(url, "The item already exists"));
    }
    DeleteItem(old->id);
  }
  Item item{InsertItem(parent, name, is_folder), parent, name, is_folder};
  FieldList all;
  if (is_folder) all.emplace_back(schema::kContentClass, Variant(schema::kFolderClass));
  all.insert(all.end(), properties.begin(), properties.end());
  Save({origin, true, item.id, &all});
  scope.Commit();
  return item;
}

void Store::Update(ItemId id, const FieldList& changes, SaveOrigin origin) {
  WriteScope scope(*this);
  if (!Get(id)) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
  Save({origin, false, id, &changes});
  scope.Commit();
}

Item Store::Move(ItemId id, ItemId destination_parent, const std::string& name, bool overwrite) {
  WriteScope scope(*this);
  std::optional<Item> item = Get(id);
  if (!item) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
  std::string from = UrlOf(id);
  std::optional<Item> folder = Get(destination_parent);
  if (!folder || !folder->is_folder) {
    throw RuntimeError(err::kDbNotFound, Describe(from, "The destination folder does not exist"));
  }
  std::string to = UrlOf(destination_parent) + "/" + name;
  std::string problem = CheckItemName(name);
  if (!problem.empty()) throw RuntimeError(err::kAdoInvalidArgument, Describe(to, problem));
  if (Depth(id) <= kMailboxDepth || Depth(destination_parent) < kMailboxDepth) {
    throw RuntimeError(err::kDbPermissionDenied,
                       Describe(from, "Only items inside mailboxes can be moved"));
  }
  for (ItemId up = destination_parent; up != 0; up = Get(up)->parent) {
    if (up == id) {
      throw RuntimeError(err::kAdoInvalidArgument,
                         Describe(from, "A folder cannot be moved below itself"));
    }
  }
  std::optional<Item> old = Child(destination_parent, name);
  if (old && old->id != id) {
    if (!overwrite) throw RuntimeError(err::kDbResourceExists, Describe(to, "The item exists"));
    // Replacing a folder that holds the item would delete the item itself.
    for (ItemId up = item->parent; up != 0; up = Get(up)->parent) {
      if (up == old->id) {
        throw RuntimeError(err::kAdoInvalidArgument,
                           Describe(to, "Cannot replace a folder that holds the moved item"));
      }
    }
    DeleteItem(old->id);
  }
  MoveItem(*item, destination_parent, name);
  scope.Commit();
  item->parent = destination_parent;
  item->name = name;
  return *item;
}

void Store::Delete(ItemId id) {
  WriteScope scope(*this);
  if (!Get(id)) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
  if (Depth(id) <= kMailboxDepth) {
    throw RuntimeError(err::kDbPermissionDenied,
                       Describe(UrlOf(id), "Only items inside mailboxes can be deleted"));
  }
  DeleteItem(id);
  scope.Commit();
}

std::string Store::UniqueName(ItemId folder, std::string_view subject) {
  for (int attempt = 0; attempt < 1000000; ++attempt) {
    std::string name = mime::ItemName(subject, attempt);
    if (!Child(folder, name)) return name;
  }
  throw RuntimeError(err::kDbResourceExists, "No free item name in " + UrlOf(folder));
}

Item Store::SaveMessage(ItemId folder, std::string_view rfc5322, SaveOrigin origin) {
  // Parsed before taking the write lock, which other writers wait for.
  mime::MessageInfo info = mime::Analyze(rfc5322);
  WriteScope scope(*this);
  std::optional<Item> parent = Get(folder);
  if (!parent || !parent->is_folder) {
    throw RuntimeError(err::kDbNotFound, "The folder does not exist");
  }
  if (Depth(folder) < kMailboxDepth) {
    throw RuntimeError(err::kDbPermissionDenied,
                       Describe(UrlOf(folder), "Messages can be saved only inside a mailbox"));
  }
  std::string name = UniqueName(folder, info.subject);
  Item item{InsertItem(folder, name, false), folder, name, false};
  FieldList props{{schema::kContent, Variant(std::string(rfc5322))}};
  Save({origin, true, item.id, &props, &info});
  scope.Commit();
  return item;
}

// --- Administration ---------------------------------------------------------

std::string Store::AddMailbox(const std::string& alias, const std::string& inbox_name) {
  std::string problem = CheckItemName(alias);
  if (problem.empty() && core::StartsWith(alias, kSystemMailboxPrefix, core::Compare::Text)) {
    problem = "names beginning \"SystemMailbox{\" are reserved for system mailboxes";
  }
  if (!problem.empty()) {
    throw RuntimeError(err::kAdoInvalidArgument, "Bad mailbox alias \"" + alias + "\": " + problem);
  }
  problem = CheckItemName(inbox_name);
  if (!problem.empty()) {
    throw RuntimeError(err::kAdoInvalidArgument,
                       "Bad Inbox name \"" + inbox_name + "\": " + problem);
  }
  WriteScope scope(*this);
  std::optional<Item> mbx = Find({domain_folder_, kMbx});
  if (!mbx) throw RuntimeError(err::kDbNotFound, "The store has no MBX folder");
  if (Child(mbx->id, alias)) {
    throw RuntimeError(err::kDbResourceExists, "The mailbox \"" + alias + "\" already exists");
  }
  ItemId mailbox = InsertItem(mbx->id, alias, true);
  ItemId inbox = InsertItem(mailbox, inbox_name, true);
  WriteProperty(mailbox, schema::kContentClass, Variant(schema::kFolderClass));
  WriteProperty(mailbox, schema::kInbox, Variant(UrlOf(inbox)));
  WriteProperty(inbox, schema::kContentClass, Variant(schema::kMailFolderClass));
  WriteProperty(inbox, schema::kOutlookFolderClass, Variant("IPF.Note"));
  auto s_handle = stmts_->Get(
      "INSERT INTO mailboxes(item, store, is_system) "
      "SELECT ?, id, 0 FROM mailbox_stores ORDER BY id LIMIT 1");
  sql::Stmt& s = *s_handle;
  s.Bind(1, mailbox).Run();
  scope.Commit();
  return UrlOf(mailbox);
}

std::string Store::Deliver(const std::string& alias, std::string_view rfc5322) {
  if (rfc5322.empty()) {
    throw RuntimeError(err::kAdoInvalidArgument, "Refusing to deliver an empty message");
  }
  std::optional<Item> mailbox = Find({domain_folder_, kMbx, alias});
  if (!mailbox) throw RuntimeError(err::kDbNotFound, "No mailbox \"" + alias + "\"");
  std::string inbox_url;
  for (auto& [name, value] : Properties(mailbox->id, false)) {
    if (SameProperty(name, schema::kInbox)) inbox_url = value.AsString();
  }
  if (inbox_url.empty()) {
    throw RuntimeError(err::kDbNotFound, "The mailbox \"" + alias + "\" has no Inbox");
  }
  Item item = SaveMessage(Resolve(inbox_url).id, rfc5322, SaveOrigin::Delivery);
  return UrlOf(item.id);
}

std::vector<MailboxInfo> Store::Mailboxes() {
  std::vector<MailboxInfo> out;
  auto s_handle = stmts_->Get(
      "SELECT m.item, i.name, s.name, m.is_system FROM mailboxes m "
      "JOIN items i ON i.id = m.item JOIN mailbox_stores s ON s.id = m.store "
      "ORDER BY i.name_key");
  sql::Stmt& s = *s_handle;
  while (s.Step()) {
    out.push_back(MailboxInfo{s.Text(1), UrlOf(s.Int(0)), s.Text(2), s.Int(3) != 0});
  }
  return out;
}

}  // namespace store

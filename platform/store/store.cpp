#include "platform/store/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>

#include "platform/core/error.h"
#include "platform/core/files.h"
#include "platform/core/server_root.h"
#include "platform/core/text.h"
#include "platform/mime/mime.h"
#include "platform/store/database.h"
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

namespace {

constexpr int kMailboxDepth = 3;
constexpr const char* kMbx = "MBX";
constexpr const char* kSystemMailboxPrefix = "SystemMailbox{";
// Unique names: numbered attempts up to this are probed in order (by a
// binary search), random ones above it after that.
constexpr std::int32_t kNumberedNames = 100;
constexpr int kRandomNames = 100;

// Derived properties: computed on every read, never stored.
bool IsDerived(std::string_view name) {
  return SameProperty(name, schema::kHref) || SameProperty(name, schema::kDisplayName) ||
         SameProperty(name, schema::kParentName) || SameProperty(name, schema::kIsFolder);
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

// One operation's level of the session's transaction: BEGIN IMMEDIATE on
// its own, a savepoint inside the caller's. Rolls back unless committed.
class Store::WriteScope {
 public:
  explicit WriteScope(Store& store) : session_(*store.session_), level_(session_.Begin()) {}
  ~WriteScope() { session_.Rollback(level_); }  // nothing once committed
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  void Commit() { session_.CommitScope(level_); }

 private:
  Session& session_;
  Session::Level level_;
};

std::filesystem::path DatabaseFile(const std::filesystem::path& root) {
  return root / "store" / "store.db";
}

void Provision(const std::filesystem::path& root, const Machine& machine_in) {
  Machine machine{core::LCase(machine_in.computer), core::LCase(machine_in.domain)};
  core::CreatePrivateFolders(root);
  std::filesystem::path file = DatabaseFile(root);
  std::error_code ec;
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
    core::CreatePrivateFolders(root / "store");
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, core::kPrivateFileMode);
    if (fd < 0) {
      throw RuntimeError(err::kPathNotFound,
                         core::DescribeFileError("Cannot create the store", file, errno));
    }
    // The log and its index take the database file's mode.
    ::fchmod(fd, core::kPrivateFileMode);
    ::close(fd);
    sqlite3* db = db::OpenNew(file);
    try {
      sql::Exec(db, "BEGIN IMMEDIATE");
      db::CreateSchema(db);
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
  return OnSession(Session::ForThread(root));
}

std::unique_ptr<Store> Store::OnSession(std::shared_ptr<Session> session) {
  return std::unique_ptr<Store>(new Store(std::move(session)));
}

Store::Store(std::shared_ptr<Session> session) : session_(std::move(session)) {}

Store::~Store() {
  // An open transaction is discarded, with whatever was begun above it.
  for (Session::Level level : levels_) {
    if (session_->IsOpen(level)) {
      session_->Rollback(level);
      break;
    }
  }
}

void Store::BeginTrans() { levels_.push_back(session_->Begin()); }

void Store::CommitTrans(const std::function<void()>& durable) {
  if (levels_.empty()) {
    throw RuntimeError(err::kAdoInvalidTransaction, "No transaction is open on the store");
  }
  // A commit that fails leaves the level for RollbackTrans, which does
  // nothing more when SQLite has rolled it back already.
  session_->Commit(levels_.back(), durable);
  levels_.pop_back();
}

void Store::RollbackTrans() {
  if (levels_.empty()) {
    throw RuntimeError(err::kAdoInvalidTransaction, "No transaction is open on the store");
  }
  const Session::Level level = levels_.back();
  levels_.pop_back();
  session_->Rollback(level);
}

bool Store::InTransaction() const {
  for (Session::Level level : levels_) {
    if (session_->IsOpen(level)) return true;
  }
  return false;
}

// --- Locating ---------------------------------------------------------------

std::vector<std::string> Store::Names(std::string_view url) const {
  return ParseUrl(url, machine()).names;
}

std::optional<Item> Store::Child(ItemId parent, std::string_view name) {
  return ChildByKey(parent, core::FoldCase(name));
}

std::optional<Item> Store::ChildByKey(ItemId parent, const std::string& name_key) {
  auto s_handle = session_->stmts().Get(
      "SELECT id, name, is_folder FROM items WHERE parent = ? AND name_key = ?");
  sql::Stmt& s = *s_handle;
  s.Bind(1, parent).Bind(2, name_key);
  if (!s.Step()) return std::nullopt;
  return Item{s.Int(0), parent, s.Text(1), s.Int(2) != 0};
}

std::optional<Item> Store::Find(const std::vector<std::string>& names) {
  session_->Revalidate();
  Session::FolderCache& folders = session_->folders();
  std::optional<Item> item;
  ItemId parent = 0;
  for (const std::string& name : names) {
    if (item && !item->is_folder) return std::nullopt;
    const std::string key = core::FoldCase(name);
    if (const Item* folder = folders.Get(parent, key)) {
      item = *folder;
    } else {
      item = ChildByKey(parent, key);
      if (!item) return std::nullopt;
      if (item->is_folder) folders.Put(key, *item);
    }
    parent = item->id;
  }
  return item;
}

Item Store::Resolve(std::string_view url) {
  std::vector<std::string> names = Names(url);
  if (!core::EqualsNoCase(names[0], DomainFolder())) {
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
  session_->Revalidate();
  return GetKnown(id);
}

std::optional<Item> Store::GetKnown(ItemId id) {
  Session::FolderCache& cache = session_->folders();
  if (const Item* known = cache.ById(id)) return *known;
  std::optional<Item> item = ReadItem(id);
  if (!item) return std::nullopt;
  cache.Put(*item);
  return item;
}

std::optional<Item> Store::ReadItem(ItemId id) {
  auto s_handle = session_->stmts().Get("SELECT parent, name, is_folder FROM items WHERE id = ?");
  sql::Stmt& s = *s_handle;
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  return Item{id, s.Int(0), s.Text(1), s.Int(2) != 0};
}

std::vector<Item> Store::Chain(ItemId id) {
  session_->Revalidate();
  std::vector<Item> chain;
  while (id != 0) {
    std::optional<Item> item = GetKnown(id);
    if (!item) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    chain.push_back(std::move(*item));
    id = chain.back().parent;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

std::string Store::UrlOf(ItemId id) {
  std::vector<std::string> names;
  for (Item& item : Chain(id)) names.push_back(std::move(item.name));
  return FileUrl(names);
}

int Store::Depth(ItemId id) { return static_cast<int>(Chain(id).size()); }

ItemId Store::MailboxOf(ItemId id) {
  std::vector<Item> chain = Chain(id);
  return chain.size() >= kMailboxDepth ? chain[kMailboxDepth - 1].id : 0;
}

std::vector<Item> Store::Children(ItemId folder, std::size_t limit) {
  std::vector<Item> items;
  auto s = session_->stmts().Get(
      "SELECT id, name, is_folder FROM items WHERE parent = ? ORDER BY name_key, id LIMIT ?");
  s->Bind(1, folder).Bind(2, limit == 0 ? std::int64_t{-1} : static_cast<std::int64_t>(limit));
  while (s->Step()) items.push_back(Item{s->Int(0), folder, s->Text(1), s->Int(2) != 0});
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

namespace {

// The value of a props row from its type and value columns; Empty for a
// property written as Empty.
Variant StoredValue(const sql::Stmt& s, int type_column, int value_column) {
  switch (static_cast<VarType>(s.Int(type_column))) {
    case VarType::Null:
      return Variant::Null();
    case VarType::Boolean:
      return Variant(s.Int(value_column) != 0);
    case VarType::Integer:
      return Variant(static_cast<std::int16_t>(s.Int(value_column)));
    case VarType::Long:
      return Variant(static_cast<std::int32_t>(s.Int(value_column)));
    case VarType::Double:
      return Variant(s.Real(value_column));
    case VarType::String:
      return Variant(s.Text(value_column));
    case VarType::Empty:
      break;
  }
  return Variant();
}

}  // namespace

FieldList Store::Properties(ItemId id, bool with_content, std::string* deferred_content) {
  std::optional<Item> item = Get(id);
  if (!item) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
  if (deferred_content) deferred_content->clear();
  FieldList fields;
  std::string parent_url = item->parent ? UrlOf(item->parent) : "";
  std::string href = item->parent ? parent_url + "/" + item->name : FileUrl({item->name});
  fields.emplace_back(schema::kHref, Variant(std::move(href)));
  fields.emplace_back(schema::kDisplayName, Variant(item->name));
  fields.emplace_back(schema::kParentName, Variant(std::move(parent_url)));
  fields.emplace_back(schema::kIsFolder, Variant(item->is_folder));
  const Session::ItemCache::Entry& stored = StoredProperties(id);
  bool has_hidden = false;
  for (std::size_t i = 0; i < stored.rows.size(); ++i) {
    const auto& [name, value] = stored.rows[i];
    if (i == stored.content_row) {
      // A deferred text is listed in its place without its value.
      if (deferred_content) {
        *deferred_content = name;
        fields.emplace_back(name, Variant());
      } else if (with_content) {
        std::shared_ptr<const std::string> text = stored.content.lock();
        fields.emplace_back(name, text ? Variant(*text) : ReadProperty(id, name));
      }
      continue;
    }
    if (SameProperty(name, schema::kIsHidden)) has_hidden = true;
    fields.emplace_back(name, value);
  }
  if (!has_hidden) fields.emplace_back(schema::kIsHidden, Variant(false));
  return fields;
}

const Session::ItemCache::Entry& Store::StoredProperties(ItemId id) {
  session_->Revalidate();
  Session::ItemCache::Entry& entry = session_->items().Put(id);
  if (entry.has_rows) return entry;
  // The text's value is left out, so SQLite never reads its overflow pages.
  auto s_handle = session_->stmts().Get(
      "SELECT name, type, CASE WHEN name_key <> ?2 THEN value END, name_key = ?2 "
      "FROM props WHERE item = ?1 ORDER BY id");
  sql::Stmt& s = *s_handle;
  s.Bind(1, id).Bind(2, core::FoldCase(schema::kContent));
  std::vector<std::pair<std::string, Variant>> rows;
  std::size_t content_row = Session::ItemCache::kNoRow;
  while (s.Step()) {
    if (static_cast<VarType>(s.Int(1)) == VarType::Empty) continue;
    if (s.Int(3) != 0) {
      content_row = rows.size();
      rows.emplace_back(s.Text(0), Variant());
    } else {
      rows.emplace_back(s.Text(0), StoredValue(s, 1, 2));
    }
  }
  entry.rows = std::move(rows);
  entry.content_row = content_row;
  entry.has_rows = true;
  return entry;
}

Variant Store::Property(ItemId id, std::string_view name) {
  if (SameProperty(name, schema::kContent)) {
    session_->Revalidate();
    const Session::ItemCache::Entry* entry = session_->items().Get(id);
    if (std::shared_ptr<const std::string> text = entry ? entry->content.lock() : nullptr) {
      return Variant(*text);
    }
  }
  return ReadProperty(id, name);
}

Variant Store::ReadProperty(ItemId id, std::string_view name) {
  auto s = session_->stmts().Get("SELECT type, value FROM props WHERE item = ? AND name_key = ?");
  s->Bind(1, id).Bind(2, core::FoldCase(name));
  if (s->Step()) return StoredValue(*s, 0, 1);
  // Not Get: revalidating could empty the item cache under Properties.
  if (!ReadItem(id)) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
  return Variant();
}

// --- Changing ---------------------------------------------------------------

ItemId Store::InsertItem(ItemId parent, const std::string& name, bool is_folder) {
  auto s_handle =
      session_->stmts().Get("INSERT INTO items(parent, name, name_key, is_folder) VALUES(?,?,?,?)");
  sql::Stmt& s = *s_handle;
  std::string name_key = core::FoldCase(name);
  s.Bind(1, parent).Bind(2, name).Bind(3, name_key).Bind(4, std::int64_t{is_folder});
  s.Run();
  const Item item{sqlite3_last_insert_rowid(session_->db()), parent, name, is_folder};
  // The readers that follow (the item's events, its URL) find it here. A
  // rolled-back insert empties the cache along with the rest.
  session_->folders().Put(item);
  return item.id;
}

void Store::WriteProperty(ItemId id, const std::string& name, const Variant& value) {
  session_->items().Forget(id);
  if (value.IsEmpty()) {
    auto s_handle = session_->stmts().Get("DELETE FROM props WHERE item = ? AND name_key = ?");
    sql::Stmt& s = *s_handle;
    s.Bind(1, id).Bind(2, core::FoldCase(name)).Run();
    if (SameProperty(name, schema::kContentClass)) IndexRegistration(id, false);
    return;
  }
  // Upsert keeps the row (and so the property's place in the order).
  auto s_handle = session_->stmts().Get(
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
      s.BindBlob(5, *value.Text());
      break;
    default:
      s.BindNull(5);
      break;
  }
  s.Run();
  if (SameProperty(name, schema::kContentClass)) {
    IndexRegistration(id,
                      value.Type() == VarType::String && db::IsRegistrationClass(value.AsString()));
  }
}

void Store::IndexRegistration(ItemId id, bool is_registration) {
  if (is_registration) {
    auto s = session_->stmts().Get(
        "INSERT OR REPLACE INTO registrations(item, folder) "
        "SELECT id, parent FROM items WHERE id = ? AND is_folder = 0");
    s->Bind(1, id).Run();
  } else {
    auto s = session_->stmts().Get("DELETE FROM registrations WHERE item = ?");
    s->Bind(1, id).Run();
  }
}

void Store::Save(const SaveRequest& request) {
  WriteChanges(request);
  // Begin phase: sinks see the item as saved and may veto by throwing; the
  // committed phase follows the outermost commit.
  session_->events().SaveBegin(request.id, request.is_new, request.origin, false);
}

void Store::WriteChanges(const SaveRequest& request) {
  // A new item had no properties before: what is written here is all it
  // has, so the item cache is given its rows as they will read back, and
  // the readers that follow (criteria, the event record, sinks) find them.
  std::optional<Session::ItemCache::Entry> seed;
  if (request.is_new) seed.emplace().has_rows = true;
  const auto write = [&](const std::string& name, const Variant& value) {
    WriteProperty(request.id, name, value);
    if (seed) SeedRow(*seed, name, value);
  };
  const auto keep_seed = [&](std::shared_ptr<const std::string> text) {
    if (!seed) return;
    Session::ItemCache::Entry& entry = session_->items().Put(request.id);
    entry = std::move(*seed);
    entry.content = std::move(text);
  };
  bool wrote_class = false;
  const Variant* content = nullptr;
  for (const auto& [name, value] : *request.changes) {
    if (IsDerived(name)) continue;
    write(name, value);
    if (SameProperty(name, schema::kContentClass)) wrote_class = true;
    if (SameProperty(name, schema::kContent) && value.Type() == VarType::String) content = &value;
  }
  if (!content) return keep_seed(nullptr);
  // A copy of the message this thread saved last (a sink filing it) reuses
  // that analysis instead of parsing the same text again.
  Session::Analysis known;
  const std::string& text = *content->Text();
  if (!request.info) known = session_->Remembered(text);
  mime::MessageInfo analysed;
  if (!request.info && !known.info) analysed = mime::Analyze(text);
  const mime::MessageInfo& info = request.info ? *request.info
                                  : known.info ? *known.info
                                               : analysed;
  if (!known.info) known = session_->RememberAnalysis(text, info);
  write(schema::kHasAttachment, Variant(info.has_attachment));
  write(schema::kSubject, Variant(info.subject));
  write(schema::kFrom, Variant(info.from));
  write(schema::kTo, Variant(info.to));
  write(schema::kMessageId, Variant(info.message_id));
  if (!wrote_class) {
    auto s_handle = session_->stmts().Get("SELECT 1 FROM props WHERE item = ? AND name_key = ?");
    sql::Stmt& s = *s_handle;
    s.Bind(1, request.id).Bind(2, core::FoldCase(schema::kContentClass));
    if (!s.Step()) write(schema::kContentClass, Variant(schema::kMessageClass));
  }
  // Whoever reads the item next (its sinks first) finds the text here.
  if (seed) return keep_seed(std::move(known.text));
  if (known.text) session_->items().Put(request.id).content = std::move(known.text);
}

void Store::SeedRow(Session::ItemCache::Entry& entry, const std::string& name,
                    const Variant& value) {
  // As WriteProperty leaves the rows: an upsert keeps a row's place and its
  // name as first written, a delete frees the place, and every value but
  // Empty reads back as written. The text stands without its value.
  auto& rows = entry.rows;
  auto it = std::find_if(rows.begin(), rows.end(),
                         [&](const auto& row) { return SameProperty(row.first, name); });
  const std::size_t at = static_cast<std::size_t>(it - rows.begin());
  const bool is_content = SameProperty(name, schema::kContent);
  if (value.IsEmpty()) {
    if (it == rows.end()) return;
    rows.erase(it);
    if (entry.content_row == at) {
      entry.content_row = Session::ItemCache::kNoRow;
    } else if (entry.content_row != Session::ItemCache::kNoRow && entry.content_row > at) {
      --entry.content_row;
    }
    return;
  }
  if (it == rows.end()) {
    if (is_content) entry.content_row = rows.size();
    rows.emplace_back(name, is_content ? Variant() : value);
  } else if (!is_content) {
    it->second = value;
  }
}

void Store::MoveItem(const Item& item, ItemId parent, const std::string& name) {
  if (item.is_folder) {
    session_->folders().Clear();
  } else {
    session_->folders().ForgetItem(item.id);
  }
  // Event hook: a move is a delete at the old URL and a save at the new one.
  {
    auto s =
        session_->stmts().Get("UPDATE items SET parent = ?, name = ?, name_key = ? WHERE id = ?");
    s->Bind(1, parent).Bind(2, name).Bind(3, core::FoldCase(name)).Bind(4, item.id).Run();
  }
  {
    auto s = session_->stmts().Get("UPDATE registrations SET folder = ? WHERE item = ?");
    s->Bind(1, parent).Bind(2, item.id).Run();
  }
  session_->events().SaveBegin(item.id, false, SaveOrigin::Client, true);
}

void Store::DeleteItem(ItemId id) {
  // Event hook: OnSyncDelete for the item (and, for a folder, its content).
  session_->events().Deleted(id);
  std::optional<Item> item = Get(id);
  session_->items().Forget(id);
  if (item && !item->is_folder) {
    session_->folders().ForgetItem(id);
    // Nothing lies below an item that is not a folder, and it is no mailbox.
    static const char* const kDeletes[] = {
        "DELETE FROM props WHERE item = ?1",
        "DELETE FROM registrations WHERE item = ?1",
        "DELETE FROM items WHERE id = ?1",
    };
    for (const char* sql : kDeletes) session_->stmts().Get(sql)->Bind(1, id).Run();
    return;
  }
  session_->folders().Clear();
  session_->items().Clear();
#define ZENTHRA_BELOW                               \
  "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL " \
  "SELECT items.id FROM items JOIN sub ON items.parent = sub.id) "
  static const char* const kDeletes[] = {
      ZENTHRA_BELOW "DELETE FROM props WHERE item IN sub",
      ZENTHRA_BELOW "DELETE FROM mailboxes WHERE item IN sub",
      ZENTHRA_BELOW "DELETE FROM registrations WHERE item IN sub",
      ZENTHRA_BELOW "DELETE FROM items WHERE id IN sub",
  };
#undef ZENTHRA_BELOW
  for (const char* sql : kDeletes) session_->stmts().Get(sql)->Bind(1, id).Run();
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
    // Replacing would delete everything below it, which nobody asks for by
    // overwriting one item.
    if (old->is_folder && !Children(old->id, 1).empty()) {
      throw RuntimeError(err::kDbResourceExists,
                         Describe(url, "Refusing to replace a folder that holds items"));
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
  auto once = [&] {
    WriteScope scope(*this);
    if (!Get(id)) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    if (Depth(id) <= kMailboxDepth) {
      throw RuntimeError(err::kDbPermissionDenied,
                         Describe(UrlOf(id), "Only items inside mailboxes can be deleted"));
    }
    DeleteItem(id);
    scope.Commit();
  };
  sql::ForgetLastFailure();
  try {
    once();
  } catch (const RuntimeError&) {
    // Deleting needs room in the log too; on a full disk the reserve makes
    // that room, once, outside anyone's transaction.
    if (!sql::LastFailureWasDiskFull() || session_->InTransaction() || !session_->GiveUpReserve()) {
      throw;
    }
    once();
  }
  session_->TakeBackReserve();
}

Item Store::NewItemFolder(ItemId folder) {
  std::optional<Item> parent = Get(folder);
  if (!parent || !parent->is_folder) {
    throw RuntimeError(err::kDbNotFound, "The folder does not exist");
  }
  if (Depth(folder) < kMailboxDepth) {
    throw RuntimeError(err::kDbPermissionDenied,
                       Describe(UrlOf(folder), "Items can be created only inside a mailbox"));
  }
  return *parent;
}

std::string Store::UniqueName(ItemId folder, const ItemNames& names) {
  // Every candidate is checked where it is chosen, inside the write lock.
  auto free = [&](std::int32_t attempt, std::string* name) {
    *name = names(attempt);
    std::string problem = CheckItemName(*name);
    if (!problem.empty()) {
      throw RuntimeError(err::kAdoInvalidArgument, Describe(UrlOf(folder) + "/" + *name, problem));
    }
    return !Child(folder, *name);
  };
  std::string name;
  if (free(0, &name)) return name;
  // Numbered names are taken from 1 upwards, so the first free one is found
  // by halving; hi always names a number seen free.
  std::string hi_name;
  if (free(kNumberedNames, &hi_name)) {
    std::int32_t lo = 1, hi = kNumberedNames;
    while (lo < hi) {
      std::int32_t mid = lo + (hi - lo) / 2;
      if (free(mid, &name)) {
        hi = mid;
        hi_name = name;
      } else {
        lo = mid + 1;
      }
    }
    return hi_name;
  }
  thread_local std::mt19937 engine{std::random_device{}()};
  std::uniform_int_distribution<std::int32_t> draw(kNumberedNames + 1, INT_MAX);
  for (int i = 0; i < kRandomNames; ++i) {
    if (free(draw(engine), &name)) return name;
  }
  throw RuntimeError(err::kDbResourceExists, "No free item name in " + UrlOf(folder));
}

Item Store::CreateUnique(ItemId folder, const ItemNames& names, const FieldList& properties,
                         SaveOrigin origin) {
  WriteScope scope(*this);
  NewItemFolder(folder);
  std::string name = UniqueName(folder, names);
  Item item{InsertItem(folder, name, false), folder, name, false};
  Save({origin, true, item.id, &properties});
  scope.Commit();
  return item;
}

Item Store::SaveMessage(ItemId folder, std::string_view rfc5322, SaveOrigin origin) {
  // Parsed before taking the write lock, which other writers wait for.
  mime::MessageInfo info = mime::Analyze(rfc5322);
  WriteScope scope(*this);
  Item item = InsertMessage(folder, std::string(rfc5322), info, origin);
  scope.Commit();
  return item;
}

Item Store::InsertMessage(ItemId folder, std::string rfc5322, const mime::MessageInfo& info,
                          SaveOrigin origin) {
  NewItemFolder(folder);
  std::string name = UniqueName(
      folder, [&](std::int32_t attempt) { return mime::ItemName(info.subject, attempt); });
  Item item{InsertItem(folder, name, false), folder, name, false};
  FieldList props;
  props.emplace_back(schema::kContent, Variant(std::move(rfc5322)));
  Save({origin, true, item.id, &props, &info});
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
  std::optional<Item> mbx = Find({DomainFolder(), kMbx});
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
  auto s_handle = session_->stmts().Get(
      "INSERT INTO mailboxes(item, store, is_system) "
      "SELECT ?, id, 0 FROM mailbox_stores ORDER BY id LIMIT 1");
  sql::Stmt& s = *s_handle;
  s.Bind(1, mailbox).Run();
  scope.Commit();
  return UrlOf(mailbox);
}

std::string Store::Deliver(const std::string& alias, std::string rfc5322) {
  // Parsed before taking the write lock, which other writers wait for.
  const mime::MessageInfo info = mime::Analyze(rfc5322);
  return Deliver(alias, std::move(rfc5322), info);
}

std::string Store::Deliver(const std::string& alias, std::string rfc5322,
                           const mime::MessageInfo& info) {
  if (rfc5322.empty()) {
    throw RuntimeError(err::kAdoInvalidArgument, "Refusing to deliver an empty message");
  }
  // The lookups share the write's transaction: one lock instead of one per
  // statement.
  WriteScope scope(*this);
  std::optional<Item> mailbox = Find({DomainFolder(), kMbx, alias});
  if (!mailbox) throw RuntimeError(err::kDbNotFound, "No mailbox \"" + alias + "\"");
  std::string inbox_url;
  for (auto& [name, value] : Properties(mailbox->id, false)) {
    if (SameProperty(name, schema::kInbox)) inbox_url = value.AsString();
  }
  if (inbox_url.empty()) {
    throw RuntimeError(err::kDbNotFound, "The mailbox \"" + alias + "\" has no Inbox");
  }
  const Item inbox = Resolve(inbox_url);
  const Item item = InsertMessage(inbox.id, std::move(rfc5322), info, SaveOrigin::Delivery);
  const std::int64_t changes = sqlite3_total_changes64(session_->db());
  // Durable here; then the event sinks run (and may file the message).
  scope.Commit();
  // Where the sinks left it; where it was delivered when they changed
  // nothing (a read outside a transaction costs the log's locks). A sink
  // that deleted it leaves the delivery done all the same: failing now
  // would have the transport deliver twice.
  const std::string delivered = inbox_url + "/" + item.name;
  if (sqlite3_total_changes64(session_->db()) == changes) return delivered;
  std::optional<Item> now = Get(item.id);
  if (!now || (now->parent == inbox.id && now->name == item.name)) return delivered;
  try {
    return UrlOf(item.id);
  } catch (const RuntimeError&) {
    return delivered;
  }
}

std::vector<MailboxInfo> Store::Mailboxes() {
  std::vector<MailboxInfo> out;
  auto s_handle = session_->stmts().Get(
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

#include "platform/store/events.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/interfaces.h"
#include "platform/complus/activation.h"
#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/query/query.h"
#include "platform/store/schema.h"
#include "platform/store/sqlite_util.h"
#include "platform/store/url.h"

namespace store::events {

using adodb::FieldList;
using core::RuntimeError;
using core::Variant;
namespace err = core::err;

namespace {

// How deep the current thread is inside sink calls.
thread_local int t_depth = 0;

class DepthGuard {
 public:
  DepthGuard() { ++t_depth; }
  ~DepthGuard() { --t_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

enum class Scope { Shallow, Deep, Any };

struct Registration {
  ItemId id = 0;
  std::string sink_class;
  bool on_sync_save = false;
  bool on_sync_delete = false;
  Scope scope = Scope::Shallow;
  bool usable = true;  // scope and criteria understood
  std::shared_ptr<const query::Expr> criteria;
  bool numeric = false;
  double priority = 0;
};

const Variant* Find(const FieldList& props, std::string_view name) {
  for (const auto& [n, v] : props) {
    if (SameProperty(n, name)) return &v;
  }
  return nullptr;
}

std::string Text(const FieldList& props, std::string_view name) {
  const Variant* v = Find(props, name);
  if (!v || v->IsEmpty() || v->IsNull()) return "";
  try {
    return v->AsString();
  } catch (const RuntimeError&) {
    return "";
  }
}

bool NamesEvent(const std::string& methods, std::string_view event) {
  for (const std::string& m : core::Split(methods, ";")) {
    if (core::EqualsNoCase(core::Trim(m), event)) return true;
  }
  return false;
}

// Empty optional for a scope this store does not know.
std::optional<Scope> ParseScope(const std::string& text) {
  std::string t = core::Trim(text);
  if (t.empty() || core::EqualsNoCase(t, "SHALLOW")) return Scope::Shallow;
  if (core::EqualsNoCase(t, "DEEP")) return Scope::Deep;
  if (core::EqualsNoCase(t, "ANY")) return Scope::Any;
  return std::nullopt;
}

Registration ReadRegistration(ItemId id, const FieldList& props) {
  Registration r;
  r.id = id;
  r.sink_class = core::Trim(Text(props, schema::kSinkClass));
  r.on_sync_save = NamesEvent(Text(props, schema::kEventMethod), "onsyncsave");
  r.on_sync_delete = NamesEvent(Text(props, schema::kEventMethod), "onsyncdelete");
  std::optional<Scope> scope = ParseScope(Text(props, schema::kMatchScope));
  r.usable = scope.has_value();
  r.scope = scope.value_or(Scope::Shallow);
  try {
    r.criteria = query::ParseCriteria(Text(props, schema::kCriteria));
  } catch (const RuntimeError&) {
    r.usable = false;
  }
  std::string priority = core::Trim(Text(props, schema::kPriority));
  if (!priority.empty()) {
    char* end = nullptr;
    double value = std::strtod(priority.c_str(), &end);
    if (end && *end == '\0' && std::isfinite(value)) {
      r.numeric = true;
      r.priority = value;
    }
  }
  return r;
}

// The record of an event's item, bound by identity. In the begin phase it
// borrows the saving connection for as long as the phase lasts (live); after
// it, it owns a connection of its own.
class EventItemSource : public adodb::RecordSource {
 public:
  EventItemSource(Store* borrowed, std::shared_ptr<const bool> live, ItemId id)
      : store_(borrowed), live_(std::move(live)), id_(id), writable_(false) {}
  EventItemSource(std::shared_ptr<Store> owned, ItemId id)
      : owner_(std::move(owned)), store_(owner_.get()), id_(id), writable_(true) {}

  std::string Source() const override { return Use().UrlOf(id_); }
  std::string ParentURL() const override {
    Store& s = Use();
    std::optional<Item> item = s.Get(id_);
    if (!item) throw RuntimeError(err::kDbNotFound, "The item of the event no longer exists");
    return item->parent ? s.UrlOf(item->parent) : std::string();
  }
  adodb::RecordTypeEnum RecordType() const override {
    std::optional<Item> item = Use().Get(id_);
    return item && item->is_folder ? adodb::adCollectionRecord : adodb::adSimpleRecord;
  }
  FieldList ReadFields() override { return Use().Properties(id_); }
  void WriteFields(const FieldList& changes) override {
    CheckWritable("change");
    Use().Update(id_, changes);
  }
  std::string MoveTo(const std::string& destination,
                     adodb::MoveRecordOptionsEnum options) override {
    CheckWritable("move");
    Store& s = Use();
    std::vector<std::string> names = s.Names(destination);
    if (names.size() < 2) {
      throw RuntimeError(err::kAdoInvalidArgument, "Cannot move to " + destination);
    }
    std::string name = names.back();
    names.pop_back();
    Item parent = s.Resolve(FileUrl(names));
    bool overwrite = options != adodb::adMoveUnspecified && (options & adodb::adMoveOverWrite);
    Item moved = s.Move(id_, parent.id, name, overwrite);
    return s.UrlOf(moved.id);
  }
  void Delete() override {
    CheckWritable("delete");
    Use().Delete(id_);
  }

 private:
  Store& Use() const {
    if (live_ && !*live_) {
      throw RuntimeError(err::kAdoObjectClosed,
                         "The record of the event's begin phase is used after that phase");
    }
    return *store_;
  }
  void CheckWritable(const char* what) const {
    if (!writable_) {
      throw RuntimeError(err::kDbReadOnly, std::string("Cannot ") + what + " " + Source() +
                                               " in the begin phase of its own save");
    }
  }

  std::shared_ptr<Store> owner_;
  Store* store_;
  std::shared_ptr<const bool> live_;
  ItemId id_;
  bool writable_;
};

// The store's side of one phase of one event.
class EventInfo : public com::Implements<com::IExStoreEventInfo, com::IExStoreDispEventInfo> {
 public:
  // Begin phase: records borrow the saving connection while live holds.
  EventInfo(Store* saving, std::shared_ptr<const bool> live, ItemId id)
      : saving_(saving), live_(std::move(live)), root_(saving->root()), id_(id) {}
  // Later phases: records open their own connection on root.
  EventInfo(std::filesystem::path root, ItemId id) : root_(std::move(root)), id_(id) {}

  com::HRESULT AbortChange(std::int32_t lErrorCode) override {
    if (!saving_) return com::E_UNEXPECTED;  // only the begin phase can veto
    aborted_ = true;
    code_ = lErrorCode;
    return com::S_OK;
  }

  adodb::RecordPtr EventRecord() override {
    std::unique_ptr<adodb::RecordSource> source;
    if (saving_) {
      if (!*live_) {
        throw RuntimeError(err::kAdoObjectClosed, "The begin phase of the event is over");
      }
      source = std::make_unique<EventItemSource>(saving_, live_, id_);
    } else {
      std::shared_ptr<Store> own = Store::Open(root_);
      if (!own->Get(id_)) {
        throw RuntimeError(err::kDbNotFound, "The item of the event no longer exists");
      }
      source = std::make_unique<EventItemSource>(std::move(own), id_);
    }
    auto record = std::make_shared<adodb::Record>();
    record->Attach(std::move(source), nullptr);
    return record;
  }

  bool aborted() const { return aborted_; }
  std::int32_t code() const { return code_; }

 private:
  Store* saving_ = nullptr;
  std::shared_ptr<const bool> live_;
  std::filesystem::path root_;
  ItemId id_;
  bool aborted_ = false;
  std::int32_t code_ = 0;
};

// Sinks are built through the construction hook; a process that never set
// one gets the component catalog's.
void EnsureConstruction() {
  static std::once_flag once;
  std::call_once(once, [] {
    com::ConstructionHook previous = com::SetConstructionHook(nullptr);
    if (previous) {
      com::SetConstructionHook(std::move(previous));
    } else {
      complus::EnableCatalogActivation();
    }
  });
}

// A new object of progId, or null when it cannot be created.
com::Ptr<com::IUnknown> Activate(const std::string& progId) {
  EnsureConstruction();
  try {
    return com::CreateObject(progId);
  } catch (...) {
    return nullptr;
  }
}

// Marks the begin phase over however it ends.
struct LiveFlag {
  std::shared_ptr<bool> live = std::make_shared<bool>(true);
  ~LiveFlag() { *live = false; }
};

}  // namespace

struct Dispatcher::Pending {
  ItemId id = 0;
  std::string url;
  std::int32_t flags = 0;
  bool is_delete = false;                                // OnSyncDelete rather than OnSyncSave
  std::vector<com::Ptr<com::IExStoreSyncEvents>> sinks;  // in the order called
};

// Registrations by folder, valid while neither another connection
// (data_version) nor this one (generation) changed what they rest on.
struct Dispatcher::Cache {
  std::int64_t data_version = -1;
  std::uint64_t generation = 0;
  std::uint64_t built_for = ~std::uint64_t{0};
  std::map<ItemId, std::vector<Registration>> by_folder;
  std::map<ItemId, ItemId> global_events;  // mailbox root -> GlobalEvents folder (0: none)
  std::set<ItemId> registrations;          // ids of every registration read

  void Clear() {
    by_folder.clear();
    global_events.clear();
    registrations.clear();
  }
};

Dispatcher::Dispatcher(Store& store) : store_(store), cache_(std::make_unique<Cache>()) {}

Dispatcher::~Dispatcher() { Aborted(0); }

std::size_t Dispatcher::Mark() const { return pending_.size(); }

std::vector<ItemId> Dispatcher::RegistrationIds(ItemId folder) {
  auto handle = store_.stmts_->Get(
      "SELECT i.id FROM items i JOIN props p ON p.item = i.id AND p.name_key = ?2 "
      "WHERE i.parent = ?1 AND i.is_folder = 0 "
      "AND CAST(p.value AS TEXT) = ?3 COLLATE NOCASE ORDER BY i.id");
  sql::Stmt& s = *handle;
  s.Bind(1, folder).Bind(2, core::FoldCase(schema::kContentClass));
  s.Bind(3, std::string_view(schema::kEventRegistrationClass));
  std::vector<ItemId> ids;
  while (s.Step()) ids.push_back(s.Int(0));
  return ids;
}

void Dispatcher::Revalidate() {
  Cache& cache = *cache_;
  auto handle = store_.stmts_->Get("PRAGMA data_version");
  sql::Stmt& v = *handle;
  std::int64_t version = v.Step() ? v.Int(0) : -1;
  if (version != cache.data_version || cache.generation != cache.built_for) {
    cache.Clear();
    cache.data_version = version;
    cache.built_for = cache.generation;
  }
}

void Dispatcher::Deleted(ItemId id) {
  ++cache_->generation;
  if (t_depth < kMaxEventDepth) {
    std::optional<Item> item = store_.Get(id);
    if (item) {
      Revalidate();
      Dispatch(true, *item, com::EVT_HARDDELETE | (item->is_folder ? com::EVT_IS_COLLECTION : 0));
    }
  }
  // What was read for the delete's own events goes with the item.
  ++cache_->generation;
}

void Dispatcher::SaveBegin(ItemId id, bool is_new, SaveOrigin origin, bool moved) {
  if (t_depth >= kMaxEventDepth) return;
  Cache& cache = *cache_;
  if (moved) ++cache.generation;  // a moved folder changes what DEEP covers
  Revalidate();
  std::optional<Item> item = store_.Get(id);
  if (!item) return;
  bool is_registration = false;
  {
    auto handle = store_.stmts_->Get("SELECT value FROM props WHERE item = ? AND name_key = ?");
    sql::Stmt& s = *handle;
    s.Bind(1, id).Bind(2, core::FoldCase(schema::kContentClass));
    is_registration =
        s.Step() && core::EqualsNoCase(core::Trim(s.Text(0)), schema::kEventRegistrationClass);
  }
  if (is_registration || cache.registrations.count(id)) {
    cache.Clear();
    cache.built_for = ++cache.generation;
  }

  std::int32_t flags = 0;
  if (is_new) flags |= com::EVT_NEW_ITEM;
  if (item->is_folder) flags |= com::EVT_IS_COLLECTION;
  if (origin == SaveOrigin::Delivery) flags |= com::EVT_IS_DELIVERED;
  if (moved) flags |= com::EVT_MOVE;

  if (is_registration)
    CheckRegistration(*item, store_.Properties(id, false), store_.UrlOf(id), flags);
  Dispatch(false, *item, flags);
}

void Dispatcher::Dispatch(bool is_delete, const Item& item, std::int32_t flags) {
  Cache& cache = *cache_;
  const ItemId id = item.id;

  // The folders whose registrations may cover the item: its own, then its
  // ancestors up to the mailbox root.
  ItemId mailbox = store_.MailboxOf(item.parent);
  if (mailbox == 0) return;
  std::vector<ItemId> chain;
  for (ItemId f = item.parent; f != 0;) {
    chain.push_back(f);
    if (f == mailbox) break;
    std::optional<Item> up = store_.Get(f);
    f = up ? up->parent : 0;
  }
  auto registrations_in = [&](ItemId folder) -> const std::vector<Registration>& {
    auto it = cache.by_folder.find(folder);
    if (it != cache.by_folder.end()) return it->second;
    std::vector<Registration> regs;
    for (ItemId reg : RegistrationIds(folder)) {
      regs.push_back(ReadRegistration(reg, store_.Properties(reg, false)));
      cache.registrations.insert(reg);
    }
    return cache.by_folder.emplace(folder, std::move(regs)).first->second;
  };

  std::vector<const Registration*> covering;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    for (const Registration& r : registrations_in(chain[i])) {
      if (r.scope == Scope::Deep || (i == 0 && r.scope == Scope::Shallow)) covering.push_back(&r);
    }
  }
  auto global = cache.global_events.find(mailbox);
  if (global == cache.global_events.end()) {
    global = cache.global_events.emplace(mailbox, GlobalEventsFolder(mailbox)).first;
  }
  if (global->second != 0) {
    for (const Registration& r : registrations_in(global->second)) {
      if (r.scope == Scope::Any) covering.push_back(&r);
    }
  }

  if (covering.empty()) return;

  // Criteria are evaluated on the item as saved; the message text is read
  // only when a condition names it.
  FieldList props;
  bool props_loaded = false, content_loaded = false;
  query::PropertyLookup lookup = [&](std::string_view name) -> const Variant* {
    if (SameProperty(name, schema::kContent) && !content_loaded) {
      props = store_.Properties(id, true);
      props_loaded = content_loaded = true;
    } else if (!props_loaded) {
      props = store_.Properties(id, false);
      props_loaded = true;
    }
    return Find(props, name);
  };
  std::vector<const Registration*> selected;
  for (const Registration* r : covering) {
    if (!r->usable || !(is_delete ? r->on_sync_delete : r->on_sync_save)) continue;
    if (r->sink_class.empty()) continue;
    if (!query::Matches(r->criteria.get(), lookup)) continue;
    selected.push_back(r);
  }
  if (selected.empty()) return;
  std::stable_sort(selected.begin(), selected.end(),
                   [](const Registration* a, const Registration* b) {
                     if (a->numeric != b->numeric) return a->numeric;
                     return a->numeric && a->priority < b->priority;
                   });
  // Copied out: a sink's own saves may rebuild the cache under us.
  std::vector<std::string> classes;
  for (const Registration* r : selected) classes.push_back(r->sink_class);

  const std::string url = store_.UrlOf(id);
  pending_.push_back(Pending{id, url, flags, is_delete, {}});
  const std::size_t index = pending_.size() - 1;
  LiveFlag live;
  auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>(&store_, live.live, id);
  auto* state = static_cast<EventInfo*>(info.Get());
  DepthGuard depth;
  for (const std::string& progId : classes) {
    com::Ptr<com::IExStoreSyncEvents> sink = Activate(progId).As<com::IExStoreSyncEvents>();
    if (!sink) continue;
    pending_[index].sinks.push_back(sink);
    try {
      if (is_delete) {
        sink->OnSyncDelete(info.Get(), url, flags | com::EVT_SYNC_BEGIN);
      } else {
        sink->OnSyncSave(info.Get(), url, flags | com::EVT_SYNC_BEGIN);
      }
    } catch (...) {
    }
    if (state->aborted()) {
      throw RuntimeError(state->code() != 0 ? state->code() : err::kEFail,
                         "The event sink " + progId + " refused the " +
                             (is_delete ? "deletion" : "save") + " of " + url);
    }
  }
}

ItemId Dispatcher::GlobalEventsFolder(ItemId mailbox) {
  ItemId system = 0;
  {
    auto handle = store_.stmts_->Get(
        "SELECT sys.item FROM mailboxes m JOIN mailboxes sys "
        "ON sys.store = m.store AND sys.is_system = 1 WHERE m.item = ? "
        "ORDER BY sys.item LIMIT 1");
    sql::Stmt& s = *handle;
    s.Bind(1, mailbox);
    if (!s.Step()) return 0;
    system = s.Int(0);
  }
  std::optional<Item> events = store_.Child(system, "StoreEvents");
  if (!events) return 0;
  std::optional<Item> global = store_.Child(events->id, "GlobalEvents");
  return global && global->is_folder ? global->id : 0;
}

void Dispatcher::CheckRegistration(const Item& item, const FieldList& props, const std::string& url,
                                   std::int32_t flags) {
  auto refuse = [&](const std::string& why) {
    throw RuntimeError(err::kAdoInvalidArgument,
                       "Refusing the event registration " + url + ": " + why);
  };
  std::optional<Scope> scope = ParseScope(Text(props, schema::kMatchScope));
  if (!scope) refuse("unknown match scope \"" + Text(props, schema::kMatchScope) + "\"");
  if (*scope == Scope::Any) {
    std::optional<Item> folder = store_.Get(item.parent);
    bool global = false;
    if (folder && core::EqualsNoCase(folder->name, "GlobalEvents")) {
      std::optional<Item> events = store_.Get(folder->parent);
      global = events && core::EqualsNoCase(events->name, "StoreEvents") &&
               GlobalEventsFolder(store_.MailboxOf(folder->id)) == folder->id;
    }
    if (!global)
      refuse("match scope ANY is allowed only in StoreEvents/GlobalEvents of a system mailbox");
  }
  try {
    query::ParseCriteria(Text(props, schema::kCriteria));
  } catch (const RuntimeError& e) {
    refuse("bad criteria: " + e.Description());
  }
  std::string progId = core::Trim(Text(props, schema::kSinkClass));
  if (progId.empty()) return;
  // A sink that cannot be created yet is accepted (see events.h).
  com::Ptr<com::ICreateRegistration> sink = Activate(progId).As<com::ICreateRegistration>();
  if (!sink) return;
  LiveFlag live;
  auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>(&store_, live.live, item.id);
  std::int32_t result = 0;
  com::HRESULT hr = com::E_FAIL;
  {
    DepthGuard depth;
    try {
      hr = sink->Register(info.Get(), url, flags | com::EVT_SYNC_BEGIN, &result);
    } catch (...) {
    }
  }
  if (com::Failed(hr)) refuse("the event sink " + progId + " failed to register it");
  if (result != 0) {
    refuse("the event sink " + progId + " refused it (result " + std::to_string(result) + ")");
  }
}

void Dispatcher::Committed() noexcept {
  std::vector<Pending> events = std::move(pending_);
  pending_.clear();
  Finish(std::move(events), com::EVT_SYNC_COMMITTED);
}

void Dispatcher::Aborted(std::size_t mark) noexcept {
  ++cache_->generation;  // what was read inside the transaction may be gone
  if (mark >= pending_.size()) return;
  std::vector<Pending> events(std::make_move_iterator(pending_.begin() + mark),
                              std::make_move_iterator(pending_.end()));
  pending_.erase(pending_.begin() + mark, pending_.end());
  Finish(std::move(events), com::EVT_SYNC_ABORTED);
}

void Dispatcher::Finish(std::vector<Pending> events, std::int32_t phase) noexcept {
  if (events.empty()) return;
  DepthGuard depth;
  for (Pending& event : events) {
    try {
      auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>(store_.root(), event.id);
      for (auto& sink : event.sinks) {
        try {
          if (event.is_delete) {
            sink->OnSyncDelete(info.Get(), event.url, event.flags | phase);
          } else {
            sink->OnSyncSave(info.Get(), event.url, event.flags | phase);
          }
        } catch (...) {
        }
      }
    } catch (...) {
    }
  }
}

}  // namespace store::events

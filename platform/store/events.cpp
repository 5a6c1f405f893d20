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
#include "platform/store/provider.h"
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

// Counts the thread's depth inside sink calls for a session.
class DepthGuard {
 public:
  explicit DepthGuard(Session& session) : depth_(session.event_depth()) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
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

// The store's side of one phase of one event.
class EventInfo : public com::Implements<com::IExStoreEventInfo, com::IExStoreDispEventInfo> {
 public:
  // live, when given, marks the begin phase: records are read-only and end
  // with it, and the change may be vetoed.
  EventInfo(std::shared_ptr<Session> session, ItemId id, std::shared_ptr<const bool> live)
      : session_(std::move(session)), id_(id), live_(std::move(live)) {}

  com::HRESULT AbortChange(std::int32_t lErrorCode) override {
    if (!live_) return com::E_UNEXPECTED;  // only the begin phase can veto
    aborted_ = true;
    code_ = lErrorCode;
    return com::S_OK;
  }

  adodb::RecordPtr EventRecord() override {
    if (live_ && !*live_) {
      throw RuntimeError(err::kAdoObjectClosed, "The begin phase of the event is over");
    }
    std::shared_ptr<Store> store = Store::OnSession(session_);
    std::optional<Item> item = store->Get(id_);
    if (!item) throw RuntimeError(err::kDbNotFound, "The item of the event no longer exists");
    auto record = std::make_shared<adodb::Record>();
    record->Attach(MakeRecordSource(std::move(store), *item, !live_,
                                    " in the begin phase of its own save", live_),
                   nullptr);
    return record;
  }

  bool aborted() const { return aborted_; }
  std::int32_t code() const { return code_; }

 private:
  std::shared_ptr<Session> session_;
  ItemId id_;
  std::shared_ptr<const bool> live_;
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

Dispatcher::Dispatcher(Session& session)
    : session_(session),
      // Aliasing an empty owner: the session owns this dispatcher, not the
      // other way round.
      store_(Store::OnSession(std::shared_ptr<Session>(std::shared_ptr<Session>(), &session))),
      cache_(std::make_unique<Cache>()) {}

Dispatcher::~Dispatcher() { Aborted(0); }

std::size_t Dispatcher::Mark() const { return pending_.size(); }

std::vector<ItemId> Dispatcher::RegistrationIds(ItemId folder) {
  auto s = session_.stmts().Get("SELECT item FROM registrations WHERE folder = ? ORDER BY item");
  s->Bind(1, folder);
  std::vector<ItemId> ids;
  while (s->Step()) ids.push_back(s->Int(0));
  return ids;
}

void Dispatcher::Revalidate() {
  Cache& cache = *cache_;
  session_.Revalidate();
  const std::int64_t version = session_.data_version();
  if (version != cache.data_version || cache.generation != cache.built_for) {
    cache.Clear();
    cache.data_version = version;
    cache.built_for = cache.generation;
  }
}

bool Dispatcher::IsRegistration(ItemId id) {
  auto s = session_.stmts().Get("SELECT 1 FROM registrations WHERE item = ?");
  s->Bind(1, id);
  return s->Step();
}

void Dispatcher::Deleted(ItemId id) {
  std::optional<Item> item = store_->Get(id);
  // Only folders and registration items change what the cache holds; mail
  // comes and goes without it.
  const bool structural =
      item && (item->is_folder || IsRegistration(id) || cache_->registrations.count(id));
  if (structural) ++cache_->generation;
  if (item && session_.event_depth() < kMaxEventDepth) {
    Revalidate();
    Dispatch(true, *item, com::EVT_HARDDELETE | (item->is_folder ? com::EVT_IS_COLLECTION : 0));
  }
  // What was read for the delete's own events goes with the item.
  if (structural) ++cache_->generation;
}

void Dispatcher::SaveBegin(ItemId id, bool is_new, SaveOrigin origin, bool moved) {
  if (session_.event_depth() >= kMaxEventDepth) return;
  Cache& cache = *cache_;
  std::optional<Item> item = store_->Get(id);
  if (!item) return;
  // A new or moved folder may be a GlobalEvents folder, or change what a
  // DEEP registration covers.
  if (item->is_folder && (is_new || moved)) ++cache.generation;
  Revalidate();
  const bool is_registration = IsRegistration(id);
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
    CheckRegistration(*item, store_->Properties(id, false), store_->UrlOf(id), flags);
  Dispatch(false, *item, flags);
}

void Dispatcher::Dispatch(bool is_delete, const Item& item, std::int32_t flags) {
  Cache& cache = *cache_;
  const ItemId id = item.id;

  // The folders whose registrations may cover the item: its own, then its
  // ancestors up to the mailbox root.
  ItemId mailbox = store_->MailboxOf(item.parent);
  if (mailbox == 0) return;
  std::vector<ItemId> chain;
  for (ItemId f = item.parent; f != 0;) {
    chain.push_back(f);
    if (f == mailbox) break;
    std::optional<Item> up = store_->Get(f);
    f = up ? up->parent : 0;
  }
  auto registrations_in = [&](ItemId folder) -> const std::vector<Registration>& {
    auto it = cache.by_folder.find(folder);
    if (it != cache.by_folder.end()) return it->second;
    std::vector<Registration> regs;
    for (ItemId reg : RegistrationIds(folder)) {
      regs.push_back(ReadRegistration(reg, store_->Properties(reg, false)));
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
      props = store_->Properties(id, true);
      props_loaded = content_loaded = true;
    } else if (!props_loaded) {
      props = store_->Properties(id, false);
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

  const std::string url = store_->UrlOf(id);
  pending_.push_back(Pending{id, url, flags, is_delete, {}});
  const std::size_t index = pending_.size() - 1;
  LiveFlag live;
  auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>(session_.shared_from_this(), id,
                                                                 live.live);
  auto* state = static_cast<EventInfo*>(info.Get());
  DepthGuard depth(session_);
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
    auto handle = session_.stmts().Get(
        "SELECT sys.item FROM mailboxes m JOIN mailboxes sys "
        "ON sys.store = m.store AND sys.is_system = 1 WHERE m.item = ? "
        "ORDER BY sys.item LIMIT 1");
    sql::Stmt& s = *handle;
    s.Bind(1, mailbox);
    if (!s.Step()) return 0;
    system = s.Int(0);
  }
  std::optional<Item> events = store_->Child(system, "StoreEvents");
  if (!events) return 0;
  std::optional<Item> global = store_->Child(events->id, "GlobalEvents");
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
    std::optional<Item> folder = store_->Get(item.parent);
    bool global = false;
    if (folder && core::EqualsNoCase(folder->name, "GlobalEvents")) {
      std::optional<Item> events = store_->Get(folder->parent);
      global = events && core::EqualsNoCase(events->name, "StoreEvents") &&
               GlobalEventsFolder(store_->MailboxOf(folder->id)) == folder->id;
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
  auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>(session_.shared_from_this(),
                                                                 item.id, live.live);
  std::int32_t result = 0;
  com::HRESULT hr = com::E_FAIL;
  {
    DepthGuard depth(session_);
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
  DepthGuard depth(session_);
  const bool committed = phase == com::EVT_SYNC_COMMITTED;
  // Several committed-phase calls (a batch of deliveries, or overlapping
  // registrations) share one transaction, each call a savepoint of its own:
  // each stays all or nothing, and the pages they all touch are written to
  // the log once instead of once per call.
  std::size_t calls = 0;
  for (const Pending& event : events) calls += event.sinks.size();
  Session::Level batch = 0;
  if (committed && calls > 1) {
    try {
      batch = session_.Begin(Session::Durability::Relaxed);
    } catch (...) {
      // Each call tries for a transaction of its own below.
    }
  }
  for (Pending& event : events) {
    try {
      auto info = com::MakeObject<EventInfo, com::IExStoreEventInfo>(session_.shared_from_this(),
                                                                     event.id, nullptr);
      for (auto& sink : event.sinks) {
        // A committed-phase call is one work unit (see events.h).
        Session::Level unit = 0;
        try {
          if (committed) unit = session_.Begin(Session::Durability::Relaxed);
        } catch (...) {
          continue;  // the store cannot be written now: no unit, no call
        }
        try {
          if (event.is_delete) {
            sink->OnSyncDelete(info.Get(), event.url, event.flags | phase);
          } else {
            sink->OnSyncSave(info.Get(), event.url, event.flags | phase);
          }
        } catch (...) {
        }
        if (unit == 0) continue;
        try {
          session_.CommitScope(unit);
        } catch (...) {
          session_.Rollback(unit);
        }
      }
    } catch (...) {
    }
  }
  if (batch == 0) return;
  try {
    session_.CommitScope(batch);
  } catch (...) {
    session_.Rollback(batch);
  }
}

}  // namespace store::events

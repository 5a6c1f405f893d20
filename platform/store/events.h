// Store events: the synchronous save events that bind event sinks to folders.
//
// A registration item is an item of content class
// "urn:content-class:storeeventreg" (normally hidden) with these properties
// (schema.h):
//   EventMethod  ";"-separated event names, case-insensitive; this store
//                raises "onsyncsave" and "onsyncdelete"
//   SinkClass    the ProgID of the sink, activated through com::CreateObject
//   MatchScope   "SHALLOW" (or absent): items saved in the item's own folder;
//                "DEEP": also every folder below it in the same mailbox;
//                "ANY": every folder of every mailbox of the mailbox store,
//                allowed only in a system mailbox's StoreEvents/GlobalEvents
//   criteria     a condition of the query language (" WHERE ..."), evaluated
//                on the saved item's properties; absent or blank matches all
//   priority     text holding a number; lower runs first, text that is not
//                a number runs after every number, ties in item order
//
// One save raises, for every covering registration whose criteria match,
// OnSyncSave on one new sink object: EVT_SYNC_BEGIN inside the save's write
// transaction (the sink may veto with AbortChange: the save is rolled back
// and fails with the sink's error code), then EVT_SYNC_COMMITTED after the
// outermost commit, or EVT_SYNC_ABORTED after a rollback. The flags also
// carry EVT_NEW_ITEM (created or replaced), EVT_IS_COLLECTION (a folder),
// EVT_IS_DELIVERED (saved by the transport) and EVT_MOVE (the item was moved
// here). A delete raises OnSyncDelete the same way, with EVT_HARDDELETE, on
// registrations naming "onsyncdelete", before anything is deleted; deleting
// a folder raises one event, for the folder. A sink that cannot be activated, or lacks
// IExStoreSyncEvents, is skipped and the save goes ahead; a registration whose criteria do not
// parse is skipped.
//
// EventRecord is a record on the thread's session (session.h), bound to the
// item by identity: read-only in the begin phase, inside the saver's
// transaction; writable in the committed and aborted phases.
//
// Each committed-phase call of a sink is one work unit: the dispatcher opens
// a transaction level around the call and commits it when the call returns
// (rolls it back when the commit fails), so everything the sink changes in
// the store through any data-access object of its thread commits together
// or not at all. A process killed during the call leaves the store as the
// delivery left it. The calls of one committed phase (a batch of
// deliveries, overlapping registrations) share one transaction, each call a
// savepoint of it, so that the pages they all touch are written once;
// should that transaction fail to commit, every unit in it is undone, never
// part of one. The transaction commits with relaxed durability: it is safe
// against a crash of the process at once, and against a power failure as
// soon as any later commit of the store is made durable, because the
// write-ahead log is replayed only up to its first incomplete frame; a
// power failure before that undoes its units as a whole and never the
// deliveries, which were made durable before the units began. Store::Sync()
// makes it durable at once.
//
// Saves made from inside an event raise their own events; past a nesting
// depth of kMaxEventDepth on one thread no further events are raised, so a
// sink that keeps saving into its own scope cannot recurse without end.
//
// Saving a registration item activates its sink and asks its
// ICreateRegistration::Register (when offered); a non-zero result or a failed
// call refuses the save. A registration whose sink cannot be activated yet is
// accepted, because registrations may be written before the component is
// installed; its events skip it until it can be. A MatchScope other than the
// three above, ANY outside StoreEvents/GlobalEvents, or criteria that do not
// parse, refuse the save with kAdoInvalidArgument naming the item.
//
// Sinks are constructed through com::CreateObject's construction hook. The
// first event of a process installs the component catalog's hook
// (complus::EnableCatalogActivation) unless a hook is installed already,
// which lets tests supply constructor strings of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/store/store.h"

namespace store::events {

inline constexpr int kMaxEventDepth = 8;

// The events of one session; the store calls it at its choke point. Used by
// the session's thread only.
class Dispatcher {
 public:
  explicit Dispatcher(Session& session);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // The begin phase of a save of id, after its properties are written and
  // before the transaction commits. Throws when a sink vetoes or a
  // registration item is refused; the caller then rolls back.
  void SaveBegin(ItemId id, bool is_new, SaveOrigin origin, bool moved);

  // The number of events waiting for their outcome; a write scope notes it
  // at its start so that a rollback to that point aborts only its own.
  std::size_t Mark() const;
  // After the outermost commit: the committed phase of every waiting event.
  void Committed() noexcept;
  // After a rollback: the aborted phase of the events from mark on.
  void Aborted(std::size_t mark) noexcept;
  // The begin phase of a delete of id (a folder with its content), before
  // anything is deleted. Throws when a sink vetoes.
  void Deleted(ItemId id);

 private:
  struct Pending;
  struct Cache;
  // The registration items directly in folder, in creation order.
  std::vector<ItemId> RegistrationIds(ItemId folder);
  // True when id is a registration item now.
  bool IsRegistration(ItemId id);
  // The GlobalEvents folder of the system mailbox of mailbox's store; 0 if none.
  ItemId GlobalEventsFolder(ItemId mailbox);
  // Refuses a registration item the store could not honour, or its sink refuses.
  void CheckRegistration(const Item& item, const adodb::FieldList& props, const std::string& url,
                         std::int32_t flags);
  // Rereads the registrations when anyone changed the store since.
  void Revalidate();
  // The begin phase of one event on item: covering registrations, criteria,
  // priority order, one new sink object each.
  void Dispatch(bool is_delete, const Item& item, std::int32_t flags);
  void Finish(std::vector<Pending> events, std::int32_t phase) noexcept;

  Session& session_;
  std::unique_ptr<Store> store_;  // a handle that does not keep the session alive
  std::vector<Pending> pending_;
  std::unique_ptr<Cache> cache_;
};

}  // namespace store::events

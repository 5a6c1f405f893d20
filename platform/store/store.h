// The mail store: folders and items with typed properties, kept in one
// SQLite database below the server root (<root>/store/store.db).
//
// Hierarchy: the domain folder (named after the DNS domain) holds "MBX",
// which holds one root folder per mailbox; mailboxes hold folders and items.
// Names compare without regard to case and keep the case they were created
// with. Each mailbox belongs to a mailbox store; each mailbox store has a
// system mailbox "SystemMailbox{<GUID>}" holding StoreEvents/GlobalEvents.
// An item's id is never reused, not even after the item is deleted.
//
// A Store object is a handle on its thread's session on the root
// (session.h): opening one is cheap, and every handle of a thread sees the
// others' writes at once. A handle belongs to the thread that opened it.
// Concurrent writers (threads, processes) wait for each other (busy timeout
// 30 s); every operation is one transaction, or a savepoint inside the
// caller's, so a process killed at any instant leaves whole items only.
//
// Properties are read and written by schema name (matched without regard to
// case, see SameProperty) and keep their type. Some
// are derived and cannot be written (writes are ignored): DAV:href,
// DAV:displayname (the item name), DAV:parentname and DAV:isfolder;
// DAV:ishidden reads False when never written. Writing the message text
// (schema::kContent) makes the item a message ("urn:content-classes:message"
// unless a content class was written) and sets hasattachment, subject, from,
// to and message-id from the MIME structure; malformed MIME is stored as
// received.
//
// The choke point: every change of an item (create, overwrite, property
// update, move, delete) goes through the private members Save, MoveItem and
// DeleteItem, inside the write transaction. Store events hook in there: a
// begin phase before the transaction commits and a committed phase after
// the outermost commit. Save carries the origin, so a delivery by the
// transport (Deliver) is told from a client save.
//
// Where the store cannot be written (a read-only file system, no
// permission) it is opened for reading; every change then fails with a
// message naming the database file and the cause. On a full disk Delete
// gives up a small space reserve (<root>/store/space-reserve) to let the
// deletion through, and takes it back when there is room again.
//
// Every failure throws core::RuntimeError whose description names the URL.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/provider.h"
#include "platform/store/item.h"
#include "platform/store/machine.h"
#include "platform/store/session.h"

namespace mime {
struct MessageInfo;
}

namespace store {

namespace events {
class Dispatcher;
}

struct MailboxInfo {
  std::string alias;          // the mailbox folder's name
  std::string url;            // file URL of the mailbox root
  std::string mailbox_store;  // name of the mailbox store it lives in
  bool is_system = false;     // the store's SystemMailbox{...}
};

// Who caused a save: a client (ADO, CDO, the tool) or the mail transport.
enum class SaveOrigin { Client, Delivery };

// What a create does when the name exists.
enum class ExistingItem { Fail, Replace, Open };

using adodb::ItemNames;

// True when two property names are the same property: names match without
// regard to case, and a property keeps the spelling it was first written in.
bool SameProperty(std::string_view a, std::string_view b);

// The database file of a server root.
std::filesystem::path DatabaseFile(const std::filesystem::path& root);

// Creates a server root: the machine file, the database, the domain folder,
// MBX, one mailbox store with its system mailbox. kDbResourceExists when the
// root is already provisioned.
void Provision(const std::filesystem::path& root, const Machine& machine);

class Store {
 public:
  // A handle on the calling thread's session on root (default
  // core::ServerRoot()). Error 76 when the root is not provisioned.
  static std::unique_ptr<Store> Open(const std::filesystem::path& root);
  static std::unique_ptr<Store> Open();
  // A handle on session, which must belong to the calling thread.
  static std::unique_ptr<Store> OnSession(std::shared_ptr<Session> session);
  // Rolls back the handle's open transaction levels.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const Machine& machine() const { return session_->machine(); }
  const std::filesystem::path& root() const { return session_->root(); }
  // The domain folder's name as stored.
  const std::string& DomainFolder() const { return session_->domain_folder(); }
  Session& session() const { return *session_; }
  // False where the store cannot be written (see above).
  bool Writable() const { return !session_->read_only(); }

  // The caller's transactions: each BeginTrans opens one level of the
  // session (nested ones are savepoints), CommitTrans and RollbackTrans end
  // the handle's innermost. Writes become visible to other threads and
  // processes at the outermost commit; RollbackTrans or destroying the handle
  // discards them. BeginTrans takes the write lock at once. A failed
  // CommitTrans leaves the level to RollbackTrans; a level that is gone
  // already (SQLite rolled back a failed commit, or a lower level was
  // rolled back) fails to commit and rolls back doing nothing.
  void BeginTrans();
  // durable, when given, is called once the outermost commit is durable,
  // before the sinks of the committed phase run (Session::Commit).
  void CommitTrans(const std::function<void()>& durable = nullptr);
  void RollbackTrans();
  bool InTransaction() const;

  // Makes every commit so far durable, including the relaxed commits of
  // event sinks' work (events.h). Costs one fsync when there is one.
  void Sync() { session_->Sync(); }

  // --- Locating ----------------------------------------------------------
  // The names of url, checked for form (see url.h).
  std::vector<std::string> Names(std::string_view url) const;
  // The item at names, if any.
  std::optional<Item> Find(const std::vector<std::string>& names);
  // The item at url; kDbNotFound naming the URL when absent.
  Item Resolve(std::string_view url);
  std::optional<Item> Get(ItemId id);
  // File URL of an item in the stored spelling.
  std::string UrlOf(ItemId id);
  // The item named name (without regard to case) directly in parent.
  std::optional<Item> Child(ItemId parent, std::string_view name);
  // The items directly in folder by name; at most limit of them (0: all).
  std::vector<Item> Children(ItemId folder, std::size_t limit = 0);
  // Every item below folder, depth first, folders before their content.
  std::vector<Item> Descendants(ItemId folder);
  // Depth of an item: 1 for the domain folder, 2 for MBX, 3 for a mailbox.
  int Depth(ItemId id);

  // Every property: the derived ones first, then the stored ones in the order
  // they were first written.
  // Without with_content the message text (schema::kContent) is left out,
  // which spares reading it when only the other properties are wanted.
  // With deferred_content it is listed in its place as Empty and its name
  // (as stored; empty when there is none) set there, to be read with
  // Property when wanted.
  adodb::FieldList Properties(ItemId id, bool with_content = true,
                              std::string* deferred_content = nullptr);
  // One stored property's value; Empty when the item has none of that name.
  core::Variant Property(ItemId id, std::string_view name);

  // --- Changing (all through the choke point) ----------------------------
  // Creates name below parent with the given properties, or when the name is
  // taken fails (kDbResourceExists), replaces the old item or opens it.
  // Items and folders can be created only inside a mailbox. A folder that
  // holds items is never replaced (kDbResourceExists naming it).
  Item Create(ItemId parent, const std::string& name, bool is_folder, ExistingItem existing,
              const adodb::FieldList& properties, SaveOrigin origin = SaveOrigin::Client);
  // Creates a new item in folder under the first of names that no item
  // there has, with its properties, as one change. names(0) is tried first,
  // then the numbered names 1..100 (found by a binary search, so the cost
  // does not grow with how many are taken), then names of random attempts
  // above 100. kDbResourceExists when none is free.
  Item CreateUnique(ItemId folder, const ItemNames& names, const adodb::FieldList& properties,
                    SaveOrigin origin = SaveOrigin::Client);
  // Writes properties (Empty deletes one).
  void Update(ItemId id, const adodb::FieldList& changes, SaveOrigin origin = SaveOrigin::Client);
  // Moves id to destination (parent folder + name), keeping its identity and
  // properties. An item at the destination is replaced when overwrite is set,
  // else kDbResourceExists.
  Item Move(ItemId id, ItemId destination_parent, const std::string& name, bool overwrite);
  // Deletes the item, or the folder with everything below it. On a full
  // disk the space reserve is given up for it.
  void Delete(ItemId id);

  // Creates a message with a unique name chosen from its subject in folder.
  Item SaveMessage(ItemId folder, std::string_view rfc5322, SaveOrigin origin);

  // --- Administration ----------------------------------------------------
  // Creates mailbox alias with its Inbox named inbox_name; returns its URL.
  std::string AddMailbox(const std::string& alias, const std::string& inbox_name = "Inbox");
  // Delivers a message into the mailbox's Inbox as the transport does and
  // returns the new item's URL (where it is once the event sinks have run).
  // The delivery is durable when this returns. Empty text is refused. The
  // text is taken, so a caller done with it can hand it over uncopied.
  std::string Deliver(const std::string& alias, std::string rfc5322);
  // The same, given info = mime::Analyze(rfc5322) made beforehand: a caller
  // that holds the write lock across several deliveries parses outside it.
  std::string Deliver(const std::string& alias, std::string rfc5322, const mime::MessageInfo& info);
  std::vector<MailboxInfo> Mailboxes();
  // The mailbox root the item lies in (0 when it lies above the mailboxes).
  ItemId MailboxOf(ItemId id);

 private:
  // Child by the folded name (core::FoldCase).
  std::optional<Item> ChildByKey(ItemId parent, const std::string& name_key);
  // Get for a caller that has revalidated the session's caches.
  std::optional<Item> GetKnown(ItemId id);
  // The item as the database holds it, leaving the caches alone.
  std::optional<Item> ReadItem(ItemId id);
  // The item and every folder above it, the domain folder first;
  // kDbNotFound when the item is gone.
  std::vector<Item> Chain(ItemId id);
  class WriteScope;
  friend class events::Dispatcher;
  explicit Store(std::shared_ptr<Session> session);

  // The choke point (see above).
  struct SaveRequest {
    SaveOrigin origin = SaveOrigin::Client;
    bool is_new = false;  // a create (or a replace) rather than an update
    ItemId id = 0;
    const adodb::FieldList* changes = nullptr;
    // The analysis of the message text among changes, when already made.
    const mime::MessageInfo* info = nullptr;
  };
  void Save(const SaveRequest& request);
  void WriteChanges(const SaveRequest& request);
  void MoveItem(const Item& item, ItemId parent, const std::string& name);
  void DeleteItem(ItemId id);

  ItemId InsertItem(ItemId parent, const std::string& name, bool is_folder);
  void WriteProperty(ItemId id, const std::string& name, const core::Variant& value);
  // The item's stored properties, through the session's item cache; the
  // entry stays valid until the next call on this store.
  const Session::ItemCache::Entry& StoredProperties(ItemId id);
  // Applies one write of WriteProperty to entry's rows.
  static void SeedRow(Session::ItemCache::Entry& entry, const std::string& name,
                      const core::Variant& value);
  // Property without the item cache.
  core::Variant ReadProperty(ItemId id, std::string_view name);
  // Keeps the registrations table true to an item's content class.
  void IndexRegistration(ItemId id, bool is_registration);
  // The first free name of names in folder (see CreateUnique).
  std::string UniqueName(ItemId folder, const ItemNames& names);
  // Checks that folder can take new items; returns it.
  Item NewItemFolder(ItemId folder);
  // SaveMessage inside the caller's write scope, the text analysed.
  Item InsertMessage(ItemId folder, std::string rfc5322, const mime::MessageInfo& info,
                     SaveOrigin origin);

  std::shared_ptr<Session> session_;
  std::vector<Session::Level> levels_;  // the handle's own transaction levels
};

}  // namespace store

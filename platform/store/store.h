// The mail store: folders and items with typed properties, kept in one
// SQLite database below the server root (<root>/store/store.db).
//
// Hierarchy: the domain folder (named after the DNS domain) holds "MBX",
// which holds one root folder per mailbox; mailboxes hold folders and items.
// Names compare without regard to case and keep the case they were created
// with. Each mailbox belongs to a mailbox store; each mailbox store has a
// system mailbox "SystemMailbox{<GUID>}" holding StoreEvents/GlobalEvents.
//
// A Store object is one connection to the database and is used by one thread
// at a time; threads and processes each open their own. Concurrent writers
// wait for each other (busy timeout 30 s); every write is one transaction,
// so a process killed at any instant leaves whole items only.
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
// begin phase before the transaction commits and a committed phase after.
// Save carries the origin, so a delivery by the transport (Deliver) is told
// from a client save. The begin phase holds the write lock: work it does in
// the store must go through this Store (another connection would wait for
// the lock). The committed phase runs after the lock is released, so a sink
// there may open connections of its own and write.
//
// Every failure throws core::RuntimeError whose description names the URL.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/provider.h"
#include "platform/store/machine.h"

struct sqlite3;

namespace mime {
struct MessageInfo;
}

namespace store {

namespace detail {
struct BusyWait;
}
namespace events {
class Dispatcher;
}
namespace sql {
class StmtCache;
}

using ItemId = std::int64_t;

struct Item {
  ItemId id = 0;
  ItemId parent = 0;  // 0 for the domain folder
  std::string name;   // as created
  bool is_folder = false;
};

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
  // Opens the store of root (default core::ServerRoot()). Error 76 when the
  // root is not provisioned.
  static std::unique_ptr<Store> Open(const std::filesystem::path& root);
  static std::unique_ptr<Store> Open();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const Machine& machine() const { return machine_; }
  const std::filesystem::path& root() const { return root_; }
  // The domain folder's name as stored.
  const std::string& DomainFolder() const { return domain_folder_; }

  // The caller's transaction (no nesting). Writes made while it is open
  // become visible to others at CommitTrans; RollbackTrans or destroying the
  // Store discards them. BeginTrans takes the write lock at once.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction() const { return user_transaction_; }

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
  std::vector<Item> Children(ItemId folder);
  // Every item below folder, depth first, folders before their content.
  std::vector<Item> Descendants(ItemId folder);
  // Depth of an item: 1 for the domain folder, 2 for MBX, 3 for a mailbox.
  int Depth(ItemId id);

  // Every property: the derived ones first, then the stored ones in the order
  // they were first written.
  // Without with_content the message text (schema::kContent) is left out,
  // which spares reading it when only the other properties are wanted.
  adodb::FieldList Properties(ItemId id, bool with_content = true);

  // --- Changing (all through the choke point) ----------------------------
  // Creates name below parent with the given properties, or when the name is
  // taken fails (kDbResourceExists), replaces the old item or opens it.
  // Items and folders can be created only inside a mailbox.
  Item Create(ItemId parent, const std::string& name, bool is_folder, ExistingItem existing,
              const adodb::FieldList& properties, SaveOrigin origin = SaveOrigin::Client);
  // Writes properties (Empty deletes one).
  void Update(ItemId id, const adodb::FieldList& changes, SaveOrigin origin = SaveOrigin::Client);
  // Moves id to destination (parent folder + name), keeping its identity and
  // properties. An item at the destination is replaced when overwrite is set,
  // else kDbResourceExists.
  Item Move(ItemId id, ItemId destination_parent, const std::string& name, bool overwrite);
  // Deletes the item, or the folder with everything below it.
  void Delete(ItemId id);

  // Creates a message with a unique name chosen from its subject in folder.
  Item SaveMessage(ItemId folder, std::string_view rfc5322, SaveOrigin origin);

  // --- Administration ----------------------------------------------------
  // Creates mailbox alias with its Inbox named inbox_name; returns its URL.
  std::string AddMailbox(const std::string& alias, const std::string& inbox_name = "Inbox");
  // Delivers a message into the mailbox's Inbox as the transport does and
  // returns the new item's URL. Empty text is refused.
  std::string Deliver(const std::string& alias, std::string_view rfc5322);
  std::vector<MailboxInfo> Mailboxes();
  // The mailbox root the item lies in (0 when it lies above the mailboxes).
  ItemId MailboxOf(ItemId id);

 private:
  class WriteScope;
  friend class events::Dispatcher;
  Store(std::filesystem::path root, Machine machine, sqlite3* db);

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
  std::optional<Item> Child(ItemId parent, std::string_view name);
  void WriteProperty(ItemId id, const std::string& name, const core::Variant& value);
  std::string UniqueName(ItemId folder, std::string_view subject);
  [[noreturn]] void Fail(const std::string& what) const;

  std::filesystem::path root_;
  Machine machine_;
  sqlite3* db_;
  std::unique_ptr<detail::BusyWait> busy_;  // the lock wait's state; outlives db_ use
  std::unique_ptr<sql::StmtCache> stmts_;
  std::string domain_folder_;
  bool user_transaction_ = false;
  std::unique_ptr<events::Dispatcher> events_;  // store events (events.h)
};

}  // namespace store

// The provider interface: what a data source implements so that Connection,
// Record, Recordset and Command can reach it.
//
// A Provider is registered under a name (matched without regard to case) and
// optionally claims URL prefixes, so that a Record opened on a URL without an
// active connection finds its provider the way a URL binder would.
//
// Every operation reports failure by throwing core::RuntimeError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ado/constants.h"
#include "platform/core/error.h"
#include "platform/core/variant.h"

namespace adodb {

using core::Variant;

// Name/value pairs in the order they were written.
using FieldList = std::vector<std::pair<std::string, Variant>>;

// The candidate names of a new item: attempt 0 first, then 1, 2, ...
using ItemNames = std::function<std::string(std::int32_t attempt)>;

// The provider's side of an open Record: one item or folder.
class RecordSource {
 public:
  virtual ~RecordSource() = default;

  // The item's own URL, and the URL of the folder that holds it.
  virtual std::string Source() const = 0;
  virtual std::string ParentURL() const = 0;
  virtual RecordTypeEnum RecordType() const = 0;

  // Every property of the item, in a stable order.
  virtual FieldList ReadFields() = 0;
  // The same, but a source may leave out the values of properties that are
  // costly to read and that few readers want (a message's text): it names
  // them in *deferred and gives them Empty; ReadDeferredField then reads
  // one when it is first asked for.
  virtual FieldList ReadFieldsDeferring(std::vector<std::string>* deferred) {
    deferred->clear();
    return ReadFields();
  }
  virtual Variant ReadDeferredField(const std::string& name);
  // Stores the changed and added properties. Values written as Empty delete
  // the property.
  virtual void WriteFields(const FieldList& changes) = 0;

  // Moves the item to destination (replacing an item there when options has
  // adMoveOverWrite) and returns the destination URL. The source stays bound
  // to the moved item.
  virtual std::string MoveTo(const std::string& destination, MoveRecordOptionsEnum options) = 0;
  // Deletes the item (a folder with everything below it).
  virtual void Delete() = 0;
};

// A materialised result of a query: column names and rows of values.
struct Rowset {
  std::vector<std::string> columns;
  std::vector<std::vector<Variant>> rows;
  // What the provider has to say about a result it still returns (a search
  // cut at its size limit, say); the connection's Errors collection gets them.
  std::vector<core::RuntimeError> warnings;
};

// Name/value settings handed to a command's execution ("searchscope",
// "Page Size", ...), names as written by the caller.
using PropertyList = std::vector<std::pair<std::string, Variant>>;

// One open connection to a data source.
class ProviderSession {
 public:
  virtual ~ProviderSession() = default;

  // Transactions. Nested transactions need not be supported; a provider that
  // has none throws. Destroying a session with an open transaction discards it.
  virtual void BeginTrans() = 0;
  virtual void CommitTrans() = 0;
  virtual void RollbackTrans() = 0;
  // True when BeginTrans may be called inside an open transaction; each
  // level is then committed or rolled back on its own, innermost first.
  virtual bool SupportsNestedTransactions() const { return false; }

  // Opens (and, as createOptions asks, creates) the item at url.
  virtual std::unique_ptr<RecordSource> OpenRecord(const std::string& url, ConnectModeEnum mode,
                                                   RecordCreateOptionsEnum createOptions,
                                                   RecordOpenOptionsEnum options,
                                                   const std::string& userName,
                                                   const std::string& password) = 0;

  // Creates a new item in the folder at folderUrl under the first name of
  // names that no item there has, with properties, as one change, and
  // returns it open. Names tried: names(0), names(1) up to names(100), then
  // names of random attempts above 100; kDbResourceExists when none is free.
  // This default, for providers that cannot do better, creates the item
  // with OpenRecord, writes its properties, and deletes it again when that
  // fails.
  virtual std::unique_ptr<RecordSource> CreateUniqueItem(const std::string& folderUrl,
                                                         const ItemNames& names,
                                                         const FieldList& properties,
                                                         ConnectModeEnum mode,
                                                         RecordOpenOptionsEnum options);

  // Runs a query in the provider's dialect.
  virtual Rowset Execute(const std::string& commandText, const PropertyList& properties) = 0;
};

class Provider {
 public:
  virtual ~Provider() = default;

  // Opens a session. connectionString is the Connection's string (or the
  // argument of Open when one was given).
  virtual std::unique_ptr<ProviderSession> Open(const std::string& connectionString,
                                                const std::string& userId,
                                                const std::string& password,
                                                std::int32_t options) = 0;

  // True when a Record opened on url without an active connection belongs
  // to this provider.
  virtual bool BindsUrl(std::string_view url) const {
    (void)url;
    return false;
  }
};

// The process's table of providers. Registration normally happens once, at
// start-up, from the module that implements the provider.
class ProviderRegistry {
 public:
  static ProviderRegistry& Instance();

  // Registers provider under name; a later registration of the same name
  // (compared without regard to case) replaces the earlier one.
  void Register(std::string name, std::shared_ptr<Provider> provider);
  void Unregister(std::string_view name);

  // Null when no provider of that name is registered.
  std::shared_ptr<Provider> Find(std::string_view name) const;
  // The name and provider that bind url, or a null provider.
  std::pair<std::string, std::shared_ptr<Provider>> FindForUrl(std::string_view url) const;

 private:
  ProviderRegistry() = default;
  struct Impl;
  std::shared_ptr<Impl> impl_;
  Impl& impl() const;
};

}  // namespace adodb

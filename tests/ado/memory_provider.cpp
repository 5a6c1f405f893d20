#include "tests/ado/memory_provider.h"

#include <algorithm>

#include "platform/core/error.h"

namespace adodb::testing {
namespace {

using core::RuntimeError;
namespace err = core::err;

std::string ParentOf(const std::string& url) {
  const auto slash = url.rfind('/');
  return slash == std::string::npos ? std::string() : url.substr(0, slash);
}

bool IsAtOrBelow(const std::string& key, const std::string& url) {
  return key == url || (key.size() > url.size() && key.compare(0, url.size(), url) == 0 &&
                        key[url.size()] == '/');
}

class MemorySession;

class MemorySource : public RecordSource {
 public:
  MemorySource(std::shared_ptr<MemoryState> state, MemorySession* session, std::string url,
               bool writable);
  ~MemorySource() override;

  std::string Source() const override { return url_; }
  std::string ParentURL() const override { return ParentOf(url_); }
  RecordTypeEnum RecordType() const override {
    return Item().folder ? adCollectionRecord : adSimpleRecord;
  }
  FieldList ReadFields() override { return Item().properties; }
  void WriteFields(const FieldList& changes) override {
    if (!writable_) throw RuntimeError(err::kDbReadOnly, "The item was opened for reading.");
    if (state_->fail_writes) throw RuntimeError(err::kEFail, "Writes are failing.");
    FieldList& props = Item().properties;
    for (const auto& [name, value] : changes) {
      auto it =
          std::find_if(props.begin(), props.end(), [&](const auto& p) { return p.first == name; });
      if (value.IsEmpty()) {
        if (it != props.end()) props.erase(it);
      } else if (it != props.end()) {
        it->second = value;
      } else {
        props.emplace_back(name, value);
      }
    }
  }
  std::string MoveTo(const std::string& destination, MoveRecordOptionsEnum options) override {
    Item();
    auto& items = state_->items;
    if (!items.count(ParentOf(destination))) {
      throw RuntimeError(err::kDbNotFound, "No folder for " + destination);
    }
    if (items.count(destination)) {
      if ((options & adMoveOverWrite) == 0) {
        throw RuntimeError(err::kDbResourceExists, destination + " exists.");
      }
      EraseBelow(destination);
    }
    std::map<std::string, MemoryItem> moved;
    for (auto it = items.begin(); it != items.end();) {
      if (IsAtOrBelow(it->first, url_)) {
        moved.emplace(destination + it->first.substr(url_.size()), std::move(it->second));
        it = items.erase(it);
      } else {
        ++it;
      }
    }
    items.merge(moved);
    url_ = destination;
    return destination;
  }
  void Delete() override {
    Item();
    EraseBelow(url_);
  }

 private:
  MemoryItem& Item() const {
    auto it = state_->items.find(url_);
    if (it == state_->items.end()) throw RuntimeError(err::kDbNotFound, url_ + " is gone.");
    return it->second;
  }
  void EraseBelow(const std::string& url) {
    std::erase_if(state_->items, [&](const auto& p) { return IsAtOrBelow(p.first, url); });
  }

  std::shared_ptr<MemoryState> state_;
  MemorySession* session_;
  std::string url_;
  bool writable_;
};

class MemorySession : public ProviderSession {
 public:
  explicit MemorySession(std::shared_ptr<MemoryState> state) : state_(std::move(state)) {
    ++state_->live_sessions;
  }
  ~MemorySession() override {
    if (snapshot_) state_->items = std::move(*snapshot_);
    --state_->live_sessions;
  }

  // Items report here, so that an item outliving its session shows up as a
  // use after free under the address sanitizer.
  int open_items = 0;

  void BeginTrans() override {
    if (snapshot_) throw RuntimeError(err::kEFail, "Transactions do not nest.");
    snapshot_ = std::make_unique<std::map<std::string, MemoryItem>>(state_->items);
  }
  void CommitTrans() override {
    if (!snapshot_) throw RuntimeError(err::kEFail, "No transaction.");
    snapshot_.reset();
  }
  void RollbackTrans() override {
    if (!snapshot_) throw RuntimeError(err::kEFail, "No transaction.");
    ++state_->rollbacks;
    state_->items = std::move(*snapshot_);
    snapshot_.reset();
  }

  std::unique_ptr<RecordSource> OpenRecord(const std::string& url, ConnectModeEnum mode,
                                           RecordCreateOptionsEnum createOptions,
                                           RecordOpenOptionsEnum options,
                                           const std::string& userName,
                                           const std::string& password) override {
    (void)options;
    (void)userName;
    (void)password;
    auto& items = state_->items;
    const bool exists = items.count(url) != 0;
    if (createOptions == adFailIfNotExists) {
      if (!exists) throw RuntimeError(err::kDbNotFound, url + " does not exist.");
    } else {
      if (!items.count(ParentOf(url))) throw RuntimeError(err::kDbNotFound, "No parent: " + url);
      const bool overwrite = (createOptions & adCreateOverwrite) != 0;
      const bool if_exists = (createOptions & adOpenIfExists) != 0;
      if (exists && !overwrite && !if_exists) {
        throw RuntimeError(err::kDbResourceExists, url + " exists.");
      }
      if (!exists || overwrite) {
        items[url] = MemoryItem{(createOptions & adCreateCollection) != 0, {}};
      }
    }
    const bool writable = mode != adModeRead;
    return std::make_unique<MemorySource>(state_, this, url, writable);
  }

  // "CHILDREN <folder url>" lists the folder's items by href and name;
  // anything else is rejected.
  Rowset Execute(const std::string& commandText, const PropertyList& properties) override {
    state_->last_query = commandText;
    state_->last_properties = properties;
    const std::string verb = "CHILDREN ";
    if (commandText.rfind(verb, 0) != 0) {
      throw RuntimeError(err::kDbErrorsInCommand, "Syntax error: " + commandText);
    }
    const std::string folder = commandText.substr(verb.size());
    Rowset rows;
    rows.columns = {"DAV:href", "DAV:isfolder"};
    for (const auto& [key, item] : state_->items) {
      if (ParentOf(key) == folder) rows.rows.push_back({Variant(key), Variant(item.folder)});
    }
    return rows;
  }

 private:
  std::shared_ptr<MemoryState> state_;
  std::unique_ptr<std::map<std::string, MemoryItem>> snapshot_;
};

MemorySource::MemorySource(std::shared_ptr<MemoryState> state, MemorySession* session,
                           std::string url, bool writable)
    : state_(std::move(state)), session_(session), url_(std::move(url)), writable_(writable) {
  ++session_->open_items;
}

MemorySource::~MemorySource() { --session_->open_items; }

}  // namespace

void MemoryProvider::Put(const std::string& url, bool folder, FieldList properties) {
  state_->items[url] = MemoryItem{folder, std::move(properties)};
}

Variant MemoryProvider::Get(const std::string& url, const std::string& name) const {
  auto it = state_->items.find(url);
  if (it == state_->items.end()) return Variant();
  for (const auto& [n, v] : it->second.properties) {
    if (n == name) return v;
  }
  return Variant();
}

std::unique_ptr<ProviderSession> MemoryProvider::Open(const std::string& connectionString,
                                                      const std::string& userId,
                                                      const std::string& password,
                                                      std::int32_t options) {
  (void)userId;
  (void)password;
  (void)options;
  state_->last_connection_string = connectionString;
  // Reachable when the URL or a folder above it exists, as a store
  // answers for items still to be created.
  std::string url = connectionString;
  while (!url.empty() && !state_->items.count(url)) url = ParentOf(url);
  if (!BindsUrl(connectionString) || url.empty()) {
    throw RuntimeError(err::kDbNotFound, "Cannot reach " + connectionString);
  }
  return std::make_unique<MemorySession>(state_);
}

bool MemoryProvider::BindsUrl(std::string_view url) const { return url.rfind("mem://", 0) == 0; }

ScopedMemoryProvider::ScopedMemoryProvider() : provider_(std::make_shared<MemoryProvider>()) {
  ProviderRegistry::Instance().Register(kMemoryProviderName, provider_);
}

ScopedMemoryProvider::~ScopedMemoryProvider() {
  ProviderRegistry::Instance().Unregister(kMemoryProviderName);
}

}  // namespace adodb::testing

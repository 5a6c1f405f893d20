#include "platform/store/provider.h"

#include <algorithm>
#include <mutex>

#include "platform/core/error.h"
#include "platform/core/text.h"
#include "platform/store/query/query.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"
#include "platform/store/url.h"

namespace store {

using adodb::FieldList;
using core::RuntimeError;
using core::Variant;
namespace err = core::err;

namespace {

constexpr int kMailboxDepth = 3;

// An open record: the store item it is bound to, by identity.
class StoreRecord : public adodb::RecordSource {
 public:
  StoreRecord(std::shared_ptr<Store> store, Item item, bool writable, std::string read_only_reason,
              std::shared_ptr<const bool> live)
      : store_(std::move(store)),
        item_(std::move(item)),
        writable_(writable),
        read_only_reason_(std::move(read_only_reason)),
        live_(std::move(live)) {}

  std::string Source() const override { return Use().UrlOf(item_.id); }
  std::string ParentURL() const override {
    std::optional<Item> now = Use().Get(item_.id);
    if (!now) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    return now->parent ? store_->UrlOf(now->parent) : std::string();
  }
  adodb::RecordTypeEnum RecordType() const override {
    Use();
    return item_.is_folder ? adodb::adCollectionRecord : adodb::adSimpleRecord;
  }
  FieldList ReadFields() override { return Use().Properties(item_.id); }
  // A message's text is read only by those who ask for it.
  FieldList ReadFieldsDeferring(std::vector<std::string>* deferred) override {
    std::string content;
    FieldList fields = Use().Properties(item_.id, true, &content);
    deferred->clear();
    if (!content.empty()) deferred->push_back(std::move(content));
    return fields;
  }
  core::Variant ReadDeferredField(const std::string& name) override {
    return Use().Property(item_.id, name);
  }
  void WriteFields(const FieldList& changes) override {
    CheckWritable("write the properties of");
    store_->Update(item_.id, changes);
  }
  std::string MoveTo(const std::string& destination,
                     adodb::MoveRecordOptionsEnum options) override {
    CheckWritable("move");
    std::vector<std::string> names = store_->Names(destination);
    if (names.size() < 2) {
      throw RuntimeError(err::kAdoInvalidArgument, "Cannot move to " + destination);
    }
    std::string name = names.back();
    names.pop_back();
    Item parent = store_->Resolve(FileUrl(names));
    bool overwrite = options != adodb::adMoveUnspecified && (options & adodb::adMoveOverWrite);
    item_ = store_->Move(item_.id, parent.id, name, overwrite);
    return store_->UrlOf(item_.id);
  }
  void Delete() override {
    CheckWritable("delete");
    store_->Delete(item_.id);
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
    Use();
    if (!writable_) {
      throw RuntimeError(err::kDbReadOnly,
                         std::string("Cannot ") + what + " " + Source() + read_only_reason_);
    }
  }

  std::shared_ptr<Store> store_;
  Item item_;
  bool writable_;
  std::string read_only_reason_;
  std::shared_ptr<const bool> live_;
};

class StoreSession : public adodb::ProviderSession {
 public:
  explicit StoreSession(std::shared_ptr<Store> store) : store_(std::move(store)) {}
  ~StoreSession() override {
    // Records may outlive the session; its transactions must not.
    try {
      while (store_->InTransaction()) store_->RollbackTrans();
    } catch (...) {
    }
  }

  void BeginTrans() override { store_->BeginTrans(); }
  void CommitTrans() override { store_->CommitTrans(); }
  void RollbackTrans() override { store_->RollbackTrans(); }
  bool SupportsNestedTransactions() const override { return true; }

  std::unique_ptr<adodb::RecordSource> OpenRecord(const std::string& url,
                                                  adodb::ConnectModeEnum mode,
                                                  adodb::RecordCreateOptionsEnum createOptions,
                                                  adodb::RecordOpenOptionsEnum options,
                                                  const std::string& userName,
                                                  const std::string& password) override {
    (void)options, (void)userName, (void)password;
    bool writable = (mode & 0x3) != adodb::adModeRead;
    auto co = static_cast<std::uint32_t>(createOptions);
    if (createOptions == adodb::adFailIfNotExists) {
      return Bound(store_->Resolve(url), writable);
    }
    constexpr std::uint32_t kKnown =
        adodb::adCreateCollection | adodb::adOpenIfExists | adodb::adCreateOverwrite;
    if (co & ~kKnown) {
      throw RuntimeError(
          err::kAdoFeatureNotAvailable,
          "Unsupported create options " + std::to_string(createOptions) + " for " + url);
    }
    if ((co & adodb::adOpenIfExists) && (co & adodb::adCreateOverwrite)) {
      throw RuntimeError(err::kAdoInvalidArgument,
                         "adOpenIfExists and adCreateOverwrite exclude each other (" + url + ")");
    }
    std::vector<std::string> names = store_->Names(url);
    if (names.size() < 2) {
      throw RuntimeError(err::kDbPermissionDenied, "Cannot create the domain folder " + url);
    }
    std::string name = names.back();
    names.pop_back();
    Item parent = store_->Resolve(FileUrl(names));
    ExistingItem existing = ExistingItem::Fail;
    if (co & adodb::adOpenIfExists) existing = ExistingItem::Open;
    if (co & adodb::adCreateOverwrite) existing = ExistingItem::Replace;
    bool folder = (co & adodb::adCreateCollection) != 0;
    return Bound(store_->Create(parent.id, name, folder, existing, {}), writable);
  }

  std::unique_ptr<adodb::RecordSource> CreateUniqueItem(const std::string& folderUrl,
                                                        const adodb::ItemNames& names,
                                                        const FieldList& properties,
                                                        adodb::ConnectModeEnum mode,
                                                        adodb::RecordOpenOptionsEnum) override {
    Item folder = store_->Resolve(folderUrl);
    return Bound(store_->CreateUnique(folder.id, names, properties),
                 (mode & 0x3) != adodb::adModeRead);
  }

  adodb::Rowset Execute(const std::string& commandText,
                        const adodb::PropertyList& properties) override {
    (void)properties;
    return RunQuery(*store_, commandText);
  }

 private:
  std::unique_ptr<adodb::RecordSource> Bound(Item item, bool writable) {
    return MakeRecordSource(store_, std::move(item), writable, ": the record was opened read-only");
  }

  std::shared_ptr<Store> store_;
};

class StoreProvider : public adodb::Provider {
 public:
  std::unique_ptr<adodb::ProviderSession> Open(const std::string& connectionString,
                                               const std::string& userId,
                                               const std::string& password,
                                               std::int32_t options) override {
    (void)userId, (void)password, (void)options;
    if (core::Trim(connectionString).empty()) {
      throw RuntimeError(err::kAdoInvalidConnection,
                         "No store URL to open: the connection string is empty");
    }
    std::shared_ptr<Store> store = Store::Open();
    std::vector<std::string> names = store->Names(connectionString);
    if (!core::EqualsNoCase(names[0], store->DomainFolder())) {
      throw RuntimeError(err::kDbNotFound,
                         "Unknown domain folder \"" + names[0] + "\": " + connectionString);
    }
    if (names.size() > kMailboxDepth) names.resize(kMailboxDepth);
    store->Resolve(FileUrl(names));  // the domain folder, MBX or the mailbox must exist
    return std::make_unique<StoreSession>(std::move(store));
  }

  bool BindsUrl(std::string_view url) const override { return LooksLikeStoreUrl(url); }
};

}  // namespace

std::unique_ptr<adodb::RecordSource> MakeRecordSource(std::shared_ptr<Store> store, Item item,
                                                      bool writable, std::string read_only_reason,
                                                      std::shared_ptr<const bool> live) {
  return std::make_unique<StoreRecord>(std::move(store), std::move(item), writable,
                                       std::move(read_only_reason), std::move(live));
}

void RegisterProvider() {
  // Registers again after an Unregister; leaves a provider registered under
  // the name alone.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  adodb::ProviderRegistry& registry = adodb::ProviderRegistry::Instance();
  if (!registry.Find(kProviderName)) {
    registry.Register(kProviderName, std::make_shared<StoreProvider>());
  }
}

adodb::Rowset RunQuery(Store& store, std::string_view text) {
  query::Query q = query::Parse(text);
  std::vector<FieldList> matches;
  bool wants_content = q.all_columns;
  for (const std::string& column : q.columns) {
    wants_content = wants_content || SameProperty(column, schema::kContent);
  }
  for (const auto& key : q.order_by) {
    wants_content = wants_content || SameProperty(key.first, schema::kContent);
  }
  for (const query::Scope& scope : q.scopes) {
    Item folder;
    try {
      folder = store.Resolve(scope.url);
    } catch (const RuntimeError& e) {
      throw RuntimeError(err::kDbNotFound, "Unknown scope: " + e.Description());
    }
    if (!folder.is_folder) {
      throw RuntimeError(err::kDbNotFound, "The scope is not a folder: " + scope.url);
    }
    // A shallow search for one name (as the lookup of a registration item
    // is) needs that one item, not the whole folder.
    std::optional<std::string> name =
        query::RequiredEqual(q.where.get(), schema::kDisplayName, &SameProperty);
    std::vector<Item> candidates;
    if (scope.depth == query::Scope::Depth::Shallow && name) {
      if (std::optional<Item> item = store.Child(folder.id, *name)) candidates.push_back(*item);
    } else {
      candidates = scope.depth == query::Scope::Depth::Shallow ? store.Children(folder.id)
                                                               : store.Descendants(folder.id);
    }
    for (const Item& item : candidates) {
      // The message text is read only when the query asks for it.
      FieldList props = store.Properties(item.id, wants_content);
      bool content_loaded = wants_content;
      auto lookup = [&](std::string_view name) -> const Variant* {
        if (SameProperty(name, schema::kContent) && !content_loaded) {
          props = store.Properties(item.id, true);
          content_loaded = true;
        }
        for (const auto& [n, v] : props) {
          if (SameProperty(n, name)) return &v;
        }
        return nullptr;
      };
      if (query::Matches(q.where.get(), lookup)) matches.push_back(std::move(props));
    }
  }
  auto find = [](const FieldList& props, std::string_view name) -> const Variant* {
    for (const auto& [n, v] : props) {
      if (SameProperty(n, name)) return &v;
    }
    return nullptr;
  };
  if (!q.order_by.empty()) {
    std::stable_sort(matches.begin(), matches.end(), [&](const FieldList& a, const FieldList& b) {
      for (const auto& [name, descending] : q.order_by) {
        int c = query::CompareValues(find(a, name), find(b, name));
        if (c != 0) return descending ? c > 0 : c < 0;
      }
      return false;
    });
  }
  adodb::Rowset rows;
  if (q.all_columns) {
    for (const FieldList& props : matches) {
      for (const auto& [n, v] : props) {
        // Named, not captured: clang 14 (the fuzz build's) cannot capture a binding.
        const std::string& name = n;
        if (!std::any_of(rows.columns.begin(), rows.columns.end(),
                         [&](const std::string& c) { return SameProperty(c, name); })) {
          rows.columns.push_back(name);
        }
      }
    }
  } else {
    rows.columns = q.columns;
  }
  if (!std::any_of(rows.columns.begin(), rows.columns.end(),
                   [](const std::string& c) { return SameProperty(c, schema::kHref); })) {
    rows.columns.push_back(schema::kHref);
  }
  for (const FieldList& props : matches) {
    std::vector<Variant> row;
    for (const std::string& column : rows.columns) {
      const Variant* v = find(props, column);
      row.push_back(v ? *v : Variant::Null());
    }
    rows.rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace store

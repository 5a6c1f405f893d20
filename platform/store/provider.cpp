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

// An open record: the store item it is bound to, by identity, so that a
// move keeps it bound and a rename by someone else does not lose it.
class StoreRecord : public adodb::RecordSource {
 public:
  StoreRecord(std::shared_ptr<Store> store, Item item, bool writable)
      : store_(std::move(store)), item_(std::move(item)), writable_(writable) {}

  std::string Source() const override { return store_->UrlOf(item_.id); }
  std::string ParentURL() const override {
    std::optional<Item> now = store_->Get(item_.id);
    if (!now) throw RuntimeError(err::kDbNotFound, "The item was deleted by someone else");
    return now->parent ? store_->UrlOf(now->parent) : std::string();
  }
  adodb::RecordTypeEnum RecordType() const override {
    return item_.is_folder ? adodb::adCollectionRecord : adodb::adSimpleRecord;
  }
  FieldList ReadFields() override { return store_->Properties(item_.id); }
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
  void CheckWritable(const char* what) const {
    if (!writable_) {
      throw RuntimeError(err::kDbReadOnly, std::string("Cannot ") + what + " " + Source() +
                                               ": the record was opened read-only");
    }
  }

  std::shared_ptr<Store> store_;
  Item item_;
  bool writable_;
};

class StoreSession : public adodb::ProviderSession {
 public:
  explicit StoreSession(std::shared_ptr<Store> store) : store_(std::move(store)) {}
  ~StoreSession() override {
    // Records may outlive the session; the transaction must not.
    if (store_->InTransaction()) {
      try {
        store_->RollbackTrans();
      } catch (...) {
      }
    }
  }

  void BeginTrans() override { store_->BeginTrans(); }
  void CommitTrans() override { store_->CommitTrans(); }
  void RollbackTrans() override { store_->RollbackTrans(); }

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
      return std::make_unique<StoreRecord>(store_, store_->Resolve(url), writable);
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
    Item item = store_->Create(parent.id, name, folder, existing, {});
    return std::make_unique<StoreRecord>(store_, item, writable);
  }

  adodb::Rowset Execute(const std::string& commandText,
                        const adodb::PropertyList& properties) override {
    (void)properties;
    return RunQuery(*store_, commandText);
  }

 private:
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
    std::vector<Item> candidates = scope.depth == query::Scope::Depth::Shallow
                                       ? store.Children(folder.id)
                                       : store.Descendants(folder.id);
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

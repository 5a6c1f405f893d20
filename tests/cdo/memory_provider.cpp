#include "tests/cdo/memory_provider.h"

#include "platform/core/error.h"
#include "platform/core/text.h"

namespace cdo_test {
namespace {

[[noreturn]] void Fail(std::int32_t number, const std::string& what) {
  throw core::RuntimeError(number, what, "MemoryProvider");
}

}  // namespace

std::string MemoryStore::Key(const std::string& url) { return core::FoldCase(url); }

std::string MemoryStore::Parent(const std::string& url) {
  const std::size_t slash = url.rfind('/');
  return slash == std::string::npos ? std::string() : url.substr(0, slash);
}

void MemoryStore::AddFolder(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_[Key(url)] = Node{url, true, {}};
}

void MemoryStore::PutItem(const std::string& url, adodb::FieldList fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_[Key(url)] = Node{url, false, std::move(fields)};
}

bool MemoryStore::Exists(const std::string& url) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nodes_.count(Key(url)) != 0;
}

adodb::FieldList MemoryStore::Item(const std::string& url) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = nodes_.find(Key(url));
  return it == nodes_.end() ? adodb::FieldList{} : it->second.fields;
}

std::vector<std::string> MemoryStore::ItemsIn(const std::string& folder) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [key, node] : nodes_) {
    if (!node.folder && Key(Parent(node.url)) == Key(folder)) out.push_back(node.url);
  }
  return out;
}

class MemoryRecord : public adodb::RecordSource {
 public:
  MemoryRecord(MemoryStore* store, std::string url) : store_(store), url_(std::move(url)) {}

  std::string Source() const override { return url_; }
  std::string ParentURL() const override { return MemoryStore::Parent(url_); }
  adodb::RecordTypeEnum RecordType() const override {
    std::lock_guard<std::mutex> lock(store_->mutex_);
    return node().folder ? adodb::adCollectionRecord : adodb::adSimpleRecord;
  }
  adodb::FieldList ReadFields() override {
    std::lock_guard<std::mutex> lock(store_->mutex_);
    return node().fields;
  }
  void WriteFields(const adodb::FieldList& changes) override {
    std::lock_guard<std::mutex> lock(store_->mutex_);
    if (store_->fail_writes_ != 0) Fail(store_->fail_writes_, "Write refused for " + url_);
    adodb::FieldList& fields = node().fields;
    for (const auto& [name, value] : changes) {
      auto it = fields.begin();
      while (it != fields.end() && it->first != name) ++it;
      if (value.IsEmpty()) {
        if (it != fields.end()) fields.erase(it);
      } else if (it != fields.end()) {
        it->second = value;
      } else {
        fields.emplace_back(name, value);
      }
    }
  }
  std::string MoveTo(const std::string& destination, adodb::MoveRecordOptionsEnum) override {
    Fail(core::err::kAdoFeatureNotAvailable, "MoveTo " + destination);
  }
  void Delete() override {
    std::lock_guard<std::mutex> lock(store_->mutex_);
    store_->nodes_.erase(MemoryStore::Key(url_));
  }

 private:
  MemoryStore::Node& node() const {
    auto it = store_->nodes_.find(MemoryStore::Key(url_));
    if (it == store_->nodes_.end()) Fail(core::err::kDbNotFound, "Item gone: " + url_);
    return it->second;
  }
  MemoryStore* store_;
  std::string url_;
};

std::unique_ptr<adodb::RecordSource> MemoryStore::Open(
    const std::string& url, adodb::RecordCreateOptionsEnum createOptions) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = nodes_.find(Key(url));
  if (createOptions == adodb::adFailIfNotExists) {
    if (it == nodes_.end()) Fail(core::err::kDbNotFound, "No item at " + url);
    return std::make_unique<MemoryRecord>(this, it->second.url);
  }
  if (createOptions != adodb::adCreateNonCollection) {
    Fail(core::err::kAdoFeatureNotAvailable, "Unsupported create options for " + url);
  }
  ++create_attempts_;
  auto parent = nodes_.find(Key(Parent(url)));
  if (parent == nodes_.end() || !parent->second.folder) {
    Fail(core::err::kDbNotFound, "No folder for " + url);
  }
  if (it != nodes_.end() || every_name_taken_) {
    Fail(core::err::kDbResourceExists, "Name taken: " + url);
  }
  nodes_[Key(url)] = Node{url, false, {}};
  return std::make_unique<MemoryRecord>(this, url);
}

namespace {

class MemorySession : public adodb::ProviderSession {
 public:
  explicit MemorySession(std::shared_ptr<MemoryStore> store) : store_(std::move(store)) {}
  void BeginTrans() override { Fail(core::err::kAdoFeatureNotAvailable, "BeginTrans"); }
  void CommitTrans() override { Fail(core::err::kAdoFeatureNotAvailable, "CommitTrans"); }
  void RollbackTrans() override { Fail(core::err::kAdoFeatureNotAvailable, "RollbackTrans"); }
  std::unique_ptr<adodb::RecordSource> OpenRecord(const std::string& url, adodb::ConnectModeEnum,
                                                  adodb::RecordCreateOptionsEnum createOptions,
                                                  adodb::RecordOpenOptionsEnum, const std::string&,
                                                  const std::string&) override {
    return store_->Open(url, createOptions);
  }
  adodb::Rowset Execute(const std::string& commandText, const adodb::PropertyList&) override {
    Fail(core::err::kAdoFeatureNotAvailable, "Execute " + commandText);
  }

 private:
  std::shared_ptr<MemoryStore> store_;
};

}  // namespace

std::unique_ptr<adodb::ProviderSession> MemoryProvider::Open(const std::string&, const std::string&,
                                                             const std::string&, std::int32_t) {
  store_->NoteSession();
  return std::make_unique<MemorySession>(store_);
}

bool MemoryProvider::BindsUrl(std::string_view url) const {
  return core::StartsWith(url, MemoryStore::kPrefix, core::Compare::Text);
}

}  // namespace cdo_test

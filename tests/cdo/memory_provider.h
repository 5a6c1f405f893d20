// A small in-memory hierarchical provider for the message-object tests.
//
// URLs are "mem://" paths; names compare without regard to case, as the
// store's do. Folders are created with AddFolder. Records open existing items
// (adFailIfNotExists) or create new ones (adCreateNonCollection, failing with
// kDbResourceExists on a taken name and kDbNotFound without a parent folder).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ado/provider.h"

namespace cdo_test {

class MemoryStore {
 public:
  static constexpr const char* kPrefix = "mem://";

  void AddFolder(const std::string& url);
  void PutItem(const std::string& url, adodb::FieldList fields);
  bool Exists(const std::string& url) const;
  // The item's properties; empty when absent.
  adodb::FieldList Item(const std::string& url) const;
  // The URLs (as created) of the items directly in folder.
  std::vector<std::string> ItemsIn(const std::string& folder) const;

  // Fault injection.
  void FailWritesWith(std::int32_t number) { fail_writes_ = number; }
  void EveryNameTaken(bool on) { every_name_taken_ = on; }
  int create_attempts() const { return create_attempts_; }
  int sessions_opened() const { return sessions_opened_; }

  std::unique_ptr<adodb::RecordSource> Open(const std::string& url,
                                            adodb::RecordCreateOptionsEnum createOptions);
  void NoteSession() { ++sessions_opened_; }

 private:
  friend class MemoryRecord;
  struct Node {
    std::string url;  // as created
    bool folder = false;
    adodb::FieldList fields;
  };
  static std::string Key(const std::string& url);
  static std::string Parent(const std::string& url);

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;  // by Key(url)
  std::int32_t fail_writes_ = 0;
  bool every_name_taken_ = false;
  int create_attempts_ = 0;
  int sessions_opened_ = 0;
};

class MemoryProvider : public adodb::Provider {
 public:
  explicit MemoryProvider(std::shared_ptr<MemoryStore> store) : store_(std::move(store)) {}
  std::unique_ptr<adodb::ProviderSession> Open(const std::string& connectionString,
                                               const std::string& userId,
                                               const std::string& password,
                                               std::int32_t options) override;
  bool BindsUrl(std::string_view url) const override;

 private:
  std::shared_ptr<MemoryStore> store_;
};

}  // namespace cdo_test

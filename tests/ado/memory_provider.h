// A tiny provider for the object model's tests: a tree of items with
// properties under "mem://", transactions by snapshot.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/ado/provider.h"

namespace adodb::testing {

inline constexpr const char* kMemoryProviderName = "Test.MemoryStore";

struct MemoryItem {
  bool folder = false;
  FieldList properties;
};

// Shared by the provider and every session and item it hands out.
struct MemoryState {
  std::map<std::string, MemoryItem> items;
  int live_sessions = 0;
  int rollbacks = 0;  // explicit RollbackTrans calls
  std::string last_connection_string;
  std::string last_query;
  PropertyList last_properties;
  bool fail_writes = false;
};

class MemoryProvider : public Provider {
 public:
  MemoryProvider() : state_(std::make_shared<MemoryState>()) {}

  MemoryState& state() { return *state_; }
  // Adds an item (and nothing above it); folders end without "/".
  void Put(const std::string& url, bool folder, FieldList properties = {});
  bool Has(const std::string& url) const { return state_->items.count(url) != 0; }
  // The stored value of a property, Empty when it or the item is absent.
  Variant Get(const std::string& url, const std::string& name) const;

  // Opens on a URL at or below an existing item; anything else fails as an
  // unreachable store would.
  std::unique_ptr<ProviderSession> Open(const std::string& connectionString,
                                        const std::string& userId, const std::string& password,
                                        std::int32_t options) override;
  bool BindsUrl(std::string_view url) const override;

 private:
  std::shared_ptr<MemoryState> state_;
};

// Registers a fresh MemoryProvider under kMemoryProviderName for the life of
// the object, and removes it again.
class ScopedMemoryProvider {
 public:
  ScopedMemoryProvider();
  ~ScopedMemoryProvider();
  MemoryProvider& operator*() { return *provider_; }
  MemoryProvider* operator->() { return provider_.get(); }

 private:
  std::shared_ptr<MemoryProvider> provider_;
};

}  // namespace adodb::testing

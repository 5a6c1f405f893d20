#include "platform/ado/provider.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <random>

#include "platform/core/text.h"

namespace adodb {

Variant RecordSource::ReadDeferredField(const std::string& name) {
  for (auto& [field, value] : ReadFields()) {
    if (core::EqualsNoCase(field, name)) return value;
  }
  return Variant();
}

std::unique_ptr<RecordSource> ProviderSession::CreateUniqueItem(const std::string& folderUrl,
                                                                const ItemNames& names,
                                                                const FieldList& properties,
                                                                ConnectModeEnum mode,
                                                                RecordOpenOptionsEnum options) {
  constexpr std::int32_t kNumbered = 100;
  constexpr int kRandom = 100;
  thread_local std::mt19937 engine{std::random_device{}()};
  std::uniform_int_distribution<std::int32_t> draw(kNumbered + 1, INT_MAX);
  std::unique_ptr<RecordSource> item;
  for (int i = 0; i <= kNumbered + kRandom && !item; ++i) {
    const std::int32_t attempt = i <= kNumbered ? i : draw(engine);
    try {
      item = OpenRecord(folderUrl + "/" + names(attempt), mode, adCreateNonCollection, options, "",
                        "");
    } catch (const core::RuntimeError& e) {
      if (e.Number() != core::err::kDbResourceExists) throw;
    }
  }
  if (!item) {
    throw core::RuntimeError(core::err::kDbResourceExists,
                             "No free item name was found in \"" + folderUrl + "\".");
  }
  try {
    item->WriteFields(properties);
  } catch (...) {
    // Leave no half-made item behind; the write's error is the one to report.
    try {
      item->Delete();
    } catch (...) {
    }
    throw;
  }
  return item;
}

// Entries stay in registration order so that URL binding is deterministic
// when two providers claim the same URL: the earlier registration wins.
struct ProviderRegistry::Impl {
  struct Entry {
    std::string name;
    std::string key;  // case-folded name
    std::shared_ptr<Provider> provider;
  };
  mutable std::mutex mutex;
  std::vector<Entry> entries;
};

ProviderRegistry& ProviderRegistry::Instance() {
  static ProviderRegistry registry = [] {
    ProviderRegistry r;
    r.impl_ = std::make_shared<Impl>();
    return r;
  }();
  return registry;
}

ProviderRegistry::Impl& ProviderRegistry::impl() const { return *impl_; }

void ProviderRegistry::Register(std::string name, std::shared_ptr<Provider> provider) {
  std::string key = core::FoldCase(name);
  Impl& d = impl();
  std::shared_ptr<Provider> replaced;  // released outside the lock
  std::lock_guard<std::mutex> lock(d.mutex);
  for (auto& e : d.entries) {
    if (e.key == key) {
      replaced = std::move(e.provider);
      e.name = std::move(name);
      e.provider = std::move(provider);
      return;
    }
  }
  d.entries.push_back({std::move(name), std::move(key), std::move(provider)});
}

void ProviderRegistry::Unregister(std::string_view name) {
  const std::string key = core::FoldCase(name);
  Impl& d = impl();
  std::shared_ptr<Provider> removed;  // released outside the lock
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = std::find_if(d.entries.begin(), d.entries.end(),
                         [&](const Impl::Entry& e) { return e.key == key; });
  if (it != d.entries.end()) {
    removed = std::move(it->provider);
    d.entries.erase(it);
  }
}

std::shared_ptr<Provider> ProviderRegistry::Find(std::string_view name) const {
  const std::string key = core::FoldCase(name);
  Impl& d = impl();
  std::lock_guard<std::mutex> lock(d.mutex);
  for (const auto& e : d.entries) {
    if (e.key == key) return e.provider;
  }
  return nullptr;
}

std::pair<std::string, std::shared_ptr<Provider>> ProviderRegistry::FindForUrl(
    std::string_view url) const {
  // BindsUrl runs outside the lock: a provider may consult the registry.
  std::vector<std::pair<std::string, std::shared_ptr<Provider>>> candidates;
  {
    Impl& d = impl();
    std::lock_guard<std::mutex> lock(d.mutex);
    candidates.reserve(d.entries.size());
    for (const auto& e : d.entries) candidates.emplace_back(e.name, e.provider);
  }
  for (auto& c : candidates) {
    if (c.second && c.second->BindsUrl(url)) return std::move(c);
  }
  return {std::string(), nullptr};
}

}  // namespace adodb

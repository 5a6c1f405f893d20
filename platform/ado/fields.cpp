#include "platform/ado/fields.h"

#include <algorithm>

#include "platform/ado/raise.h"
#include "platform/core/error.h"
#include "platform/core/text.h"

namespace adodb {
namespace {

constexpr const char* kFieldsSource = "ADODB.Fields";
constexpr const char* kFieldSource = "ADODB.Field";

// Field names match without regard to case, as the data-access objects have
// always matched them; callers may spell a name differently from the query
// that selected it.
FieldList::iterator FindIn(FieldList& list, std::string_view name) {
  return std::find_if(list.begin(), list.end(),
                      [&](const auto& p) { return core::EqualsNoCase(p.first, name); });
}
FieldList::const_iterator FindIn(const FieldList& list, std::string_view name) {
  return std::find_if(list.begin(), list.end(),
                      [&](const auto& p) { return core::EqualsNoCase(p.first, name); });
}

}  // namespace

Variant Field::Value() const {
  owner_->CheckOpen();
  const Variant* v = owner_->Find(name_);
  if (v == nullptr) internal::Raise(core::err::kAdoItemNotFound, kFieldSource);
  return *v;
}

void Field::Value(const Variant& v) {
  owner_->CheckOpen();
  owner_->Set(name_, v);
}

void Fields::Load(FieldList values, std::vector<std::string> deferred) {
  values_ = std::move(values);
  deferred_ = std::move(deferred);
  pending_.clear();
}

void Fields::Clear() {
  values_.clear();
  deferred_.clear();
  pending_.clear();
}

void Fields::CheckOpen() const {
  if (owner_.check_open) owner_.check_open();
}

// A pending value shadows the stored one, so a written field reads back
// before Update, and a field added by writing counts at once.
const Variant* Fields::Find(std::string_view name) {
  auto p = FindIn(pending_, name);
  if (p != pending_.end()) return &p->second;
  auto v = FindIn(values_, name);
  if (v == values_.end()) return nullptr;
  auto d = std::find_if(deferred_.begin(), deferred_.end(),
                        [&](const std::string& n) { return core::EqualsNoCase(n, v->first); });
  if (d != deferred_.end()) {
    if (owner_.fetch) v->second = owner_.fetch(v->first);
    deferred_.erase(d);
  }
  return &v->second;
}

void Fields::Set(const std::string& name, const Variant& v) {
  if (!owner_.update) internal::Raise(core::err::kAdoFeatureNotAvailable, kFieldSource);
  auto p = FindIn(pending_, name);
  if (p != pending_.end()) {
    p->second = v;
    return;
  }
  // An existing field keeps its stored spelling.
  auto existing = FindIn(values_, name);
  pending_.emplace_back(existing != values_.end() ? existing->first : name, v);
}

std::int32_t Fields::Count() const {
  CheckOpen();
  std::size_t n = values_.size();
  for (const auto& p : pending_) {
    if (FindIn(values_, p.first) == values_.end()) ++n;
  }
  return static_cast<std::int32_t>(n);
}

Field Fields::Item(std::string_view name) {
  CheckOpen();
  return Field(this, std::string(name));
}

Field Fields::Item(std::int32_t index) {
  CheckOpen();
  if (index >= 0) {
    auto i = static_cast<std::size_t>(index);
    if (i < values_.size()) return Field(this, values_[i].first);
    i -= values_.size();
    for (const auto& p : pending_) {
      if (FindIn(values_, p.first) != values_.end()) continue;
      if (i == 0) return Field(this, p.first);
      --i;
    }
  }
  internal::Raise(core::err::kAdoItemNotFound, kFieldsSource);
}

void Fields::Update() {
  CheckOpen();
  if (pending_.empty()) return;
  if (!owner_.update) internal::Raise(core::err::kAdoFeatureNotAvailable, kFieldsSource);
  // The owner may reload the collection while storing; hand it a copy. On
  // failure the changes stay pending so that the caller may retry or cancel.
  const FieldList changes = pending_;
  owner_.update(changes);
  pending_.clear();
}

void Fields::CancelUpdate() {
  CheckOpen();
  pending_.clear();
}

}  // namespace adodb

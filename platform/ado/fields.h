// Fields: the properties of the current item or row, by name.
//
// Fields["name"] returns a Field whether or not the property exists, so that
// assigning its Value adds the property; reading the Value of a property that
// does not exist is error 3265. Names match without regard to case; writing
// an existing field under another spelling keeps the stored spelling. Update() hands the changes to
// the owner.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/provider.h"

namespace adodb {

class Fields;

class Field {
 public:
  const std::string& Name() const { return name_; }
  // The value; error 3265 when the property does not exist, 3704 when the
  // owning object is closed.
  Variant Value() const;
  // Writes the value (pending until Fields::Update, for records).
  void Value(const Variant& v);

 private:
  friend class Fields;
  Field(Fields* owner, std::string name) : owner_(owner), name_(std::move(name)) {}
  Fields* owner_;
  std::string name_;
};

class Fields {
 public:
  // The owner decides whether the collection may be used (it is open) and
  // receives the pending changes on Update.
  struct Owner {
    std::function<void()> check_open;              // throws when closed
    std::function<void(const FieldList&)> update;  // null: read-only
    // Reads the value of a field loaded as deferred (see Load).
    std::function<Variant(const std::string& name)> fetch;
  };

  Fields() = default;
  explicit Fields(Owner owner) : owner_(std::move(owner)) {}

  // Replaces the whole content (used by the owning object when it opens or
  // moves to another row); drops pending changes. The fields named in
  // deferred hold no value yet: the owner's fetch reads each the first time
  // it is asked for.
  void Load(FieldList values, std::vector<std::string> deferred = {});
  void Clear();

  std::int32_t Count() const;
  Field Item(std::string_view name);
  Field Item(std::int32_t index);  // 0-based; error 3265 when out of range
  Field operator[](std::string_view name) { return Item(name); }

  // Stores pending changes through the owner, then clears them.
  void Update();
  // Drops pending changes.
  void CancelUpdate();

 private:
  friend class Field;
  void CheckOpen() const;
  const Variant* Find(std::string_view name);
  void Set(const std::string& name, const Variant& v);

  Owner owner_;
  FieldList values_;
  std::vector<std::string> deferred_;  // names in values_ not read yet
  FieldList pending_;
};

}  // namespace adodb

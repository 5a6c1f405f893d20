#include "platform/ui/list_box.h"

#include "platform/core/error.h"

namespace ui {

std::size_t ListBox::CheckIndex(int index) const {
  if (index < 0 || index >= ListCount()) {
    throw core::RuntimeError(err::kInvalidPropertyArrayIndex,
                             "Invalid property array index (" + Name() + " entry " +
                                 std::to_string(index) + " of " + std::to_string(ListCount()) +
                                 ")");
  }
  return static_cast<std::size_t>(index);
}

void ListBox::AddItem(std::string item) { AddItem(std::move(item), ListCount()); }

void ListBox::AddItem(std::string item, int index) {
  if (index < 0 || index > ListCount()) {
    throw core::RuntimeError(core::err::kInvalidProcedureCall,
                             "Invalid procedure call (" + Name() + ".AddItem at index " +
                                 std::to_string(index) + " of " + std::to_string(ListCount()) +
                                 ")");
  }
  if (index != ListCount()) ++edits_;
  items_.insert(items_.begin() + index, Entry{std::move(item), false});
  if (list_index_ >= index) ++list_index_;
  Notify(Property::Items);
}

void ListBox::RemoveItem(int index) {
  const std::size_t i = CheckIndex(index);
  const bool was_selected = items_[i].selected;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
  ++edits_;
  if (list_index_ == index) {
    list_index_ = -1;
  } else if (list_index_ > index) {
    --list_index_;
  }
  Notify(Property::Items);
  selection_changed_ = -1;
  if (was_selected) Notify(Property::Selection);
}

void ListBox::Clear() {
  if (items_.empty()) return;
  items_.clear();
  ++edits_;
  list_index_ = -1;
  Notify(Property::Items);
  selection_changed_ = -1;
  Notify(Property::Selection);
}

const std::string& ListBox::List(int index) const { return items_[CheckIndex(index)].text; }

void ListBox::List(int index, std::string item) {
  std::string& text = items_[CheckIndex(index)].text;
  if (text == item) return;
  text = std::move(item);
  ++edits_;
  Notify(Property::Items);
}

bool ListBox::Selected(int index) const { return items_[CheckIndex(index)].selected; }

void ListBox::Selected(int index, bool selected) {
  Entry& entry = items_[CheckIndex(index)];
  list_index_ = index;
  if (entry.selected == selected) return;
  entry.selected = selected;
  selection_changed_ = index;
  Notify(Property::Selection);
  click_.Raise(index);
}

int ListBox::SelCount() const {
  int n = 0;
  for (const Entry& e : items_) n += e.selected ? 1 : 0;
  return n;
}

bool ListBox::Click(int index) {
  const std::size_t i = CheckIndex(index);
  if (!AcceptsInput()) return false;
  Selected(index, !items_[i].selected);
  return true;
}

}  // namespace ui

// ListBox: a list of text entries with multiple selection, where each click
// on an entry toggles whether it is selected.
//
// Indices are 0-based. An index outside the list is error 381 (except where
// AddItem may append). Click is raised whenever an entry's selected state
// changes, by the user or by code, with the entry's index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/control.h"
#include "platform/ui/event.h"

namespace ui {

class ListBox : public Control {
 public:
  explicit ListBox(std::string name) : Control(ControlKind::ListBox, std::move(name)) {}

  // Appends the entry, or inserts it before `index` (0..ListCount), unselected.
  void AddItem(std::string item);
  void AddItem(std::string item, int index);
  void RemoveItem(int index);
  // Removes every entry (and with them every selection). Raises no Click.
  void Clear();

  int ListCount() const { return static_cast<int>(items_.size()); }
  const std::string& List(int index) const;
  void List(int index, std::string item);

  bool Selected(int index) const;
  void Selected(int index, bool selected);
  // Number of selected entries.
  int SelCount() const;

  // Index of the entry last clicked or selected from code; -1 when none.
  int ListIndex() const { return list_index_; }

  void OnClick(std::function<void(int)> handler) { click_.Set(std::move(handler)); }

  // A user's click on entry `index`: toggles its selection. Ignored (false)
  // when the list is hidden or disabled; an invalid index is error 381.
  bool Click(int index);

  // For a front end that mirrors the list without comparing every entry at
  // every change. Edits counts the changes that were not appends at the end
  // (inserts, removals, clearing, rewritten entries): while it stays the
  // same, entries already shown are unchanged. SelectionChanged is the one
  // entry whose selection the latest Selection notification is about, or -1
  // when that notification may concern any entry.
  std::uint64_t Edits() const { return edits_; }
  int SelectionChanged() const { return selection_changed_; }

 private:
  struct Entry {
    std::string text;
    bool selected = false;
  };
  std::size_t CheckIndex(int index) const;

  std::vector<Entry> items_;
  int list_index_ = -1;
  std::uint64_t edits_ = 0;
  int selection_changed_ = -1;
  Event<int> click_{"Click"};
};

}  // namespace ui

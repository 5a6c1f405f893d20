#include <gtest/gtest.h>

#include <vector>

#include "platform/core/error.h"
#include "platform/ui/list_box.h"

namespace ui {
namespace {

void Fill(ListBox& list, std::initializer_list<const char*> items) {
  for (const char* item : items) list.AddItem(item);
}

TEST(ListBoxTest, EditsCountOnlyChangesThatAreNotAppendsAndSelectionNamesItsEntry) {
  ListBox list("MbxInstList");
  std::vector<int> selectionSeen;
  list.SetObserver([&](Control&, Property what) {
    if (what == Property::Selection) selectionSeen.push_back(list.SelectionChanged());
  });
  Fill(list, {"a", "b", "c"});
  EXPECT_EQ(list.Edits(), 0u);  // appends leave what was there alone
  list.AddItem("x", 1);
  EXPECT_EQ(list.Edits(), 1u);
  list.List(0, "A");
  list.List(0, "A");  // no change, no edit
  EXPECT_EQ(list.Edits(), 2u);
  list.Selected(2, true);
  list.Selected(3, true);
  list.RemoveItem(3);  // a selected entry goes: any entry may have moved
  list.Clear();
  EXPECT_EQ(list.Edits(), 4u);
  EXPECT_EQ(selectionSeen, (std::vector<int>{2, 3, -1, -1}));
}

TEST(ListBoxTest, ClickTogglesSelectionAndSelCountFollows) {
  ListBox list("MbxInstList");
  list.AddItem("a / S / a@x / a");
  list.AddItem("b / S / b@x / b");
  list.AddItem("c / S / c@x / c");
  std::vector<int> clicked;
  list.OnClick([&](int i) { clicked.push_back(i); });

  EXPECT_EQ(list.SelCount(), 0);
  EXPECT_TRUE(list.Click(1));
  EXPECT_TRUE(list.Click(2));
  EXPECT_EQ(list.SelCount(), 2);
  EXPECT_TRUE(list.Selected(1));
  EXPECT_TRUE(list.Click(1));  // second click on the same entry clears it
  EXPECT_FALSE(list.Selected(1));
  EXPECT_EQ(list.SelCount(), 1);
  EXPECT_EQ(list.ListIndex(), 1);
  EXPECT_EQ(clicked, (std::vector<int>{1, 2, 1}));

  // Selecting from code, as Select All / Deselect All do; no Click for no change.
  for (int i = 0; i < list.ListCount(); ++i) list.Selected(i, true);
  EXPECT_EQ(list.SelCount(), 3);
  EXPECT_EQ(clicked, (std::vector<int>{1, 2, 1, 0, 1}));
  for (int i = 0; i < list.ListCount(); ++i) list.Selected(i, false);
  EXPECT_EQ(list.SelCount(), 0);

  list.Enabled(false);
  EXPECT_FALSE(list.Click(0));
  EXPECT_FALSE(list.Selected(0));
}

TEST(ListBoxTest, SelectionTravelsWithItsEntry) {
  ListBox list("MbxUninstList");
  Fill(list, {"a", "b", "c"});
  list.Selected(1, true);
  list.AddItem("first", 0);
  EXPECT_EQ(list.List(0), "first");
  EXPECT_EQ(list.List(2), "b");
  EXPECT_TRUE(list.Selected(2));
  EXPECT_FALSE(list.Selected(1));
  EXPECT_EQ(list.ListIndex(), 2);

  list.RemoveItem(0);
  EXPECT_TRUE(list.Selected(1));
  EXPECT_EQ(list.SelCount(), 1);
  list.RemoveItem(1);
  EXPECT_EQ(list.SelCount(), 0);
  EXPECT_EQ(list.ListIndex(), -1);
  EXPECT_EQ(list.ListCount(), 2);

  list.Selected(0, true);
  list.Clear();
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_EQ(list.SelCount(), 0);
  list.AddItem("new");
  EXPECT_FALSE(list.Selected(0));  // no selection survives a Clear
}

TEST(ListBoxTest, IndexOutsideTheListIsAnErrorAndChangesNothing) {
  ListBox list("MbxUninstList");
  Fill(list, {"a", "b"});
  auto expect_error = [](auto&& call, int number) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.Number(), number);
      EXPECT_NE(e.Description().find("MbxUninstList"), std::string::npos) << e.Description();
    }
  };
  expect_error([&] { (void)list.List(2); }, err::kInvalidPropertyArrayIndex);
  expect_error([&] { (void)list.Selected(-1); }, err::kInvalidPropertyArrayIndex);
  expect_error([&] { list.Selected(2, true); }, err::kInvalidPropertyArrayIndex);
  expect_error([&] { list.Click(5); }, err::kInvalidPropertyArrayIndex);
  expect_error([&] { list.RemoveItem(2); }, err::kInvalidPropertyArrayIndex);
  expect_error([&] { list.AddItem("x", 3); }, core::err::kInvalidProcedureCall);
  EXPECT_EQ(list.ListCount(), 2);
  EXPECT_EQ(list.SelCount(), 0);
  list.AddItem("end", 2);  // appending at the count is allowed
  EXPECT_EQ(list.List(2), "end");
}

}  // namespace
}  // namespace ui

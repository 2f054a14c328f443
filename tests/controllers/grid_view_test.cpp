#include "controllers/grid_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "data/data_source.h"

namespace velmora {
namespace {

// A memory table of the grid's five fields, filled by the test.
class GridFixture : public ::testing::Test {
 protected:
  GridFixture()
      : site(table.AddField({"Site", FieldType::Integer, 0, false, true})),
        controller(table.AddField({"Controller", FieldType::Integer, 0, false, true})),
        type(table.AddField({"Controller Type", FieldType::String, 11, true, false})),
        description(table.AddField({"Description", FieldType::WideString, 255, false, false})),
        disabled(table.AddField({"Disabled", FieldType::Integer, 0, false, true})) {
    source.SetDataSet(&table);
    definition.GridName = "cxGrid1";
    for (const char* name : {"Site", "Controller", "Controller Type", "Description", "Disabled"}) {
      definition.Columns.push_back({name, name, std::string(name) == "Disabled" ? CellEditor::CheckBox : CellEditor::Text,
                                    Alignment::Center, Alignment::Center, 0, std::string(name) == "Disabled"});
    }
    table.Open();
  }

  void Add(std::optional<int> s, const std::u16string* text, std::optional<int> flag = 0) {
    table.Append();
    if (s) site.SetAsInteger(*s);
    controller.SetAsInteger(table.RecordCount() + 1);
    if (text) description.SetAsWideString(*text);
    if (flag) disabled.SetAsInteger(*flag);
    table.Post();
  }

  std::vector<int> ViewOrder(GridView& view) {
    std::vector<int> order;
    for (int r = 0; r < view.RowCount(); ++r) order.push_back(view.TableRow(r));
    return order;
  }

  MemTable table{"kbmControllers"};
  Field& site;
  Field& controller;
  Field& type;
  Field& description;
  Field& disabled;
  DataSource source{"DataSource1"};
  GridViewDef definition;
};

// The order a plain comparison sort gives: nulls first in table order, then by
// text with ASCII letters folded, ties in table order.
std::vector<int> ReferenceOrder(const std::vector<std::optional<std::u16string>>& texts, bool descending) {
  const auto fold = [](char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; };
  std::vector<int> order(texts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    if (!texts[a] || !texts[b]) return !texts[a] && texts[b];
    const auto& x = *texts[a];
    const auto& y = *texts[b];
    const bool less = std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                                   [&](char16_t p, char16_t q) { return fold(p) < fold(q); });
    const bool greater = std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end(),
                                                      [&](char16_t p, char16_t q) { return fold(p) < fold(q); });
    return descending ? greater : less;
  });
  return order;
}

TEST_F(GridFixture, TextSortMatchesAPlainSortOnHardCases) {
  // Shared prefixes longer than any round of the sort, duplicates, case, the empty
  // text, non-ASCII and surrogates, and nulls.
  std::mt19937 random(7);
  const std::u16string stems[] = {u"Loading dock A north gate reader ", u"loading DOCK a north gate reader ", u"",
                                  u"Z\u00FCrich ", u"\U0001F512 lock ", u"Loading dock A north gate reader"};
  std::vector<std::optional<std::u16string>> texts;
  for (int i = 0; i < 3000; ++i) {
    if (random() % 20 == 0) {
      texts.push_back(std::nullopt);
      continue;
    }
    std::u16string text = stems[random() % std::size(stems)];
    const int tail = static_cast<int>(random() % 4);
    for (int k = 0; k < tail; ++k) text += static_cast<char16_t>(u'a' + random() % 3);
    if (random() % 5 == 0) text += u'A';
    texts.push_back(text);
  }
  for (const auto& text : texts) Add(1, text ? &*text : nullptr);
  GridView view(definition, source);
  for (const bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending" : "ascending");
    view.SortBy(3, descending);
    EXPECT_EQ(ViewOrder(view), ReferenceOrder(texts, descending));
  }
}

TEST_F(GridFixture, IntegerSortKeepsTiesInTableOrderAndNullsFirst) {
  const int sites[] = {5, -3, 5, 2147483647, -2147483647 - 1, 0};
  Add(std::nullopt, nullptr);
  for (int s : sites) Add(s, nullptr);
  GridView view(definition, source);
  view.SortBy(0, false);
  EXPECT_EQ(ViewOrder(view), (std::vector<int>{0, 5, 2, 6, 1, 3, 4}));
  view.SortBy(0, true);
  EXPECT_EQ(ViewOrder(view), (std::vector<int>{0, 4, 1, 3, 6, 2, 5}));
  for (int r = 0; r < view.RowCount(); ++r) EXPECT_EQ(view.ViewRow(view.TableRow(r)), r);
  view.SortBy(-1, false);
  EXPECT_EQ(ViewOrder(view), (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
}

TEST_F(GridFixture, ToggleStoresOneOrZeroOnTheViewsRow) {
  const std::u16string b = u"b", a = u"a";
  Add(1, &b, 1);
  Add(2, &a, std::nullopt);
  GridView view(definition, source);
  view.SortBy(3, false);  // "a" (table row 1) first
  EXPECT_EQ(view.CellCheckState(0, 4), GridView::CheckState::Unchecked);
  EXPECT_TRUE(view.ToggleCheck(0, 4));
  EXPECT_EQ(table.CellInteger(1, disabled), 1);
  EXPECT_TRUE(view.ToggleCheck(1, 4));
  EXPECT_EQ(table.CellInteger(0, disabled), 0);
  EXPECT_FALSE(view.ToggleCheck(0, 3));  // no check box there
}

}  // namespace
}  // namespace velmora

// The view rules both front ends draw: column widths, subdued rows, notes,
// gestures and the refusal of a row whose key another row shares.

#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <stdexcept>

#include "controllers/grid_view.h"
#include "controllers/main_window.h"
#include "data/data_source.h"

namespace velmora {
namespace {

// The window's own grid definition over a memory table of its five fields.
class GridRules : public ::testing::Test {
 protected:
  GridRules()
      : site(table.AddField({"Site", FieldType::Integer, 0, false, true})),
        controller(table.AddField({"Controller", FieldType::Integer, 0, false, true})),
        type(table.AddField({"Controller Type", FieldType::String, 11, true, false})),
        description(table.AddField({"Description", FieldType::WideString, 255, false, false})),
        disabled(table.AddField({"Disabled", FieldType::Integer, 0, false, true})) {
    source.SetDataSet(&table);
    table.Open();
    table.AfterPost = [this](Dataset&) { ++posts; };
  }

  void Add(std::optional<int> s, std::optional<int> c, std::optional<int> flag) {
    table.Append();
    if (s) site.SetAsInteger(*s);
    if (c) controller.SetAsInteger(*c);
    if (flag) disabled.SetAsInteger(*flag);
    table.Post();
    posts = 0;
  }

  std::string Flags() {
    std::string out;
    for (int r = 0; r < table.RecordCount(); ++r) {
      out += table.CellIsNull(r, disabled) ? "-" : std::to_string(table.CellInteger(r, disabled));
    }
    return out;
  }

  MemTable table{"kbmControllers"};
  Field& site;
  Field& controller;
  Field& type;
  Field& description;
  Field& disabled;
  DataSource source{"DataSource1"};
  GridViewDef definition = TfrmMain::Definition().GridView;
  GridView view{definition, source};
  int posts = 0;
};

TEST_F(GridRules, ColumnWidthsFillTheViewInProportion) {
  struct Case {
    const char* Label;
    int ViewWidth;
    FormScale Scale;
    std::vector<int> Expected;
  } cases[] = {
      // 48:73:105:343:64, 633 in all: at 633 each column has its defined width.
      {"the defined total", 633, {}, {48, 73, 105, 343, 64}},
      {"the grid at 96 dpi, inside frame and scroll bar", 654, {}, {50, 75, 108, 355, 66}},
      {"twice the total", 1266, {}, {96, 146, 210, 686, 128}},
      {"a scale changes no proportion", 1266, FormScale(17, 13), {96, 146, 210, 686, 128}},
      {"one pixel", 1, {}, {0, 0, 0, 1, 0}},
      {"nothing", 0, {}, {0, 0, 0, 0, 0}},
      {"a negative width counts as nothing", -5, {}, {0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const std::vector<int> widths = view.ColumnWidths(c.ViewWidth, c.Scale);
    EXPECT_EQ(widths, c.Expected) << c.Label;
    EXPECT_EQ(std::accumulate(widths.begin(), widths.end(), 0), std::max(c.ViewWidth, 0)) << c.Label;
  }
}

TEST_F(GridRules, WithoutAutoWidthColumnsKeepTheirScaledWidths) {
  definition.ColumnAutoWidth = false;
  EXPECT_EQ(view.ColumnWidths(1000), (std::vector<int>{48, 73, 105, 343, GridView::kDefaultColumnWidth}));
  EXPECT_EQ(view.ColumnWidths(1000, FormScale(3, 2)), (std::vector<int>{72, 110, 158, 515, 96}));
}

TEST_F(GridRules, TheDisabledColumnIsTheOneCheckColumnAndColumnsAreNotResizable) {
  EXPECT_EQ(view.CheckColumn(), 4);
  EXPECT_FALSE(view.UserMayResizeColumns());
  definition.Columns[4].Editable = false;
  EXPECT_EQ(view.CheckColumn(), -1);
}

TEST_F(GridRules, RowsOfDisabledControllersAreSubdued) {
  struct Case {
    const char* Label;
    std::optional<int> Disabled;
    bool Subdued;
  } cases[] = {
      {"disabled", 1, true}, {"enabled", 0, false}, {"null", std::nullopt, false},
      {"odd value 2", 2, false}, {"odd value -1", -1, false},
  };
  for (const Case& c : cases) Add(1, table.RecordCount() + 1, c.Disabled);
  for (int r = 0; r < table.RecordCount(); ++r) EXPECT_EQ(view.RowIsSubdued(r), cases[r].Subdued) << cases[r].Label;
  EXPECT_FALSE(view.RowIsSubdued(-1));
  EXPECT_FALSE(view.RowIsSubdued(table.RecordCount()));
}

TEST_F(GridRules, AnOddValueCarriesANoteAndNothingElseDoes) {
  Add(1, 1, 2);
  Add(1, 2, -7);
  Add(1, 3, 1);
  Add(1, 4, 0);
  Add(1, 5, std::nullopt);
  EXPECT_EQ(view.CellNote(0, 4), u"The database holds 2 for this controller: neither enabled nor disabled");
  EXPECT_EQ(view.CellNote(1, 4), u"The database holds -7 for this controller: neither enabled nor disabled");
  for (int r = 2; r < 5; ++r) EXPECT_EQ(view.CellNote(r, 4), u"") << r;
  for (int c = 0; c < 4; ++c) EXPECT_EQ(view.CellNote(0, c), u"") << c;
  EXPECT_EQ(view.CellNote(9, 4), u"");
}

TEST_F(GridRules, WhatEachGestureDoes) {
  using G = GridView::Gesture;
  struct Case {
    const char* Label;
    G Gesture;
    int Column;
    bool OnBox;
    GridView::GestureEffect Expected;
  } cases[] = {
      {"click on the box", G::Click, 4, true, {true, true}},
      {"click beside the box", G::Click, 4, false, {true, false}},
      {"click on a text cell", G::Click, 1, false, {true, false}},
      {"a text cell has no box to hit", G::Click, 1, true, {true, false}},
      {"second press of a double click on the box", G::DoubleClick, 4, true, {false, false}},
      {"double click on a text cell", G::DoubleClick, 3, false, {false, false}},
      {"Space on the box's cell", G::Space, 4, false, {false, true}},
      {"Space on Site", G::Space, 0, false, {false, true}},
      {"Space on Description", G::Space, 3, false, {false, true}},
  };
  for (const Case& c : cases) EXPECT_EQ(view.EffectOf(c.Gesture, c.Column, c.OnBox), c.Expected) << c.Label;
  // A grid without an editable box has nothing to toggle.
  definition.Columns[4].Editable = false;
  EXPECT_EQ(view.EffectOf(G::Space, 0, false), (GridView::GestureEffect{false, false}));
  EXPECT_EQ(view.EffectOf(G::Click, 4, true), (GridView::GestureEffect{true, false}));
}

TEST_F(GridRules, ARowWhoseKeyAnotherRowSharesRefusesItsToggle) {
  struct Case {
    const char* Label;
    std::vector<std::array<std::optional<int>, 2>> Keys;  // site, controller; in table order
    int Toggled;                                          // table row
    bool Refused;
  } cases[] = {
      {"twin after", {{{1, 1}}, {{1, 2}}, {{1, 2}}, {{1, 3}}}, 1, true},
      {"twin before", {{{1, 1}}, {{1, 2}}, {{1, 2}}, {{1, 3}}}, 2, true},
      {"neighbours of twins", {{{1, 1}}, {{1, 2}}, {{1, 2}}, {{1, 3}}}, 3, false},
      {"first row", {{{1, 1}}, {{1, 1}}}, 0, true},
      {"last row", {{{1, 1}}, {{2, 1}}, {{2, 1}}}, 2, true},
      {"same controller on another site", {{{1, 5}}, {{2, 5}}}, 0, false},
      {"same site, other controller", {{{1, 5}}, {{1, 6}}}, 1, false},
      {"a single row", {{{7, 7}}}, 0, false},
      // Not in key order (another driver, another collation): the twin is far away.
      {"out of order, twin far away", {{{1, 2}}, {{3, 1}}, {{1, 1}}, {{1, 2}}}, 0, true},
      {"out of order, no twin", {{{1, 2}}, {{3, 1}}, {{1, 1}}, {{2, 2}}}, 3, false},
      // Rows without a key are refused by the write-back itself, with its own box.
      {"two rows without a site", {{{std::nullopt, 1}}, {{std::nullopt, 1}}}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    table.EmptyTable();
    view.Refresh();
    for (const auto& key : c.Keys) Add(key[0], key[1], 0);
    const std::string before = Flags();
    if (c.Refused) {
      std::string message;
      try {
        view.ToggleCheck(c.Toggled, 4);
      } catch (const std::runtime_error& e) {
        message = e.what();
      }
      const std::string key = "Site " + std::to_string(*c.Keys[c.Toggled][0]) + ", Controller " +
                              std::to_string(*c.Keys[c.Toggled][1]);
      EXPECT_EQ(message, key + " is listed more than once, so this change was not stored: it would change every "
                               "record with this Site and Controller at once");
      EXPECT_EQ(Flags(), before);
      EXPECT_EQ(posts, 0);
      EXPECT_EQ(table.State(), DatasetState::Browse);
    } else {
      EXPECT_TRUE(view.ToggleCheck(c.Toggled, 4));
      EXPECT_EQ(posts, 1);
    }
  }
}

TEST_F(GridRules, TheKeyRuleFollowsTheTableNotTheViewSort) {
  Add(1, 1, 0);
  Add(1, 2, 0);
  Add(1, 2, 1);
  Add(2, 1, 0);
  view.SortBy(4, true);  // checked first: the twins are no longer neighbours in the view
  ASSERT_EQ(view.TableRow(0), 2);
  EXPECT_THROW(view.ToggleCheck(0, 4), std::runtime_error);
  EXPECT_EQ(Flags(), "0010");
  EXPECT_TRUE(view.ToggleCheck(view.ViewRow(3), 4));
  EXPECT_EQ(Flags(), "0011");
}

TEST_F(GridRules, CellsAndNotesShowControlCharactersAsSymbols) {
  table.Append();
  site.SetAsInteger(1);
  controller.SetAsInteger(1);
  description.SetAsWideString(std::u16string(u"a\0b\x1F\x7F", 5));
  table.Post();
  EXPECT_EQ(view.CellText(0, 3), u"a\u2400b\u241F\u2421");
}

}  // namespace
}  // namespace velmora

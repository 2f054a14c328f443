#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controllers/color.h"
#include "controllers/form_scale.h"
#include "controllers/form_definition.h"
#include "data/data_source.h"
#include "data/mem_table.h"

namespace velmora {

// The behaviour of a grid table view over a memory table, free of any toolkit:
// which cells show what, how wide the columns are, which rows are subdued, what
// each gesture does, the check-box toggle, and the view's own sort order (which
// never changes the table's order). Front ends draw it and route input here.
class GridView {
 public:
  enum class CheckState { Unchecked, Checked, Mixed };

  // The width of a column whose definition leaves it to the toolkit, at 96 dpi:
  // room for a box and a short caption such as "Disabled".
  static constexpr int kDefaultColumnWidth = 64;

  // What the operator does to a cell.
  enum class Gesture {
    Click,        // a press of the primary button
    DoubleClick,  // the second press of a double click
    Space,        // the Space key, whichever cell of the row is current
  };
  struct GestureEffect {
    bool MakeCurrent = false;  // the cell under the gesture becomes the current cell
    bool Toggle = false;       // the row's box toggles: ToggleCheck(row, CheckColumn())
    bool operator==(const GestureEffect&) const = default;
  };

  GridView(const GridViewDef& definition, DataSource& source);

  const GridViewDef& Definition() const { return FDefinition; }
  int ColumnCount() const { return static_cast<int>(FDefinition.Columns.size()); }
  int RowCount() const;

  // The table and field behind a cell; the field is null when the table has no
  // field of the column's name or the data source no memory table.
  MemTable* Table() const;
  const Field* ColumnField(int column) const;
  // The table row shown at a view row.
  int TableRow(int viewRow) const;
  // The view row showing a table row, or -1.
  int ViewRow(int tableRow) const;

  bool IsCheckColumn(int column) const;
  // The first editable check-box column, or -1.
  int CheckColumn() const;

  // The width each column is drawn at for a view viewWidth pixels wide (inside its
  // frame and scroll bar). With auto-width the columns share viewWidth in
  // proportion to their defined widths and together fill it exactly (the last
  // takes what rounding leaves); otherwise each has its defined width, scaled.
  std::vector<int> ColumnWidths(int viewWidth, const FormScale& scale = {}) const;
  // Whether the operator may drag a column's width. No: with auto-width the
  // columns already fill the grid, which keeps its size, so a wider column could
  // only squeeze the others; and both front ends keep one rule.
  bool UserMayResizeColumns() const { return false; }

  // Whether a row is drawn subdued: its controller is disabled (the box checked).
  bool RowIsSubdued(int viewRow) const;

  // The note (tooltip) for a cell, or empty: a box whose value is neither 0, 1
  // nor null says which value the database holds.
  std::u16string CellNote(int viewRow, int column) const;

  // What a gesture on a cell does. A click on the box toggles it and makes its
  // cell current, so the current cell is always where the operator acted; a click
  // elsewhere only makes the cell current. Space toggles the row's box from any
  // cell. The second press of a double click does nothing: each toggle is stored
  // and audited at once, and a double click by habit means one switch, not a
  // switch and its undo sent as two statements.
  GestureEffect EffectOf(Gesture gesture, int column, bool onBox) const;
  // The text a cell shows: integers in decimal, texts as stored but with control
  // characters as their visible symbols (U+2400 on), since the database holds them
  // and they would otherwise draw as nothing or break the line. Empty for a null,
  // and for a check-box cell.
  std::u16string CellText(int viewRow, int column) const;
  // 1 is checked, 0 and null unchecked, any other value mixed.
  CheckState CellCheckState(int viewRow, int column) const;
  // Toggles a check-box cell: puts the row into edit, stores 1 (0 when it was
  // checked), and posts at once, so the table's AfterPost runs. Returns false for a
  // cell that is no editable check box. Failures propagate. A row whose key fields
  // equal another row's is refused with a failure that says why, before anything
  // changes: its write-back would change both records.
  bool ToggleCheck(int viewRow, int column);
  // Whether a table row's key fields equal those of another row. Rows are loaded in
  // key order, so this is one look at each neighbour; a table not in key order is
  // searched whole.
  bool SharesKey(int tableRow) const;

  // Sorts the view by a column (stable; nulls first); -1 restores table order.
  void SortBy(int column, bool descending);
  int SortColumn() const { return FSortColumn; }
  bool SortDescending() const { return FSortDescending; }
  // Re-applies the sort after the table's rows changed as a whole.
  void Refresh();

 private:
  bool SameKey(int rowA, int rowB) const;
  bool KeyLess(int rowA, int rowB) const;
  bool TableInKeyOrder() const;

  const GridViewDef& FDefinition;
  DataSource& FSource;
  int FSortColumn = -1;
  bool FSortDescending = false;
  std::vector<std::int32_t> FOrder;     // view row -> table row; empty: table order
  std::vector<std::int32_t> FPosition;  // table row -> view row
  // Whether the table is in key order, as found for FKeyOrderRows rows; -1: not yet.
  mutable int FKeyOrderRows = -1;
  mutable bool FKeyOrdered = false;
};

}  // namespace velmora

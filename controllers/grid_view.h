#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controllers/form_definition.h"
#include "data/data_source.h"
#include "data/mem_table.h"

namespace velmora {

// The behaviour of a grid table view over a memory table, free of any toolkit:
// which cells show what, the check-box toggle, and the view's own sort order
// (which never changes the table's order). Front ends draw it and route input here.
class GridView {
 public:
  enum class CheckState { Unchecked, Checked, Mixed };

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
  // The text a cell shows: integers in decimal, texts as stored but with control
  // characters as their visible symbols (U+2400 on), since the database holds them
  // and they would otherwise draw as nothing or break the line. Empty for a null,
  // and for a check-box cell.
  std::u16string CellText(int viewRow, int column) const;
  // 1 is checked, 0 and null unchecked, any other value mixed.
  CheckState CellCheckState(int viewRow, int column) const;
  // Toggles a check-box cell: puts the row into edit, stores 1 (0 when it was
  // checked), and posts at once, so the table's AfterPost runs. Returns false for a
  // cell that is no editable check box. Failures propagate.
  bool ToggleCheck(int viewRow, int column);

  // Sorts the view by a column (stable; nulls first); -1 restores table order.
  void SortBy(int column, bool descending);
  int SortColumn() const { return FSortColumn; }
  bool SortDescending() const { return FSortDescending; }
  // Re-applies the sort after the table's rows changed as a whole.
  void Refresh();

 private:
  const GridViewDef& FDefinition;
  DataSource& FSource;
  int FSortColumn = -1;
  bool FSortDescending = false;
  std::vector<std::int32_t> FOrder;     // view row -> table row; empty: table order
  std::vector<std::int32_t> FPosition;  // table row -> view row
};

}  // namespace velmora

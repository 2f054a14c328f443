#include "controllers/grid_view.h"

#include <algorithm>
#include <numeric>

namespace velmora {
namespace {

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

template <class View>
int CompareTextFolded(View a, View b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = FoldAscii(static_cast<char16_t>(static_cast<std::make_unsigned_t<typename View::value_type>>(a[i])));
    const auto y = FoldAscii(static_cast<char16_t>(static_cast<std::make_unsigned_t<typename View::value_type>>(b[i])));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

GridView::GridView(const GridViewDef& definition, DataSource& source) : FDefinition(definition), FSource(source) {}

MemTable* GridView::Table() const { return dynamic_cast<MemTable*>(FSource.DataSet()); }

int GridView::RowCount() const {
  const MemTable* table = Table();
  return table ? table->RecordCount() : 0;
}

const Field* GridView::ColumnField(int column) const {
  const MemTable* table = Table();
  if (table == nullptr || column < 0 || column >= ColumnCount()) return nullptr;
  return table->FindField(FDefinition.Columns[static_cast<std::size_t>(column)].FieldName);
}

int GridView::TableRow(int viewRow) const {
  return FOrder.empty() ? viewRow : FOrder[static_cast<std::size_t>(viewRow)];
}

int GridView::ViewRow(int tableRow) const {
  if (tableRow < 0 || tableRow >= RowCount()) return -1;
  return FPosition.empty() ? tableRow : FPosition[static_cast<std::size_t>(tableRow)];
}

bool GridView::IsCheckColumn(int column) const {
  return column >= 0 && column < ColumnCount() &&
         FDefinition.Columns[static_cast<std::size_t>(column)].Editor == CellEditor::CheckBox;
}

GridView::CheckState GridView::CellCheckState(int viewRow, int column) const {
  const Field* field = ColumnField(column);
  if (field == nullptr) return CheckState::Unchecked;
  const int row = TableRow(viewRow);
  const MemTable& table = *Table();
  if (table.CellIsNull(row, *field)) return CheckState::Unchecked;
  const Variant value = table.CellValue(row, *field);
  if (value.Type != Variant::Kind::Integer) return CheckState::Mixed;
  return value.Integer == 1 ? CheckState::Checked : value.Integer == 0 ? CheckState::Unchecked : CheckState::Mixed;
}

bool GridView::ToggleCheck(int viewRow, int column) {
  if (!IsCheckColumn(column) || !FDefinition.Columns[static_cast<std::size_t>(column)].Editable) return false;
  const Field* field = ColumnField(column);
  MemTable* table = Table();
  if (field == nullptr || viewRow < 0 || viewRow >= RowCount()) return false;
  const bool checked = CellCheckState(viewRow, column) == CheckState::Checked;
  table->SetRecNo(TableRow(viewRow));
  table->Edit();
  table->Fields(static_cast<std::size_t>(field->Index())).SetAsInteger(checked ? 0 : 1);
  table->Post();
  return true;
}

void GridView::SortBy(int column, bool descending) {
  FSortColumn = (column >= 0 && column < ColumnCount()) ? column : -1;
  FSortDescending = descending;
  Refresh();
}

void GridView::Refresh() {
  FOrder.clear();
  FPosition.clear();
  const Field* field = ColumnField(FSortColumn);
  if (field == nullptr) return;
  const MemTable& table = *Table();
  const int rows = table.RecordCount();
  FOrder.resize(static_cast<std::size_t>(rows));
  std::iota(FOrder.begin(), FOrder.end(), 0);

  // Ascending comparison of two table rows by the sort field, nulls first.
  const auto compare = [&](std::int32_t a, std::int32_t b) -> int {
    const bool nullA = table.CellIsNull(a, *field);
    const bool nullB = table.CellIsNull(b, *field);
    if (nullA || nullB) return nullA == nullB ? 0 : (nullA ? -1 : 1);
    switch (field->DataType()) {
      case FieldType::Integer: {
        const std::int32_t x = table.CellInteger(a, *field);
        const std::int32_t y = table.CellInteger(b, *field);
        return x == y ? 0 : (x < y ? -1 : 1);
      }
      case FieldType::String:
        return CompareTextFolded(table.CellText(a, *field), table.CellText(b, *field));
      default:
        return CompareTextFolded(table.CellWideText(a, *field), table.CellWideText(b, *field));
    }
  };
  if (FSortDescending) {
    std::stable_sort(FOrder.begin(), FOrder.end(), [&](std::int32_t a, std::int32_t b) { return compare(a, b) > 0; });
  } else {
    std::stable_sort(FOrder.begin(), FOrder.end(), [&](std::int32_t a, std::int32_t b) { return compare(a, b) < 0; });
  }
  FPosition.resize(FOrder.size());
  for (std::size_t i = 0; i < FOrder.size(); ++i) FPosition[static_cast<std::size_t>(FOrder[i])] = static_cast<std::int32_t>(i);
}

}  // namespace velmora

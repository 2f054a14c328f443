#include "controllers/grid_view.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "data/conversion.h"
#include "service/utf.h"

namespace velmora {
namespace {

using RowIterator = std::vector<std::int32_t>::iterator;

// Sorts rows by an integer, ties in table order.
template <class Value>
void SortIntegers(RowIterator begin, RowIterator end, Value value, bool descending) {
  // One 64-bit key per row: the value, biased to sort unsigned, above the row.
  std::vector<std::uint64_t> keys;
  keys.reserve(static_cast<std::size_t>(end - begin));
  for (auto it = begin; it != end; ++it) {
    std::uint32_t v = static_cast<std::uint32_t>(value(*it)) ^ 0x80000000u;
    if (descending) v = ~v;
    keys.push_back((std::uint64_t{v} << 32) | static_cast<std::uint32_t>(*it));
  }
  std::sort(keys.begin(), keys.end());
  for (std::size_t i = 0; i < keys.size(); ++i) begin[static_cast<std::ptrdiff_t>(i)] = static_cast<std::int32_t>(keys[i] & 0xFFFFFFFFu);
}

// Characters of a row's text from some depth on, kWords * 4 of them, each folded to
// upper case (ASCII only), plus one so that 0 marks the end of the text; with
// where the text lies, so later rounds need not look it up again.
constexpr std::size_t kWords = 4;
constexpr std::size_t kCharsPerRound = kWords * 4;

template <class Char>
struct TextKey {
  std::uint64_t Key[kWords];
  const Char* Text;
  std::uint32_t Length;
  std::int32_t Row;

  std::basic_string_view<Char> View() const { return {Text, Length}; }
};

template <class Char>
std::uint64_t Unit(std::basic_string_view<Char> text, std::size_t i) {
  if (i >= text.size()) return 0;
  auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(text[i]));
  if (c >= 'a' && c <= 'z') c -= 32;
  return std::min<std::uint32_t>(c, 0xFFFE) + 1;
}

template <class Char>
void FillKey(TextKey<Char>& key, std::size_t depth) {
  const std::basic_string_view<Char> text = key.View();
  for (std::size_t w = 0; w < kWords; ++w) {
    const std::size_t i = depth + w * 4;
    key.Key[w] = (Unit(text, i) << 48) | (Unit(text, i + 1) << 32) | (Unit(text, i + 2) << 16) | Unit(text, i + 3);
  }
}

template <class Char>
bool SameKey(const TextKey<Char>& a, const TextKey<Char>& b) {
  return std::equal(std::begin(a.Key), std::end(a.Key), std::begin(b.Key));
}

// Whether the texts of keys[begin, end) are all equal from depth on (ignoring ASCII
// case). Rows with equal texts are already in table order, so such a group needs
// no further rounds; real data repeats descriptions a lot.
template <class Char>
bool SameTexts(const std::vector<TextKey<Char>>& keys, std::size_t begin, std::size_t end, std::size_t depth) {
  const auto first = keys[begin].View();
  for (std::size_t i = begin + 1; i < end; ++i) {
    const auto other = keys[i].View();
    if (other.size() != first.size()) return false;
    for (std::size_t c = depth; c < first.size(); ++c) {
      if (Unit(first, c) != Unit(other, c)) return false;
    }
  }
  return true;
}

// Sorts keys[begin, end), which agree on their first depth characters, by the
// rest of their texts; ties in table order. Keys are sorted kCharsPerRound
// characters at a time and only groups that still agree are read further, so the
// sort itself runs on small cached keys rather than chasing every text at every
// comparison.
template <class Char>
void SortTextKeys(std::vector<TextKey<Char>>& keys, std::size_t begin, std::size_t end, std::size_t depth,
                  bool descending) {
  for (std::size_t i = begin; i < end; ++i) FillKey(keys[i], depth);
  const auto before = [descending](const TextKey<Char>& a, const TextKey<Char>& b) {
    for (std::size_t w = 0; w < kWords; ++w) {
      if (a.Key[w] != b.Key[w]) return descending ? a.Key[w] > b.Key[w] : a.Key[w] < b.Key[w];
    }
    return a.Row < b.Row;
  };
  std::sort(keys.begin() + static_cast<std::ptrdiff_t>(begin), keys.begin() + static_cast<std::ptrdiff_t>(end), before);
  for (std::size_t run = begin; run < end;) {
    std::size_t next = run + 1;
    while (next < end && SameKey(keys[next], keys[run])) ++next;
    // A group that agrees on every character of this round, none of which ends
    // its texts, is sorted by the next ones.
    if (next - run > 1 && (keys[run].Key[kWords - 1] & 0xFFFF) != 0 &&
        !SameTexts(keys, run, next, depth + kCharsPerRound)) {
      SortTextKeys(keys, run, next, depth + kCharsPerRound, descending);
    }
    run = next;
  }
}

template <class Text>
void SortTexts(RowIterator begin, RowIterator end, Text text, bool descending) {
  using Char = typename decltype(text(0))::value_type;
  std::vector<TextKey<Char>> keys;
  keys.reserve(static_cast<std::size_t>(end - begin));
  for (auto it = begin; it != end; ++it) {
    const std::basic_string_view<Char> view = text(*it);
    keys.push_back({{}, view.data(), static_cast<std::uint32_t>(view.size()), *it});
  }
  SortTextKeys(keys, 0, keys.size(), 0, descending);
  for (std::size_t i = 0; i < keys.size(); ++i) begin[static_cast<std::ptrdiff_t>(i)] = keys[i].Row;
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

std::u16string GridView::CellText(int viewRow, int column) const {
  const Field* field = ColumnField(column);
  if (field == nullptr || IsCheckColumn(column) || viewRow < 0 || viewRow >= RowCount()) return {};
  const MemTable& table = *Table();
  const int row = TableRow(viewRow);
  if (table.CellIsNull(row, *field)) return {};
  std::u16string text;
  switch (field->DataType()) {
    case FieldType::Integer: {
      const std::string digits = std::to_string(table.CellInteger(row, *field));
      text.assign(digits.begin(), digits.end());
      break;
    }
    case FieldType::String:
      AppendUtf8AsUtf16(table.CellText(row, *field), text);
      break;
    default:
      text.assign(table.CellWideText(row, *field));
      break;
  }
  return WithVisibleControls(std::move(text));
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

int GridView::CheckColumn() const {
  for (int c = 0; c < ColumnCount(); ++c) {
    if (IsCheckColumn(c) && FDefinition.Columns[static_cast<std::size_t>(c)].Editable) return c;
  }
  return -1;
}

std::vector<int> GridView::ColumnWidths(int viewWidth, const FormScale& scale) const {
  std::vector<int> widths;
  for (const GridColumnDef& column : FDefinition.Columns) {
    widths.push_back(column.Width > 0 ? column.Width : kDefaultColumnWidth);
  }
  if (!FDefinition.ColumnAutoWidth) {
    for (int& width : widths) width = scale.Scale(width);
    return widths;
  }
  // Shares are taken from the defined widths themselves: scaling them first would
  // only add rounding.
  const long long total = std::accumulate(widths.begin(), widths.end(), 0LL);
  const int available = std::max(viewWidth, 0);
  if (total <= 0) return widths;
  // Each column's right edge is placed by its share of the whole, so rounding never
  // adds up and the last edge is exactly the view's.
  long long defined = 0;
  int previousEdge = 0;
  for (int& width : widths) {
    defined += width;
    const int edge = static_cast<int>((defined * available + total / 2) / total);
    width = edge - previousEdge;
    previousEdge = edge;
  }
  return widths;
}

bool GridView::RowIsSubdued(int viewRow) const {
  const int column = CheckColumn();
  return column >= 0 && viewRow >= 0 && viewRow < RowCount() &&
         CellCheckState(viewRow, column) == CheckState::Checked;
}

std::u16string GridView::CellNote(int viewRow, int column) const {
  if (!IsCheckColumn(column) || viewRow < 0 || viewRow >= RowCount()) return {};
  if (CellCheckState(viewRow, column) != CheckState::Mixed) return {};
  const Field* field = ColumnField(column);
  const std::string value = DisplayText(Table()->CellValue(TableRow(viewRow), *field));
  return Utf8ToUtf16("The database holds " + WithVisibleControls(value) +
                     " for this controller: neither enabled nor disabled");
}

GridView::GestureEffect GridView::EffectOf(Gesture gesture, int column, bool onBox) const {
  const bool box = onBox && column >= 0 && column == CheckColumn();
  switch (gesture) {
    case Gesture::Click:
      return {true, box};
    case Gesture::DoubleClick:
      return {false, false};
    case Gesture::Space:
      return {false, CheckColumn() >= 0};
  }
  return {};
}

bool GridView::SameKey(int rowA, int rowB) const {
  const MemTable& table = *Table();
  if (FDefinition.KeyFieldNames.empty()) return false;
  for (const std::string& name : FDefinition.KeyFieldNames) {
    const Field* field = table.FindField(name);
    // A row without its key cannot be written back at all; that is refused elsewhere.
    if (field == nullptr || table.CellIsNull(rowA, *field) || table.CellIsNull(rowB, *field)) return false;
    if (field->DataType() == FieldType::Integer) {
      if (table.CellInteger(rowA, *field) != table.CellInteger(rowB, *field)) return false;
    } else if (DisplayText(table.CellValue(rowA, *field)) != DisplayText(table.CellValue(rowB, *field))) {
      return false;
    }
  }
  return true;
}

// Integer keys only, nulls first; rows with other keys are never found in order,
// which costs a whole search, never a missed twin.
bool GridView::KeyLess(int rowA, int rowB) const {
  const MemTable& table = *Table();
  for (const std::string& name : FDefinition.KeyFieldNames) {
    const Field* field = table.FindField(name);
    if (field == nullptr || field->DataType() != FieldType::Integer) return false;
    const bool nullA = table.CellIsNull(rowA, *field);
    const bool nullB = table.CellIsNull(rowB, *field);
    if (nullA != nullB) return nullA;
    if (nullA) continue;
    const std::int32_t a = table.CellInteger(rowA, *field);
    const std::int32_t b = table.CellInteger(rowB, *field);
    if (a != b) return a < b;
  }
  return false;
}

bool GridView::TableInKeyOrder() const {
  const int rows = RowCount();
  if (FKeyOrderRows != rows) {
    FKeyOrdered = true;
    for (int row = 1; row < rows && FKeyOrdered; ++row) FKeyOrdered = !KeyLess(row, row - 1);
    FKeyOrderRows = rows;
  }
  return FKeyOrdered;
}

bool GridView::SharesKey(int tableRow) const {
  const int rows = RowCount();
  if (tableRow < 0 || tableRow >= rows || FDefinition.KeyFieldNames.empty()) return false;
  if (TableInKeyOrder()) {
    return (tableRow > 0 && SameKey(tableRow, tableRow - 1)) || (tableRow + 1 < rows && SameKey(tableRow, tableRow + 1));
  }
  for (int row = 0; row < rows; ++row) {
    if (row != tableRow && SameKey(tableRow, row)) return true;
  }
  return false;
}

bool GridView::ToggleCheck(int viewRow, int column) {
  if (!IsCheckColumn(column) || !FDefinition.Columns[static_cast<std::size_t>(column)].Editable) return false;
  const Field* field = ColumnField(column);
  MemTable* table = Table();
  if (field == nullptr || viewRow < 0 || viewRow >= RowCount()) return false;
  if (SharesKey(TableRow(viewRow))) {
    // "Site 3, Controller 12 is listed more than once ... with this Site and Controller".
    std::string key;
    std::string names;
    const std::vector<std::string>& keys = FDefinition.KeyFieldNames;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const Variant value = table->CellValue(TableRow(viewRow), *table->FindField(keys[i]));
      key += (i > 0 ? ", " : "") + keys[i] + " " + WithVisibleControls(DisplayText(value));
      names += (i == 0 ? "" : i + 1 == keys.size() ? " and " : ", ") + keys[i];
    }
    throw std::runtime_error(key + " is listed more than once, so this change was not stored: it would change every "
                             "record with this " + names + " at once");
  }
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
  FKeyOrderRows = -1;
  FOrder.clear();
  FPosition.clear();
  const Field* field = ColumnField(FSortColumn);
  if (field == nullptr) return;
  const MemTable& table = *Table();
  const int rows = table.RecordCount();
  FOrder.reserve(static_cast<std::size_t>(rows));
  // Nulls come first, in table order, whichever the direction.
  for (int row = 0; row < rows; ++row) {
    if (table.CellIsNull(row, *field)) FOrder.push_back(row);
  }
  const std::size_t nulls = FOrder.size();
  for (int row = 0; row < rows; ++row) {
    if (!table.CellIsNull(row, *field)) FOrder.push_back(row);
  }
  const auto values = FOrder.begin() + static_cast<std::ptrdiff_t>(nulls);
  switch (field->DataType()) {
    case FieldType::Integer:
      SortIntegers(values, FOrder.end(), [&](std::int32_t row) { return table.CellInteger(row, *field); },
                   FSortDescending);
      break;
    case FieldType::String:
      SortTexts(values, FOrder.end(), [&](std::int32_t row) { return table.CellText(row, *field); }, FSortDescending);
      break;
    default:
      SortTexts(values, FOrder.end(), [&](std::int32_t row) { return table.CellWideText(row, *field); },
                FSortDescending);
      break;
  }
  FPosition.resize(FOrder.size());
  for (std::size_t i = 0; i < FOrder.size(); ++i) FPosition[static_cast<std::size_t>(FOrder[i])] = static_cast<std::int32_t>(i);
}

}  // namespace velmora

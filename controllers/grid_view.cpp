#include "controllers/grid_view.h"

#include <algorithm>
#include <numeric>

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
  for (char16_t& c : text) {
    if (c < 0x20) {
      c = static_cast<char16_t>(0x2400 + c);
    } else if (c == 0x7F) {
      c = 0x2421;
    }
  }
  return text;
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

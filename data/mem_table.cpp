#include "data/mem_table.h"

#include <utility>

#include "data/conversion.h"
#include "data/database_error.h"

namespace velmora {

void MemTable::Column::SetNull(std::size_t row, bool null) {
  while (NullBits.size() <= (row >> 6)) NullBits.push_back(0);
  const std::uint64_t bit = std::uint64_t{1} << (row & 63);
  NullBits[row >> 6] = null ? (NullBits[row >> 6] | bit) : (NullBits[row >> 6] & ~bit);
}

void MemTable::Column::Clear() {
  Integers.clear();
  TextSlots.clear();
  WideSlots.clear();
  Text.clear();
  WideText.clear();
  NullBits.clear();
}

Field& MemTable::AddField(FieldDef def) {
  if (Active()) Error("Cannot add fields to an open dataset");
  if (def.Type != FieldType::Integer && def.Type != FieldType::String && def.Type != FieldType::WideString) {
    Error("Field '" + def.Name + "': unsupported field type");
  }
  if (def.Type != FieldType::Integer &&
      (def.Size <= 0 || static_cast<std::size_t>(def.Size) > TextArena<char16_t>::kBlockChars / 4)) {
    Error("Field '" + def.Name + "': invalid size");
  }
  FColumns.push_back(Column{def.Type, {}, {}, {}, {}, {}, {}});
  FBuffer.emplace_back();
  return AddFieldObject(std::move(def));
}

void MemTable::DropRows() {
  for (Column& column : FColumns) column.Clear();
  FRowCount = 0;
  FCurrent = -1;
  FEof = true;
  FLastEditedRow.reset();
}

void MemTable::EmptyTable() {
  if (!Active()) return;
  if (State() != DatasetState::Browse) Cancel();
  DropRows();
  Notify(DataEvent::DataSetChanged);
}

void MemTable::InternalOpen() { DropRows(); }
void MemTable::InternalClose() { DropRows(); }

void MemTable::InternalFirst() {
  FCurrent = FRowCount > 0 ? 0 : -1;
  FEof = FRowCount == 0;
}

void MemTable::InternalNext() {
  if (FCurrent + 1 < static_cast<int>(FRowCount)) {
    ++FCurrent;
  } else {
    FEof = true;
  }
}

bool MemTable::InternalEof() const { return FEof; }

void MemTable::SetRecNo(int row) {
  if (row < 0 || row >= RecordCount()) Error("Record index out of range");
  if (State() == DatasetState::Edit || State() == DatasetState::Insert) Post();
  FCurrent = row;
  FEof = false;
  Notify(DataEvent::ScrollChanged);
}

void MemTable::InternalAppend() {
  for (BufferValue& value : FBuffer) value.Null = true;
  FRowBeforeAppend = FCurrent;
  FLastEditedRow.reset();
}

void MemTable::InternalEdit() {
  ReadRow(static_cast<std::size_t>(FCurrent), FBuffer);
  FBeforeEdit = FBuffer;
  FLastEditedRow.reset();
}

void MemTable::InternalPost() {
  if (State() == DatasetState::Insert) {
    StoreBuffer(FRowCount, FBuffer, true);
    FCurrent = static_cast<int>(FRowCount++);
    FEof = false;
  } else {
    StoreBuffer(static_cast<std::size_t>(FCurrent), FBuffer, false);
    FLastEditedRow = FCurrent;
  }
}

void MemTable::InternalCancel() {
  if (State() == DatasetState::Insert) FCurrent = FRowBeforeAppend;
}

void MemTable::RevertLastPost() {
  if (!FLastEditedRow || State() != DatasetState::Browse) return;
  const int row = *std::exchange(FLastEditedRow, std::nullopt);
  StoreBuffer(static_cast<std::size_t>(row), FBeforeEdit, false);
  Notify(DataEvent::RecordChanged, row);
}

void MemTable::StoreBuffer(std::size_t row, const std::vector<BufferValue>& buffer, bool append) {
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    Column& column = FColumns[i];
    const BufferValue& value = buffer[i];
    switch (column.Type) {
      case FieldType::Integer:
        if (append) {
          column.Integers.push_back(value.Integer);
        } else {
          column.Integers[row] = value.Integer;
        }
        break;
      case FieldType::String: {
        const std::string_view text = value.Null ? std::string_view() : std::string_view(value.Text);
        if (append) {
          column.TextSlots.push_back(column.Text.Add(text));
        } else {
          column.TextSlots[row] = column.Text.Replace(column.TextSlots[row], text);
        }
        break;
      }
      default: {
        const std::u16string_view text = value.Null ? std::u16string_view() : std::u16string_view(value.WideText);
        if (append) {
          column.WideSlots.push_back(column.WideText.Add(text));
        } else {
          column.WideSlots[row] = column.WideText.Replace(column.WideSlots[row], text);
        }
        break;
      }
    }
    column.SetNull(row, value.Null);
  }
}

void MemTable::ReadRow(std::size_t row, std::vector<BufferValue>& buffer) const {
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    const Column& column = FColumns[i];
    BufferValue& value = buffer[i];
    value.Null = column.IsNull(row);
    switch (column.Type) {
      case FieldType::Integer:
        value.Integer = column.Integers[row];
        break;
      case FieldType::String:
        value.Text.assign(column.Text.View(column.TextSlots[row]));
        break;
      default:
        value.WideText.assign(column.WideText.View(column.WideSlots[row]));
        break;
    }
  }
}

bool MemTable::CellIsNull(int row, const Field& field) const {
  return FColumns[static_cast<std::size_t>(field.Index())].IsNull(static_cast<std::size_t>(row));
}

std::int32_t MemTable::CellInteger(int row, const Field& field) const {
  const Column& column = FColumns[static_cast<std::size_t>(field.Index())];
  if (column.Type != FieldType::Integer || column.IsNull(static_cast<std::size_t>(row))) return 0;
  return column.Integers[static_cast<std::size_t>(row)];
}

std::string_view MemTable::CellText(int row, const Field& field) const {
  const Column& column = FColumns[static_cast<std::size_t>(field.Index())];
  if (column.Type != FieldType::String) return {};
  return column.Text.View(column.TextSlots[static_cast<std::size_t>(row)]);
}

std::u16string_view MemTable::CellWideText(int row, const Field& field) const {
  const Column& column = FColumns[static_cast<std::size_t>(field.Index())];
  if (column.Type != FieldType::WideString) return {};
  return column.WideText.View(column.WideSlots[static_cast<std::size_t>(row)]);
}

Variant MemTable::CellValue(int row, const Field& field) const {
  if (row < 0 || row >= static_cast<int>(FRowCount) || CellIsNull(row, field)) return Variant::Null();
  switch (field.DataType()) {
    case FieldType::Integer:
      return Variant::FromInteger(CellInteger(row, field));
    case FieldType::String:
      return Variant::FromText(CellText(row, field));
    default:
      return Variant::FromWideText(CellWideText(row, field));
  }
}

Variant MemTable::ReadValue(const Field& field) const {
  if (State() == DatasetState::Edit || State() == DatasetState::Insert) {
    const BufferValue& value = FBuffer[static_cast<std::size_t>(field.Index())];
    if (value.Null) return Variant::Null();
    switch (field.DataType()) {
      case FieldType::Integer:
        return Variant::FromInteger(value.Integer);
      case FieldType::String:
        return Variant::FromText(value.Text);
      default:
        return Variant::FromWideText(value.WideText);
    }
  }
  if (FEof && FCurrent < 0) return Variant::Null();
  return CellValue(FCurrent, field);
}

void MemTable::PutValue(BufferValue& target, const FieldDef& def, const Variant& value) const {
  switch (def.Type) {
    case FieldType::Integer: {
      const std::optional<std::int32_t> v = ToInteger32(def, value);
      target.Null = !v;
      target.Integer = v.value_or(0);
      break;
    }
    case FieldType::String:
      target.Null = !ToText(def, value, target.Text);
      break;
    default:
      target.Null = !ToWideText(def, value, target.WideText);
      break;
  }
}

void MemTable::WriteValue(const Field& field, const Variant& value) {
  // The text may be a view of the very buffer it goes into (a field set to its own
  // value while edited), which the conversion clears before reading: take a copy.
  const std::string text(value.Text);
  const std::u16string wide(value.WideText);
  Variant copy = value;
  copy.Text = text;
  copy.WideText = wide;
  PutValue(FBuffer[static_cast<std::size_t>(field.Index())], field.Def(), copy);
  if (State() == DatasetState::Edit) Notify(DataEvent::RecordChanged, FCurrent);
}

void MemTable::LoadFromDataSet(Dataset& source) {
  DisableControls();
  struct Release {
    MemTable& Table;
    ~Release() { Table.EnableControls(); }
  } release{*this};

  if (Active()) {
    EmptyTable();
  } else {
    Open();
  }
  // For each of our fields, the source field of the same name (or none).
  std::vector<const Field*> sources(FieldCount(), nullptr);
  for (std::size_t i = 0; i < FieldCount(); ++i) sources[i] = source.FindField(Fields(i).FieldName());

  source.First();
  while (!source.Eof()) {
    Append();
    try {
      for (std::size_t i = 0; i < FieldCount(); ++i) {
        if (sources[i] != nullptr) PutValue(FBuffer[i], Fields(i).Def(), sources[i]->Value());
      }
    } catch (...) {
      Cancel();
      throw;
    }
    Post();
    source.Next();
    if (OnLoadProgress && FRowCount % kLoadProgressRows == 0) OnLoadProgress(static_cast<int>(FRowCount));
  }
  First();
}

}  // namespace velmora

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data/chunked_vector.h"
#include "data/dataset.h"

namespace velmora {

// An in-memory dataset: rows stay in the order they were added (no indexes, no sort
// order). Fields are defined before it is opened; closing or emptying drops the rows.
// Storage is by column, in blocks, texts in shared arenas: no allocation per row.
class MemTable : public Dataset {
 public:
  explicit MemTable(std::string name) : Dataset(std::move(name)) {}

  // Defines a field (Integer, String or WideString) while the table is inactive.
  Field& AddField(FieldDef def);

  // Drops every row; the table stays open.
  void EmptyTable();

  // Copies every row of source into this table: empties it (opening it when
  // inactive), matches fields by name ignoring case (unmatched fields stay null),
  // and appends and posts one row per source row, from its first row to its end,
  // read-only fields written like the others. Display updates are held throughout.
  // A failure keeps the rows posted before it.
  void LoadFromDataSet(Dataset& source);

  // Told the number of rows read so far, every kLoadProgressRows rows of a load.
  std::function<void(int rows)> OnLoadProgress;
  static constexpr int kLoadProgressRows = 1024;

  // Puts the row of the last Post of an edit back to its values before that edit,
  // without firing AfterPost; for a change the database refused. Does nothing when
  // no edit has been posted since the last change of the table.
  void RevertLastPost();

  int RecNo() const override { return FCurrent; }
  int RecordCount() const override { return Active() ? static_cast<int>(FRowCount) : 0; }
  // Moves to a row (0-based), posting a pending edit first.
  void SetRecNo(int row);

  // Reads of any row, for views; a row being edited reads as stored.
  bool CellIsNull(int row, const Field& field) const;
  std::int32_t CellInteger(int row, const Field& field) const;
  std::string_view CellText(int row, const Field& field) const;
  std::u16string_view CellWideText(int row, const Field& field) const;
  Variant CellValue(int row, const Field& field) const;

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  void InternalFirst() override;
  void InternalNext() override;
  bool InternalEof() const override;
  void InternalAppend() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  Variant ReadValue(const Field& field) const override;
  void WriteValue(const Field& field, const Variant& value) override;

 private:
  // One field's values for every row.
  struct Column {
    FieldType Type;
    ChunkedVector<std::int32_t> Integers;
    ChunkedVector<TextArena<char>::Slot> TextSlots;
    ChunkedVector<TextArena<char16_t>::Slot> WideSlots;
    TextArena<char> Text;
    TextArena<char16_t> WideText;
    ChunkedVector<std::uint64_t> NullBits;  // bit set: null

    bool IsNull(std::size_t row) const { return (NullBits[row >> 6] >> (row & 63)) & 1; }
    void SetNull(std::size_t row, bool null);
    void Clear();
  };
  // A row's values while it is edited or appended; kept between rows so that its
  // strings' capacity is reused.
  struct BufferValue {
    bool Null = true;
    std::int32_t Integer = 0;
    std::string Text;
    std::u16string WideText;
  };

  void StoreBuffer(std::size_t row, const std::vector<BufferValue>& buffer, bool append);
  void ReadRow(std::size_t row, std::vector<BufferValue>& buffer) const;
  void DropRows();
  void PutValue(BufferValue& target, const FieldDef& def, const Variant& value) const;

  std::vector<Column> FColumns;
  std::size_t FRowCount = 0;
  int FCurrent = -1;
  bool FEof = true;
  int FRowBeforeAppend = -1;
  std::vector<BufferValue> FBuffer;
  std::vector<BufferValue> FBeforeEdit;
  std::optional<int> FLastEditedRow;
};

}  // namespace velmora

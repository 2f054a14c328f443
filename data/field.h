#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/variant.h"

namespace velmora {

class Dataset;

enum class FieldType : std::uint8_t {
  Integer,     // 32-bit signed
  LargeInt,    // 64-bit signed
  Float,       // double
  String,      // 8-bit (UTF-8) text of at most Size characters
  WideString,  // UTF-16 text of at most Size code units
  Variant,     // any value, as the source hands it out
};

struct FieldDef {
  std::string Name;
  FieldType Type = FieldType::Integer;
  int Size = 0;  // characters, for the text types
  bool ReadOnly = false;
  bool FixedLength = false;
};

// One field of a dataset: reads and writes the dataset's current row (or its edit
// buffer while a row is being edited). Owned by its dataset.
class Field {
 public:
  Field(Dataset& dataset, int index, FieldDef def) : FDataset(dataset), FIndex(index), FDef(std::move(def)) {}
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  const std::string& FieldName() const { return FDef.Name; }
  FieldType DataType() const { return FDef.Type; }
  int Size() const { return FDef.Size; }
  bool ReadOnly() const { return FDef.ReadOnly; }
  bool FixedLength() const { return FDef.FixedLength; }
  int Index() const { return FIndex; }
  const FieldDef& Def() const { return FDef; }
  Dataset& DataSet() const { return FDataset; }

  bool IsNull() const;
  // The current value; text is borrowed until the dataset moves or changes.
  Variant Value() const;
  // A null reads as 0; other values are range-checked into 32 bits.
  std::int32_t AsInteger() const;
  // The value as display text ("" for null).
  std::string AsString() const;
  std::u16string AsWideString() const;

  // Edits by the user: the dataset must be in edit or insert state, and a read-only
  // field refuses them. Values are converted to the field's type.
  void SetAsInteger(std::int32_t value) { SetValue(Variant::FromInteger(value)); }
  void SetAsString(std::string_view value) { SetValue(Variant::FromText(value)); }
  void SetAsWideString(std::u16string_view value) { SetValue(Variant::FromWideText(value)); }
  void Clear() { SetValue(Variant::Null()); }
  void SetValue(const Variant& value);

 private:
  Dataset& FDataset;
  int FIndex;
  FieldDef FDef;
};

}  // namespace velmora

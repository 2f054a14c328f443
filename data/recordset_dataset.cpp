#include "data/recordset_dataset.h"

#include "service/hardware_service.h"
#include "service/utf.h"

namespace velmora {
namespace {

FieldType FieldTypeOf(IRecordset::FieldKind kind) {
  switch (kind) {
    case IRecordset::FieldKind::Integer:
      return FieldType::LargeInt;
    case IRecordset::FieldKind::Real:
      return FieldType::Float;
    case IRecordset::FieldKind::Text:
      return FieldType::WideString;
    default:
      return FieldType::Variant;
  }
}

}  // namespace

RecordsetDataset::~RecordsetDataset() {
  try {
    Close();
  } catch (...) {
    // A record set that fails to close while we go has nothing left to tell anyone.
  }
}

void RecordsetDataset::CheckRecordsetOpen() const {
  std::int32_t state = IRecordset::kStateClosed;
  if (!FRecordset || Failed(FRecordset->GetState(&state)) || state != IRecordset::kStateOpen) {
    Error("Recordset is not open");
  }
}

void RecordsetDataset::SetRecordset(ComPtr<IRecordset> recordset) {
  Close();
  FRecordset = std::move(recordset);
  try {
    CheckRecordsetOpen();
    Open();
  } catch (...) {
    FRecordset.Reset();
    RemoveFieldObjects();
    throw;
  }
}

void RecordsetDataset::InternalOpen() {
  CheckRecordsetOpen();
  RemoveFieldObjects();
  std::int32_t count = 0;
  OleCheck(FRecordset->GetFieldCount(&count));
  for (std::int32_t i = 0; i < count; ++i) {
    std::u16string name;
    OleCheck(FRecordset->GetFieldName(i, &name));
    IRecordset::FieldKind kind = IRecordset::FieldKind::Other;
    OleCheck(FRecordset->GetFieldKind(i, &kind));
    AddFieldObject(FieldDef{Utf16ToUtf8(name), FieldTypeOf(kind), 0, true, false});
  }
}

void RecordsetDataset::InternalClose() {
  if (FRecordset) {
    // Closing is the record set's own business; its release is ours.
    FRecordset->Close();
    FRecordset.Reset();
  }
  RemoveFieldObjects();
  FEof = true;
}

void RecordsetDataset::InternalFirst() {
  OleCheck(FRecordset->MoveFirst());
  OleCheck(FRecordset->GetEOF(&FEof));
}

void RecordsetDataset::InternalNext() {
  OleCheck(FRecordset->MoveNext());
  OleCheck(FRecordset->GetEOF(&FEof));
}

Variant RecordsetDataset::ReadValue(const Field& field) const {
  if (!FRecordset || FEof) return Variant::Null();
  Variant value;
  OleCheck(FRecordset->GetValue(field.Index(), &value));
  return value;
}

}  // namespace velmora

#include "data/dataset.h"

#include <algorithm>

#include "data/conversion.h"
#include "data/data_source.h"
#include "data/database_error.h"

namespace velmora {
namespace {

bool SameTextAscii(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    return up(x) == up(y);
  });
}

}  // namespace

Dataset::~Dataset() {
  for (DataSource* source : FDataSources) source->FDataSet = nullptr;
}

void Dataset::Error(const std::string& message) const { throw DatabaseError(FName + ": " + message); }

void Dataset::CheckActive() const {
  if (!Active()) Error("Cannot perform this operation on a closed dataset");
}

void Dataset::CheckBrowseMode() {
  CheckActive();
  if (FState == DatasetState::Edit || FState == DatasetState::Insert) Post();
}

void Dataset::Notify(DataEvent event, int row) {
  if (FControlsDisabled > 0) return;
  const std::vector<DataSource*> sources = FDataSources;
  for (DataSource* source : sources) source->Forward(event, row);
}

void Dataset::SetState(DatasetState state) {
  if (FState == state) return;
  FState = state;
  Notify(DataEvent::StateChanged);
}

void Dataset::EnableControls() {
  if (FControlsDisabled > 0 && --FControlsDisabled == 0) Notify(DataEvent::DataSetChanged);
}

void Dataset::Open() {
  if (Active()) return;
  InternalOpen();
  FState = DatasetState::Browse;
  try {
    InternalFirst();
  } catch (...) {
    FState = DatasetState::Inactive;
    InternalClose();
    throw;
  }
  Notify(DataEvent::DataSetChanged);
}

void Dataset::Close() {
  if (!Active()) return;
  if (FState == DatasetState::Edit || FState == DatasetState::Insert) InternalCancel();
  FState = DatasetState::Inactive;
  InternalClose();
  Notify(DataEvent::DataSetChanged);
}

void Dataset::First() {
  CheckBrowseMode();
  InternalFirst();
  Notify(DataEvent::ScrollChanged);
}

void Dataset::Next() {
  CheckBrowseMode();
  if (InternalEof()) return;
  InternalNext();
  Notify(DataEvent::ScrollChanged);
}

bool Dataset::Eof() const { return !Active() || InternalEof(); }

void Dataset::Append() {
  CheckBrowseMode();
  InternalAppend();
  SetState(DatasetState::Insert);
}

void Dataset::Edit() {
  CheckActive();
  if (FState == DatasetState::Edit || FState == DatasetState::Insert) return;
  if (InternalEof() && RecordCount() == 0) Error("Cannot edit: the dataset is empty");
  InternalEdit();
  SetState(DatasetState::Edit);
}

void Dataset::Post() {
  CheckActive();
  if (FState != DatasetState::Edit && FState != DatasetState::Insert) return;
  const bool inserted = FState == DatasetState::Insert;
  InternalPost();
  SetState(DatasetState::Browse);
  if (inserted) {
    Notify(DataEvent::DataSetChanged);
  } else {
    Notify(DataEvent::RecordChanged, RecNo());
  }
  if (AfterPost) AfterPost(*this);
}

void Dataset::Cancel() {
  if (FState != DatasetState::Edit && FState != DatasetState::Insert) return;
  InternalCancel();
  SetState(DatasetState::Browse);
  Notify(DataEvent::DataSetChanged);
}

void Dataset::InternalAppend() { Error("Cannot modify a read-only dataset"); }
void Dataset::InternalEdit() { Error("Cannot modify a read-only dataset"); }
void Dataset::InternalPost() { Error("Cannot modify a read-only dataset"); }
void Dataset::WriteValue(const Field&, const Variant&) { Error("Cannot modify a read-only dataset"); }

Field& Dataset::AddFieldObject(FieldDef def) {
  const int index = static_cast<int>(FFields.size());
  return *FFields.emplace_back(std::make_unique<Field>(*this, index, std::move(def)));
}

Field* Dataset::FindField(std::string_view name) const {
  for (const auto& field : FFields) {
    if (SameTextAscii(field->FieldName(), name)) return field.get();
  }
  return nullptr;
}

Field& Dataset::FieldByName(std::string_view name) const {
  if (Field* field = FindField(name)) return *field;
  Error("Field '" + std::string(name) + "' not found");
}

// Field reads and writes go through the dataset, which knows where the row lives.

bool Field::IsNull() const { return FDataset.ReadValue(*this).IsNull(); }

Variant Field::Value() const { return FDataset.ReadValue(*this); }

std::int32_t Field::AsInteger() const { return ToInteger32(FDef, Value()).value_or(0); }

std::string Field::AsString() const { return DisplayText(Value()); }

std::u16string Field::AsWideString() const {
  std::u16string out;
  FieldDef unbounded = FDef;
  unbounded.Size = 0;
  ToWideText(unbounded, Value(), out);
  return out;
}

void Field::SetValue(const Variant& value) {
  if (FDef.ReadOnly) throw DatabaseError("Field '" + FDef.Name + "' cannot be modified");
  if (FDataset.State() != DatasetState::Edit && FDataset.State() != DatasetState::Insert) {
    FDataset.Error("Dataset not in edit or insert mode");
  }
  FDataset.WriteValue(*this, value);
}

}  // namespace velmora

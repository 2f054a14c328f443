#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/field.h"

namespace velmora {

class DataSource;

enum class DatasetState { Inactive, Browse, Edit, Insert };

// What a dataset tells the views bound to it.
enum class DataEvent {
  DataSetChanged,  // rows, fields or the whole content changed; re-read everything
  RecordChanged,   // the values of one row changed
  StateChanged,    // the dataset's state changed
  ScrollChanged,   // the current row moved
};

// A table with a current row and a state. open: inactive to browse on the first row;
// close: to inactive from any state, dropping a pending edit; append/edit: browse to
// insert/edit; post (commit): to browse, storing the row, then AfterPost fires in
// browse state on that row, and whatever it throws reaches the caller of Post with
// the row stored; cancel: to browse, dropping the changes.
class Dataset {
 public:
  explicit Dataset(std::string name) : FName(std::move(name)) {}
  virtual ~Dataset();
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  const std::string& Name() const { return FName; }
  DatasetState State() const { return FState; }
  bool Active() const { return FState != DatasetState::Inactive; }

  void Open();
  void Close();
  void First();
  void Next();
  // True past the last row, and for an empty or inactive dataset.
  bool Eof() const;
  void Append();
  void Edit();
  void Post();
  void Cancel();

  // The current row's 0-based index, or -1; -1 too where the dataset cannot tell.
  virtual int RecNo() const { return -1; }
  // The number of rows, or -1 where the dataset cannot tell.
  virtual int RecordCount() const { return -1; }

  std::size_t FieldCount() const { return FFields.size(); }
  Field& Fields(std::size_t index) const { return *FFields.at(index); }
  // The field whose name equals name ignoring ASCII letter case; nullptr if none.
  Field* FindField(std::string_view name) const;
  // As FindField; throws DatabaseError when there is none.
  Field& FieldByName(std::string_view name) const;

  // Fired after each successful Post.
  std::function<void(Dataset&)> AfterPost;

  // Holds display updates while > 0 holds are taken; the last release tells every
  // view that the whole content changed, once.
  void DisableControls() { ++FControlsDisabled; }
  void EnableControls();
  bool ControlsDisabled() const { return FControlsDisabled > 0; }

 protected:
  Field& AddFieldObject(FieldDef def);
  void RemoveFieldObjects() { FFields.clear(); }
  // Reports an error of this dataset, prefixed with its name.
  [[noreturn]] void Error(const std::string& message) const;
  void Notify(DataEvent event, int row = -1);
  void SetState(DatasetState state);

  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalNext() = 0;
  virtual bool InternalEof() const = 0;
  // Editing; a read-only dataset keeps these defaults, which refuse.
  virtual void InternalAppend();
  virtual void InternalEdit();
  virtual void InternalPost();
  virtual void InternalCancel() {}

  // The value of a field in the current row (or the edit buffer while editing).
  virtual Variant ReadValue(const Field& field) const = 0;
  // Stores a converted value into the edit buffer.
  virtual void WriteValue(const Field& field, const Variant& value);

 private:
  friend class Field;
  friend class DataSource;

  void CheckActive() const;
  // Posts a pending edit before the cursor moves.
  void CheckBrowseMode();

  std::string FName;
  DatasetState FState = DatasetState::Inactive;
  std::vector<std::unique_ptr<Field>> FFields;
  std::vector<DataSource*> FDataSources;
  int FControlsDisabled = 0;
};

}  // namespace velmora

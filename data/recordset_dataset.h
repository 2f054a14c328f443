#pragma once

#include "data/dataset.h"
#include "service/com.h"
#include "service/recordset.h"

namespace velmora {

// Presents a record set as a read-only dataset; makes no connection of its own.
// Holds the record set from SetRecordset until Close.
class RecordsetDataset : public Dataset {
 public:
  explicit RecordsetDataset(std::string name) : Dataset(std::move(name)) {}
  ~RecordsetDataset() override;

  // Closes if open, then opens on recordset; fails with "<name>: Recordset is not
  // open" when the record set is not open (or missing).
  void SetRecordset(ComPtr<IRecordset> recordset);
  const ComPtr<IRecordset>& Recordset() const { return FRecordset; }

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  void InternalFirst() override;
  void InternalNext() override;
  bool InternalEof() const override { return FEof; }
  Variant ReadValue(const Field& field) const override;

 private:
  void CheckRecordsetOpen() const;

  ComPtr<IRecordset> FRecordset;
  bool FEof = true;
};

}  // namespace velmora

#pragma once

#include <string>
#include <vector>

#include "data/dataset.h"

namespace velmora {

// A view bound to a data source; told of every change of the dataset.
class DataLink {
 public:
  virtual void DataEvent(velmora::DataEvent event, int row) = 0;

 protected:
  ~DataLink() = default;
};

// What views bind to: forwards the events of one dataset to its links. Neither
// owns the other; links remove themselves before they go.
class DataSource {
 public:
  explicit DataSource(std::string name) : FName(std::move(name)) {}
  ~DataSource();
  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;

  const std::string& Name() const { return FName; }
  Dataset* DataSet() const { return FDataSet; }
  void SetDataSet(Dataset* dataset);

  void AddLink(DataLink* link) { FLinks.push_back(link); }
  void RemoveLink(DataLink* link);

 private:
  friend class Dataset;
  void Forward(DataEvent event, int row);

  std::string FName;
  Dataset* FDataSet = nullptr;
  std::vector<DataLink*> FLinks;
};

}  // namespace velmora

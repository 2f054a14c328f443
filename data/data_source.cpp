#include "data/data_source.h"

#include <algorithm>

namespace velmora {

DataSource::~DataSource() { SetDataSet(nullptr); }

void DataSource::SetDataSet(Dataset* dataset) {
  if (FDataSet == dataset) return;
  if (FDataSet) std::erase(FDataSet->FDataSources, this);
  FDataSet = dataset;
  if (FDataSet) FDataSet->FDataSources.push_back(this);
  Forward(DataEvent::DataSetChanged, -1);
}

void DataSource::RemoveLink(DataLink* link) { std::erase(FLinks, link); }

void DataSource::Forward(DataEvent event, int row) {
  // A link may unbind itself while being told.
  const std::vector<DataLink*> links = FLinks;
  for (DataLink* link : links) link->DataEvent(event, row);
}

}  // namespace velmora

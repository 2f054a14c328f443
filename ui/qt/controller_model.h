#pragma once

#include <QAbstractTableModel>

#include "controllers/grid_view.h"
#include "data/data_source.h"

namespace velmora::qt {

// The grid's table model: reads the memory table behind a data source through a
// GridView, keeps no copy of row state, and is told of every change by the data
// source.
class ControllerModel : public QAbstractTableModel, private DataLink {
  Q_OBJECT

 public:
  ControllerModel(const GridViewDef& definition, DataSource& source, QObject* parent = nullptr);
  ~ControllerModel() override;

  GridView& View() { return FView; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // A check-box toggle: edits, posts and so writes back; false when that failed
  // (the failure has been reported, and the cell shows the table's value).
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  // Toggles a check-box cell, whatever it holds, as setData does.
  bool Toggle(const QModelIndex& index);
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  void DataEvent(velmora::DataEvent event, int row) override;

  DataSource& FSource;
  GridView FView;
  int FRowCount = 0;  // as last announced to the views
};

}  // namespace velmora::qt

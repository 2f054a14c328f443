#pragma once

#include <QTableView>
#include <vector>

#include "controllers/form_definition.h"

namespace velmora::qt {

// The controller grid: a table view that shares its width among the columns in
// proportion to their widths (no horizontal scrolling), sorts by a header click,
// and offers no deleting, inserting or text editing.
class GridWidget : public QTableView {
  Q_OBJECT

 public:
  GridWidget(const GridViewDef& definition, QWidget* parent = nullptr);

  // The widths the columns are scaled from; a user's drag of a column changes its own.
  const std::vector<int>& NominalWidths() const { return FNominal; }

  void setModel(QAbstractItemModel* model) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitColumns();
  void SectionResized(int section, int oldSize, int newSize);

  std::vector<int> FNominal;
  bool FFitting = false;
};

}  // namespace velmora::qt

#pragma once

#include <QTableView>

#include "controllers/form_scale.h"
#include "controllers/grid_view.h"

namespace velmora::qt {

class ControllerModel;

// The controller grid: a table view over a ControllerModel that draws what the
// model's GridView rules say (column widths, the current cell) and forwards each
// gesture to it (a click on a box, Space from any cell, a double click). Sorts by
// a header click; offers no deleting, inserting or text editing.
class GridWidget : public QTableView {
  Q_OBJECT

 public:
  GridWidget(const GridViewDef& definition, QWidget* parent = nullptr);

  // The model must be a ControllerModel (or nullptr).
  void setModel(QAbstractItemModel* model) override;
  // How the window is scaled for this screen; column widths follow it.
  void SetScale(const FormScale& scale);

  // Where the box of a cell of the check-box column is drawn, in viewport pixels.
  QRect CheckBoxRect(const QModelIndex& index) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles = QList<int>()) override;

 private:
  void FitColumns();
  // Toggles the box of a view row through the model (which reports a failure).
  void ToggleRow(int row);

  ControllerModel* FModel = nullptr;
  FormScale FScale;
  QPersistentModelIndex FPressedBox;  // the box a press landed on, until its release
  bool FInDoubleClick = false;         // between a double click's press and its release
};

}  // namespace velmora::qt

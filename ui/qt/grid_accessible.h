#pragma once

#include <QAccessibleWidget>
#include <QHash>

class QAbstractItemModel;

namespace velmora::qt {

class GridWidget;

// What a screen reader sees of the controller grid: a table whose cells are text
// cells, except the "Disabled" cells, which are checkable check boxes with their
// state, and whose toggle (or press) action toggles the box as a click on it does,
// through the ordinary commit and write-back. Cells are made when first asked for
// and forgotten when the rows change as a whole (a load, a sort).
class GridAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
 public:
  explicit GridAccessible(GridWidget* grid);
  ~GridAccessible() override;

  // Installs the factory that gives the grid and the main window their interfaces.
  static void InstallFactory();

  void* interface_cast(QAccessible::InterfaceType type) override;
  int childCount() const override;
  QAccessibleInterface* child(int index) const override;
  int indexOfChild(const QAccessibleInterface* child) const override;
  QAccessibleInterface* childAt(int x, int y) const override;
  QAccessibleInterface* focusChild() const override;

  // QAccessibleTableInterface
  QAccessibleInterface* caption() const override { return nullptr; }
  QAccessibleInterface* summary() const override { return nullptr; }
  QAccessibleInterface* cellAt(int row, int column) const override;
  int columnCount() const override;
  int rowCount() const override;
  int selectedCellCount() const override;
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override;
  QString columnDescription(int column) const override;
  QString rowDescription(int) const override { return {}; }
  QList<QAccessibleInterface*> selectedCells() const override;
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override;
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int row) const override;
  bool selectRow(int row) override;
  bool selectColumn(int) override { return false; }
  bool unselectRow(int row) override;
  bool unselectColumn(int) override { return false; }
  void modelChange(QAccessibleTableModelChangeEvent* event) override;

  GridWidget* Grid() const;
  // Forgets every cell interface made so far.
  void ForgetCells();
  // The cell's interface if one has been made, else nullptr.
  QAccessibleInterface* MadeCell(int row, int column) const;

 private:
  mutable QHash<quint64, QAccessible::Id> FCells;
};

}  // namespace velmora::qt

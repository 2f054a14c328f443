#include "ui/qt/grid_accessible.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPointer>
#include <utility>

#include "ui/qt/controller_model.h"
#include "ui/qt/grid_widget.h"
#include "ui/qt/main_window_widget.h"

namespace velmora::qt {
namespace {

quint64 Key(int row, int column) { return (quint64(quint32(row)) << 32) | quint32(column); }

// One cell of the grid.
class CellAccessible : public QAccessibleInterface,
                       public QAccessibleTableCellInterface,
                       public QAccessibleActionInterface {
 public:
  CellAccessible(GridWidget* grid, int row, int column) : FGrid(grid), FRow(row), FColumn(column) {}

  bool isValid() const override {
    return FGrid && FGrid->model() && FRow < FGrid->model()->rowCount() && FColumn < FGrid->model()->columnCount();
  }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return FGrid ? FGrid->window()->windowHandle() : nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(FGrid.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableCellInterface) return static_cast<QAccessibleTableCellInterface*>(this);
    if (type == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
    return nullptr;
  }

  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    const QModelIndex index = Index();
    switch (t) {
      case QAccessible::Name:
        // A box has no text of its own: it is named after its column, and says its
        // state through the check states.
        return IsBox() ? Caption() : index.data(Qt::DisplayRole).toString();
      case QAccessible::Description:
        return IsBox() ? index.data(Qt::ToolTipRole).toString() : Caption();
      default:
        return {};
    }
  }
  void setText(QAccessible::Text, const QString&) override {}

  QRect rect() const override {
    if (!isValid()) return {};
    const QRect r = FGrid->visualRect(Index());
    return QRect(FGrid->viewport()->mapToGlobal(r.topLeft()), r.size());
  }

  QAccessible::Role role() const override { return IsBox() ? QAccessible::CheckBox : QAccessible::Cell; }

  QAccessible::State state() const override {
    QAccessible::State st;
    if (!isValid()) {
      st.invalid = true;
      return st;
    }
    const QModelIndex index = Index();
    st.selectable = true;
    st.focusable = true;
    st.selected = FGrid->selectionModel() && FGrid->selectionModel()->isSelected(index);
    st.focused = FGrid->hasFocus() && FGrid->currentIndex() == index;
    const QRect visible = FGrid->viewport()->rect();
    st.invisible = !visible.intersects(FGrid->visualRect(index));
    st.readOnly = !IsBox();
    if (IsBox()) {
      st.checkable = true;
      const auto check = index.data(Qt::CheckStateRole).value<Qt::CheckState>();
      st.checked = check == Qt::Checked;
      st.checkStateMixed = check == Qt::PartiallyChecked;
    }
    return st;
  }

  // QAccessibleTableCellInterface
  bool isSelected() const override { return state().selected; }
  int columnExtent() const override { return 1; }
  QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
  int columnIndex() const override { return FColumn; }
  int rowExtent() const override { return 1; }
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int rowIndex() const override { return FRow; }
  QAccessibleInterface* table() const override { return parent(); }

  // QAccessibleActionInterface: a box's toggle and press both toggle it.
  QStringList actionNames() const override {
    if (!IsBox()) return {};
    return {toggleAction(), pressAction()};
  }
  void doAction(const QString& name) override {
    if (!isValid() || !IsBox() || (name != toggleAction() && name != pressAction())) return;
    // As a click on the box: its cell becomes current, and the box toggles.
    FGrid->setCurrentIndex(Index());
    if (auto* model = qobject_cast<ControllerModel*>(FGrid->model())) model->Toggle(Index());
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    if (IsBox() && (name == toggleAction() || name == pressAction())) return {QStringLiteral("Space")};
    return {};
  }

 private:
  QModelIndex Index() const { return FGrid->model()->index(FRow, FColumn); }
  bool IsBox() const { return FGrid && FGrid->model() && (Index().flags() & Qt::ItemIsUserCheckable); }
  QString Caption() const { return FGrid->model()->headerData(FColumn, Qt::Horizontal).toString(); }

  QPointer<GridWidget> FGrid;
  int FRow;
  int FColumn;
};

// A header of the grid: a column's caption (row -1), or one of the row headers the
// grid keeps hidden (column -1), which are there only to keep the numbering.
class HeaderAccessible : public QAccessibleInterface {
 public:
  HeaderAccessible(GridWidget* grid, int row, int column) : FGrid(grid), FRow(row), FColumn(column) {}
  bool isValid() const override { return FGrid && FGrid->model() && FColumn < FGrid->model()->columnCount(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return FGrid ? FGrid->window()->windowHandle() : nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(FGrid.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QString text(QAccessible::Text t) const override {
    if (!isValid() || t != QAccessible::Name || FColumn < 0) return {};
    return FGrid->model()->headerData(FColumn, Qt::Horizontal).toString();
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!isValid() || FColumn < 0) return {};
    const QHeaderView* header = FGrid->horizontalHeader();
    const QRect r(header->sectionViewportPosition(FColumn), 0, header->sectionSize(FColumn), header->height());
    return QRect(header->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  QAccessible::Role role() const override { return FColumn < 0 ? QAccessible::RowHeader : QAccessible::ColumnHeader; }
  QAccessible::State state() const override {
    QAccessible::State st;
    st.invalid = !isValid();
    st.invisible = FColumn < 0;
    return st;
  }
  int Row() const { return FRow; }
  int Column() const { return FColumn; }

 private:
  QPointer<GridWidget> FGrid;
  int FRow;
  int FColumn;
};

QAccessibleInterface* Factory(const QString&, QObject* object) {
  if (auto* grid = qobject_cast<GridWidget*>(object)) return new GridAccessible(grid);
  // The top-level window is a frame to assistive technology, not a filler.
  if (auto* window = qobject_cast<MainWindowWidget*>(object)) return new QAccessibleWidget(window, QAccessible::Window);
  return nullptr;
}

}  // namespace

void GridAccessible::InstallFactory() {
  static bool installed = false;
  if (!installed) QAccessible::installFactory(&Factory);
  installed = true;
}

GridAccessible::GridAccessible(GridWidget* grid) : QAccessibleWidget(grid, QAccessible::Table) {}

GridAccessible::~GridAccessible() { ForgetCells(); }

GridWidget* GridAccessible::Grid() const { return static_cast<GridWidget*>(widget()); }

void* GridAccessible::interface_cast(QAccessible::InterfaceType type) {
  if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
  return QAccessibleWidget::interface_cast(type);
}

int GridAccessible::rowCount() const { return Grid()->model() ? Grid()->model()->rowCount() : 0; }

int GridAccessible::columnCount() const { return Grid()->model() ? Grid()->model()->columnCount() : 0; }

int GridAccessible::childCount() const { return columnCount() == 0 ? 0 : (rowCount() + 1) * (columnCount() + 1); }

QAccessibleInterface* GridAccessible::cellAt(int row, int column) const {
  if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount()) return nullptr;
  const quint64 key = Key(row, column);
  if (const auto found = FCells.constFind(key); found != FCells.constEnd()) {
    return QAccessible::accessibleInterface(*found);
  }
  auto* cell = new CellAccessible(Grid(), row, column);
  FCells.insert(key, QAccessible::registerAccessibleInterface(cell));
  return cell;
}

QAccessibleInterface* GridAccessible::MadeCell(int row, int column) const {
  const auto found = FCells.constFind(Key(row, column));
  return found == FCells.constEnd() ? nullptr : QAccessible::accessibleInterface(*found);
}

// Children in rows of a row header and the cells, the column headers first: the
// numbering QTableView uses in the focus and selection events it sends about its
// cells, which counts its (hidden) row header too.
QAccessibleInterface* GridAccessible::child(int index) const {
  const int perRow = columnCount() + 1;
  if (columnCount() == 0 || index < 0 || index >= childCount()) return nullptr;
  const int row = index / perRow - 1;
  const int column = index % perRow - 1;
  if (row >= 0 && column >= 0) return cellAt(row, column);
  // A header: column -1 is the row header (the corner, in the header row).
  const quint64 key = Key(row < 0 ? -1 : row, column < 0 ? -1 : column) ^ (quint64(1) << 63);
  if (const auto found = FCells.constFind(key); found != FCells.constEnd()) {
    return QAccessible::accessibleInterface(*found);
  }
  auto* header = new HeaderAccessible(Grid(), row, column);
  FCells.insert(key, QAccessible::registerAccessibleInterface(header));
  return header;
}

int GridAccessible::indexOfChild(const QAccessibleInterface* child) const {
  if (child == nullptr || child->parent() != this) return -1;
  const int perRow = columnCount() + 1;
  if (const auto* header = dynamic_cast<const HeaderAccessible*>(child)) {
    return (header->Row() + 1) * perRow + header->Column() + 1;
  }
  const auto* cell = dynamic_cast<const CellAccessible*>(child);
  if (cell == nullptr) return -1;
  return (cell->rowIndex() + 1) * perRow + cell->columnIndex() + 1;
}

QAccessibleInterface* GridAccessible::childAt(int x, int y) const {
  const QPoint local = Grid()->viewport()->mapFromGlobal(QPoint(x, y));
  const QModelIndex index = Grid()->indexAt(local);
  return index.isValid() ? cellAt(index.row(), index.column()) : nullptr;
}

QAccessibleInterface* GridAccessible::focusChild() const {
  const QModelIndex current = Grid()->currentIndex();
  return current.isValid() ? cellAt(current.row(), current.column()) : nullptr;
}

int GridAccessible::selectedCellCount() const { return selectedCells().size(); }

int GridAccessible::selectedRowCount() const { return selectedRows().size(); }

QString GridAccessible::columnDescription(int column) const {
  return Grid()->model() ? Grid()->model()->headerData(column, Qt::Horizontal).toString() : QString();
}

QList<QAccessibleInterface*> GridAccessible::selectedCells() const {
  QList<QAccessibleInterface*> cells;
  if (!Grid()->selectionModel()) return cells;
  for (const QModelIndex& index : Grid()->selectionModel()->selectedIndexes()) {
    cells.push_back(cellAt(index.row(), index.column()));
  }
  return cells;
}

QList<int> GridAccessible::selectedRows() const {
  QList<int> rows;
  if (!Grid()->selectionModel()) return rows;
  for (const QModelIndex& index : Grid()->selectionModel()->selectedRows()) rows.push_back(index.row());
  return rows;
}

bool GridAccessible::isRowSelected(int row) const {
  return Grid()->selectionModel() && Grid()->selectionModel()->isRowSelected(row, {});
}

bool GridAccessible::selectRow(int row) {
  if (row < 0 || row >= rowCount()) return false;
  Grid()->selectRow(row);
  return true;
}

bool GridAccessible::unselectRow(int row) {
  if (!Grid()->selectionModel() || row < 0 || row >= rowCount()) return false;
  Grid()->selectionModel()->select(Grid()->model()->index(row, 0),
                                   QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  return true;
}

void GridAccessible::modelChange(QAccessibleTableModelChangeEvent* event) {
  // A changed value keeps its cells (a box's own action may be running); rows that
  // were loaded, sorted or reset make the row numbers of old cells mean nothing.
  if (event->modelChangeType() != QAccessibleTableModelChangeEvent::DataChanged) ForgetCells();
}

void GridAccessible::ForgetCells() {
  const QHash<quint64, QAccessible::Id> cells = std::exchange(FCells, {});
  for (const QAccessible::Id id : cells) QAccessible::deleteAccessibleInterface(id);
}

}  // namespace velmora::qt
